#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "image/Image.h"

namespace velmask {

// A frame reduced to one float luminance value per factor × factor block (the last partial
// blocks dropped), the working copy of the sky-mask estimate. Plain data; any thread.
struct LuminancePlane {
    int32_t width = 0;
    int32_t height = 0;
    int32_t factor = 1;  // frame pixels per plane pixel along each axis
    std::vector<float> values;

    bool empty() const { return values.empty(); }
    float at(int32_t x, int32_t y) const { return values[static_cast<size_t>(y) * width + x]; }
};

// Block size that keeps the plane's longer side at about 512 values (1 for small frames).
int32_t reductionFactor(int32_t width, int32_t height);

// Block means of (R + 2G + B) / 4 (or of the only channel) on the process pool, from the middle
// row of each block (of every (factor / 2)-th row about it for blocks under 8 rows, unless
// `middleRowOnly`), whole. An empty plane for an empty frame or one smaller than a block.
LuminancePlane reduceLuminance(const velimage::Image16& frame, int32_t factor, bool middleRowOnly = false);

// reduceLuminance made row by row as a frame's rows become final (while it is decoded), serially on
// the caller's thread: the same values, from rows still in the processor's caches.
class LuminancePlaneRows {
public:
    LuminancePlaneRows();
    ~LuminancePlaneRows();
    LuminancePlaneRows(LuminancePlaneRows&&) noexcept;
    LuminancePlaneRows& operator=(LuminancePlaneRows&&) noexcept;

    // Starts the plane of `frame` (its size and channels; its rows come later).
    void begin(const velimage::Image16& frame, int32_t factor, bool middleRowOnly = false);
    // Rows [0, end) of `frame` are final: makes every plane row that reads no other.
    void rowsFinal(const velimage::Image16& frame, int32_t end);
    // The plane once all its rows are made, else empty; starts over.
    LuminancePlane take();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace velmask
