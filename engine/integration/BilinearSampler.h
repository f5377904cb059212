#pragma once

#include <cstdint>

namespace velstack {

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
    for (int c = 0; c < Channels; ++c) {
        const int32_t c00 = p00[c], c10 = p10[c], c01 = p01[c], c11 = p11[c];
        const float value = static_cast<float>(c00) + fy * static_cast<float>(c01 - c00) +
                            fx * static_cast<float>(c10 - c00) + fxy * static_cast<float>(c11 + c00 - c10 - c01) +
                            0.5f;
        out[c] = value > 0.0f ? static_cast<uint32_t>(value) : 0u;
    }
    return true;
}

}  // namespace velstack
