#include "image/SampleLookup.h"

#include <algorithm>

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

void mapPlain(const uint16_t* in, uint16_t* out, size_t count, const uint16_t* curve)
{
    for (size_t i = 0; i < count; ++i)
        out[i] = curve[in[i]];
}

#if defined(__x86_64__)

// Blocks are taken from the end of the row towards its start: block b reads input bytes
// [b, b + block) and writes output bytes [2b, 2b + 2·block), so in place it only overwrites input
// already read. The leftover at the start goes through the plain loop last.
__attribute__((target("avx2"))) void widenAvx2(const uint8_t* in, uint16_t* out, size_t count, const Table256& table)
{
    constexpr size_t kBlock = 16;
    const size_t head = count % kBlock;
    // Scale 2 reads entries v and v + 1 as one 32-bit word (the mask drops v + 1), so entry 255
    // needs a neighbour inside the array.
    alignas(32) uint16_t padded[257];
    std::copy(table.begin(), table.end(), padded);
    padded[256] = 0;
    const int* base = reinterpret_cast<const int*>(padded);
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    for (size_t b = count; b >= head + kBlock;) {
        b -= kBlock;
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + b));
        __m256i first = _mm256_i32gather_epi32(base, _mm256_cvtepu8_epi32(bytes), 2);
        __m256i second = _mm256_i32gather_epi32(base, _mm256_cvtepu8_epi32(_mm_srli_si128(bytes, 8)), 2);
        first = _mm256_and_si256(first, low16);
        second = _mm256_and_si256(second, low16);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(first, second), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + b), packed);
    }
    widenPlain(in, out, head, table);
}

__attribute__((target("avx2"))) void mapAvx2(const uint16_t* in, uint16_t* out, size_t count, const uint16_t* curve)
{
    constexpr size_t kBlock = 16;
    const int* base = reinterpret_cast<const int*>(curve);
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    size_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        __m256i first = _mm256_i32gather_epi32(base, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(values)), 2);
        __m256i second = _mm256_i32gather_epi32(base, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(values, 1)), 2);
        first = _mm256_and_si256(first, low16);
        second = _mm256_and_si256(second, low16);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(first, second), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
    }
    mapPlain(in + i, out + i, count - i, curve);
}

// 64 samples at a time: the low and the high bytes of the 256 entries sit in four registers each,
// a two-register byte permute looks up 128 of them, and the top bit of the sample picks the half.
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

struct Chosen {
    decltype(&widenPlain) widen = widenPlain;
    decltype(&mapPlain) map = mapPlain;
};

Chosen choose()
{
    Chosen chosen;
    for (const SampleLookupVersion& version : sampleLookupVersions()) {
        chosen.widen = version.widen;  // later versions are the faster ones
        chosen.map = version.map;
    }
    return chosen;
}

const Chosen& chosen()
{
    static const Chosen instance = choose();
    return instance;
}

}  // namespace

std::vector<SampleLookupVersion> sampleLookupVersions()
{
    std::vector<SampleLookupVersion> versions {{"plain", widenPlain, mapPlain}};
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        versions.push_back({"avx2", widenAvx2, mapAvx2});
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vbmi"))
            versions.push_back({"avx512vbmi", widenVbmi, mapAvx2});
    }
#endif
    return versions;
}

void widenThroughTable(const uint8_t* in, uint16_t* out, size_t count, const std::array<uint16_t, 256>& table)
{
    chosen().widen(in, out, count, table);
}

void mapThroughCurve(const uint16_t* in, uint16_t* out, size_t count, const uint16_t* curve)
{
    chosen().map(in, out, count, curve);
}

}  // namespace velimage
