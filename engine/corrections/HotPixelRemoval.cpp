#include "corrections/HotPixelRemoval.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__) && defined(__GNUC__)
static_assert(3 * kChunk == 96, "a chunk is three vectors of 32 samples");
// The rows come from the decoder's writes, no longer in the first-level cache, where the loads waited
// on them: their lines are asked for this far ahead.
constexpr int32_t kPrefetchSamples = 1024;
// The same kind of pre-test for the whole chunks of the row, 32 samples at a time, on the two pairs of
// neighbouring channels within each pixel: a pair passes when its larger sample is above half the
// spike floor and above twice the smaller one, or is near white. Every hot pixel has such a pair: its
// brightest channel f is above 2048 and more than twice its faintest; either the middle channel is
// below f / 2 (it pairs with f), or it is at least f / 2 (so above 1024) and, unless f is near white,
// more than twice the faintest, its other neighbour. Two loads and five operations a vector, where
// comparing every sample with all four within two places costs five loads. A chunk's flag is the OR of
// three lane masks, with no reduction across lanes. Returns how many chunks it did.
__attribute__((target("avx512f,avx512bw"))) int32_t flagSpikeChunksAvx512(const uint16_t* s, int32_t count,
                                                                         uint8_t* flags)
{
    // Lanes starting a pair within a pixel: not the last channel of a pixel.
    __mmask32 pairs[3] = {0, 0, 0};
    for (int32_t part = 0; part < 3; ++part)
        for (int32_t j = 0; j < 32; ++j)
            if ((32 * part + j) % 3 != 2)
                pairs[part] |= __mmask32{1} << j;
    const __m512i quarterFloor = _mm512_set1_epi16(static_cast<short>(kMinSpike / 4));
    const __m512i belowWhite = _mm512_set1_epi16(static_cast<short>(kNearWhite - 1));
    int32_t k = 0;
    for (; 96 * (k + 1) <= count; ++k) {
        __mmask32 found = 0;
        for (int32_t part = 0; part < 3; ++part) {
            const uint16_t* p = s + 96 * k + 32 * part;
            _mm_prefetch(reinterpret_cast<const char*>(p + kPrefetchSamples), _MM_HINT_T0);
            const __m512i a = _mm512_loadu_si512(p), b = _mm512_loadu_si512(p + 1);
            // 2 · max(smaller, 512) = max(2 · smaller, 1024), capped below white.
            const __m512i least = _mm512_max_epu16(_mm512_min_epu16(a, b), quarterFloor);
            const __m512i limit = _mm512_min_epu16(_mm512_adds_epu16(least, least), belowWhite);
            found |= _mm512_mask_cmpgt_epu16_mask(pairs[part], _mm512_max_epu16(a, b), limit);
        }
        flags[k] = found != 0;
    }
    return k;
}
#endif

// The pre-test of a row: flags of every chunk.
void flagSpikes(const uint16_t* s, int32_t count, uint8_t* flags)
{
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool wide = __builtin_cpu_supports("avx512bw");
    if (wide) {
        const int32_t done = flagSpikeChunksAvx512(s, count, flags);
        s += 96 * done;
        count -= 96 * done;
        flags += done;
    }
#endif
    if (count > 0)
        flagSpikeChunks(s, count, flags);
}

// One row of the detection image: the brightest channel of every pixel.
VELOSTAR_VECTOR_CLONES_16
void detectionRow(const uint16_t* in, int32_t width, uint16_t* out)
{
    for (int32_t x = 0; x < width; ++x)
        out[x] = std::max(in[3 * x], std::max(in[3 * x + 1], in[3 * x + 2]));
}

// The five detection rows around the row being tested, kept as a ring, for rows where the pre-test
// lets too much through.
class DetectionWindow {
public:
    explicit DetectionWindow(const velimage::Image16& frame)
        : m_frame(frame), m_rows(5 * static_cast<size_t>(frame.width()))
    {
    }

    // Rows y − 2 … y + 2; y only ever moves down, by any step.
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
// alone, branch-free over the whole row.
VELOSTAR_VECTOR_CLONES_16
void flagCandidates(const uint16_t* up2, const uint16_t* up1, const uint16_t* d, const uint16_t* down1,
                    const uint16_t* down2, int32_t width, uint8_t* flag)
{
    // In 16-bit lanes: 4·a < f is a ≤ (f − 1) / 4 and 2·a < f is a ≤ (f − 1) / 2.
    for (int32_t x = 2; x < width - 2; ++x) {
        const uint16_t f = d[x];
        const uint16_t below = static_cast<uint16_t>(f - 1);
        const uint16_t far = std::max(std::max(up2[x - 2], up2[x + 2]), std::max(down2[x - 2], down2[x + 2]));
        const uint16_t near = std::max(std::max(up1[x - 1], up1[x + 1]), std::max(down1[x - 1], down1[x + 1]));
        const uint16_t nearLimit = f >= kNearWhite ? below : static_cast<uint16_t>(below >> 1);
        flag[x] = static_cast<uint8_t>((f > kMinSpike) & (far <= (below >> 2)) & (near <= nearLimit));
    }
}

// Rows tested whole after a busy one before the pre-test is tried again.
constexpr int32_t kWholeRows = 15;

// Finds the hot pixels of rows in turn (2 ≤ y < height − 2, moving down), appending their x positions.
// The pre-test usually leaves a few chunks of a row, whose pixels are tested one by one; in a strongly
// coloured sky it passes most, and the row is tested whole in vector lanes on the detection window.
class RowScanner {
public:
    explicit RowScanner(const velimage::Image16& frame)
        : m_frame(frame), m_window(frame), m_chunks(static_cast<size_t>((frame.width() - 4 + kChunk - 1) / kChunk)),
          m_candidates(static_cast<size_t>(frame.width()))
    {
    }

    void scan(int32_t y, std::vector<int32_t>& found)
    {
        // Coloured skies come in stretches: after a busy row the next ones skip the pre-test for a while.
        if (m_wholeRows > 0) {
            --m_wholeRows;
            scanWhole(y, found);
            return;
        }
        const int32_t width = m_frame.width();
        flagSpikes(m_frame.row(y) + 3 * 2, 3 * (width - 4), m_chunks.data());
        size_t passed = 0;
        for (uint8_t chunk : m_chunks)
            passed += chunk;
        // A chunk tested pixel by pixel costs about as much as a detection row of 8 chunks' width.
        if (passed * 8 > m_chunks.size()) {
            m_wholeRows = kWholeRows;
            scanWhole(y, found);
            return;
        }
        for (size_t k = 0; k < m_chunks.size(); ++k) {
            if (!m_chunks[k])
                continue;
            const int32_t first = 2 + kChunk * static_cast<int32_t>(k), last = std::min(width - 2, first + kChunk);
            for (int32_t x = first; x < last; ++x)
                if (isHotPixel(m_frame, x, y))
                    found.push_back(x);
        }
    }

private:
    void scanWhole(int32_t y, std::vector<int32_t>& found)
    {
        const int32_t width = m_frame.width();
        m_window.centreOn(y);
        const uint16_t* d = m_window[y];
        flagCandidates(m_window[y - 2], m_window[y - 1], d, m_window[y + 1], m_window[y + 2], width, m_candidates.data());
        const uint16_t* pixels = m_frame.row(y);
        const uint8_t* flag = m_candidates.data();
        const auto test = [&](int32_t x) {
            const uint32_t f = d[x];
            if (flag[x] && (f >= kNearWhite ? 2 : 4) * faintest(pixels + 3 * x) < f)
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

    const velimage::Image16& m_frame;
    DetectionWindow m_window;
    std::vector<uint8_t> m_chunks;
    std::vector<uint8_t> m_candidates;
    int32_t m_wholeRows = 0;
};

}  // namespace

class HotPixelScanner::Rows : public RowScanner {
public:
    using RowScanner::RowScanner;
};

HotPixelScanner::HotPixelScanner(const velimage::Image16& frame) : m_rows(std::make_unique<Rows>(frame)) {}
HotPixelScanner::~HotPixelScanner() = default;
void HotPixelScanner::scan(int32_t y, std::vector<int32_t>& columns) { m_rows->scan(y, columns); }

void patchHotPixel(velimage::Image16& frame, int32_t x, int32_t y)
{
    const RingFit& fit = RingFit::instance();
    for (int32_t c = 0; c < 3; ++c)
        fit.patch(frame, x, y, c, false);
}

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
        RowScanner scanner(frame);
        for (int32_t y = begin + 2; y < end + 2; ++y) {
            columns.clear();
            scanner.scan(y, columns);
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
    int64_t replaced = 0;
    for (const std::vector<int32_t>& band : found)
        for (size_t i = 0; i < band.size(); i += 2) {
            patchHotPixel(frame, band[i], band[i + 1]);
            ++replaced;
        }
    return replaced;
}

}  // namespace veltone
