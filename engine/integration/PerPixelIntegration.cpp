#include "integration/PerPixelIntegration.h"

#include <algorithm>
#include <array>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "integration/FrameWarper.h"
#include "integration/SigmaClipping.h"

namespace velstack {

RowScratch::RowScratch(size_t entries)
    : m_rows(entries, nullptr), m_values(entries * 3), m_samples(entries), m_gaps(entries + 1),
      m_block(2 * 3 * BlockEntries * BlockPixels)
{
}

namespace {

uint32_t meanOf(uint16_t* values, int32_t count, const MeanRule& rule)
{
    return rule.clipped ? sigmaClippedMean(values, count, rule.factor, rule.iterations) : plainMean(values, count);
}

// trunc(a·(1 − c) + b·c) in double precision.
uint32_t blend(uint32_t a, uint32_t b, double c)
{
    return static_cast<uint32_t>(static_cast<double>(a) * (1.0 - c) + static_cast<double>(b) * c);
}

}  // namespace

// Gives the row functions access to the scratch arrays without exposing them.
struct RowWork {
    static uint16_t* values(RowScratch& s) { return s.m_values.data(); }
    static GroundSample* samples(RowScratch& s) { return s.m_samples.data(); }
    static int32_t* gaps(RowScratch& s) { return s.m_gaps.data(); }
    static uint16_t* block(RowScratch& s) { return s.m_block.data(); }
    // The block's values again, each pixel's own values contiguous (pixel-major).
    static uint16_t* ordered(RowScratch& s) { return s.m_block.data() + 3 * BlockEntries * BlockPixels; }
};

namespace {

// Result of one channel of "Select best pixels" from the covered values in ascending order.
uint32_t bestOfOrdered(const uint16_t* ordered, int32_t count, double c, int64_t factor)
{
    if (c <= 0.0)
        return plainMean(ordered, count);
    const uint32_t clipped = sigmaClippedMeanOfOrdered(ordered, count, factor, MaxClippingIterations);
    return c < 1.0 ? blend(plainMean(ordered, count), clipped, c) : clipped;
}

// Comparators of Batcher's odd-even merge sort for `count` values: the network of the next power
// of two without the comparators that reach past `count`. Those would only meet values above all
// others, so they never swap, and the rest still sorts.
std::vector<std::pair<uint8_t, uint8_t>> mergeNetwork(int32_t count)
{
    int32_t size = 1;
    while (size < count)
        size *= 2;
    std::vector<std::pair<uint8_t, uint8_t>> pairs;
    for (int32_t p = 1; p < size; p *= 2)
        for (int32_t k = p; k >= 1; k /= 2)
            for (int32_t j = k % p; j + k < count; j += 2 * k)
                for (int32_t i = 0; i < k && i + j + k < count; ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p))
                        pairs.emplace_back(static_cast<uint8_t>(i + j), static_cast<uint8_t>(i + j + k));
    return pairs;
}

// Networks for 0 .. BlockEntries values, made once.
const std::vector<std::pair<uint8_t, uint8_t>>& networkFor(int32_t entries)
{
    static const std::array<std::vector<std::pair<uint8_t, uint8_t>>, BlockEntries + 1> networks = [] {
        std::array<std::vector<std::pair<uint8_t, uint8_t>>, BlockEntries + 1> all;
        for (int32_t n = 0; n <= BlockEntries; ++n)
            all[static_cast<size_t>(n)] = mergeNetwork(n);
        return all;
    }();
    return networks[static_cast<size_t>(entries)];
}

#if defined(__SSE2__)
// R, G and B of eight consecutive stored pixels (four 16-bit words each) as three vectors of eight
// lanes; an uncovered pixel reads 65535 in every channel, and `count` goes up by one in each
// covered lane.
inline void gatherPixels(const uint16_t* p, __m128i& r, __m128i& g, __m128i& b, __m128i& count)
{
    const __m128i q0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i q1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    const __m128i q2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i q3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 24));
    const __m128i t0 = _mm_unpacklo_epi16(q0, q1), t1 = _mm_unpackhi_epi16(q0, q1);
    const __m128i t2 = _mm_unpacklo_epi16(q2, q3), t3 = _mm_unpackhi_epi16(q2, q3);
    const __m128i u0 = _mm_unpacklo_epi16(t0, t1), u1 = _mm_unpackhi_epi16(t0, t1);  // R0-3 G0-3, B0-3 F0-3
    const __m128i u2 = _mm_unpacklo_epi16(t2, t3), u3 = _mm_unpackhi_epi16(t2, t3);  // R4-7 G4-7, B4-7 F4-7
    const __m128i flags = _mm_unpackhi_epi64(u1, u3);
    const __m128i coveredBit = _mm_set1_epi16(static_cast<short>(CoveredFlag));
    const __m128i covered = _mm_cmpeq_epi16(_mm_and_si128(flags, coveredBit), coveredBit);
    const __m128i uncovered = _mm_andnot_si128(covered, _mm_set1_epi16(-1));
    r = _mm_or_si128(_mm_unpacklo_epi64(u0, u2), uncovered);
    g = _mm_or_si128(_mm_unpackhi_epi64(u0, u2), uncovered);
    b = _mm_or_si128(_mm_unpacklo_epi64(u1, u3), uncovered);
    count = _mm_sub_epi16(count, covered);  // covered lanes are −1
}

// Rows 0..7 of an 8 × 8 block (rows BlockPixels apart) become columns: out row j (rows `stride`
// apart) holds column j.
inline void transpose8x8(const uint16_t* in, uint16_t* out, size_t stride)
{
    __m128i r[8];
    for (int i = 0; i < 8; ++i)
        r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i * BlockPixels));
    const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    const __m128i columns[8] = {_mm_unpacklo_epi64(b0, b4), _mm_unpackhi_epi64(b0, b4), _mm_unpacklo_epi64(b1, b5),
                                _mm_unpackhi_epi64(b1, b5), _mm_unpacklo_epi64(b2, b6), _mm_unpackhi_epi64(b2, b6),
                                _mm_unpacklo_epi64(b3, b7), _mm_unpackhi_epi64(b3, b7)};
    for (int j = 0; j < 8; ++j)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j * stride), columns[j]);
}

// Orders the values of pixels x .. x+7 over every entry, per channel: afterwards pixel j's
// channel k runs in ascending order from ordered + (k·BlockPixels + j)·BlockEntries, its covered
// values first (counts[j] of them; uncovered ones read 65535 and sort last).
void orderBlock(const uint16_t* const* rows, int32_t entries,
                const std::vector<std::pair<uint8_t, uint8_t>>& network, int32_t x, uint16_t* block,
                uint16_t* ordered, int32_t counts[BlockPixels])
{
    static_assert(BlockPixels == 8, "one 128-bit lane group per row");
    // Every row flipped into the signed range: SSE2 only compares signed 16-bit lanes.
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    __m128i channels[3][BlockEntries];
    __m128i count = _mm_setzero_si128();
    for (int32_t e = 0; e < entries; ++e) {
        __m128i r, g, b;
        gatherPixels(rows[e] + static_cast<size_t>(x) * 4, r, g, b, count);
        channels[0][e] = _mm_xor_si128(r, flip);
        channels[1][e] = _mm_xor_si128(g, flip);
        channels[2][e] = _mm_xor_si128(b, flip);
    }
    for (const auto& [a, b] : network)
        for (auto& channel : channels) {
            const __m128i low = _mm_min_epi16(channel[a], channel[b]);
            channel[b] = _mm_max_epi16(channel[a], channel[b]);
            channel[a] = low;
        }
    uint16_t lanes[BlockPixels];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), count);
    for (int32_t j = 0; j < BlockPixels; ++j)
        counts[j] = lanes[j];
    const size_t plane = static_cast<size_t>(BlockEntries) * BlockPixels;
    for (int k = 0; k < 3; ++k) {
        for (int32_t e = 0; e < entries; ++e)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(block + e * BlockPixels), _mm_xor_si128(channels[k][e], flip));
        // Rows past `entries` are stale but lie beyond every pixel's count.
        for (int32_t e = 0; e < entries; e += 8)
            transpose8x8(block + e * BlockPixels, ordered + k * plane + e, BlockEntries);
    }
}
#else
void orderBlock(const uint16_t* const* rows, int32_t entries,
                const std::vector<std::pair<uint8_t, uint8_t>>& network, int32_t x, uint16_t* block,
                uint16_t* ordered, int32_t counts[BlockPixels])
{
    const size_t plane = static_cast<size_t>(BlockEntries) * BlockPixels;
    for (int32_t j = 0; j < BlockPixels; ++j) {
        counts[j] = 0;
        for (int k = 0; k < 3; ++k)
            std::fill_n(ordered + k * plane + j * BlockEntries, entries, uint16_t{65535});
        for (int32_t e = 0; e < entries; ++e) {
            const uint16_t* p = rows[e] + static_cast<size_t>(x + j) * 4;
            if (!(p[3] & CoveredFlag))
                continue;
            for (int k = 0; k < 3; ++k)
                ordered[k * plane + j * BlockEntries + counts[j]] = p[k];
            ++counts[j];
        }
        for (int k = 0; k < 3; ++k)
            std::sort(ordered + k * plane + j * BlockEntries, ordered + k * plane + j * BlockEntries + counts[j]);
    }
    (void)network;
    (void)block;
}
#endif

}  // namespace

void bestPixelsRow(RowScratch& scratch, int32_t entries, int32_t width, int32_t y, const SkyWeight& sky,
                   int64_t factor, uint32_t* out)
{
    const uint16_t** rows = scratch.rows();
    const size_t stride = scratch.entries();
    uint16_t* values = RowWork::values(scratch);
    uint16_t* channel[3] = {values, values + stride, values + 2 * stride};
    int32_t x = 0;
    if (entries >= 2 && entries <= BlockEntries) {
        // Eight pixels at a time: their values are ordered together by a sorting network, uncovered
        // ones as 65535, which sorts last and so leaves each pixel's covered values in front.
        const auto& network = networkFor(entries);
        uint16_t* block = RowWork::block(scratch);
        uint16_t* ordered = RowWork::ordered(scratch);
        const size_t plane = static_cast<size_t>(BlockEntries) * BlockPixels;
        for (; x + BlockPixels <= width; x += BlockPixels) {
            int32_t counts[BlockPixels];
            orderBlock(rows, entries, network, x, block, ordered, counts);
            for (int32_t j = 0; j < BlockPixels; ++j) {
                const double c = sky.at(x + j, y);
                uint32_t* pixel = out + static_cast<size_t>(x + j) * 3;
                for (int k = 0; k < 3; ++k)
                    pixel[k] = bestOfOrdered(ordered + k * plane + j * BlockEntries, counts[j], c, factor);
            }
        }
    }
    const MeanRule rule{true, factor, MaxClippingIterations};
    for (; x < width; ++x) {
        int32_t count = 0;
        const size_t at = static_cast<size_t>(x) * 4;
        for (int32_t e = 0; e < entries; ++e) {
            const uint16_t* p = rows[e] + at;
            if (p[3] & CoveredFlag) {
                channel[0][count] = p[0];
                channel[1][count] = p[1];
                channel[2][count] = p[2];
                ++count;
            }
        }
        const double c = sky.at(x, y);
        uint32_t* pixel = out + static_cast<size_t>(x) * 3;
        for (int k = 0; k < 3; ++k) {
            if (c <= 0.0) {
                pixel[k] = plainMean(channel[k], count);
                continue;
            }
            // The plain mean first: clipping reorders the values, but their sum stays.
            const uint32_t plain = c < 1.0 ? plainMean(channel[k], count) : 0;
            const uint32_t clipped = meanOf(channel[k], count, rule);
            pixel[k] = c < 1.0 ? blend(plain, clipped, c) : clipped;
        }
    }
}

namespace {

// Per channel mean of the first `count` samples.
void sampleMeans(const GroundSample* samples, int32_t count, uint16_t* values, const MeanRule& rule, uint32_t mean[3])
{
    for (int k = 0; k < 3; ++k) {
        for (int32_t i = 0; i < count; ++i)
            values[i] = samples[i].rgb[k];
        mean[k] = meanOf(values, count, rule);
    }
}

}  // namespace

float freezeGroundRow(RowScratch& scratch, const int32_t* markers, int32_t entries, int32_t width, int32_t y,
                      const uint16_t* baseRow, int32_t baseStride, const SkyWeight& sky, const MeanRule& rule,
                      uint32_t* out, float* weights)
{
    const uint16_t** rows = scratch.rows();
    uint16_t* values = RowWork::values(scratch);
    GroundSample* samples = RowWork::samples(scratch);
    int32_t* gaps = RowWork::gaps(scratch);
    const int32_t alignedShare = entries / 2 + 1;  // base and aligned entries when every frame was stored
    float maximum = 0.0f;
    for (int32_t x = 0; x < width; ++x) {
        int32_t count = 0;
        const size_t at = static_cast<size_t>(x) * 4;
        for (int32_t e = 0; e < entries; ++e) {
            const uint16_t* p = rows[e] + at;
            if (!(p[3] & CoveredFlag))
                continue;
            GroundSample& s = samples[count++];
            s.rgb[0] = p[0];
            s.rgb[1] = p[1];
            s.rgb[2] = p[2];
            s.marker = static_cast<uint16_t>(((p[3] & SkyFlag) ? SkyBit : 0) | markers[e]);
            s.key = brightnessKey(p[0], p[1], p[2]);
        }

        const double c = sky.at(x, y);
        uint32_t skyValue[3] = {0, 0, 0}, groundValue[3] = {0, 0, 0};
        double weight = 0.0;
        if (c > 0.0) {
            GroundSample* end = std::partition(samples, samples + count, [](const GroundSample& s) {
                return (s.marker & (AlignedBit | SkyBit)) == (AlignedBit | SkyBit);
            });
            const int32_t seen = static_cast<int32_t>(end - samples);
            sampleMeans(samples, seen, values, rule, skyValue);
            // A sky pixel that fewer aligned frames saw counts for less (the finishing pass fills it in).
            weight = seen == alignedShare ? c : c * seen / alignedShare;
        }
        if (c < 1.0) {
            const uint16_t* base = baseRow + static_cast<size_t>(x) * baseStride;
            const int32_t chosen = selectGround(samples, count, entries, brightnessKey(base[0], base[1], base[2]), gaps);
            sampleMeans(samples, chosen, values, rule, groundValue);
        }

        uint32_t* pixel = out + static_cast<size_t>(x) * 3;
        for (int k = 0; k < 3; ++k)
            pixel[k] = c >= 1.0 ? skyValue[k] : c <= 0.0 ? groundValue[k] : blend(groundValue[k], skyValue[k], c);
        const float w = static_cast<float>(weight);
        weights[x] = w;
        maximum = std::max(maximum, w);
    }
    return maximum;
}

}  // namespace velstack
