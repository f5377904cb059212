#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "corrections/SoftSkyMask.h"
#include "parallel/ProcessPool.h"

TEST(SoftSkyMask, ClearsSkyNearTheGroundAndRisesSmoothlyAboveIt)
{
    // Sky above row 60, ground below.
    velimage::Image16 mask;
    mask.allocate(200, 120, 1);
    for (int32_t y = 0; y < 120; ++y)
        for (int32_t x = 0; x < 200; ++x)
            mask.row(y)[x] = y < 60 ? 65535 : 0;
    velimage::Image16 soft;
    ASSERT_TRUE(veltone::makeSoftSkyMask(mask, 20, 1, soft));  // R = 6
    ASSERT_EQ(soft.width(), 200);
    ASSERT_EQ(soft.height(), 120);
    EXPECT_GT(soft.row(5)[100], 60000);
    EXPECT_EQ(soft.row(90)[100], 0);
    // Cleared within R of the horizon, then a ramp that never falls going up.
    EXPECT_LT(soft.row(57)[100], soft.row(40)[100]);
    for (int32_t y = 59; y > 10; --y)
        EXPECT_LE(soft.row(y)[100], soft.row(y - 1)[100]) << y;
}

TEST(SoftSkyMask, RefusesWhatIsNotAOnePlaneMask)
{
    velimage::Image16 rgb, soft;
    rgb.allocate(10, 10, 3);
    EXPECT_FALSE(veltone::makeSoftSkyMask(rgb, 60, 1, soft));
    velimage::Image16 empty;
    EXPECT_FALSE(veltone::makeSoftSkyMask(empty, 60, 1, soft));
    velimage::Image16 plane;
    plane.allocate(10, 10, 1);
    EXPECT_FALSE(veltone::makeSoftSkyMask(plane, 0, 1, soft));
    EXPECT_TRUE(soft.empty());
}

namespace {

// The soft mask summed box by box, pixel by pixel: the plain form of the rule.
std::vector<uint16_t> plainSoftMask(const velimage::Image16& mask, int32_t q, int32_t passes)
{
    const int32_t w = mask.width(), h = mask.height();
    const int32_t radius = std::max(1, std::min(w, h) / q);
    const auto boxMean = [&](const std::vector<uint16_t>& plane, int32_t x, int32_t y, int32_t r) {
        const int32_t x0 = std::max(0, x - r), x1 = std::max(x0, std::min(x + r, w - 2));
        const int32_t y0 = std::max(0, y - r), y1 = std::max(y0, std::min(y + r, h - 2));
        uint64_t sum = 0;
        for (int32_t j = y0; j <= y1; ++j)
            for (int32_t i = x0; i <= x1; ++i)
                sum += plane[static_cast<size_t>(j) * w + i];
        return static_cast<uint16_t>(sum / (static_cast<uint64_t>(x1 - x0 + 1) * (y1 - y0 + 1)));
    };
    const auto each = [&](const std::function<uint16_t(int32_t, int32_t)>& rule) {
        std::vector<uint16_t> out(static_cast<size_t>(w) * h);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                out[static_cast<size_t>(y) * w + x] = rule(x, y);
        return out;
    };
    const std::vector<uint16_t> painted(mask.data(), mask.data() + mask.elementCount());
    std::vector<uint16_t> current = each([&](int32_t x, int32_t y) {
        const uint16_t v = painted[static_cast<size_t>(y) * w + x];
        return boxMean(painted, x, y, radius) < v ? uint16_t{0} : v;
    });
    current = each([&](int32_t x, int32_t y) { return boxMean(current, x, y, radius); });
    for (int32_t round = 0; round < 4; ++round)
        current = each([&, was = current](int32_t x, int32_t y) {
            return was[static_cast<size_t>(y) * w + x] == 0 ? uint16_t{0} : boxMean(was, x, y, radius / 4);
        });
    for (int32_t pass = 0; pass < passes; ++pass)
        current = each([&, was = current](int32_t x, int32_t y) {
            static constexpr uint32_t weights[3] = {1, 2, 1};
            uint32_t sum = 0;
            for (int32_t j = -1; j <= 1; ++j)
                for (int32_t i = -1; i <= 1; ++i)
                    sum += weights[j + 1] * weights[i + 1] *
                           was[static_cast<size_t>(std::clamp(y + j, 0, h - 1)) * w + std::clamp(x + i, 0, w - 1)];
            return static_cast<uint16_t>((sum + 7) >> 4);
        });
    return current;
}

}  // namespace

// Running sums moved row by row, in bands on three threads, against the boxes summed one by one:
// random sky and ground with soft edges, radii whose quarter is 0, 1 and 3, boxes cut at the
// borders, masks down to 2 × 2, a row so long and bright that its running sum passes 2^32, and runs
// of repeated rows (all sky, all ground, or patterned), whose means carry over from row to row.
TEST(SoftSkyMask, EqualsTheBoxesSummedOneByOne)
{
    velthread::ProcessPoolScope pool(3);
    std::mt19937 random(11);
    struct Case {
        int32_t width, height, q, passes;
        bool repeatedRows = false;
    };
    for (const Case c : {Case{61, 37, 3, 1}, Case{40, 23, 5, 2}, Case{29, 31, 20, 0}, Case{2, 2, 1, 1}, Case{3, 9, 1, 1},
                         Case{70000, 2, 1, 1}, Case{45, 150, 5, 1, true}}) {
        velimage::Image16 mask, soft;
        mask.allocate(c.width, c.height, 1);
        for (size_t i = 0; i < mask.elementCount(); ++i) {
            if (c.width > 10000)
                mask.data()[i] = random() % 50 == 0 ? 0 : static_cast<uint16_t>(65535 - random() % 100);
            else
                mask.data()[i] = random() % 3 == 0 ? 0 : random() % 2 ? 65535 : static_cast<uint16_t>(random());
        }
        for (int32_t y = 1; c.repeatedRows && y < c.height; ++y) {
            const uint32_t kind = random() % 8;
            if (kind < 5)
                std::copy_n(mask.row(y - 1), c.width, mask.row(y));
            else if (kind < 7)
                std::fill_n(mask.row(y), c.width, kind == 5 ? uint16_t{0} : uint16_t{65535});
        }
        ASSERT_TRUE(veltone::makeSoftSkyMask(mask, c.q, c.passes, soft));
        const std::vector<uint16_t> expected = plainSoftMask(mask, c.q, c.passes);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), soft.data()))
            << c.width << "x" << c.height << " q " << c.q;
    }
}

// Only the columns whose boxes reach a change from one row to the next are summed again, and rows
// that repeat the one above are copied: islands of sky and of ground near and far from each other
// and a ragged horizon with soft steps above rows of ground alone put those stretches and repeats
// at every distance from each other and from the borders, for wide boxes and narrow ones (down
// to a quarter radius of 0, whose sharp edges reach the blur), on one thread and on three.
TEST(SoftSkyMask, EqualsTheBoxesSummedOneByOneAroundIslandsAndARaggedHorizon)
{
    std::mt19937 random(5);
    const int32_t width = 165, height = 97;
    velimage::Image16 mask;
    mask.allocate(width, height, 1);
    int32_t horizon = 50;
    for (int32_t x = 0; x < width; ++x) {
        horizon = std::clamp(horizon + static_cast<int32_t>(random() % 9) - 4, 30, 80);
        for (int32_t y = 0; y < height; ++y)
            mask.row(y)[x] = y < horizon ? 65535 : y == horizon ? static_cast<uint16_t>(random()) : 0;
    }
    for (int32_t island = 0; island < 6; ++island) {
        const int32_t x0 = static_cast<int32_t>(random() % width), y0 = static_cast<int32_t>(random() % (height - 10));
        const int32_t size = 1 + static_cast<int32_t>(random() % 6);
        const uint16_t value = island % 2 ? 65535 : 0;
        for (int32_t y = y0; y < std::min(height, y0 + size); ++y)
            std::fill(mask.row(y) + x0, mask.row(y) + std::min(width, x0 + size), value);
    }
    for (const int32_t q : {3, 24, 48}) {
        const std::vector<uint16_t> expected = plainSoftMask(mask, q, 1);
        for (const int32_t threads : {1, 3}) {
            velthread::ProcessPoolScope pool(threads);
            velimage::Image16 soft;
            ASSERT_TRUE(veltone::makeSoftSkyMask(mask, q, 1, soft));
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), soft.data())) << "q " << q << ", " << threads;
        }
    }
}
