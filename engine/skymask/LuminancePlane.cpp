#include "skymask/LuminancePlane.h"

#include <algorithm>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "parallel/ProcessPool.h"

namespace velmask {

namespace {

// About 512 values along the longer side (the nearest whole block size): the stars' motion to a
// block, at a cost well below one frame's star analysis however large the frames are. The horizon
// is drawn finer from the base frame alone.
constexpr int32_t TargetLongSide = 512;

// Samples of one vector chunk of a block's row.
constexpr size_t Chunk = 16;

// How one frame row turns into block sums. Blocks start at a multiple of channels × factor
// samples, so the weight of each of a block's samples is the same in every block: R + 2G + B of
// every pixel (4 × the first channel under three channels), zero past the block up to whole chunks.
struct BlockLayout {
    size_t span = 0;        // samples of one block in one row
    size_t chunks = 0;      // vector chunks covering a block's span
    uint32_t weightSum = 0;  // 4 × factor
    std::vector<int16_t> weights;

    BlockLayout(int32_t channels, int32_t factor)
        : span(static_cast<size_t>(channels) * factor), chunks((span + Chunk - 1) / Chunk),
          weightSum(4u * static_cast<uint32_t>(factor)), weights(chunks * Chunk, 0)
    {
        const int16_t pixel[3] = {1, 2, 1};
        for (size_t i = 0; i < span; ++i) {
            const size_t c = i % static_cast<size_t>(channels);
            weights[i] = channels >= 3 ? (c < 3 ? pixel[c] : 0) : (c == 0 ? 4 : 0);
        }
    }
};

// The frame rows read for one plane row, and those read for the next one (none past the part).
struct RowsRead {
    static constexpr int32_t Most = 3;  // blocks of 3 rows read all three, the others one or two
    int32_t count = 0;
    const uint16_t* rows[Most] = {};
    const uint16_t* next[Most] = {};
};

// Each block [first, blocks)'s weighted sum over the rows read into `sums`.
void blockSums(const RowsRead& read, const BlockLayout& layout, int32_t first, int32_t blocks, uint32_t* sums)
{
    for (int32_t b = first; b < blocks; ++b) {
        uint32_t sum = 0;
        for (int32_t r = 0; r < read.count; ++r) {
            const uint16_t* p = read.rows[r] + static_cast<size_t>(b) * layout.span;
            for (size_t i = 0; i < layout.span; ++i)
                sum += static_cast<uint32_t>(layout.weights[i]) * p[i];
        }
        sums[b] = sum;
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
// One block's rows multiply-added into eight 32-bit lanes, 16 samples at a time. The multiply-add
// is signed, so each sample goes in as s − 32768 (its top bit flipped); the caller adds
// 32768 × the weights' sum back per row, exact in 32-bit wrap-around.
__attribute__((target("avx2"))) inline __m256i blockLanes(const RowsRead& read, size_t at, const int16_t* weights,
                                                          size_t chunks)
{
    const __m256i flip = _mm256_set1_epi16(static_cast<int16_t>(0x8000));
    __m256i acc = _mm256_setzero_si256();
    for (int32_t r = 0; r < read.count; ++r) {
        const uint16_t* p = read.rows[r] + at;
        for (size_t c = 0; c < chunks; ++c) {
            const __m256i s =
                _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + c * Chunk)), flip);
            const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + c * Chunk));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(s, w));
        }
    }
    return acc;
}

// blockSums eight blocks at a time, for the blocks whose whole chunks lie inside the rows'
// `samples` (the last block's chunks may reach past the end of the image). Asks for the rows read
// next while these are summed: the frame comes from memory a few rows at a time far apart, and
// the processor's own read-ahead stops at every page. Returns the blocks done.
__attribute__((target("avx2"))) int32_t blockSumsAvx2(const RowsRead& read, size_t samples, const BlockLayout& layout,
                                                      int32_t blocks, uint32_t* sums)
{
    const size_t reach = layout.chunks * Chunk;
    if (samples < reach)
        return 0;
    blocks = static_cast<int32_t>(std::min<size_t>(blocks, (samples - reach) / layout.span + 1));
    const __m256i bias = _mm256_set1_epi32(static_cast<int32_t>(32768u * layout.weightSum * read.count));
    const int16_t* weights = layout.weights.data();
    const size_t span = layout.span, chunks = layout.chunks;
    constexpr size_t Line = 64 / sizeof(uint16_t);
    size_t ahead = 0;
    int32_t b = 0;
    for (; b + 8 <= blocks; b += 8) {
        __m256i lanes[8];
        for (int32_t j = 0; j < 8; ++j)
            lanes[j] = blockLanes(read, static_cast<size_t>(b + j) * span, weights, chunks);
        // Eight blocks' lanes summed into one vector of their eight sums.
        const __m256i low = _mm256_hadd_epi32(_mm256_hadd_epi32(lanes[0], lanes[1]), _mm256_hadd_epi32(lanes[2], lanes[3]));
        const __m256i high = _mm256_hadd_epi32(_mm256_hadd_epi32(lanes[4], lanes[5]), _mm256_hadd_epi32(lanes[6], lanes[7]));
        const __m256i total = _mm256_add_epi32(_mm256_permute2x128_si256(low, high, 0x20),
                                               _mm256_permute2x128_si256(low, high, 0x31));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + b), _mm256_add_epi32(total, bias));
        for (const size_t end = (static_cast<size_t>(b) + 8) * span; ahead < end; ahead += Line)
            for (int32_t r = 0; r < read.count; ++r)
                if (read.next[r])
                    __builtin_prefetch(read.next[r] + ahead, 0, 2);
    }
    return b;
}
#endif

// The block sums of one plane row, vectorised where the processor can.
void planeRowSums(const RowsRead& read, size_t samples, const BlockLayout& layout, int32_t blocks, uint32_t* sums)
{
    int32_t done = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        done = blockSumsAvx2(read, samples, layout, blocks, sums);
#endif
    blockSums(read, layout, done, blocks, sums);
}

}  // namespace

int32_t reductionFactor(int32_t width, int32_t height)
{
    const int32_t longSide = std::max(width, height);
    return std::max(1, (longSide + TargetLongSide / 2) / TargetLongSide);
}

namespace {

// Which frame rows make each plane row, and the scale of their sums.
struct PlaneGeometry {
    int32_t factor = 1;
    int32_t step = 1;  // frame rows between those read
    int32_t read = 1;  // frame rows read a plane row
    float scale = 1.0f;

    PlaneGeometry(int32_t blockSize, bool middleRowOnly) : factor(blockSize)
    {
        // Blocks of 8 rows or more are read in their middle row, smaller ones in every (factor / 2)-th
        // row about their middle, each row whole (reading a row costs the same however many of its
        // pixels count): a large frame costs one row per plane row, and a mean of that many is
        // still far below the noise.
        step = factor >= 8 || middleRowOnly ? factor : std::max(1, factor / 2);
        read = (factor - step / 2 + step - 1) / step;
        scale = 1.0f / (4.0f * static_cast<float>(read) * static_cast<float>(factor));
    }
    int32_t frameRow(int32_t y, int32_t r) const { return y * factor + step / 2 + r * step; }
    // Frame rows needed before plane row y can be made.
    int32_t rowsFor(int32_t y) const { return frameRow(y, read - 1) + 1; }
};

bool makesPlane(const velimage::Image16& frame, int32_t factor)
{
    return !frame.empty() && frame.channels() >= 1 && frame.width() >= factor && frame.height() >= factor;
}

LuminancePlane emptyPlaneFor(const velimage::Image16& frame, int32_t factor)
{
    LuminancePlane plane;
    plane.factor = factor;
    plane.width = frame.width() / factor;
    plane.height = frame.height() / factor;
    plane.values.resize(static_cast<size_t>(plane.width) * plane.height);
    return plane;
}

// Plane row y from its frame rows, asking for those of plane row `next` (when not negative) meanwhile.
void makePlaneRow(const velimage::Image16& frame, const PlaneGeometry& geometry, const BlockLayout& layout,
                  int32_t y, int32_t next, uint32_t* sums, LuminancePlane& plane)
{
    RowsRead rows;
    rows.count = geometry.read;
    for (int32_t r = 0; r < geometry.read; ++r) {
        rows.rows[r] = frame.row(geometry.frameRow(y, r));
        rows.next[r] = next >= 0 ? frame.row(geometry.frameRow(next, r)) : nullptr;
    }
    planeRowSums(rows, static_cast<size_t>(frame.width()) * frame.channels(), layout, plane.width, sums);
    float* out = plane.values.data() + static_cast<size_t>(y) * plane.width;
    for (int32_t b = 0; b < plane.width; ++b)
        out[b] = static_cast<float>(sums[b]) * geometry.scale;
}

}  // namespace

LuminancePlane reduceLuminance(const velimage::Image16& frame, int32_t factor, bool middleRowOnly)
{
    factor = std::max(1, factor);
    if (!makesPlane(frame, factor))
        return {};
    LuminancePlane plane = emptyPlaneFor(frame, factor);
    const BlockLayout layout(frame.channels(), factor);
    const PlaneGeometry geometry(factor, middleRowOnly);
    velthread::parallelRows(plane.height, [&](int32_t begin, int32_t end) {
        std::vector<uint32_t> sums(static_cast<size_t>(plane.width));
        for (int32_t y = begin; y < end; ++y)
            makePlaneRow(frame, geometry, layout, y, y + 1 < end ? y + 1 : -1, sums.data(), plane);
    });
    return plane;
}

struct LuminancePlaneRows::State {
    PlaneGeometry geometry;
    BlockLayout layout;
    LuminancePlane plane;
    std::vector<uint32_t> sums;
    int32_t made = 0;  // plane rows made

    State(const velimage::Image16& frame, int32_t factor, bool middleRowOnly)
        : geometry(factor, middleRowOnly), layout(frame.channels(), factor), plane(emptyPlaneFor(frame, factor)),
          sums(static_cast<size_t>(plane.width))
    {
    }
};

LuminancePlaneRows::LuminancePlaneRows() = default;
LuminancePlaneRows::~LuminancePlaneRows() = default;
LuminancePlaneRows::LuminancePlaneRows(LuminancePlaneRows&&) noexcept = default;
LuminancePlaneRows& LuminancePlaneRows::operator=(LuminancePlaneRows&&) noexcept = default;

void LuminancePlaneRows::begin(const velimage::Image16& frame, int32_t factor, bool middleRowOnly)
{
    factor = std::max(1, factor);
    m_state = makesPlane(frame, factor) ? std::make_unique<State>(frame, factor, middleRowOnly) : nullptr;
}

void LuminancePlaneRows::rowsFinal(const velimage::Image16& frame, int32_t end)
{
    if (!m_state)
        return;
    State& s = *m_state;
    // Rows just written are still in the processor's caches: no read-ahead.
    for (; s.made < s.plane.height && s.geometry.rowsFor(s.made) <= end; ++s.made)
        makePlaneRow(frame, s.geometry, s.layout, s.made, -1, s.sums.data(), s.plane);
}

LuminancePlane LuminancePlaneRows::take()
{
    LuminancePlane plane;
    if (m_state && m_state->made == m_state->plane.height)
        plane = std::move(m_state->plane);
    m_state.reset();
    return plane;
}

}  // namespace velmask
