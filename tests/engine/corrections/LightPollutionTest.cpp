#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "corrections/LightPollution.h"
#include "corrections/PollutionLevel.h"
#include "corrections/SoftSkyMask.h"
#include "integration/AccumulationArithmetic.h"
#include "parallel/ProcessPool.h"
#include "SkyGenerator.h"

using velimage::AccumulationImage;
using namespace veltone;

namespace {

constexpr double Target = 0x3FFF;

velsky::SkyOptions pollutedSky(double pollution, double power = 2.0)
{
    velsky::SkyOptions o;
    o.width = 600;
    o.height = 400;
    o.frames = 1;
    o.seed = 7;
    o.skyLevel = 600.0;
    o.pollution = pollution;
    o.pollutionPower = power;
    o.starsPerMegapixel = 1500.0;
    o.vignetting = 0.0;
    o.brightestFlux = 1.0e6;
    o.hotPixelsPerMegapixel = 0.0;
    return o;
}

// A generated frame in the 256-times working scale, with an optional extra glow in 16-bit units.
void toWorkingScale(const velsky::RgbImage16& frame, AccumulationImage& image,
                    const std::function<double(int, int)>& glow = {})
{
    image.allocate(frame.width, frame.height, 3);
    velstack::clearAccumulation(image);
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x) {
            const double extra = glow ? glow(x, y) : 0.0;
            for (int c = 0; c < 3; ++c)
                image.row(y)[x * 3 + c] = static_cast<uint32_t>((frame.at(x, y, c) + extra) * 256.0);
        }
}

double median(std::vector<uint32_t> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

double tileMedian(const AccumulationImage& image, int x0, int y0, int size, int c)
{
    std::vector<uint32_t> values;
    for (int y = std::max(0, y0); y < std::min(image.height(), y0 + size); ++y)
        for (int x = std::max(0, x0); x < std::min(image.width(), x0 + size); ++x)
            values.push_back(image.row(y)[x * 3 + c]);
    return median(values);
}

// Largest spread (max − min) over the channels of the medians of the 64-pixel tiles above `skyRows`.
double backgroundSpread(const AccumulationImage& image, int skyRows)
{
    double spread = 0.0;
    for (int c = 0; c < 3; ++c) {
        double low = 1e30, high = 0.0;
        for (int y = 0; y + 64 <= skyRows; y += 64)
            for (int x = 0; x + 64 <= image.width(); x += 64) {
                const double m = tileMedian(image, x, y, 64, c);
                low = std::min(low, m);
                high = std::max(high, m);
            }
        spread = std::max(spread, high - low);
    }
    return spread;
}

struct StarSpot {
    int x, y;
};

// Well-exposed, isolated stars away from the border and the ground.
std::vector<StarSpot> measurableStars(const velsky::SkyGenerator& sky, const AccumulationImage& image, int skyRows)
{
    std::vector<StarSpot> spots;
    for (const auto& star : sky.stars()) {
        double fx, fy;
        sky.skyToFramePixel(0, star.x, star.y, fx, fy);
        const int x = static_cast<int>(std::lround(fx)), y = static_cast<int>(std::lround(fy));
        if (x < 20 || y < 20 || x >= image.width() - 20 || y >= skyRows - 20)
            continue;
        // Saturated stars have no height to keep.
        const double peak = image.row(y)[x * 3 + 1];
        const double height = peak - tileMedian(image, x - 15, y - 15, 31, 1);
        if (height > 3000.0 * 256 && peak < 50000.0 * 256)
            spots.push_back({x, y});
    }
    return spots;
}

double starHeight(const AccumulationImage& image, const StarSpot& s)
{
    return image.row(s.y)[s.x * 3 + 1] - tileMedian(image, s.x - 15, s.y - 15, 31, 1);
}

struct Outcome {
    double spreadBefore, spreadAfter;
    double worstHeightRatio;  // the star height ratio farthest from 1
    size_t stars;
};

Outcome correct(const velsky::SkyOptions& options, const PollutionOptions& pollution,
                const std::function<double(int, int)>& glow = {})
{
    const velsky::SkyGenerator sky(options);
    AccumulationImage image;
    toWorkingScale(sky.renderFrame(0), image, glow);
    const int skyRows = image.height();
    const std::vector<StarSpot> stars = measurableStars(sky, image, skyRows);
    std::vector<double> before;
    for (const StarSpot& s : stars)
        before.push_back(starHeight(image, s));
    Outcome out{backgroundSpread(image, skyRows), 0.0, 1.0, stars.size()};
    EXPECT_TRUE(reduceLightPollution(image, pollution));
    out.spreadAfter = backgroundSpread(image, skyRows);
    for (size_t i = 0; i < stars.size(); ++i) {
        const double ratio = starHeight(image, stars[i]) / before[i];
        if (std::fabs(ratio - 1.0) > std::fabs(out.worstHeightRatio - 1.0))
            out.worstHeightRatio = ratio;
    }
    return out;
}

// A town's dome of light: round and steep, nothing a bilinear surface can follow.
double dome(int x, int y)
{
    const double dx = x - 450.0, dy = y - 420.0;
    return 2000.0 * std::exp(-(dx * dx + dy * dy) / (2 * 150.0 * 150.0));
}

}  // namespace

// The glow rises linearly towards one corner, from 1 to 4 times the natural sky; star heights
// may only grow by the stretch that keeps white at white (about 3 % here).
TEST(LightPollution, BothKindsFlattenAStrongGradientAndKeepTheStars)
{
    for (int kind : {1, 2}) {
        const Outcome out = correct(pollutedSky(3.0, 1.0), {kind, 0, false, 0});
        SCOPED_TRACE(kind);
        ASSERT_GE(out.stars, 5u);
        EXPECT_LE(out.spreadAfter, out.spreadBefore / 5);
        EXPECT_NEAR(out.worstHeightRatio, 1.0, 0.05);
    }
}

TEST(LightPollution, OnlyTheGridFollowsARoundGlow)
{
    const Outcome deep = correct(pollutedSky(0.5), {1, 0, false, 0}, dome);
    const Outcome uneven = correct(pollutedSky(0.5), {2, 0, false, 0}, dome);
    EXPECT_GT(deep.spreadAfter, deep.spreadBefore / 5);
    EXPECT_LE(uneven.spreadAfter, uneven.spreadBefore / 5);
    EXPECT_NEAR(uneven.worstHeightRatio, 1.0, 0.05);
}

TEST(LightPollution, AggressiveGridKeepsTheGroundBetweenTheBlackPointAndItsOwnLevel)
{
    velsky::SkyOptions o = pollutedSky(3.0);
    o.foreground = true;
    o.groundLights = 0;  // clipped windows stay at white; this is about the ground's own level
    const velsky::SkyGenerator sky(o);
    AccumulationImage image;
    toWorkingScale(sky.renderFrame(0), image);
    velimage::Image16 mask, soft;
    mask.allocate(o.width, o.height, 1);
    const std::vector<uint8_t> rgb = sky.maskRgb();
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x)
            mask.row(y)[x] = rgb[(static_cast<size_t>(y) * o.width + x) * 3 + 1] ? 65535 : 0;
    ASSERT_TRUE(makeSoftSkyMask(mask, 20, 1, soft));
    PollutionRegion region;
    region.skyMask = &mask;
    region.softMask = &soft;
    // Ground well below the horizon, where the soft mask is 0.
    const auto groundLevels = [&](const AccumulationImage& im, int c) {
        std::vector<uint32_t> values;
        for (int y = 0; y < o.height; ++y)
            for (int x = 0; x < o.width; ++x)
                if (y > sky.horizonRow(x) + 10)
                    values.push_back(im.row(y)[x * 3 + c]);
        std::sort(values.begin(), values.end());
        return values;
    };
    std::vector<uint32_t> before[3];
    for (int c = 0; c < 3; ++c)
        before[c] = groundLevels(image, c);
    ASSERT_TRUE(reduceLightPollution(image, {2, 0, true, 0}, region));
    for (int c = 0; c < 3; ++c) {
        const std::vector<uint32_t> after = groundLevels(image, c);
        SCOPED_TRACE(c);
        // Not crushed: no ground pixel falls below the new black point, the target level (the
        // plain mapping, with backgrounds filled in from the bright horizon, would put the
        // ground at a third of it). Not lifted: nothing ends brighter than it was.
        EXPECT_GE(after.front(), Target * 0.98);
        for (size_t k = 0; k < after.size(); k += after.size() / 10)
            EXPECT_LE(after[k], before[c][k]);
    }
}

TEST(LightPollution, LeavesTheImageAloneWithTooLittleSkyOrAnAlreadyDarkBackground)
{
    const velsky::SkyGenerator sky(pollutedSky(3.0, 1.0));
    AccumulationImage image;
    toWorkingScale(sky.renderFrame(0), image);
    const std::vector<uint32_t> original(image.data(), image.data() + image.elementCount());
    const auto unchanged = [&] { return std::equal(original.begin(), original.end(), image.data()); };

    // Sky only in the top-left corner: four block centres of the 5 × 5 grid lie in it.
    velimage::Image16 mask;
    mask.allocate(600, 400, 1);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 600; ++x)
            mask.row(y)[x] = x < 240 && y < 160 ? 65535 : 0;
    PollutionRegion corner;
    corner.skyMask = &mask;
    EXPECT_FALSE(reduceLightPollution(image, {1, 0, false, 0}, corner));
    EXPECT_TRUE(unchanged());
    // Five centres (one more column) are enough.
    for (int y = 0; y < 160; ++y)
        for (int x = 240; x < 360; ++x)
            mask.row(y)[x] = x < 300 || y < 80 ? 65535 : 0;
    EXPECT_TRUE(reduceLightPollution(image, {1, 0, false, 0}, corner));
    EXPECT_FALSE(unchanged());

    // A background already darker than the target: both kinds keep every pixel.
    AccumulationImage dark;
    dark.allocate(240, 160, 3);
    for (size_t i = 0; i < dark.elementCount(); ++i)
        dark.data()[i] = static_cast<uint32_t>(0x2000 + (i * 7919) % 0x1800);
    const std::vector<uint32_t> darkOriginal(dark.data(), dark.data() + dark.elementCount());
    for (int kind : {1, 2}) {
        reduceLightPollution(dark, {kind, 2, false, 0});
        EXPECT_TRUE(std::equal(darkOriginal.begin(), darkOriginal.end(), dark.data())) << kind;
    }
}

TEST(LightPollution, WeakerStrengthsTakeAFractionOfTheFirstPercentile)
{
    // Uniform at 0x200000: the first percentile is one bin (16 values) below it.
    AccumulationImage image;
    image.allocate(100, 100, 3);
    std::fill_n(image.data(), image.elementCount(), 0x200000u);
    EXPECT_EQ(blockLevel(image, 0, 0, 20, 20, 1, 0), 0x1FFFF0u);
    EXPECT_EQ(blockLevel(image, 0, 0, 20, 20, 1, -1), 0x1FFFF0u * 3 / 4);
    EXPECT_EQ(blockLevel(image, 0, 0, 20, 20, 1, -2), 0x1FFFF0u / 2);

    ASSERT_TRUE(reduceLightPollution(image, {1, 0, false, 0}));
    // The flat surface sends everything to the target, give or take the 16 of the bin.
    EXPECT_NEAR(image.row(50)[150], Target, 20.0);

    std::fill_n(image.data(), image.elementCount(), 0x200000u);
    ASSERT_TRUE(reduceLightPollution(image, {1, -2, false, 0}));
    const double half = 0x1FFFF0 / 2, white = 0xFFFFFF;
    const double kept = (0x200000 - half) * (white - Target) / (white - half) + Target;
    EXPECT_NEAR(image.row(99)[297], kept, 1.0);
}

TEST(LightPollution, BrightForegroundBlocksAreLeftOutOfTheFit)
{
    // Sky rising linearly to the right over the top three fifths; lit ground, far brighter, below.
    AccumulationImage image;
    image.allocate(500, 500, 3);
    for (int y = 0; y < 500; ++y)
        for (int x = 0; x < 500; ++x)
            for (int c = 0; c < 3; ++c)
                image.row(y)[x * 3 + c] = y < 300 ? 0x100000 + 0x400 * x : 0x900000 + 0x100 * (x % 7);
    ASSERT_TRUE(reduceLightPollution(image, {1, 0, false, 0}));
    // Flat (the level sits a constant half block's slope above the target, where each block's
    // first percentile lies); with the ground blocks in the fit it would keep a slope of millions.
    uint32_t low = UINT32_MAX, high = 0;
    for (int y = 0; y < 300; y += 10)
        for (int x = 0; x < 500; x += 10) {
            low = std::min(low, image.row(y)[x * 3]);
            high = std::max(high, image.row(y)[x * 3]);
        }
    EXPECT_LT(high - low, 2000u);
    EXPECT_GT(low, Target);
}

TEST(LightPollution, ResultDoesNotDependOnTheThreadCount)
{
    velsky::SkyOptions o = pollutedSky(3.0);
    o.foreground = true;
    const velsky::SkyGenerator sky(o);
    velimage::Image16 mask, soft;
    mask.allocate(o.width, o.height, 1);
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x)
            mask.row(y)[x] = sky.isGround(x, y) ? 0 : 65535;
    ASSERT_TRUE(makeSoftSkyMask(mask, 20, 1, soft));
    PollutionRegion region;
    region.skyMask = &mask;
    region.softMask = &soft;
    for (int kind : {1, 2}) {
        AccumulationImage inline_, pooled;
        toWorkingScale(sky.renderFrame(0), inline_);
        toWorkingScale(sky.renderFrame(0), pooled);
        ASSERT_TRUE(reduceLightPollution(inline_, {kind, 1, true, 0}, region));
        {
            velthread::ProcessPoolScope pool(3);
            ASSERT_TRUE(reduceLightPollution(pooled, {kind, 1, true, 0}, region));
        }
        EXPECT_TRUE(std::equal(inline_.data(), inline_.data() + inline_.elementCount(), pooled.data())) << kind;
    }
}

// The grid's background in closed form against the box means on integers, on a polluted sky with
// a foreground: cell remainders on both axes, the aggressive variant with its mask, and crops so
// small that the later means (radius 0) or all of them drop out.
TEST(LightPollution, ClosedFormBackgroundStaysWithinAUnitOfTheIntegerBoxMeans)
{
    velsky::SkyOptions o = pollutedSky(3.0);
    o.width = 611;
    o.height = 397;
    o.foreground = true;
    const velsky::SkyGenerator sky(o);
    AccumulationImage full;
    toWorkingScale(sky.renderFrame(0), full);
    struct Size {
        int width, height;
    };
    for (const Size size : {Size{611, 397}, Size{50, 30}, Size{23, 12}}) {
        // The top left of the frame, with the horizon moved up into small crops.
        const int skyRows = size.height * 2 / 3;
        AccumulationImage image;
        image.allocate(size.width, size.height, 3);
        velimage::Image16 mask;
        mask.allocate(size.width, size.height, 1);
        for (int y = 0; y < size.height; ++y)
            for (int x = 0; x < size.width; ++x) {
                const bool ground = size.width == o.width ? sky.isGround(x, y) : y >= skyRows;
                std::copy_n(full.row(ground ? o.height - size.height + y : y) + 3 * x, 3, image.row(y) + 3 * x);
                mask.row(y)[x] = ground ? 0 : 65535;
            }
        PollutionRegion region;
        region.skyMask = &mask;
        for (const bool aggressive : {false, true}) {
            SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " aggressive " << aggressive);
            AccumulationImage closed, exact;
            PollutionOptions options{2, 0, aggressive, 0};
            ASSERT_TRUE(unevenPollutionBackground(image, options, region, closed));
            options.exactSmoothing = true;
            ASSERT_TRUE(unevenPollutionBackground(image, options, region, exact));
            int64_t worst = 0;
            size_t same = 0;
            for (size_t i = 0; i < exact.elementCount(); ++i) {
                const int64_t delta = static_cast<int64_t>(closed.data()[i]) - exact.data()[i];
                worst = std::max(worst, delta < 0 ? -delta : delta);
                same += delta == 0;
            }
            EXPECT_LE(worst, 1);
            // Seven means average the rounding of the ones before: nearly every value agrees.
            if (size.width == o.width) {
                EXPECT_GT(same, exact.elementCount() * 9 / 10);
            }
        }
    }
}
