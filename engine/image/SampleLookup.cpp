#include "image/SampleLookup.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velimage {
namespace {

using Table256 = std::array<uint16_t, 256>;

// Backwards, so that sample i is read before bytes 2i and 2i + 1 are written when in place.
void widenPlain(const uint8_t* in, uint16_t* out, size_t count, const Table256& table)
{
    for (size_t i = count; i-- > 0;)
        out[i] = table[in[i]];
}

#if defined(__x86_64__)

// 64 samples at a time: the low and the high bytes of the 256 entries sit in four registers each,
// a two-register byte permute looks up 128 of them, and the top bit of the sample picks the half.
// Blocks are taken from the end of the row towards its start: block b reads input bytes
// [b, b + 64) and writes output bytes [2b, 2b + 128), so in place it only overwrites input already
// read. The leftover at the start goes through the plain loop last.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void widenVbmi(const uint8_t* in, uint16_t* out, size_t count,
                                                                     const Table256& table)
{
    constexpr size_t kBlock = 64;
    alignas(64) uint8_t low[256], high[256], evenIndex[64], oddIndex[64];
    for (int v = 0; v < 256; ++v) {
        low[v] = static_cast<uint8_t>(table[v]);
        high[v] = static_cast<uint8_t>(table[v] >> 8);
    }
    // Interleaving the low and high byte vectors into little-endian 16-bit samples.
    for (int i = 0; i < 32; ++i) {
        evenIndex[2 * i] = static_cast<uint8_t>(i);
        evenIndex[2 * i + 1] = static_cast<uint8_t>(64 + i);
        oddIndex[2 * i] = static_cast<uint8_t>(32 + i);
        oddIndex[2 * i + 1] = static_cast<uint8_t>(96 + i);
    }
    const __m512i low0 = _mm512_load_si512(low), low1 = _mm512_load_si512(low + 64);
    const __m512i low2 = _mm512_load_si512(low + 128), low3 = _mm512_load_si512(low + 192);
    const __m512i high0 = _mm512_load_si512(high), high1 = _mm512_load_si512(high + 64);
    const __m512i high2 = _mm512_load_si512(high + 128), high3 = _mm512_load_si512(high + 192);
    const __m512i firstHalf = _mm512_load_si512(evenIndex), secondHalf = _mm512_load_si512(oddIndex);
    const size_t head = count % kBlock;
    for (size_t b = count; b >= head + kBlock;) {
        b -= kBlock;
        const __m512i bytes = _mm512_loadu_si512(in + b);
        const __mmask64 upper = _mm512_movepi8_mask(bytes);
        const __m512i lows = _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(low0, bytes, low1),
                                                    _mm512_permutex2var_epi8(low2, bytes, low3));
        const __m512i highs = _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(high0, bytes, high1),
                                                     _mm512_permutex2var_epi8(high2, bytes, high3));
        // The upper half first: in place it lands on input bytes not needed any more.
        _mm512_storeu_si512(out + b + 32, _mm512_permutex2var_epi8(lows, secondHalf, highs));
        _mm512_storeu_si512(out + b, _mm512_permutex2var_epi8(lows, firstHalf, highs));
    }
    widenPlain(in, out, head, table);
}

#endif

using Widen = decltype(&widenPlain);

// The last version listed is the fastest.
Widen chooseWiden() { return sampleLookupVersions().back().widen; }

}  // namespace

std::vector<SampleLookupVersion> sampleLookupVersions()
{
    std::vector<SampleLookupVersion> versions {{"plain", widenPlain}};
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi"))
        versions.push_back({"avx512vbmi", widenVbmi});
#endif
    return versions;
}

void widenThroughTable(const uint8_t* in, uint16_t* out, size_t count, const std::array<uint16_t, 256>& table)
{
    static const Widen widen = chooseWiden();
    widen(in, out, count, table);
}

// A plain loop on purpose: image samples are locally similar, so the table lookups hit the cache,
// and vector gathers measured slower than this.
void mapThroughCurve(const uint16_t* in, uint16_t* out, size_t count, const uint16_t* curve)
{
    for (size_t i = 0; i < count; ++i)
        out[i] = curve[in[i]];
}

}  // namespace velimage
