#pragma once

#include <cstdint>

namespace velreg {

// Which pixels of a frame may hold a star. Each predicate is cheap and inlined into the ratio pass.

// Pixels whose sky-mask value is above zero. The mask is borrowed, row-major with `channels`
// elements per pixel (channel 0 is read) and must have the frame's size.
template <typename Coord, typename Value>
struct PassIfLargerThan {
    const Value* mask = nullptr;
    Coord width = 0;
    Coord channels = 1;

    bool operator()(Coord x, Coord y) const
    {
        return mask[(static_cast<int64_t>(y) * width + x) * channels] > 0;
    }
};

// Pixels on the sky side of the boundary line from (x0, y0) along (dx, dy): for a line drawn
// left to right, the part above it.
template <typename Coord>
struct LeftOfArrow {
    Coord x0 = 0;
    Coord y0 = 0;
    Coord dx = 0;
    Coord dy = 0;

    bool operator()(Coord x, Coord y) const
    {
        // 64-bit products: pixel coordinates times line directions can exceed 32 bits.
        return static_cast<int64_t>(y - y0) * dx - static_cast<int64_t>(x - x0) * dy < 0;
    }
};

template <typename Coord>
struct AlwaysPass {
    bool operator()(Coord, Coord) const { return true; }
};

}  // namespace velreg
