#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "image/BoxMeans.h"
#include "image/IntegralImage.h"
#include "parallel/ProcessPool.h"

namespace {

using Plane = std::vector<uint32_t>;

// The plain way: one integral image per box mean, every mean from four of its entries.
Plane referenceMeans(const Plane& plane, int32_t width, int32_t height, int32_t r)
{
    velimage::IntegralImage sums;
    sums.build(plane.data(), width, height, width);
    Plane means(plane.size());
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            means[static_cast<size_t>(y) * width + x] =
                static_cast<uint32_t>(sums.clippedMean(x, y, r, width - 1, height - 1));
    return means;
}

Plane seriesMeans(const std::vector<Plane>& planes, int32_t width, int32_t height, const std::vector<int32_t>& radii,
                  int32_t plane)
{
    Plane means(planes[0].size());
    std::vector<int32_t> visits(static_cast<size_t>(height), 0);
    velimage::boxMeanSeries(
        static_cast<int32_t>(planes.size()), width, height, radii,
        [&](int32_t p, int32_t y, uint32_t* row) {
            std::copy_n(planes[static_cast<size_t>(p)].data() + static_cast<size_t>(y) * width, width, row);
        },
        [&](int32_t y, const uint32_t* const* rows) {
            ++visits[static_cast<size_t>(y)];
            std::copy_n(rows[plane], width, means.data() + static_cast<size_t>(y) * width);
        });
    EXPECT_TRUE(std::all_of(visits.begin(), visits.end(), [](int32_t v) { return v == 1; }));
    return means;
}

}  // namespace

TEST(BoxMeans, EqualTheIntegralImageMeansForEveryRadius)
{
    constexpr int32_t width = 41, height = 29;
    std::mt19937 random(11);
    Plane plane(static_cast<size_t>(width) * height);
    for (uint32_t& v : plane)
        v = random();  // full 32-bit values: the sums need all 64 bits of headroom they get
    velthread::ProcessPoolScope pool(3);  // bands start inside windows that straddle them
    Plane means(plane.size());
    for (int32_t r : {0, 1, 3, 14, 20, 35}) {
        velimage::boxMeans(plane.data(), means.data(), width, height, r);
        ASSERT_EQ(means, referenceMeans(plane, width, height, r)) << "r" << r;
    }
    // Beyond the radius whose sums all fit the double-precision quotient.
    constexpr int32_t wide = 1100;
    Plane line(wide, 0xFFFFFFFFu);
    line[7] = 5;
    Plane lineMeans(wide);
    velimage::boxMeans(line.data(), lineMeans.data(), wide, 1, 520);
    ASSERT_EQ(lineMeans, referenceMeans(line, wide, 1, 520));
}

// Every plane of a series, on any thread count, equals box means applied one radius after
// another: the bands make their overlap again, the rings hold exactly the rows still needed.
TEST(BoxMeans, SeriesEqualsOneBoxMeanAfterAnother)
{
    constexpr int32_t width = 53, height = 67;
    std::mt19937 random(5);
    std::vector<Plane> planes(3, Plane(static_cast<size_t>(width) * height));
    for (uint32_t& v : planes[0])
        v = random();
    for (size_t i = 0; i < planes[1].size(); ++i)  // a smooth ramp with noise, like a background
        planes[1][i] = static_cast<uint32_t>(0x200000 + 97 * (i % width) + 31 * (i / width) + random() % 4096);
    for (size_t i = 0; i < planes[2].size(); ++i)  // a few bright peaks on black
        planes[2][i] = random() % 50 == 0 ? 0xFFFFFFFFu : 0;
    const std::vector<std::vector<int32_t>> series = {{7, 3, 3, 3, 3, 3, 3}, {0, 2, 0, 5}, {40, 1}, {9}, {}, {12, 30}};
    for (const auto& radii : series)
        for (int32_t threads : {1, 2, 3}) {
            velthread::ProcessPoolScope pool(threads);
            for (int32_t p = 0; p < 3; ++p) {
                Plane expected = planes[static_cast<size_t>(p)];
                for (int32_t r : radii)
                    expected = referenceMeans(expected, width, height, r);
                ASSERT_EQ(seriesMeans(planes, width, height, radii, p), expected)
                    << "plane " << p << ", " << radii.size() << " radii from " << (radii.empty() ? 0 : radii[0])
                    << ", " << threads << " threads";
            }
        }
}
