#include "corrections/SoftSkyMask.h"

#include <algorithm>

#include "image/IntegralImage.h"
#include "parallel/ProcessPool.h"

namespace veltone {

namespace {

// Box mean over columns max(0, x − r) .. min(x + r, W − 2) and the same for rows (integer
// division); a box that this leaves empty at the last column or row shrinks to the pixel itself.
class BoxMeans {
public:
    explicit BoxMeans(const velimage::Image16& plane) : m_lastColumn(plane.width() - 2), m_lastRow(plane.height() - 2)
    {
        m_sums.build(plane.data(), plane.width(), plane.height(), plane.rowElements());
    }

    uint16_t mean(int32_t x, int32_t y, int32_t r) const
    {
        velimage::IntegralImage::Box box = velimage::IntegralImage::clippedBox(x, y, r, m_lastColumn, m_lastRow);
        box.x1 = std::max(box.x0, box.x1);
        box.y1 = std::max(box.y0, box.y1);
        return static_cast<uint16_t>(m_sums.sum(box) / box.pixels());
    }

private:
    velimage::IntegralImage m_sums;
    int32_t m_lastColumn, m_lastRow;
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
        const BoxMeans sums(mask);
        eachPixel(current, [&](int32_t x, int32_t y) {
            const uint16_t v = mask.row(y)[x];
            return sums.mean(x, y, radius) < v ? uint16_t{0} : v;
        });
    }
    {
        const BoxMeans sums(current);
        eachPixel(next, [&](int32_t x, int32_t y) { return sums.mean(x, y, radius); });
        current.swapContent(next);
    }
    for (int32_t round = 0; round < 4; ++round) {
        const BoxMeans sums(current);
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
