#include "corrections/RingFit.h"

#include <algorithm>
#include <cmath>

namespace veltone {

namespace {

// Solves the 4 × 4 system a·p = b in place by Gauss–Jordan elimination with partial pivoting.
void solve4(double a[4][4], double b[4][16])
{
    for (int32_t col = 0; col < 4; ++col) {
        int32_t pivot = col;
        for (int32_t r = col + 1; r < 4; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col]))
                pivot = r;
        std::swap(a[col], a[pivot]);
        std::swap(b[col], b[pivot]);
        const double inverse = 1.0 / a[col][col];
        for (int32_t c = 0; c < 4; ++c)
            a[col][c] *= inverse;
        for (int32_t c = 0; c < 16; ++c)
            b[col][c] *= inverse;
        for (int32_t r = 0; r < 4; ++r) {
            if (r == col)
                continue;
            const double factor = a[r][col];
            for (int32_t c = 0; c < 4; ++c)
                a[r][c] -= factor * a[col][c];
            for (int32_t c = 0; c < 16; ++c)
                b[r][c] -= factor * b[col][c];
        }
    }
}

uint16_t toSample(float value)
{
    const float rounded = value + 0.5f;
    if (!(rounded > 0.0f))
        return 0;
    return rounded >= 65535.0f ? uint16_t{65535} : static_cast<uint16_t>(rounded);
}

}  // namespace

const RingFit& RingFit::instance()
{
    static const RingFit fit;
    return fit;
}

RingFit::RingFit()
{
    int32_t n = 0;
    for (int32_t dy = -2; dy <= 2; ++dy)
        for (int32_t dx = -2; dx <= 2; ++dx)
            if (std::abs(dx) == 2 || std::abs(dy) == 2)
                m_ring[n++] = {static_cast<int8_t>(dx), static_cast<int8_t>(dy)};

    // Normal equations AᵀA p = Aᵀv with the rows (x, y, x·y, 1) of A; solving against Aᵀ gives the
    // matrix (AᵀA)⁻¹Aᵀ.
    double normal[4][4] = {};
    double transposed[4][16] = {};
    for (int32_t i = 0; i < kRingSize; ++i) {
        const double x = m_ring[i][0], y = m_ring[i][1];
        const double row[4] = {x, y, x * y, 1.0};
        for (int32_t r = 0; r < 4; ++r) {
            transposed[r][i] = row[r];
            for (int32_t c = 0; c < 4; ++c)
                normal[r][c] += row[r] * row[c];
        }
    }
    solve4(normal, transposed);
    for (int32_t k = 0; k < 4; ++k)
        for (int32_t i = 0; i < kRingSize; ++i)
            m_matrix[k][i] = static_cast<float>(transposed[k][i]);

    for (int32_t dy = -1; dy <= 1; ++dy)
        for (int32_t dx = -1; dx <= 1; ++dx) {
            auto& weights = m_innerWeights[(dy + 1) * 3 + dx + 1];
            for (int32_t i = 0; i < kRingSize; ++i)
                weights[i] = static_cast<float>(dx * transposed[0][i] + dy * transposed[1][i] +
                                                dx * dy * transposed[2][i] + transposed[3][i]);
        }
}

void RingFit::fitInner(const velimage::Image16& image, int32_t x, int32_t y, int32_t channel, uint16_t inner[9]) const
{
    const int32_t channels = image.channels();
    float ring[kRingSize];
    for (int32_t i = 0; i < kRingSize; ++i)
        ring[i] = image.row(y + m_ring[i][1])[(x + m_ring[i][0]) * channels + channel];
    for (int32_t k = 0; k < 9; ++k) {
        float value = 0.0f;
        for (int32_t i = 0; i < kRingSize; ++i)
            value += m_innerWeights[k][i] * ring[i];
        inner[k] = toSample(value);
    }
}

void RingFit::writeInner(velimage::Image16& image, int32_t x, int32_t y, int32_t channel, const uint16_t inner[9])
{
    const int32_t channels = image.channels();
    for (int32_t dy = -1; dy <= 1; ++dy) {
        uint16_t* row = image.row(y + dy);
        for (int32_t dx = -1; dx <= 1; ++dx)
            row[(x + dx) * channels + channel] = inner[(dy + 1) * 3 + dx + 1];
    }
}

void RingFit::patch(velimage::Image16& image, int32_t x, int32_t y, int32_t channel, bool skipCentre) const
{
    uint16_t inner[9];
    fitInner(image, x, y, channel, inner);
    const int32_t channels = image.channels();
    for (int32_t dy = -1; dy <= 1; ++dy) {
        uint16_t* row = image.row(y + dy);
        for (int32_t dx = -1; dx <= 1; ++dx)
            if (!(skipCentre && dx == 0 && dy == 0))
                row[(x + dx) * channels + channel] = inner[(dy + 1) * 3 + dx + 1];
    }
}

}  // namespace veltone
