#include "corrections/FlatField.h"

#include <algorithm>

#include "parallel/ProcessPool.h"

namespace veltone {

namespace {

// Rows of a transposed pass that share one read of map rows: the map row of a frame column
// then holds the gains of all of them side by side.
constexpr int32_t kTransposedBand = 32;

inline uint16_t scaled(uint16_t v, uint32_t gain)
{
    return static_cast<uint16_t>(std::min<uint64_t>(65535u, (static_cast<uint64_t>(gain) * v) >> 16));
}

inline uint32_t scaled(uint32_t v, uint32_t gain)
{
    const uint64_t product = static_cast<uint64_t>(gain) * v;
    return product >= (uint64_t{1} << 48) ? 0xFFFFFFFFu : static_cast<uint32_t>(product >> 16);
}

template <typename T>
bool apply(velimage::Image<T>& image, const GainMap& gains)
{
    if (image.empty() || image.channels() != 3 || gains.empty() || gains.channels() != 1)
        return false;
    const GainFit fit = gainFit(gains, image.width(), image.height());
    if (fit == GainFit::None)
        return false;
    const int32_t width = image.width(), height = image.height();
    if (fit == GainFit::Direct) {
        velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
            for (int32_t y = begin; y < end; ++y) {
                T* row = image.row(y);
                const uint32_t* g = gains.row(y);
                for (int32_t x = 0; x < width; ++x) {
                    T* p = row + 3 * x;
                    p[0] = scaled(p[0], g[x]);
                    p[1] = scaled(p[1], g[x]);
                    p[2] = scaled(p[2], g[x]);
                }
            }
        });
        return true;
    }
    // Transposed: the gain of (x, y) is the map's (y, x), so a band of frame rows reads one short,
    // contiguous run of each map row.
    const int32_t bands = (height + kTransposedBand - 1) / kTransposedBand;
    velthread::parallelRows(bands, [&](int32_t begin, int32_t end) {
        for (int32_t band = begin; band < end; ++band) {
            const int32_t y0 = band * kTransposedBand, y1 = std::min(height, y0 + kTransposedBand);
            for (int32_t x = 0; x < width; ++x) {
                const uint32_t* g = gains.row(x);
                for (int32_t y = y0; y < y1; ++y) {
                    T* p = image.row(y) + 3 * x;
                    p[0] = scaled(p[0], g[y]);
                    p[1] = scaled(p[1], g[y]);
                    p[2] = scaled(p[2], g[y]);
                }
            }
        }
    });
    return true;
}

}  // namespace

GainFit gainFit(const GainMap& gains, int32_t width, int32_t height)
{
    if (gains.width() == width && gains.height() == height)
        return GainFit::Direct;
    if (gains.width() == height && gains.height() == width)
        return GainFit::Transposed;
    return GainFit::None;
}

bool applyFlatField(velimage::Image16& frame, const GainMap& gains) { return apply(frame, gains); }

bool applyFlatField(velimage::AccumulationImage& image, const GainMap& gains) { return apply(image, gains); }

}  // namespace veltone
