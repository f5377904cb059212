#include <gtest/gtest.h>

#include <random>

#include "parallel/ProcessPool.h"
#include "skymask/LuminancePlane.h"

namespace {

// Block means the obvious way: R + 2G + B (4 × the only channel) of each pixel of a block in the
// rows read, one sum per block, scaled to a mean.
std::vector<float> blockMeans(const velimage::Image16& frame, int32_t factor)
{
    const int32_t channels = frame.channels(), w = frame.width() / factor, h = frame.height() / factor;
    const int32_t step = factor >= 8 ? factor : std::max(1, factor / 2);
    int32_t read = 0;
    for (int32_t k = step / 2; k < factor; k += step)
        ++read;
    const float scale = 1.0f / (4.0f * read * factor);
    std::vector<float> means;
    for (int32_t by = 0; by < h; ++by)
        for (int32_t bx = 0; bx < w; ++bx) {
            uint32_t sum = 0;
            for (int32_t k = step / 2; k < factor; k += step)
                for (int32_t x = bx * factor; x < (bx + 1) * factor; ++x) {
                    const uint16_t* p = frame.row(by * factor + k) + static_cast<size_t>(x) * channels;
                    sum += channels >= 3 ? p[0] + 2u * p[1] + p[2] : 4u * p[0];
                }
            means.push_back(static_cast<float>(sum) * scale);
        }
    return means;
}

// Made whole on the pool or row by row as a decoder hands rows over: the same block means.
TEST(LuminancePlane, EqualsBlockMeansForEveryFactorAndChannelCountWholeOrRowByRow)
{
    velthread::ProcessPoolScope pool(2);
    std::mt19937 random(11);
    for (int32_t factor = 1; factor <= 13; ++factor)
        for (int32_t channels : {1, 2, 3, 4})
            // A single block, and a row of blocks with a partial one left over at the right and below.
            for (int32_t width : {factor, 23 * factor + factor - 1}) {
                const int32_t height = width == factor ? factor : 3 * factor + factor / 2;
                velimage::Image16 frame;
                frame.allocate(width, height, channels);
                uint16_t* s = frame.data();
                // Half the samples near white: a signed slip in the sums shows there.
                for (size_t i = 0; i < static_cast<size_t>(width) * height * channels; ++i)
                    s[i] = static_cast<uint16_t>(random() % 2 ? 65535 - random() % 16 : random() % 65536);
                const velmask::LuminancePlane plane = velmask::reduceLuminance(frame, factor);
                ASSERT_EQ(plane.width, width / factor);
                ASSERT_EQ(plane.height, height / factor);
                EXPECT_EQ(plane.values, blockMeans(frame, factor))
                    << "factor " << factor << ", " << channels << " channels, width " << width;
                velmask::LuminancePlaneRows rows;
                rows.begin(frame, factor);
                const int32_t handover = 1 + (factor + channels) % 5;
                for (int32_t end = handover; end < height; end += handover)
                    rows.rowsFinal(frame, end);
                rows.rowsFinal(frame, height);
                const velmask::LuminancePlane made = rows.take();
                EXPECT_EQ(made.values, plane.values) << "row by row, factor " << factor << ", " << channels;
            }
}

}  // namespace
