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
      m_block(3 * BlockEntries * BlockPixels)
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

// Comparators of Batcher's odd-even merge sort for `size` (a power of two) values.
std::vector<std::pair<uint8_t, uint8_t>> mergeNetwork(int32_t size)
{
    std::vector<std::pair<uint8_t, uint8_t>> pairs;
    for (int32_t p = 1; p < size; p *= 2)
        for (int32_t k = p; k >= 1; k /= 2)
            for (int32_t j = k % p; j + k < size; j += 2 * k)
                for (int32_t i = 0; i < k && i + j + k < size; ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p))
                        pairs.emplace_back(static_cast<uint8_t>(i + j), static_cast<uint8_t>(i + j + k));
    return pairs;
}

// Networks for 2, 4, ... BlockEntries values, made once.
const std::vector<std::pair<uint8_t, uint8_t>>& networkFor(int32_t entries, int32_t& size)
{
    static const std::array<std::vector<std::pair<uint8_t, uint8_t>>, 7> networks = [] {
        std::array<std::vector<std::pair<uint8_t, uint8_t>>, 7> all;
        for (int32_t i = 0; i < 7; ++i)
            all[static_cast<size_t>(i)] = mergeNetwork(1 << i);
        return all;
    }();
    int32_t level = 0;
    while ((1 << level) < entries)
        ++level;
    size = 1 << level;
    return networks[static_cast<size_t>(level)];
}

#if defined(__SSE2__)
// Sorts `size` rows of BlockPixels values column by column: every column ends up ascending. The
// values are flipped into the signed range because SSE2 only compares signed 16-bit lanes.
void sortColumns(uint16_t* block, int32_t size, const std::vector<std::pair<uint8_t, uint8_t>>& network)
{
    static_assert(BlockPixels == 8, "one 128-bit lane group per row");
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    __m128i rows[BlockEntries];
    for (int32_t e = 0; e < size; ++e)
        rows[e] = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + e * BlockPixels)), flip);
    for (const auto& [a, b] : network) {
        const __m128i low = _mm_min_epi16(rows[a], rows[b]);
        rows[b] = _mm_max_epi16(rows[a], rows[b]);
        rows[a] = low;
    }
    for (int32_t e = 0; e < size; ++e)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + e * BlockPixels), _mm_xor_si128(rows[e], flip));
}
#else
void sortColumns(uint16_t* block, int32_t size, const std::vector<std::pair<uint8_t, uint8_t>>& network)
{
    for (const auto& [a, b] : network)
        for (int32_t j = 0; j < BlockPixels; ++j) {
            uint16_t& x = block[a * BlockPixels + j];
            uint16_t& y = block[b * BlockPixels + j];
            if (y < x)
                std::swap(x, y);
        }
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
        int32_t size = 0;
        const auto& network = networkFor(entries, size);
        uint16_t* block = RowWork::block(scratch);
        for (; x + BlockPixels <= width; x += BlockPixels) {
            int32_t counts[BlockPixels] = {};
            for (int32_t e = 0; e < size; ++e)
                for (int32_t j = 0; j < BlockPixels; ++j) {
                    const uint16_t* p = e < entries ? rows[e] + static_cast<size_t>(x + j) * 4 : nullptr;
                    const bool covered = p && (p[3] & CoveredFlag);
                    counts[j] += covered ? 1 : 0;
                    for (int k = 0; k < 3; ++k)
                        block[(k * BlockEntries + e) * BlockPixels + j] = covered ? p[k] : 65535;
                }
            for (int k = 0; k < 3; ++k)
                sortColumns(block + k * BlockEntries * BlockPixels, size, network);
            for (int32_t j = 0; j < BlockPixels; ++j) {
                const double c = sky.at(x + j, y);
                uint32_t* pixel = out + static_cast<size_t>(x + j) * 3;
                for (int k = 0; k < 3; ++k) {
                    for (int32_t e = 0; e < counts[j]; ++e)
                        channel[k][e] = block[(k * BlockEntries + e) * BlockPixels + j];
                    pixel[k] = bestOfOrdered(channel[k], counts[j], c, factor);
                }
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
