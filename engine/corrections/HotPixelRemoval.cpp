#include "corrections/HotPixelRemoval.h"

#include <algorithm>
#include <cstring>
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

// One row of the detection image: the brightest channel of every pixel.
VELOSTAR_VECTOR_CLONES
void detectionRow(const uint16_t* in, int32_t width, uint16_t* out)
{
    for (int32_t x = 0; x < width; ++x)
        out[x] = std::max(in[3 * x], std::max(in[3 * x + 1], in[3 * x + 2]));
}

// The five detection rows around the row being tested, kept as a ring: each band reads the frame
// once and the detection image never leaves the cache.
class DetectionWindow {
public:
    explicit DetectionWindow(const velimage::Image16& frame)
        : m_frame(frame), m_rows(5 * static_cast<size_t>(frame.width()))
    {
    }

    // Rows y − 2 … y + 2 (the caller moves y up by one at a time, from any start).
    void centreOn(int32_t y)
    {
        const int32_t first = std::max(y - 2, m_next);
        for (int32_t r = first; r <= y + 2; ++r)
            detectionRow(m_frame.row(r), m_frame.width(), m_rows.data() + offset(r));
        m_next = y + 3;
    }
    const uint16_t* operator[](int32_t r) const { return m_rows.data() + offset(r); }

private:
    size_t offset(int32_t r) const { return static_cast<size_t>(r % 5) * static_cast<size_t>(m_frame.width()); }

    const velimage::Image16& m_frame;
    std::vector<uint16_t> m_rows;
    int32_t m_next = -5;
};

// Marks the pixels of detection row `d` (2 ≤ x < width − 2) that pass the tests on the detection image
// alone, branch-free over the whole row (most pixels fail them).
VELOSTAR_VECTOR_CLONES
void flagCandidates(const uint16_t* up2, const uint16_t* up1, const uint16_t* d, const uint16_t* down1,
                    const uint16_t* down2, int32_t width, uint8_t* flag)
{
    // In 16-bit lanes: 4·a < f is a ≤ (f − 1) / 4 and 2·a < f is a ≤ (f − 1) / 2.
    for (int32_t x = 2; x < width - 2; ++x) {
        const uint16_t f = d[x];
        const uint16_t below = static_cast<uint16_t>(f - 1);
        const uint16_t far = std::max(std::max(up2[x - 2], up2[x + 2]), std::max(down2[x - 2], down2[x + 2]));
        const uint16_t near = std::max(std::max(up1[x - 1], up1[x + 1]), std::max(down1[x - 1], down1[x + 1]));
        // Near white the neighbours of a clipped spike are clipped too: the test relaxes there.
        const uint16_t nearLimit = f >= kNearWhite ? below : static_cast<uint16_t>(below >> 1);
        flag[x] = static_cast<uint8_t>((f > kMinSpike) & (far <= (below >> 2)) & (near <= nearLimit));
    }
}

// Appends the hot pixels of row y (2 ≤ y < height − 2) as x positions to `found`. The tests on
// the detection image flag `candidate` first; only the survivors read their own channels.
void scanRow(const velimage::Image16& frame, const DetectionWindow& window, int32_t y, std::vector<uint8_t>& candidate,
             std::vector<int32_t>& found)
{
    const int32_t width = frame.width();
    const uint16_t* d = window[y];
    uint8_t* flag = candidate.data();
    flagCandidates(window[y - 2], window[y - 1], window[y], window[y + 1], window[y + 2], width, flag);
    const uint16_t* pixels = frame.row(y);
    const auto test = [&](int32_t x) {
        if (!flag[x])
            return;
        const uint32_t f = d[x];
        const uint16_t* p = pixels + 3 * x;
        const uint32_t least = std::min(p[0], std::min(p[1], p[2]));
        if ((f >= kNearWhite ? 2 * least : 4 * least) < f)
            found.push_back(x);
    };
    // Flags are read eight at a time: a whole word of failures, by far the usual case, costs one test.
    int32_t x = 2;
    for (; x + 8 <= width - 2; x += 8) {
        uint64_t word;
        std::memcpy(&word, flag + x, sizeof word);
        if (word != 0)
            for (int32_t k = 0; k < 8; ++k)
                test(x + k);
    }
    for (; x < width - 2; ++x)
        test(x);
}

}  // namespace

int64_t removeHotPixels(velimage::Image16& frame)
{
    const int32_t width = frame.width(), height = frame.height();
    if (frame.empty() || frame.channels() != 3 || width < 5 || height < 5)
        return 0;
    // Found pixels per band, (x, y) pairs in row order; the tests read only the detection image
    // and the pixel itself, none of which a patch has touched yet.
    const int32_t parts = velthread::partCount();
    std::vector<std::vector<int32_t>> found(static_cast<size_t>(parts));
    const int32_t rows = height - 4;
    velthread::ThreadPool* pool = velthread::processPool();
    const auto scan = [&](int32_t part, int32_t begin, int32_t end) {
        std::vector<int32_t> columns;
        std::vector<uint8_t> candidate(static_cast<size_t>(width), 0);
        DetectionWindow window(frame);
        for (int32_t y = begin + 2; y < end + 2; ++y) {
            window.centreOn(y);
            columns.clear();
            scanRow(frame, window, y, candidate, columns);
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
