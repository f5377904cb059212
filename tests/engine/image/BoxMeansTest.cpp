#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "image/BoxMeans.h"
#include "image/IntegralImage.h"
#include "parallel/ProcessPool.h"

TEST(BoxMeans, EqualTheIntegralImageMeansForEveryRadiusFromStoredOrMadeRows)
{
    constexpr int32_t width = 41, height = 29;
    std::mt19937 random(11);
    std::vector<uint32_t> plane(static_cast<size_t>(width) * height);
    for (uint32_t& v : plane)
        v = random();  // full 32-bit values: the sums need all 64 bits of headroom they get
    velimage::IntegralImage sums;
    sums.build(plane.data(), width, height, width);
    std::vector<uint32_t> means(plane.size());
    velthread::ProcessPoolScope pool(3);  // bands start inside windows that straddle them
    std::vector<uint32_t> madeMeans(plane.size());
    // Rows made on request must give the same means: the entering and leaving rows are held at once.
    const velimage::RowFill fill = [&](int32_t y, uint32_t* row) {
        std::copy_n(plane.data() + static_cast<size_t>(y) * width, width, row);
    };
    for (int32_t r : {0, 1, 3, 14, 20, 35}) {
        velimage::boxMeans(plane.data(), means.data(), width, height, r);
        velimage::boxMeans(fill, madeMeans.data(), width, height, r);
        ASSERT_EQ(madeMeans, means) << "r" << r;
        // Row after row from inside the plane, as one band would: the same rows.
        velimage::BoxMeanRows rows(plane.data(), width, height, r, 7);
        std::vector<uint32_t> row(width);
        for (int32_t y = 7; y < height; ++y) {
            rows.next(row.data());
            ASSERT_TRUE(std::equal(row.begin(), row.end(), means.begin() + static_cast<ptrdiff_t>(y) * width)) << y;
        }
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x)
                ASSERT_EQ(means[static_cast<size_t>(y) * width + x], sums.clippedMean(x, y, r, width - 1, height - 1))
                    << x << "," << y << " r" << r;
    }
}
