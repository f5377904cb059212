#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "image/IntegralImage.h"
#include "parallel/ProcessPool.h"

using velimage::IntegralImage;

namespace {

uint64_t directSum(const std::vector<uint32_t>& plane, int32_t width, const IntegralImage::Box& box, size_t step = 1,
                   size_t offset = 0)
{
    uint64_t sum = 0;
    for (int32_t y = box.y0; y <= box.y1; ++y)
        for (int32_t x = box.x0; x <= box.x1; ++x)
            sum += plane[(static_cast<size_t>(y) * width + x) * step + offset];
    return sum;
}

}  // namespace

TEST(IntegralImage, EveryBoxSumEqualsTheDirectSumWhateverTheInputView)
{
    constexpr int32_t width = 37, height = 23;
    std::mt19937 random(5);
    std::vector<uint32_t> rgb(static_cast<size_t>(width) * height * 3);
    for (uint32_t& v : rgb)
        v = random() % 0x1000000;
    std::vector<uint8_t> bytes(static_cast<size_t>(width) * height);
    std::vector<uint32_t> wideBytes(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        wideBytes[i] = bytes[i] = static_cast<uint8_t>(random());

    velthread::ProcessPoolScope pool(3);  // bands of rows and of columns meet inside the image
    IntegralImage channel, plane, computed;
    channel.build(rgb.data() + 1, width, height, static_cast<size_t>(width) * 3, 3);
    computed.buildFrom(width, height, [&](int32_t y) {
        return [&rgb, y](int32_t x) { return static_cast<uint64_t>(rgb[(static_cast<size_t>(y) * width + x) * 3 + 1]); };
    });
    plane.build(bytes.data(), width, height);
    ASSERT_EQ(plane.stride(), static_cast<size_t>(width) + 1);

    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            for (int32_t r : {0, 1, 4, 40}) {
                const IntegralImage::Box box = IntegralImage::clippedBox(x, y, r, width - 1, height - 1);
                ASSERT_EQ(channel.sum(box), directSum(rgb, width, box, 3, 1)) << x << "," << y << " r" << r;
                ASSERT_EQ(computed.sum(box), channel.sum(box));
                ASSERT_EQ(plane.sum(box), directSum(wideBytes, width, box));
                ASSERT_EQ(plane.clippedMean(x, y, r, width - 1, height - 1), plane.sum(box) / box.pixels());
                if (x >= r && y >= r && x + r < width && y + r < height) {
                    ASSERT_EQ(plane.squareSum(x, y, r), plane.sum(box));
                }
            }
    // Cut to a last column and row before the border, a box may be left empty.
    EXPECT_TRUE(IntegralImage::clippedBox(width - 1, 5, 0, width - 2, height - 2).empty());
    EXPECT_EQ(plane.clippedMean(width - 1, 5, 0, width - 2, height - 2), 0u);
}
