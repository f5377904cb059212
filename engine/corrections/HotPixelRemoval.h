#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "image/Image.h"

namespace veltone {

// "Remove dynamic noises": finds single-pixel, strongly coloured spikes of a three-channel 16-bit
// frame against its detection image (the brightest channel of each pixel) and replaces each
// channel of their inner 3 × 3 block by the ring fit. Returns the number of pixels replaced;
// frames that are not three-channel are left alone (0). Detection runs in row bands on the pool;
// the patches follow in row order, so the result does not depend on the thread count.
int64_t removeHotPixels(velimage::Image16& frame);

// The removal's parts, for callers that meet the rows one at a time. The scanner finds the hot pixels
// of rows 2 … height − 3, moving down, appending their x positions; it reads rows y − 2 … y + 2 of the
// three-channel frame (at least 5 × 5), which no patch may have touched yet. patchHotPixel then
// patches one found pixel; patches go in the order found, each one seeing those before it.
class HotPixelScanner {
public:
    explicit HotPixelScanner(const velimage::Image16& frame);
    ~HotPixelScanner();
    HotPixelScanner(const HotPixelScanner&) = delete;
    HotPixelScanner& operator=(const HotPixelScanner&) = delete;
    void scan(int32_t y, std::vector<int32_t>& columns);

private:
    class Rows;
    std::unique_ptr<Rows> m_rows;
};
void patchHotPixel(velimage::Image16& frame, int32_t x, int32_t y);

}  // namespace veltone
