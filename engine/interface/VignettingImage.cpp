#include "VignettingImage.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "parallel/ProcessPool.h"

namespace velrun {

namespace {

// The smoothing keeps about this many blocks across the shorter side: vignetting changes over
// the whole frame, dust and noise within a block.
constexpr int32_t kBlocksAcross = 32;

uint64_t sumOf(const velimage::Image<uint32_t>& image)
{
    const int32_t parts = velthread::partCount();
    std::vector<uint64_t> sums(static_cast<size_t>(parts), 0);
    const size_t rowElements = image.rowElements();
    const auto body = [&](int32_t part, int32_t begin, int32_t end) {
        uint64_t total = 0;
        for (int32_t y = begin; y < end; ++y) {
            const uint32_t* row = image.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                total += row[i];
        }
        sums[static_cast<size_t>(part)] = total;
    };
    if (velthread::ThreadPool* pool = velthread::processPool())
        pool->parallelFor(body, parts, image.height());
    else
        body(0, 0, image.height());
    uint64_t total = 0;
    for (uint64_t s : sums)
        total += s;
    return total;
}

// Block means: temp (i, j) is the mean of the block × block pixels it covers (the last blocks
// cover what is left), rounded.
void shrink(const velimage::Image<uint32_t>& sums, int32_t block, velimage::Image<uint32_t>& small)
{
    const int32_t width = sums.width(), height = sums.height();
    small.allocate((width + block - 1) / block, (height + block - 1) / block, 1);
    velthread::parallelRows(small.height(), [&](int32_t begin, int32_t end) {
        for (int32_t j = begin; j < end; ++j) {
            const int32_t y0 = j * block, y1 = std::min(height, y0 + block);
            for (int32_t i = 0; i < small.width(); ++i) {
                const int32_t x0 = i * block, x1 = std::min(width, x0 + block);
                uint64_t total = 0;
                for (int32_t y = y0; y < y1; ++y) {
                    const uint32_t* row = sums.row(y);
                    for (int32_t x = x0; x < x1; ++x)
                        total += row[x];
                }
                const double count = static_cast<double>(y1 - y0) * (x1 - x0);
                small.row(j)[i] = static_cast<uint32_t>(static_cast<double>(total) / count + 0.5);
            }
        }
    });
}

// Bilinear interpolation between the block centres, extended linearly beyond the outer centres.
void expand(const velimage::Image<uint32_t>& small, int32_t block, velimage::Image<uint32_t>& sums)
{
    const int32_t width = sums.width(), height = sums.height();
    const int32_t sw = small.width(), sh = small.height();
    const auto cellOf = [block](int32_t p, int32_t cells, int32_t& cell, double& t) {
        const double position = (p + 0.5) / block - 0.5;
        cell = std::clamp(static_cast<int32_t>(std::floor(position)), 0, std::max(0, cells - 2));
        t = cells > 1 ? position - cell : 0.0;
    };
    std::vector<int32_t> columns(static_cast<size_t>(width));
    std::vector<double> columnT(static_cast<size_t>(width));
    for (int32_t x = 0; x < width; ++x)
        cellOf(x, sw, columns[static_cast<size_t>(x)], columnT[static_cast<size_t>(x)]);
    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            int32_t j = 0;
            double ty = 0.0;
            cellOf(y, sh, j, ty);
            const uint32_t* top = small.row(j);
            const uint32_t* bottom = small.row(std::min(j + 1, sh - 1));
            uint32_t* out = sums.row(y);
            for (int32_t x = 0; x < width; ++x) {
                const int32_t i = columns[static_cast<size_t>(x)];
                const int32_t i1 = std::min(i + 1, sw - 1);
                const double tx = columnT[static_cast<size_t>(x)];
                const double upper = top[i] + tx * (static_cast<double>(top[i1]) - top[i]);
                const double lower = bottom[i] + tx * (static_cast<double>(bottom[i1]) - bottom[i]);
                const double value = upper + ty * (lower - upper) + 0.5;
                out[x] = value <= 0.0 ? 0u : value >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
            }
        }
    });
}

}  // namespace

bool VignettingImage::add(const velimage::Image16& frame)
{
    if (frame.empty() || frame.channels() != 3)
        return false;
    if (m_count == 0 || m_analysed) {
        m_sum.allocate(frame.width(), frame.height(), 1);
        m_sum.clear();
        m_count = 0;
        m_analysed = false;
    } else if (frame.width() != m_sum.width() || frame.height() != m_sum.height()) {
        return false;
    }
    const int32_t width = frame.width();
    velthread::parallelRows(frame.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* in = frame.row(y);
            uint32_t* sum = m_sum.row(y);
            for (int32_t x = 0; x < width; ++x)
                sum[x] += (static_cast<uint32_t>(in[3 * x]) + in[3 * x + 1] + in[3 * x + 2]) / 3;
        }
    });
    ++m_count;
    return true;
}

bool VignettingImage::analyze(bool homogenizeImage)
{
    if (m_count == 0 || m_sum.empty())
        return false;
    if (m_analysed)
        return true;
    if (homogenizeImage)
        homogenize(m_sum);
    toGains(m_sum);
    m_analysed = true;
    return true;
}

const veltone::GainMap& VignettingImage::gainsFacing(int32_t width, int32_t height)
{
    if (!m_analysed || veltone::gainFit(m_sum, width, height) != veltone::GainFit::Transposed)
        return m_sum;
    try {
        veltone::GainMap turned;
        veltone::turnGains(m_sum, turned);
        m_sum.swapContent(turned);
    } catch (const std::bad_alloc&) {
        // No room for a second map: the frame reads this one across its rows instead.
    }
    return m_sum;
}

void homogenize(velimage::Image<uint32_t>& sums)
{
    const int32_t width = sums.width(), height = sums.height();
    if (width < 2 || height < 2)
        return;
    const int32_t block = std::max(1, std::min(width, height) / kBlocksAcross);
    velimage::Image<uint32_t> small;
    shrink(sums, block, small);
    expand(small, block, sums);

    velthread::parallelRows(height / 2, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* top = sums.row(y);
            uint32_t* bottom = sums.row(height - 1 - y);
            for (int32_t x = 0; x < width / 2; ++x) {
                const int32_t mirror = width - 1 - x;
                const uint64_t total =
                    static_cast<uint64_t>(top[x]) + top[mirror] + bottom[x] + bottom[mirror] + 1;
                const uint32_t mean = static_cast<uint32_t>(total / 4);
                top[x] = top[mirror] = bottom[x] = bottom[mirror] = mean;
            }
        }
    });
}

void toGains(velimage::Image<uint32_t>& sums)
{
    const uint64_t pixels = static_cast<uint64_t>(sums.width()) * sums.height();
    if (pixels == 0)
        return;
    uint64_t mean = sumOf(sums) / pixels;
    // A dim flat of mean below 32 would give lo = 0 and a division by zero for a dead pixel.
    uint64_t lo = std::max<uint64_t>(mean / 32, 1), hi = 32 * mean;
    if (mean < 4)
        mean = lo = hi = 4;
    const size_t rowElements = sums.rowElements();
    velthread::parallelRows(sums.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* row = sums.row(y);
            for (size_t i = 0; i < rowElements; ++i) {
                const uint64_t s = std::clamp<uint64_t>(row[i], lo, hi);
                row[i] = static_cast<uint32_t>(std::min<uint64_t>(mean * 65536 / s, 0xFFFFFFFFu));
            }
        }
    });
}

}  // namespace velrun
