#include "corrections/SoftSkyMask.h"

#include <algorithm>
#include <vector>

#include "parallel/ProcessPool.h"

namespace veltone {

namespace {

// 64-bit sums with one extra row and column of zeros.
class BoxSums {
public:
    explicit BoxSums(const velimage::Image16& plane) : m_width(plane.width()), m_height(plane.height())
    {
        const size_t stride = static_cast<size_t>(m_width) + 1;
        m_sums.assign(stride * (static_cast<size_t>(m_height) + 1), 0);
        for (int32_t y = 0; y < m_height; ++y) {
            const uint16_t* row = plane.row(y);
            uint64_t running = 0;
            uint64_t* out = &m_sums[(static_cast<size_t>(y) + 1) * stride + 1];
            const uint64_t* above = out - stride;
            for (int32_t x = 0; x < m_width; ++x) {
                running += row[x];
                out[x] = above[x] + running;
            }
        }
    }

    // Mean over columns max(0, x − r) .. min(x + r, W − 2) and the same for rows (integer division).
    uint16_t mean(int32_t x, int32_t y, int32_t r) const
    {
        const int32_t x0 = std::max(0, x - r), x1 = std::max(x0, std::min(x + r, m_width - 2));
        const int32_t y0 = std::max(0, y - r), y1 = std::max(y0, std::min(y + r, m_height - 2));
        const size_t stride = static_cast<size_t>(m_width) + 1;
        const uint64_t sum = m_sums[(y1 + 1) * stride + x1 + 1] - m_sums[y0 * stride + x1 + 1] -
                             m_sums[(y1 + 1) * stride + x0] + m_sums[y0 * stride + x0];
        const uint64_t count = static_cast<uint64_t>(x1 - x0 + 1) * static_cast<uint64_t>(y1 - y0 + 1);
        return static_cast<uint16_t>(sum / count);
    }

private:
    int32_t m_width, m_height;
    std::vector<uint64_t> m_sums;
};

template <typename Rule>
void eachPixel(velimage::Image16& target, const Rule& rule)
{
    const int32_t width = target.width();
    velthread::parallelRows(target.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint16_t* out = target.row(y);
            for (int32_t x = 0; x < width; ++x)
                out[x] = rule(x, y);
        }
    });
}

void binomialBlur(const velimage::Image16& from, velimage::Image16& to)
{
    const int32_t w = from.width(), h = from.height();
    eachPixel(to, [&](int32_t x, int32_t y) {
        const int32_t xs[3] = {std::max(0, x - 1), x, std::min(w - 1, x + 1)};
        const int32_t ys[3] = {std::max(0, y - 1), y, std::min(h - 1, y + 1)};
        static constexpr uint32_t weights[3] = {1, 2, 1};
        uint32_t sum = 0;
        for (int32_t j = 0; j < 3; ++j)
            for (int32_t i = 0; i < 3; ++i)
                sum += weights[j] * weights[i] * from.row(ys[j])[xs[i]];
        return static_cast<uint16_t>((sum + 7) >> 4);
    });
}

}  // namespace

bool makeSoftSkyMask(const velimage::Image16& mask, int32_t q, int32_t passes, velimage::Image16& soft)
{
    if (mask.empty() || mask.channels() != 1 || q <= 0 || mask.width() < 2 || mask.height() < 2)
        return false;
    velimage::Image16 current;
    const int32_t width = mask.width(), height = mask.height();
    const int32_t radius = std::max(1, std::min(width, height) / q);
    velimage::Image16 next;
    current.allocate(width, height, 1);
    next.allocate(width, height, 1);

    {
        // Sky with ground nearby pulls the box mean below its own value: clear it.
        const BoxSums sums(mask);
        eachPixel(current, [&](int32_t x, int32_t y) {
            const uint16_t v = mask.row(y)[x];
            return sums.mean(x, y, radius) < v ? uint16_t{0} : v;
        });
    }
    {
        const BoxSums sums(current);
        eachPixel(next, [&](int32_t x, int32_t y) { return sums.mean(x, y, radius); });
        current.swapContent(next);
    }
    for (int32_t round = 0; round < 4; ++round) {
        const BoxSums sums(current);
        eachPixel(next, [&](int32_t x, int32_t y) {
            return current.row(y)[x] == 0 ? uint16_t{0} : sums.mean(x, y, radius / 4);
        });
        current.swapContent(next);
    }
    for (int32_t pass = 0; pass < passes; ++pass) {
        binomialBlur(current, next);
        current.swapContent(next);
    }
    soft.swapContent(current);
    return true;
}

}  // namespace veltone
