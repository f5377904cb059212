#include "corrections/FlatField.h"

#include <algorithm>
#include <array>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "parallel/ProcessPool.h"
#include "parallel/VectorClones.h"

namespace veltone {

namespace {

// Pixels whose gains are spread to their three samples at a time: the spread copies stay on the stack.
constexpr int32_t kRun = 256;
// Rows of a transposed pass that share one read of map rows: the map row of a frame column then holds
// the gains of all of them side by side, and their turned gains stay in cache.
constexpr int32_t kTransposedBand = 64;

// With g = hi·65536 + lo, (v·g) >> 16 = v·hi + ((v·lo) >> 16) exactly. Every part of that is a 16 × 16
// multiply (high and low halves), so the whole pass runs in 16-bit lanes: the result is white as soon
// as the high half of v·hi is set or its low half plus the fraction wraps.
VELOSTAR_VECTOR_CLONES_16
void scaleFrameRun(uint16_t* samples, const uint32_t* gains, int32_t pixels)
{
    uint16_t lo[3 * kRun], hi[3 * kRun];
    for (int32_t start = 0; start < pixels; start += kRun) {
        const int32_t count = std::min(kRun, pixels - start);
        const uint32_t* g = gains + start;
        for (int32_t x = 0; x < count; ++x) {
            const auto l = static_cast<uint16_t>(g[x]), h = static_cast<uint16_t>(g[x] >> 16);
            lo[3 * x] = lo[3 * x + 1] = lo[3 * x + 2] = l;
            hi[3 * x] = hi[3 * x + 1] = hi[3 * x + 2] = h;
        }
        uint16_t* v = samples + 3 * static_cast<size_t>(start);
        for (int32_t i = 0; i < 3 * count; ++i) {
            const uint32_t s = v[i];
            const auto whole = static_cast<uint16_t>((s * hi[i]) >> 16);
            const auto part = static_cast<uint16_t>(s * hi[i]);
            const auto fraction = static_cast<uint16_t>((s * lo[i]) >> 16);
            const auto sum = static_cast<uint16_t>(part + fraction);
            const bool over = whole != 0 || sum < part;
            v[i] = over ? uint16_t{65535} : sum;
        }
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define VELOSTAR_AVX512BW __attribute__((target("avx512f,avx512bw")))

// The frame scaling 32 pixels (96 samples) at a time: the gains' halves come packed in 16-bit lanes
// and are spread to their three samples by one permutation each, which the plain loop can only do
// with single stores.
class WideScaling {
public:
    VELOSTAR_AVX512BW WideScaling()
    {
        alignas(64) static const auto spread = [] {
            std::array<std::array<uint16_t, 32>, 3> index{};
            for (int32_t k = 0; k < 3; ++k)
                for (int32_t j = 0; j < 32; ++j)
                    index[k][j] = static_cast<uint16_t>((32 * k + j) / 3);
            return index;
        }();
        for (int32_t k = 0; k < 3; ++k)
            m_index[k] = _mm512_loadu_si512(spread[k].data());
    }

    // The 96 samples at `v` of the 32 pixels whose gains have the halves `lo` and `hi`. Nearly every
    // flat field gain lies below 2.0, where the whole part is 0 or 1: (v·g) >> 16 is then the high half
    // of v·lo, plus v itself where the whole part is 1 (saturating: white stays white). One multiply
    // per sample instead of three; blocks with larger gains take the full product.
    VELOSTAR_AVX512BW __attribute__((always_inline)) void scale(uint16_t* v, __m512i lo, __m512i hi) const
    {
        if (_mm512_cmpgt_epu16_mask(hi, _mm512_set1_epi16(1)) != 0)
            scaleFull(v, lo, hi);
        else
            scaleBelowTwo(v, lo, _mm512_test_epi16_mask(hi, hi));
    }

    // Gains below 2.0; `whole` marks the lanes at 1.0 or more.
    VELOSTAR_AVX512BW __attribute__((always_inline)) void scaleBelowTwo(uint16_t* v, __m512i lo, __mmask32 whole) const
    {
        if (whole == 0)
            scaleBelowOne(v, lo);
        else if (whole == 0xFFFFFFFFu)
            scaleOneToTwo(v, lo);
        else
            scaleMixed(v, lo, _mm512_movm_epi16(whole));
    }

    VELOSTAR_AVX512BW __attribute__((always_inline)) void scaleBelowOne(uint16_t* v, __m512i lo) const
    {
        for (int32_t k = 0; k < 3; ++k) {
            const __m512i s = _mm512_loadu_si512(v + 32 * k);
            _mm512_storeu_si512(v + 32 * k, _mm512_mulhi_epu16(s, _mm512_permutexvar_epi16(m_index[k], lo)));
        }
    }

    VELOSTAR_AVX512BW __attribute__((always_inline)) void scaleOneToTwo(uint16_t* v, __m512i lo) const
    {
        for (int32_t k = 0; k < 3; ++k) {
            const __m512i s = _mm512_loadu_si512(v + 32 * k);
            const __m512i part = _mm512_mulhi_epu16(s, _mm512_permutexvar_epi16(m_index[k], lo));
            _mm512_storeu_si512(v + 32 * k, _mm512_adds_epu16(part, s));
        }
    }

    // `ones`: all bits set in the lanes whose gain is at least 1.0.
    VELOSTAR_AVX512BW __attribute__((always_inline)) void scaleMixed(uint16_t* v, __m512i lo, __m512i ones) const
    {
        for (int32_t k = 0; k < 3; ++k) {
            const __m512i s = _mm512_loadu_si512(v + 32 * k);
            const __m512i part = _mm512_mulhi_epu16(s, _mm512_permutexvar_epi16(m_index[k], lo));
            const __m512i self = _mm512_and_si512(s, _mm512_permutexvar_epi16(m_index[k], ones));
            _mm512_storeu_si512(v + 32 * k, _mm512_adds_epu16(part, self));
        }
    }

    // With g = hi·65536 + lo, (v·g) >> 16 = v·hi + ((v·lo) >> 16): white as soon as the high half of
    // v·hi is set or its low half plus the fraction wraps.
    VELOSTAR_AVX512BW __attribute__((noinline)) void scaleFull(uint16_t* v, __m512i lo, __m512i hi) const
    {
        const __m512i white = _mm512_set1_epi16(-1);
        for (int32_t k = 0; k < 3; ++k) {
            const __m512i l = _mm512_permutexvar_epi16(m_index[k], lo), h = _mm512_permutexvar_epi16(m_index[k], hi);
            const __m512i s = _mm512_loadu_si512(v + 32 * k);
            const __m512i whole = _mm512_mulhi_epu16(s, h);
            const __m512i part = _mm512_mullo_epi16(s, h);
            const __m512i sum = _mm512_add_epi16(part, _mm512_mulhi_epu16(s, l));
            const __mmask32 over = _mm512_test_epi16_mask(whole, whole) | _mm512_cmplt_epu16_mask(sum, part);
            _mm512_storeu_si512(v + 32 * k, _mm512_mask_mov_epi16(sum, over, white));
        }
    }

private:
    __m512i m_index[3];
};

// The pixels below pixels & ~31 of a row with 32-bit gains; returns how many it did.
VELOSTAR_AVX512BW int32_t scaleFrameBlocksAvx512(uint16_t* samples, const uint32_t* gains, int32_t pixels)
{
    const WideScaling scaling;
    // The low halves of two vectors of gains are their even 16-bit lanes, the high halves the odd ones.
    alignas(64) static const auto halves = [] {
        std::array<std::array<uint16_t, 32>, 2> index{};
        for (int32_t j = 0; j < 32; ++j) {
            index[0][j] = static_cast<uint16_t>(2 * j);
            index[1][j] = static_cast<uint16_t>(2 * j + 1);
        }
        return index;
    }();
    const __m512i low = _mm512_loadu_si512(halves[0].data()), high = _mm512_loadu_si512(halves[1].data());
    int32_t x = 0;
    for (; x + 32 <= pixels; x += 32) {
        const __m512i g0 = _mm512_loadu_si512(gains + x), g1 = _mm512_loadu_si512(gains + x + 16);
        scaling.scale(samples + 3 * static_cast<size_t>(x), _mm512_permutex2var_epi16(g0, low, g1),
                      _mm512_permutex2var_epi16(g0, high, g1));
    }
    return x;
}

// The same with the gains base + offsets[x]: the low half wraps, and carries into the high one. A block
// with an escaped offset takes its gains from the map.
VELOSTAR_AVX512BW int32_t scaleFrameBlocksAvx512(uint16_t* samples, uint32_t base, const uint16_t* offsets,
                                                 const uint32_t* gains, int32_t pixels)
{
    const WideScaling scaling;
    const __m512i one = _mm512_set1_epi16(1);
    const __m512i escaped = _mm512_set1_epi16(static_cast<short>(CompactGains::kEscapedGain));
    const __m512i baseLo = _mm512_set1_epi16(static_cast<short>(base & 0xFFFF));
    const __m512i baseHi = _mm512_set1_epi16(static_cast<short>(base >> 16));
    // Below 2.0 the carry alone tells the whole part: from a base below 1.0 it marks the gains at 1.0
    // or more, from a base at 1.0 or more it marks the gains at 2.0 or more.
    const uint32_t whole = base >> 16;
    int32_t x = 0;
    for (; x + 32 <= pixels; x += 32) {
        const __m512i offset = _mm512_loadu_si512(offsets + x);
        uint16_t* v = samples + 3 * static_cast<size_t>(x);
        if (_mm512_cmpeq_epi16_mask(offset, escaped) != 0) {
            scaleFrameBlocksAvx512(v, gains + x, 32);
            continue;
        }
        const __m512i lo = _mm512_add_epi16(baseLo, offset);
        const __mmask32 carry = _mm512_cmplt_epu16_mask(lo, offset);
        if (whole == 0)
            scaling.scaleBelowTwo(v, lo, carry);
        else if (whole == 1 && carry == 0)
            scaling.scaleOneToTwo(v, lo);
        else
            scaling.scaleFull(v, lo, _mm512_mask_add_epi16(baseHi, carry, baseHi, one));
    }
    return x;
}
#endif

void scaleFrame(uint16_t* samples, uint32_t base, const uint16_t* offsets, const uint32_t* gains, int32_t pixels)
{
    int32_t x = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool wide = __builtin_cpu_supports("avx512bw");
    if (wide)
        x = scaleFrameBlocksAvx512(samples, base, offsets, gains, pixels);
#endif
    for (; x < pixels; ++x) {
        const uint64_t g = offsets[x] == CompactGains::kEscapedGain ? gains[x] : uint64_t{base} + offsets[x];
        for (int32_t c = 0; c < 3; ++c) {
            uint16_t& v = samples[3 * static_cast<size_t>(x) + c];
            v = static_cast<uint16_t>(std::min<uint64_t>(65535, (g * v) >> 16));
        }
    }
}

void scaleFrame(uint16_t* samples, const uint32_t* gains, int32_t pixels)
{
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool wide = __builtin_cpu_supports("avx512bw");
    if (wide) {
        const int32_t done = scaleFrameBlocksAvx512(samples, gains, pixels);
        samples += 3 * static_cast<size_t>(done);
        gains += done;
        pixels -= done;
    }
#endif
    scaleFrameRun(samples, gains, pixels);
}

// v' = (g·v) >> 16, or 0xFFFFFFFF when g·v reaches 2^48.
VELOSTAR_VECTOR_CLONES
void scaleSumRun(uint32_t* samples, const uint32_t* gains, int32_t pixels)
{
    uint32_t spread[3 * kRun];
    for (int32_t start = 0; start < pixels; start += kRun) {
        const int32_t count = std::min(kRun, pixels - start);
        const uint32_t* g = gains + start;
        for (int32_t x = 0; x < count; ++x)
            spread[3 * x] = spread[3 * x + 1] = spread[3 * x + 2] = g[x];
        uint32_t* v = samples + 3 * static_cast<size_t>(start);
        for (int32_t i = 0; i < 3 * count; ++i) {
            const uint64_t product = static_cast<uint64_t>(spread[i]) * v[i];
            v[i] = product >= (uint64_t{1} << 48) ? 0xFFFFFFFFu : static_cast<uint32_t>(product >> 16);
        }
    }
}

inline void scaleRun(uint16_t* samples, const uint32_t* gains, int32_t pixels) { scaleFrame(samples, gains, pixels); }
inline void scaleRun(uint32_t* samples, const uint32_t* gains, int32_t pixels) { scaleSumRun(samples, gains, pixels); }

// Row r of `turned` (width long) gets map column y0 + r, for r in [rowFrom, rows) and frame columns
// [xFrom, xTo). Eight map rows at a time, so each row of `turned` is written in runs of eight.
void turnPlain(const GainMap& gains, int32_t y0, int32_t rowFrom, int32_t rows, int32_t xFrom, int32_t xTo,
               int32_t width, uint32_t* turned)
{
    int32_t x = xFrom;
    for (; x + 8 <= xTo; x += 8) {
        const uint32_t* g[8];
        for (int32_t k = 0; k < 8; ++k)
            g[k] = gains.row(x + k) + y0;
        for (int32_t r = rowFrom; r < rows; ++r) {
            uint32_t* out = turned + static_cast<size_t>(r) * width + x;
            for (int32_t k = 0; k < 8; ++k)
                out[k] = g[k][r];
        }
    }
    for (; x < xTo; ++x) {
        const uint32_t* g = gains.row(x) + y0;
        for (int32_t r = rowFrom; r < rows; ++r)
            turned[static_cast<size_t>(r) * width + x] = g[r];
    }
}

#if defined(__x86_64__)
// The same for whole 8 × 8 blocks (columns below width & ~7, rows below rows & ~7): eight loads, an
// in-register transposition and eight stores per block instead of 64 single moves.
__attribute__((target("avx2"))) void turnBlocksAvx2(const GainMap& gains, int32_t y0, int32_t rows, int32_t width,
                                                     uint32_t* turned)
{
    for (int32_t x = 0; x + 8 <= width; x += 8) {
        const uint32_t* g[8];
        for (int32_t k = 0; k < 8; ++k)
            g[k] = gains.row(x + k) + y0;
        for (int32_t r = 0; r + 8 <= rows; r += 8) {
            __m256i a[8], t[8], u[8];
            for (int32_t k = 0; k < 8; ++k)
                a[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g[k] + r));
            for (int32_t k = 0; k < 8; k += 2) {
                t[k] = _mm256_unpacklo_epi32(a[k], a[k + 1]);
                t[k + 1] = _mm256_unpackhi_epi32(a[k], a[k + 1]);
            }
            for (int32_t k = 0; k < 8; k += 4) {
                u[k] = _mm256_unpacklo_epi64(t[k], t[k + 2]);
                u[k + 1] = _mm256_unpackhi_epi64(t[k], t[k + 2]);
                u[k + 2] = _mm256_unpacklo_epi64(t[k + 1], t[k + 3]);
                u[k + 3] = _mm256_unpackhi_epi64(t[k + 1], t[k + 3]);
            }
            for (int32_t j = 0; j < 4; ++j) {
                uint32_t* low = turned + static_cast<size_t>(r + j) * width + x;
                uint32_t* high = turned + static_cast<size_t>(r + j + 4) * width + x;
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(low), _mm256_permute2x128_si256(u[j], u[j + 4], 0x20));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(high), _mm256_permute2x128_si256(u[j], u[j + 4], 0x31));
            }
        }
    }
}
#endif

// Row r of `turned` (width long) gets the map's column y0 + r, for r < rows.
void turnBand(const GainMap& gains, int32_t y0, int32_t rows, int32_t width, uint32_t* turned)
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        const int32_t blockWidth = width & ~7, blockRows = rows & ~7;
        turnBlocksAvx2(gains, y0, rows, width, turned);
        turnPlain(gains, y0, 0, rows, blockWidth, width, width, turned);
        turnPlain(gains, y0, blockRows, rows, 0, blockWidth, width, turned);
        return;
    }
#endif
    turnPlain(gains, y0, 0, rows, 0, width, width, turned);
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
            for (int32_t y = begin; y < end; ++y)
                scaleRun(image.row(y), gains.row(y), width);
        });
        return true;
    }
    // Transposed: the gain of (x, y) is the map's (y, x). A band of frame rows first turns its gains
    // into a per-band buffer, reading one short, contiguous run of each map row, so the frame rows are
    // then scaled as whole streams, as in the direct case.
    const int32_t bands = (height + kTransposedBand - 1) / kTransposedBand;
    velthread::parallelRows(bands, [&](int32_t begin, int32_t end) {
        std::vector<uint32_t> turned(static_cast<size_t>(kTransposedBand) * width);
        for (int32_t band = begin; band < end; ++band) {
            const int32_t y0 = band * kTransposedBand, rows = std::min(height - y0, kTransposedBand);
            turnBand(gains, y0, rows, width, turned.data());
            for (int32_t r = 0; r < rows; ++r)
                scaleRun(image.row(y0 + r), turned.data() + static_cast<size_t>(r) * width, width);
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

void turnGains(const GainMap& gains, GainMap& turned)
{
    const int32_t width = gains.height(), height = gains.width();
    turned.allocate(width, height, 1);
    const int32_t bands = (height + kTransposedBand - 1) / kTransposedBand;
    velthread::parallelRows(bands, [&](int32_t begin, int32_t end) {
        for (int32_t band = begin; band < end; ++band) {
            const int32_t y0 = band * kTransposedBand, rows = std::min(height - y0, kTransposedBand);
            turnBand(gains, y0, rows, width, turned.row(y0));
        }
    });
}

bool applyFlatField(velimage::Image16& frame, const GainMap& gains) { return apply(frame, gains); }

void applyFlatFieldRow(uint16_t* samples, const uint32_t* gains, int32_t pixels) { scaleFrame(samples, gains, pixels); }

void applyFlatFieldRow(uint16_t* samples, uint32_t base, const uint16_t* offsets, const uint32_t* gains,
                       int32_t pixels)
{
    scaleFrame(samples, base, offsets, gains, pixels);
}

bool makeCompactGains(const GainMap& gains, CompactGains& compact)
{
    if (gains.empty() || gains.channels() != 1)
        return false;
    const int32_t width = gains.width(), height = gains.height();
    compact.bases.assign(static_cast<size_t>(height), 0);
    compact.offsets.allocate(width, height, 1);
    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        std::vector<uint32_t> sorted;
        for (int32_t y = begin; y < end; ++y) {
            const uint32_t* row = gains.row(y);
            const auto [least, most] = std::minmax_element(row, row + width);
            uint32_t base = *least;
            // A row with outliers is centred on its median, which they cannot move far.
            if (*most - *least >= CompactGains::kEscapedGain) {
                sorted.assign(row, row + width);
                const auto middle = sorted.begin() + width / 2;
                std::nth_element(sorted.begin(), middle, sorted.end());
                base = *middle - std::min<uint32_t>(*middle, 32767);
            }
            compact.bases[static_cast<size_t>(y)] = base;
            uint16_t* out = compact.offsets.row(y);
            for (int32_t x = 0; x < width; ++x) {
                const bool fits = row[x] >= base && row[x] - base < CompactGains::kEscapedGain;
                out[x] = fits ? static_cast<uint16_t>(row[x] - base) : CompactGains::kEscapedGain;
            }
        }
    });
    return true;
}

bool applyFlatField(velimage::AccumulationImage& image, const GainMap& gains) { return apply(image, gains); }

}  // namespace veltone
