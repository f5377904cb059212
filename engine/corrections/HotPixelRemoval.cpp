#include "corrections/HotPixelRemoval.h"

#include <algorithm>
#include <vector>

#include "corrections/RingFit.h"
#include "parallel/LargeBuffer.h"
#include "parallel/ProcessPool.h"

namespace veltone {

namespace {

// A spike must stand out of the black level and sky to be judged at all.
constexpr uint32_t kMinSpike = 2048;
// From here on a spike counts as clipped.
constexpr uint32_t kNearWhite = 65520;

// Detection image: the brightest channel of every pixel.
void buildDetection(const velimage::Image16& frame, uint16_t* detection)
{
    const int32_t width = frame.width();
    velthread::parallelRows(frame.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* in = frame.row(y);
            uint16_t* out = detection + static_cast<size_t>(y) * width;
            for (int32_t x = 0; x < width; ++x)
                out[x] = std::max(in[3 * x], std::max(in[3 * x + 1], in[3 * x + 2]));
        }
    });
}

// Appends the hot pixels of row y (2 ≤ y < height − 2) as x positions to `found`. The tests on
// the detection image run branch-free over the whole row into `candidate` (most pixels fail them);
// only the survivors read their own channels.
void scanRow(const velimage::Image16& frame, const uint16_t* detection, int32_t y, std::vector<uint8_t>& candidate,
             std::vector<int32_t>& found)
{
    const int32_t width = frame.width();
    const size_t stride = static_cast<size_t>(width);
    const uint16_t* d = detection + y * stride;
    const uint16_t* up1 = d - stride;
    const uint16_t* down1 = d + stride;
    const uint16_t* up2 = d - 2 * stride;
    const uint16_t* down2 = d + 2 * stride;
    uint8_t* flag = candidate.data();
    for (int32_t x = 2; x < width - 2; ++x) {
        const uint32_t f = d[x];
        const uint32_t far = std::max(std::max<uint32_t>(up2[x - 2], up2[x + 2]), std::max<uint32_t>(down2[x - 2], down2[x + 2]));
        const uint32_t near = std::max(std::max<uint32_t>(up1[x - 1], up1[x + 1]), std::max<uint32_t>(down1[x - 1], down1[x + 1]));
        // Near white the neighbours of a clipped spike are clipped too: the test relaxes there.
        const uint32_t nearScaled = f >= kNearWhite ? near : 2 * near;
        flag[x] = static_cast<uint8_t>((f > kMinSpike) & (4 * far < f) & (nearScaled < f));
    }
    const uint16_t* pixels = frame.row(y);
    for (int32_t x = 2; x < width - 2; ++x) {
        if (!flag[x])
            continue;
        const uint32_t f = d[x];
        const uint16_t* p = pixels + 3 * x;
        const uint32_t least = std::min(p[0], std::min(p[1], p[2]));
        if ((f >= kNearWhite ? 2 * least : 4 * least) < f)
            found.push_back(x);
    }
}

}  // namespace

int64_t removeHotPixels(velimage::Image16& frame)
{
    const int32_t width = frame.width(), height = frame.height();
    if (frame.empty() || frame.channels() != 3 || width < 5 || height < 5)
        return 0;
    velmem::Buffer<uint16_t> detection = velmem::allocateBuffer<uint16_t>(static_cast<size_t>(width) * height);
    buildDetection(frame, detection.get());

    // Found pixels per band, (x, y) pairs in row order; the tests read only the detection image
    // and the pixel itself, none of which a patch has touched yet.
    const int32_t parts = velthread::partCount();
    std::vector<std::vector<int32_t>> found(static_cast<size_t>(parts));
    const int32_t rows = height - 4;
    velthread::ThreadPool* pool = velthread::processPool();
    const auto scan = [&](int32_t part, int32_t begin, int32_t end) {
        std::vector<int32_t> columns;
        std::vector<uint8_t> candidate(static_cast<size_t>(width), 0);
        for (int32_t y = begin + 2; y < end + 2; ++y) {
            columns.clear();
            scanRow(frame, detection.get(), y, candidate, columns);
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
