#include "registration/SquareRatio.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "parallel/VectorClones.h"

namespace velreg {
namespace {

constexpr int32_t kChunk = 64;


// Column sums of 2r + 1 prefix rows (centred on the row) for every radius, each from the one before,
// over the strip columns [from, to).
VELOSTAR_VECTOR_CLONES
void sumStrips(const uint32_t* const* rows, int32_t reach, int32_t r0, int32_t columns, int32_t from, int32_t to,
               uint32_t* strips)
{
    // rows[d + reach] is the prefix row at offset d from the centre row.
    uint32_t* strip = strips;
    const uint32_t* centre = rows[reach];
    for (int32_t i = from; i < to; ++i)
        strip[i] = centre[i];
    for (int32_t d = 1; d <= r0; ++d) {
        const uint32_t* above = rows[reach - d];
        const uint32_t* below = rows[reach + d];
        for (int32_t i = from; i < to; ++i)
            strip[i] += above[i] + below[i];
    }
    for (int32_t r = r0 + 1; r <= reach; ++r) {
        const uint32_t* previous = strip;
        strip += columns;
        const uint32_t* above = rows[reach - r];
        const uint32_t* below = rows[reach + r];
        for (int32_t i = from; i < to; ++i)
            strip[i] = previous[i] + above[i] + below[i];
    }
}

// Up to this square radius 1024 times a square sum fits 32 bits (frames narrower than 27563 pixels).
constexpr int32_t kFastRadiusLimit = 44;
// Quotients below this come out exact from the single-precision estimate and one correction step.
constexpr int32_t kExactQuotient = 1 << 22;

// The ratio of one pixel in 64-bit integers: the definition itself, for the rare pixel whose ring is
// so dark that the quotient leaves the range of the fast path.
uint32_t exactRatio(const uint32_t* strips, int32_t columns, int32_t r0, int32_t r1, int32_t centre)
{
    int64_t best = 1024;
    for (int32_t k = r0; k <= r1; ++k) {
        const uint32_t* inner = strips + static_cast<size_t>(k - r0) * columns + centre;
        const uint32_t* outer = strips + static_cast<size_t>(k + 3 - r0) * columns + centre;
        const int64_t innerSum = static_cast<uint32_t>(inner[k + 1] - inner[-k]);
        const int64_t outerSum = static_cast<uint32_t>(outer[k + 4] - outer[-k - 3]);
        const int64_t innerArea = int64_t{2 * k + 1} * (2 * k + 1);
        const int64_t ringArea = int64_t{2 * k + 7} * (2 * k + 7) - innerArea;
        const int64_t ring = std::max<int64_t>(outerSum - innerSum, 1);
        const int64_t v = 1024 * innerSum / innerArea * ringArea / ring;
        if (v > 1024)
            best = std::max(best, (v - 1024) * k + 1024);
    }
    return best > 1024 ? static_cast<uint32_t>(std::min<int64_t>(best, INT32_MAX)) : 0u;
}

// Best ratio of `count` ≤ kChunk pixels whose first square centre is strip column `column`. Each
// floor division is estimated in single precision and corrected by one step in 32-bit integers, which
// is exact while the quotient stays below kExactQuotient (the products stay below 2^31); the few
// pixels beyond that are redone in 64-bit integers. The loop has no branches so that it vectorises.
VELOSTAR_VECTOR_CLONES
void chunkRatios(const uint32_t* strips, int32_t columns, int32_t r0, int32_t r1, int32_t column, int32_t count,
                 uint32_t* out)
{
    int32_t best[kChunk];
    int32_t beyond[kChunk];
    for (int32_t i = 0; i < count; ++i) {
        best[i] = 1024;
        beyond[i] = 0;
    }
    for (int32_t k = r0; k <= r1; ++k) {
        const uint32_t* inner = strips + static_cast<size_t>(k - r0) * columns + column;
        const uint32_t* outer = strips + static_cast<size_t>(k + 3 - r0) * columns + column;
        const int32_t innerArea = (2 * k + 1) * (2 * k + 1);
        const int32_t ringArea = (2 * k + 7) * (2 * k + 7) - innerArea;
        const float reciprocal = 1.0f / static_cast<float>(innerArea);
        for (int32_t i = 0; i < count; ++i) {
            const int32_t innerSum = static_cast<int32_t>(inner[i + k + 1] - inner[i - k]);
            const int32_t outerSum = static_cast<int32_t>(outer[i + k + 4] - outer[i - k - 3]);
            const int32_t ring = std::max(outerSum - innerSum, 1);
            // ⌊1024·I / area⌋
            const int32_t scaled = innerSum << 10;
            int32_t mean = static_cast<int32_t>(static_cast<float>(scaled) * reciprocal);
            const int32_t rest = scaled - mean * innerArea;
            mean += (rest >= innerArea ? 1 : 0) - (rest < 0 ? 1 : 0);
            // ⌊mean·A / O⌋
            const int32_t product = mean * ringArea;
            int32_t v = static_cast<int32_t>(static_cast<float>(product) / static_cast<float>(ring));
            const int32_t remainder = product - v * ring;
            v += (remainder >= ring ? 1 : 0) - (remainder < 0 ? 1 : 0);
            beyond[i] |= v >= kExactQuotient ? 1 : 0;
            v = std::min(v, kExactQuotient);
            // Where v ≤ 1024 this is at most 1024 and never decides a ratio above 1024.
            best[i] = std::max(best[i], (v - 1024) * k + 1024);
        }
    }
    for (int32_t i = 0; i < count; ++i)
        out[i] = best[i] > 1024 ? static_cast<uint32_t>(best[i]) : 0u;
    for (int32_t i = 0; i < count; ++i)
        if (beyond[i])
            out[i] = exactRatio(strips, columns, r0, r1, column + i);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VELOSTAR_RATIO_AVX512 1
// Quotients below this come out exact from the refined reciprocal and one correction step.
constexpr int32_t kExactReciprocalQuotient = 1 << 21;

// chunkRatios for a whole chunk of 64 pixels, sixteen at a time, the best values kept in registers.
// The ring division uses the processor's reciprocal estimate refined by one Newton step instead of
// a division (relative error near 2^-22, so the truncated quotient is off by at most one below
// kExactReciprocalQuotient, which the correction step mends); the pixels beyond are redone exactly.
// GCC 12 takes the "undefined" pass-through operands inside its own intrinsics for uninitialised reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f"))) void chunkRatiosAvx512(const uint32_t* strips, int32_t columns, int32_t r0,
                                                          int32_t r1, int32_t column, uint32_t bright, uint32_t* out)
{
    constexpr int32_t kLanes = 16;
    constexpr int32_t kVectors = kChunk / kLanes;
    const __m512i unit = _mm512_set1_epi32(1024);
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i limit = _mm512_set1_epi32(kExactReciprocalQuotient);
    const __m512 two = _mm512_set1_ps(2.0f);
    __m512i best[kVectors];
    __mmask16 beyond[kVectors];
    for (int32_t q = 0; q < kVectors; ++q) {
        best[q] = unit;
        beyond[q] = 0;
    }
    for (int32_t k = r0; k <= r1; ++k) {
        const uint32_t* inner = strips + static_cast<size_t>(k - r0) * columns + column;
        const uint32_t* outer = strips + static_cast<size_t>(k + 3 - r0) * columns + column;
        const int32_t innerArea = (2 * k + 1) * (2 * k + 1);
        const int32_t ringArea = (2 * k + 7) * (2 * k + 7) - innerArea;
        const __m512i area = _mm512_set1_epi32(innerArea);
        const __m512i ringAreas = _mm512_set1_epi32(ringArea);
        const __m512i radius = _mm512_set1_epi32(k);
        const __m512 reciprocal = _mm512_set1_ps(1.0f / static_cast<float>(innerArea));
        for (int32_t q = 0; q < kVectors; ++q) {
            if (((bright >> q) & 1) == 0)
                continue;
            const int32_t i = q * kLanes;
            const __m512i innerSum = _mm512_sub_epi32(_mm512_loadu_si512(inner + i + k + 1), _mm512_loadu_si512(inner + i - k));
            const __m512i outerSum =
                _mm512_sub_epi32(_mm512_loadu_si512(outer + i + k + 4), _mm512_loadu_si512(outer + i - k - 3));
            const __m512i ring = _mm512_max_epi32(_mm512_sub_epi32(outerSum, innerSum), one);
            // ⌊1024·I / area⌋
            const __m512i scaled = _mm512_slli_epi32(innerSum, 10);
            __m512i mean = _mm512_cvttps_epi32(_mm512_mul_ps(_mm512_cvtepi32_ps(scaled), reciprocal));
            const __m512i rest = _mm512_sub_epi32(scaled, _mm512_mullo_epi32(mean, area));
            mean = _mm512_mask_add_epi32(mean, _mm512_cmpge_epi32_mask(rest, area), mean, one);
            mean = _mm512_mask_sub_epi32(mean, _mm512_cmplt_epi32_mask(rest, _mm512_setzero_si512()), mean, one);
            // ⌊mean·A / O⌋
            const __m512i product = _mm512_mullo_epi32(mean, ringAreas);
            const __m512 ringF = _mm512_cvtepi32_ps(ring);
            __m512 inverse = _mm512_rcp14_ps(ringF);
            inverse = _mm512_mul_ps(inverse, _mm512_fnmadd_ps(ringF, inverse, two));
            __m512i v = _mm512_cvttps_epi32(_mm512_mul_ps(_mm512_cvtepi32_ps(product), inverse));
            const __m512i remainder = _mm512_sub_epi32(product, _mm512_mullo_epi32(v, ring));
            v = _mm512_mask_add_epi32(v, _mm512_cmpge_epi32_mask(remainder, ring), v, one);
            v = _mm512_mask_sub_epi32(v, _mm512_cmplt_epi32_mask(remainder, _mm512_setzero_si512()), v, one);
            beyond[q] |= _mm512_cmpge_epi32_mask(v, limit);
            v = _mm512_min_epi32(v, limit);
            // Where v ≤ 1024 this is at most 1024 and never decides a ratio above 1024.
            best[q] = _mm512_max_epi32(best[q], _mm512_add_epi32(_mm512_mullo_epi32(_mm512_sub_epi32(v, unit), radius), unit));
        }
    }
    for (int32_t q = 0; q < kVectors; ++q) {
        const __m512i value = _mm512_maskz_mov_epi32(_mm512_cmpgt_epi32_mask(best[q], unit), best[q]);
        _mm512_storeu_si512(out + q * kLanes, value);
        for (uint32_t rest = beyond[q]; rest; rest &= rest - 1) {
            const int32_t lane = std::countr_zero(rest);
            out[q * kLanes + lane] = exactRatio(strips, columns, r0, r1, column + q * kLanes + lane);
        }
    }
}
#pragma GCC diagnostic pop
#endif

// Bit i set where pixel i of these 64 is a candidate: ratio above 1024 and luminance at least
// minLuminance.
VELOSTAR_VECTOR_CLONES
uint64_t candidateBits(const uint32_t* ratio, const uint8_t* luminance, uint8_t minLuminance)
{
    uint8_t flags[64];
    for (int32_t i = 0; i < 64; ++i)
        flags[i] = static_cast<uint8_t>((ratio[i] > 1024 ? 1 : 0) & (luminance[i] >= minLuminance ? 1 : 0));
    // Eight 0/1 bytes into eight bits, lowest byte to lowest bit, by one multiplication.
    uint64_t bits = 0;
    for (int32_t group = 0; group < 8; ++group) {
        uint64_t bytes;
        std::memcpy(&bytes, flags + 8 * group, 8);
        bits |= ((bytes * 0x0102040810204080ull) >> 56) << (8 * group);
    }
    return bits;
}

// Bit q set where pixels 16q … 16q + 15 of these 64 hold a luminance of at least `minimum`.
VELOSTAR_VECTOR_CLONES
uint32_t brightSixteens(const uint8_t* luminance, uint8_t minimum)
{
    uint32_t bits = 0;
    for (int32_t q = 0; q < 4; ++q) {
        uint8_t brightest = 0;
        for (int32_t i = 0; i < 16; ++i)
            brightest = std::max(brightest, luminance[16 * q + i]);
        bits |= uint32_t{brightest >= minimum} << q;
    }
    return bits;
}

// Whether any of the `count` luminances reaches `minimum` (a max reduction, so it vectorises).
VELOSTAR_VECTOR_CLONES
bool anyAtLeast(const uint8_t* luminance, int32_t count, uint8_t minimum)
{
    uint8_t brightest = 0;
    for (int32_t i = 0; i < count; ++i)
        brightest = std::max(brightest, luminance[i]);
    return brightest >= minimum;
}

using Lanes32 = uint32_t __attribute__((vector_size(64)));

// Shuffle orders that move sixteen lanes up by 1, 2, 4 and 8 places, lane 16 (of the zero vector)
// entering at the bottom.
constexpr Lanes32 kUp1{16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
constexpr Lanes32 kUp2{16, 16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
constexpr Lanes32 kUp4{16, 16, 16, 16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr Lanes32 kUp8{16, 16, 16, 16, 16, 16, 16, 16, 0, 1, 2, 3, 4, 5, 6, 7};
constexpr Lanes32 kZeroLanes{};

// target[i] = source[0] + … + source[i] for i < count: the bytes are widened in place first, then
// scanned sixteen lanes at a time, each block in four shifted additions and lifted by the sum of the
// blocks before it.
VELOSTAR_VECTOR_CLONES
void inclusiveSums(const uint8_t* source, int32_t count, uint32_t* target)
{
    for (int32_t i = 0; i < count; ++i)
        target[i] = source[i];
    uint32_t carry = 0;
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        Lanes32 lanes;
        std::memcpy(&lanes, target + i, sizeof lanes);
        lanes += __builtin_shuffle(lanes, kZeroLanes, kUp1);
        lanes += __builtin_shuffle(lanes, kZeroLanes, kUp2);
        lanes += __builtin_shuffle(lanes, kZeroLanes, kUp4);
        lanes += __builtin_shuffle(lanes, kZeroLanes, kUp8);
        lanes += carry;
        std::memcpy(target + i, &lanes, sizeof lanes);
        carry = lanes[15];
    }
    for (; i < count; ++i) {
        carry += target[i];
        target[i] = carry;
    }
}

}  // namespace

SquareRatioRows::SquareRatioRows(int32_t r0, int32_t r1, int32_t x0, int32_t x1)
    : m_r0(r0),
      m_r1(r1),
      m_reach(r1 + 3),
      m_x0(x0),
      m_x1(x1),
      m_columns(x1 - x0 + 2 * (r1 + 3) + 1),
      m_prefixes(static_cast<size_t>(2 * (r1 + 3) + 2) * m_columns),
      m_strips(static_cast<size_t>(r1 + 4 - r0) * m_columns)
{
}

const uint32_t* SquareRatioRows::prefix(int32_t row) const
{
    const int32_t slots = 2 * m_reach + 2;
    return m_prefixes.data() + static_cast<size_t>(row % slots) * m_columns;
}

// Entry i = sum of the row's luminance over the i columns from x0 − reach.
void SquareRatioRows::prefixRow(const uint8_t* luminance, int32_t stride, int32_t row)
{
    uint32_t* target = const_cast<uint32_t*>(prefix(row));
    const uint8_t* source = luminance + static_cast<size_t>(row) * stride + (m_x0 - m_reach);
    target[0] = 0;
    inclusiveSums(source, m_columns - 1, target + 1);
}

void SquareRatioRows::candidates(const uint8_t* luminance, int32_t stride, int32_t y, const uint8_t* floors,
                                 uint32_t* ratio, uint64_t* words)
{
    // The ring still holds the rows of the previous call: only the row entering at the bottom is new.
    if (!m_started || y != m_lastRow + 1)
        for (int32_t row = y - m_reach; row < y + m_reach; ++row)
            prefixRow(luminance, stride, row);
    prefixRow(luminance, stride, y + m_reach);
    m_started = true;
    m_lastRow = y;

    // Word-sized chunks; a dark sky leaves most of them without a pixel bright enough to measure, and
    // a row without any needs no square sums at all.
    const uint8_t* lum = luminance + static_cast<size_t>(y) * stride;
    // The strips are summed only over the columns the measured chunks read: the bright chunks of a
    // row are often few and far between.
    const uint32_t* rows[2 * 59 + 1];
    bool rowsFound = false;
    int32_t summedEnd = 0;
    for (int32_t word = m_x0 >> 6; word <= (m_x1 - 1) >> 6; ++word) {
        const int32_t begin = std::max(word << 6, m_x0);
        const int32_t end = std::min((word << 6) + 64, m_x1);
        const uint8_t wordFloor = std::max(floors[word], kMinStarLuminance);
        if (!anyAtLeast(lum + begin, end - begin, wordFloor))
            continue;
        if (!rowsFound) {
            for (int32_t d = -m_reach; d <= m_reach; ++d)
                rows[d + m_reach] = prefix(y + d);
            rowsFound = true;
        }
        // The chunk's squares reach `reach` columns to its left and reach + 1 to its right.
        const int32_t from = std::max(begin - m_x0, summedEnd);
        const int32_t to = end - m_x0 + 2 * m_reach + 1;
        sumStrips(rows, m_reach, m_r0, m_columns, from, to, m_strips.data());
        summedEnd = to;
        // Pixel x's squares centre on strip column x − (x0 − reach).
        const int32_t column = begin - m_x0 + m_reach;
#ifdef VELOSTAR_RATIO_AVX512
        static const bool avx512 = __builtin_cpu_supports("avx512f");
        if (avx512 && end - begin == kChunk && m_r1 <= kFastRadiusLimit)
            chunkRatiosAvx512(m_strips.data(), m_columns, m_r0, m_r1, column, brightSixteens(lum + begin, wordFloor),
                              ratio + begin);
        else
#endif
        if (m_r1 <= kFastRadiusLimit)
            chunkRatios(m_strips.data(), m_columns, m_r0, m_r1, column, end - begin, ratio + begin);
        else
            for (int32_t i = 0; i < end - begin; ++i)
                ratio[begin + i] = exactRatio(m_strips.data(), m_columns, m_r0, m_r1, column + i);
        if (end - begin == 64) {
            words[word] = candidateBits(ratio + begin, lum + begin, wordFloor);
        } else {
            uint64_t bits = 0;
            for (int32_t x = begin; x < end; ++x)
                if (ratio[x] > 1024 && lum[x] >= wordFloor)
                    bits |= uint64_t{1} << (x & 63);
            words[word] = bits;
        }
    }
}

}  // namespace velreg
