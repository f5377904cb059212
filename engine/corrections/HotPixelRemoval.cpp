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

// A hot pixel to patch, all three channels.
struct Spot {
    int32_t x, y;
};

void patchSpot(velimage::Image16& frame, const Spot& spot)
{
    for (int32_t c = 0; c < 3; ++c)
        RingFit::instance().patch(frame, spot.x, spot.y, c, false);
}

// A patch of centre row c reads rows c − 2 … c + 2 and writes c − 1 … c + 1, while the tests of row y
// read rows y − 2 … y + 2 as they were before any patch. Streaming down a band, the patches of row
// y − 3 may therefore go in once row y is tested, and row y − 5, read by nothing still to come, may be
// scaled by its gains.
constexpr int32_t kPatchLag = 3;
constexpr int32_t kScaleLag = 5;
// Quiet rows (no hot pixel) that a band waits for before patching on its own: the patches above them
// are left to the serial pass. Patches four rows apart neither read nor write each other's rows, so
// the two sets may go in either order and give what one pass in row order gives.
constexpr int32_t kQuietRows = 3;

// The pass over rows [begin, end) of `frame`. Patches it must not make itself (above its first quiet
// rows, or within reach of the next band's tests) go to `deferred` in row order; rows it scales are
// marked in `scaled`. It neither writes a row a neighbouring band reads nor reads one it writes.
class BandPass {
public:
    BandPass(velimage::Image16& frame, const GainMap* gains, int32_t begin, int32_t end, std::vector<Spot>& deferred,
             std::vector<uint8_t>& scaled)
        : m_frame(frame), m_gains(gains), m_deferred(deferred), m_scaled(scaled), m_begin(begin), m_end(end),
          m_first(begin == 0), m_last(end == frame.height()), m_searching(!m_first),
          m_scaleFrom(m_first ? begin : end), m_scaleTo(m_last ? end : end - kScaleLag), m_nextScale(begin)
    {
    }

    void run()
    {
        const int32_t width = m_frame.width();
        std::vector<uint8_t> flags(static_cast<size_t>((width - 4 + kChunk - 1) / kChunk), 0);
        std::vector<int32_t> columns;
        // The next band's tests read two rows above it: patches that would write them wait.
        const int32_t deferFrom = m_last ? m_end : m_end - kPatchLag;
        const int32_t top = std::max(m_begin, 2), bottom = std::min(m_end, m_frame.height() - 2);
        for (int32_t y = top; y < bottom; ++y) {
            columns.clear();
            scanRow(m_frame, y, flags, columns);
            std::vector<Spot>& to = m_searching || y >= deferFrom ? m_deferred : m_own;
            for (int32_t x : columns)
                to.push_back({x, y});
            m_found += static_cast<int64_t>(columns.size());
            if (m_searching) {
                m_quiet = columns.empty() ? m_quiet + 1 : 0;
                if (m_quiet == kQuietRows) {
                    // Deferred patches lie above the quiet rows and read at most two rows into them.
                    m_searching = false;
                    m_scaleFrom = y - kQuietRows + 1 + 2;
                }
            }
            patchUpTo(y - kPatchLag);
            scaleUpTo(y - kScaleLag);
        }
        patchUpTo(m_end);
        scaleUpTo(m_end);
    }

    int64_t found() const { return m_found; }

private:
    void patchUpTo(int32_t row)
    {
        for (; m_nextPatch < m_own.size() && m_own[m_nextPatch].y <= row; ++m_nextPatch)
            patchSpot(m_frame, m_own[m_nextPatch]);
    }

    void scaleUpTo(int32_t row)
    {
        const int32_t from = std::max(m_nextScale, m_scaleFrom), to = std::min(row + 1, m_scaleTo);
        if (!m_gains || from >= to)
            return;
        flattenRows(m_frame, *m_gains, from, to);
        std::fill(m_scaled.begin() + from, m_scaled.begin() + to, uint8_t{1});
        m_nextScale = to;
    }

    velimage::Image16& m_frame;
    const GainMap* m_gains;
    std::vector<Spot>& m_deferred;
    std::vector<uint8_t>& m_scaled;
    std::vector<Spot> m_own;  // found here and patched here, in row order
    size_t m_nextPatch = 0;
    int64_t m_found = 0;
    const int32_t m_begin, m_end;
    const bool m_first, m_last;
    bool m_searching;
    int32_t m_quiet = 0;
    int32_t m_scaleFrom;
    const int32_t m_scaleTo;
    int32_t m_nextScale;
};

// Hot-pixel removal over the whole frame, each band's rows scaled by `gains` (when given, fitting the
// frame directly) as soon as nothing reads them any more. The result is that of one pass testing every
// pixel first, then patching in row order, then scaling, for any number of bands.
int64_t removeAndFlatten(velimage::Image16& frame, const GainMap* gains)
{
    const int32_t height = frame.height();
    const int32_t parts = velthread::partCount();
    std::vector<std::vector<Spot>> deferred(static_cast<size_t>(parts));
    std::vector<uint8_t> scaled(static_cast<size_t>(height), 0);
    std::vector<int64_t> found(static_cast<size_t>(parts), 0);
    const auto band = [&](int32_t part, int32_t begin, int32_t end) {
        BandPass pass(frame, gains, begin, end, deferred[static_cast<size_t>(part)], scaled);
        pass.run();
        found[static_cast<size_t>(part)] = pass.found();
    };
    if (velthread::ThreadPool* pool = velthread::processPool())
        pool->parallelFor(band, parts, height);
    else
        band(0, 0, height);

    // What the bands left: their deferred patches in band order, which is row order, then the rows
    // those touched and the rows around the seams.
    for (const std::vector<Spot>& spots : deferred)
        for (const Spot& spot : spots)
            patchSpot(frame, spot);
    if (gains)
        velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
            for (int32_t y = begin; y < end; ++y)
                if (!scaled[static_cast<size_t>(y)])
                    flattenRows(frame, *gains, y, y + 1);
        });
    int64_t replaced = 0;
    for (int64_t count : found)
        replaced += count;
    return replaced;
}

}  // namespace

int64_t removeHotPixels(velimage::Image16& frame)
{
    if (frame.channels() != 3 || frame.width() < 5 || frame.height() < 5)
        return 0;
    return removeAndFlatten(frame, nullptr);
}

int64_t removeHotPixelsAndFlatten(velimage::Image16& frame, const GainMap& gains, bool& flattened)
{
    const int32_t width = frame.width(), height = frame.height();
    if (frame.channels() == 3 && width >= 5 && height >= 5 && !gains.empty() && gains.channels() == 1 &&
        gainFit(gains, width, height) == GainFit::Direct) {
        flattened = true;
        return removeAndFlatten(frame, &gains);
    }
    const int64_t replaced = removeHotPixels(frame);
    flattened = applyFlatField(frame, gains);
    return replaced;
}

}  // namespace veltone
