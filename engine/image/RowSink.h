#pragma once

#include <cstdint>

#include "image/Image.h"

namespace velimage {

// Work on a frame's rows done while its reader produces them, so that it meets each row while the
// row is still in the cache instead of in a pass of its own over the stored frame. The reader calls
// begin() once the image is allocated, rowsDecoded() as rows become final (from the top, in order)
// and finish() after the last row; a failed decode stops calling, and its image is thrown away.
class RowSink {
public:
    virtual ~RowSink() = default;
    virtual void begin(Image<uint16_t>& image) = 0;
    // Rows [0, end) hold their decoded samples.
    virtual void rowsDecoded(int32_t end) = 0;
    virtual void finish() = 0;
};

// Rows decoded between two calls of rowsDecoded(): a few rows' work per call keeps the calls cheap
// and the rows in the cache.
constexpr int32_t kRowSinkStep = 8;

}  // namespace velimage
