#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velstack {

#if defined(__SSE2__)
namespace detail {

// Four consecutive 16-bit samples as 32-bit lanes.
inline __m128i loadWidened(const uint16_t* p)
{
    return _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}

// The scalar formula lane by lane, in the same order, so both paths give identical bits.
inline __m128i interpolatedLanes(const uint16_t* p00, const uint16_t* p10, const uint16_t* p01, const uint16_t* p11,
                                 float fx, float fy, float fxy)
{
    const __m128i c00 = loadWidened(p00), c10 = loadWidened(p10), c01 = loadWidened(p01), c11 = loadWidened(p11);
    const __m128 d01 = _mm_cvtepi32_ps(_mm_sub_epi32(c01, c00));
    const __m128 d10 = _mm_cvtepi32_ps(_mm_sub_epi32(c10, c00));
    const __m128 dd = _mm_cvtepi32_ps(_mm_sub_epi32(_mm_sub_epi32(_mm_add_epi32(c11, c00), c10), c01));
    __m128 value = _mm_add_ps(_mm_cvtepi32_ps(c00), _mm_mul_ps(_mm_set1_ps(fy), d01));
    value = _mm_add_ps(value, _mm_mul_ps(_mm_set1_ps(fx), d10));
    value = _mm_add_ps(value, _mm_mul_ps(_mm_set1_ps(fxy), dd));
    value = _mm_add_ps(value, _mm_set1_ps(0.5f));
    return _mm_cvttps_epi32(value);
}

inline void interpolateLanes(const uint16_t* p00, const uint16_t* p10, const uint16_t* p01, const uint16_t* p11,
                             float fx, float fy, float fxy, uint32_t* out4)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out4), interpolatedLanes(p00, p10, p01, p11, fx, fy, fxy));
}

// Four 32-bit lanes in 0..65535 as four 16-bit values (SSE2 packs only with signed saturation).
inline __m128i narrowedLanes(__m128i lanes)
{
    const __m128i bias = _mm_set1_epi32(32768);
    const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(lanes, bias), _mm_setzero_si128());
    return _mm_xor_si128(packed, _mm_set1_epi16(static_cast<short>(0x8000)));
}

}  // namespace detail
#endif

// Bilinear sample of an interleaved 16-bit frame at (x, y), for the first `Channels` channels of
// pixels that are `stride` elements apart. Inside only when floor(x) + 1 < width and
// floor(y) + 1 < height (the last row and column are never a top-left corner); outside every
// channel is 0 and the result is false. Each channel is rounded once, half up, in float.
template <int Channels>
inline bool sampleBilinear(const uint16_t* pixels, int32_t width, int32_t height, int32_t stride, float x, float y,
                           uint32_t* out)
{
    // Comparing in float first also keeps NaN and huge positions away from the integer cast.
    if (!(x >= 0.0f && y >= 0.0f && x < static_cast<float>(width - 1) && y < static_cast<float>(height - 1))) {
        for (int c = 0; c < Channels; ++c)
            out[c] = 0;
        return false;
    }
    const int32_t ix = static_cast<int32_t>(x), iy = static_cast<int32_t>(y);
    if (ix + 1 >= width || iy + 1 >= height) {  // float rounding right at the edge
        for (int c = 0; c < Channels; ++c)
            out[c] = 0;
        return false;
    }
    const float fx = x - static_cast<float>(ix), fy = y - static_cast<float>(iy);
    const float fxy = fx * fy;
    const uint16_t* p00 = pixels + (static_cast<size_t>(iy) * width + ix) * stride;
    const uint16_t* p10 = p00 + stride;
    const uint16_t* p01 = p00 + static_cast<size_t>(width) * stride;
    const uint16_t* p11 = p01 + stride;
#if defined(__SSE2__)
    // Four lanes read one element past a three-channel pixel: fine except at the buffer's end.
    if constexpr (Channels == 3 || Channels == 4) {
        if (stride >= 4 || ix + 2 < width || iy + 2 < height) {
            uint32_t lanes[4];
            detail::interpolateLanes(p00, p10, p01, p11, fx, fy, fxy, lanes);
            for (int c = 0; c < Channels; ++c)
                out[c] = lanes[c];
            return true;
        }
    }
#endif
    for (int c = 0; c < Channels; ++c) {
        const int32_t c00 = p00[c], c10 = p10[c], c01 = p01[c], c11 = p11[c];
        const float value = static_cast<float>(c00) + fy * static_cast<float>(c01 - c00) +
                            fx * static_cast<float>(c10 - c00) + fxy * static_cast<float>(c11 + c00 - c10 - c01) +
                            0.5f;
        out[c] = value > 0.0f ? static_cast<uint32_t>(value) : 0u;
    }
    return true;
}

#if defined(__SSE2__)
// The first three channels at the cell with top-left corner (ix, iy) and fractions (fx, fy), as
// four 16-bit elements (the fourth is the interpolated element after them, for the caller to
// overwrite). The corners must be inside and reading four lanes safe (see sampleBilinear).
// Interpolated values never leave 0..65535, so narrowing keeps every bit of the 32-bit result.
inline void interpolateRgb16(const uint16_t* pixels, int32_t width, int32_t stride, int32_t ix, int32_t iy, float fx,
                             float fy, uint16_t* out)
{
    const uint16_t* p00 = pixels + (static_cast<size_t>(iy) * width + ix) * stride;
    const uint16_t* p01 = p00 + static_cast<size_t>(width) * stride;
    const __m128i lanes = detail::interpolatedLanes(p00, p00 + stride, p01, p01 + stride, fx, fy, fx * fy);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), detail::narrowedLanes(lanes));
}
#endif

// The same sample of the first three channels written straight as four 16-bit elements: out[0..2]
// hold the channels (0 outside), out[3] is left for the caller to fill.
inline bool sampleBilinearRgb16(const uint16_t* pixels, int32_t width, int32_t height, int32_t stride, float x,
                                float y, uint16_t* out)
{
#if defined(__SSE2__)
    if (x >= 0.0f && y >= 0.0f && x < static_cast<float>(width - 1) && y < static_cast<float>(height - 1)) {
        const int32_t ix = static_cast<int32_t>(x), iy = static_cast<int32_t>(y);
        if (ix + 1 < width && iy + 1 < height && (stride >= 4 || ix + 2 < width || iy + 2 < height)) {
            interpolateRgb16(pixels, width, stride, ix, iy, x - static_cast<float>(ix), y - static_cast<float>(iy),
                             out);
            return true;
        }
    }
#endif
    uint32_t sample[3];
    const bool inside = sampleBilinear<3>(pixels, width, height, stride, x, y, sample);
    out[0] = static_cast<uint16_t>(sample[0]);
    out[1] = static_cast<uint16_t>(sample[1]);
    out[2] = static_cast<uint16_t>(sample[2]);
    return inside;
}

}  // namespace velstack
