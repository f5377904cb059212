#include "corrections/HotPixelRemoval.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "corrections/RingFit.h"
#include "parallel/ProcessPool.h"
#include "parallel/VectorClones.h"

namespace veltone {

namespace {

// A spike must stand out of the black level and sky to be judged at all.
constexpr uint32_t kMinSpike = 2048;
// From here on a spike counts as clipped.
constexpr uint32_t kNearWhite = 65520;

// Pixels judged together by the pre-test: a chunk with any sample that passes it is tested pixel by pixel.
constexpr int32_t kChunk = 32;

inline uint32_t brightest(const uint16_t* p) { return std::max(p[0], std::max(p[1], p[2])); }
inline uint32_t faintest(const uint16_t* p) { return std::min(p[0], std::min(p[1], p[2])); }

// The three tests on pixel x of row y (2 ≤ x < width − 2, 2 ≤ y < height − 2). The neighbours' brightest
// channels stand for the detection image: it is only ever read here, before any patch.
bool isHotPixel(const velimage::Image16& frame, int32_t x, int32_t y)
{
    const uint16_t* p = frame.row(y) + 3 * static_cast<ptrdiff_t>(x);
    const uint32_t f = brightest(p);
    if (f <= kMinSpike)
        return false;
    // Near white the neighbours of a clipped spike are clipped too: the tests relax there.
    const bool clipped = f >= kNearWhite;
    if ((clipped ? 2 : 4) * faintest(p) >= f)
        return false;
    const auto stride = static_cast<ptrdiff_t>(frame.rowElements());
    for (const ptrdiff_t step : {-2 * stride - 6, -2 * stride + 6, 2 * stride - 6, 2 * stride + 6})
        if (4 * brightest(p + step) >= f)
            return false;
    for (const ptrdiff_t step : {-stride - 3, -stride + 3, stride - 3, stride + 3})
        if ((clipped ? 1 : 2) * brightest(p + step) >= f)
            return false;
    return true;
}

// Sets flags[k] when a sample of chunk k (samples 3·kChunk·k onwards of `s`, `count` in all) is above
// the spike floor and more than twice the faintest of the four samples within two places of it; reads
// two samples either side of the range. The brightest channel of every hot pixel passes, since the
// pixel's faintest channel lies within two places and is below half of it: so one branch-free pass over
// the samples rules out nearly every pixel, and only flagged chunks meet the full tests.
VELOSTAR_VECTOR_CLONES_16
void flagSpikeChunks(const uint16_t* s, int32_t count, uint8_t* flags)
{
    for (int32_t start = 0, k = 0; start < count; start += 3 * kChunk, ++k) {
        const int32_t end = std::min(count, start + 3 * kChunk);
        uint16_t found = 0;
        for (int32_t i = start; i < end; ++i) {
            const uint16_t v = s[i];
            const uint16_t least = std::min(std::min(s[i - 2], s[i - 1]), std::min(s[i + 1], s[i + 2]));
            const uint16_t excess = v > least ? static_cast<uint16_t>(v - least) : uint16_t{0};
            found |= static_cast<uint16_t>((v > kMinSpike) & (excess > least));
        }
        flags[k] = found != 0;
    }
}

// Appends the hot pixels of row y (2 ≤ y < height − 2) as x positions to `found`.
void scanRow(const velimage::Image16& frame, int32_t y, std::vector<uint8_t>& flags, std::vector<int32_t>& found)
{
    const int32_t width = frame.width();
    flagSpikeChunks(frame.row(y) + 3 * 2, 3 * (width - 4), flags.data());
    for (size_t k = 0; k < flags.size(); ++k) {
        if (!flags[k])
            continue;
        const int32_t first = 2 + kChunk * static_cast<int32_t>(k), last = std::min(width - 2, first + kChunk);
        for (int32_t x = first; x < last; ++x)
            if (isHotPixel(frame, x, y))
                found.push_back(x);
    }
}

}  // namespace

int64_t removeHotPixels(velimage::Image16& frame)
{
    const int32_t width = frame.width(), height = frame.height();
    if (frame.empty() || frame.channels() != 3 || width < 5 || height < 5)
        return 0;
    // Found pixels per band, (x, y) pairs in row order; the tests read the frame before any patch.
    const int32_t parts = velthread::partCount();
    std::vector<std::vector<int32_t>> found(static_cast<size_t>(parts));
    const int32_t rows = height - 4;
    velthread::ThreadPool* pool = velthread::processPool();
    const auto scan = [&](int32_t part, int32_t begin, int32_t end) {
        std::vector<int32_t> columns;
        std::vector<uint8_t> flags(static_cast<size_t>((width - 4 + kChunk - 1) / kChunk), 0);
        for (int32_t y = begin + 2; y < end + 2; ++y) {
            columns.clear();
            scanRow(frame, y, flags, columns);
            for (int32_t x : columns) {
                found[static_cast<size_t>(part)].push_back(x);
                found[static_cast<size_t>(part)].push_back(y);
            }
        }
    };
    if (pool)
        pool->parallelFor(scan, parts, rows);
    else
        scan(0, 0, rows);

    // Patches overlap the rows of neighbouring bands and each other's rings: applied here, in row
    // order, each one sees the patches before it exactly as a single pass would.
    const RingFit& fit = RingFit::instance();
    int64_t replaced = 0;
    for (const std::vector<int32_t>& band : found)
        for (size_t i = 0; i < band.size(); i += 2) {
            for (int32_t c = 0; c < 3; ++c)
                fit.patch(frame, band[i], band[i + 1], c, false);
            ++replaced;
        }
    return replaced;
}

}  // namespace veltone
