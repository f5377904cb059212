#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "SkyFiles.h"
#include "SkySeries.h"

using e2e::SkySeries;

namespace {

velsky::SkyOptions calibrationSky(uint64_t seed)
{
    velsky::SkyOptions o;
    o.width = 900;
    o.height = 600;
    o.frames = 4;
    o.seed = seed;
    o.threads = 2;
    o.skyLevel = 300.0;  // a dark site: every hot pixel stands well out of the sky
    o.pollution = 0.5;
    o.magnitudeRange = 6.0;
    o.hotPixelsPerMegapixel = 150.0;
    return o;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// How far the sample at (x, y) stands above the ring of radius 3 and 4 around it, in standard
// deviations of that ring.
double standOut(const velimage::Image16& image, int x, int y, int channel)
{
    double sum = 0, squares = 0;
    int n = 0;
    for (int dy = -4; dy <= 4; ++dy)
        for (int dx = -4; dx <= 4; ++dx) {
            if (std::max(std::abs(dx), std::abs(dy)) < 3)
                continue;
            const double v = image.row(y + dy)[(x + dx) * 3 + channel];
            sum += v;
            squares += v * v;
            ++n;
        }
    const double mean = sum / n, sigma = std::sqrt(std::max(1.0, squares / n - mean * mean));
    return (image.row(y)[x * 3 + channel] - mean) / sigma;
}

// Base-frame positions of every frame's hot pixels (the fixed pattern moves with each frame's
// alignment), away from the border and from starlight.
struct Site {
    int x, y, channel;
};
std::vector<Site> hotSites(const SkySeries& series)
{
    const velsky::SkyGenerator& g = series.generator;
    const velsky::RgbImage16 sky = g.renderBaseSky();
    const int width = g.options().width, height = g.options().height;
    std::vector<Site> sites;
    for (int frame = 0; frame < g.options().frames; ++frame)
        for (const velsky::HotPixel& hot : g.hotPixels()) {
            double bx, by;
            g.frameToBase(frame).apply(hot.x, hot.y, bx, by);
            const int x = static_cast<int>(std::lround(bx)), y = static_cast<int>(std::lround(by));
            if (x < 8 || y < 8 || x >= width - 8 || y >= height - 8)
                continue;
            bool starlight = false;
            for (int dy = -6; dy <= 6; ++dy)
                for (int dx = -6; dx <= 6; ++dx)
                    starlight = starlight || sky.at(x + dx, y + dy, 1) > sky.at(x, y - 12, 1) + 30;
            if (!starlight)
                sites.push_back({x, y, hot.channel < 0 ? 1 : hot.channel});
        }
    return sites;
}

// Share of the sites that stand above 3σ of their surroundings.
double standingOut(const velimage::Image16& stack, const std::vector<Site>& sites)
{
    int above = 0;
    for (const Site& s : sites)
        above += standOut(stack, s.x, s.y, s.channel) > 3.0;
    return sites.empty() ? 1.0 : static_cast<double>(above) / sites.size();
}

// Green light of an isolated, unsaturated star in the stack, per unit of its true flux: aperture
// of radius 5 less the median of the ring 7..10.
struct Photometry {
    double x, y, brightness;
};
std::vector<Photometry> photometry(const SkySeries& series, const velimage::Image16& stack)
{
    const velsky::SkyGenerator& g = series.generator;
    const int width = g.options().width, height = g.options().height, base = g.options().baseFrame;
    std::vector<std::array<double, 3>> placed;  // x, y, flux
    for (const velsky::SkyStar& star : g.stars()) {
        double x, y;
        g.skyToFramePixel(base, star.x, star.y, x, y);
        placed.push_back({x, y, star.flux});
    }
    std::vector<Photometry> result;
    for (const auto& [x, y, flux] : placed) {
        if (flux < 20000 || flux > 120000 || x < 14 || y < 14 || x >= width - 14 || y >= height - 14)
            continue;
        bool crowded = false;
        for (const auto& [ox, oy, of] : placed)
            crowded = crowded || (of > 0.02 * flux && of != flux && std::hypot(ox - x, oy - y) < 16.0);
        if (crowded)
            continue;
        const int cx = static_cast<int>(std::lround(x)), cy = static_cast<int>(std::lround(y));
        std::vector<double> ring;
        double light = 0;
        int inside = 0;
        for (int dy = -10; dy <= 10; ++dy)
            for (int dx = -10; dx <= 10; ++dx) {
                const double r = std::hypot(dx, dy);
                const double v = stack.row(cy + dy)[(cx + dx) * 3 + 1];
                if (r <= 5.0) {
                    light += v;
                    ++inside;
                } else if (r >= 7.0 && r <= 10.0) {
                    ring.push_back(v);
                }
            }
        result.push_back({x, y, (light - inside * median(ring)) / flux});
    }
    return result;
}

// Brightness at the corners over that at the centre, from the straight line through the stars'
// brightness against their squared distance from the centre (1 at the corners): every star counts.
double cornerToCentre(const std::vector<Photometry>& stars, int width, int height)
{
    EXPECT_GE(stars.size(), 40u);
    const double halfDiagonal2 = (width * width + height * height) / 4.0;
    double n = 0, sr = 0, sb = 0, srr = 0, srb = 0;
    for (const Photometry& s : stars) {
        const double dx = s.x - 0.5 * (width - 1), dy = s.y - 0.5 * (height - 1);
        const double r2 = (dx * dx + dy * dy) / halfDiagonal2;
        n += 1, sr += r2, sb += s.brightness, srr += r2 * r2, srb += r2 * s.brightness;
    }
    const double slope = (n * srb - sr * sb) / (n * srr - sr * sr);
    const double centre = (sb - slope * sr) / n;
    return (centre + slope) / centre;
}

bool noStageFailed(const e2e::RunOutcome& outcome)
{
    for (const auto& [stage, detail] : outcome.stages)
        if (stage % 2 == 1 && detail == 2)
            return false;
    return true;
}

}  // namespace

TEST(CalibrationEndToEnd, DarksRemoveTheFixedHotPixelsAndFlatsEvenOutTheVignetting)
{
    velsky::SkyOptions o = calibrationSky(41);
    o.darkFrames = 4;
    o.flatFrames = 3;
    SkySeries series(o);
    const auto plain = [](Velostar& engine) {
        engine.setColorSpace(2);
        engine.setRemoveHotPixels(false);  // the white hot pixels are the darks' job here
    };
    const auto calibrated = [&](Velostar& engine) {
        plain(engine);
        for (const std::string& dark : series.darks)
            engine.addNoiseImage(veltest::widen(dark).c_str());
        for (const std::string& flat : series.flats)
            engine.addVignettingImage(veltest::widen(flat).c_str());
    };
    const e2e::RunOutcome before = e2e::runEngine(series.files, series.dir.file("plain.tif"), plain);
    const e2e::RunOutcome after = e2e::runEngine(series.files, series.dir.file("calibrated.tif"), calibrated);
    ASSERT_EQ(before.result, VELOSTAR_OK);
    ASSERT_EQ(after.result, VELOSTAR_OK);
    EXPECT_TRUE(noStageFailed(after));
    EXPECT_TRUE(after.has(5, 1) && after.has(9, 1) && after.has(19, 1) && after.has(23, 1));
    const auto a = e2e::loadTiff(series.dir.file("plain.tif"));
    const auto b = e2e::loadTiff(series.dir.file("calibrated.tif"));
    ASSERT_TRUE(a && b);

    const std::vector<Site> sites = hotSites(series);
    ASSERT_GE(sites.size(), 100u);
    EXPECT_GT(standingOut(*a, sites), 0.9) << "the uncalibrated stack must show the hot pixels";
    EXPECT_EQ(standingOut(*b, sites), 0.0);

    const double vignetted = cornerToCentre(photometry(series, *a), o.width, o.height);
    const double flat = cornerToCentre(photometry(series, *b), o.width, o.height);
    EXPECT_LT(vignetted, 0.8) << "the series must vignette visibly; flat " << flat;
    EXPECT_NEAR(flat, 1.0, 0.03) << "before " << vignetted;
}

TEST(CalibrationEndToEnd, DynamicRemovalTakesColouredHotPixelsAndLeavesStarsAlone)
{
    velsky::SkyOptions o = calibrationSky(43);
    o.colouredHotPixels = true;
    SkySeries series(o);
    const auto off = [](Velostar& engine) {
        engine.setColorSpace(2);
        engine.setRemoveHotPixels(false);
    };
    const auto byDefault = [](Velostar& engine) { engine.setColorSpace(2); };
    const e2e::RunOutcome kept = e2e::runEngine(series.files, series.dir.file("kept.tif"), off);
    const e2e::RunOutcome removed = e2e::runEngine(series.files, series.dir.file("removed.tif"), byDefault);
    ASSERT_EQ(kept.result, VELOSTAR_OK);
    ASSERT_EQ(removed.result, VELOSTAR_OK);
    EXPECT_TRUE(removed.has(21, 1));
    EXPECT_TRUE(noStageFailed(removed)) << "a default run reports no stage as failed";
    const auto a = e2e::loadTiff(series.dir.file("kept.tif"));
    const auto b = e2e::loadTiff(series.dir.file("removed.tif"));
    ASSERT_TRUE(a && b);

    const std::vector<Site> sites = hotSites(series);
    ASSERT_GE(sites.size(), 100u);
    EXPECT_GT(standingOut(*a, sites), 0.9);
    EXPECT_EQ(standingOut(*b, sites), 0.0);

    // Stars without a hot pixel in their aperture keep their light.
    const std::vector<Photometry> with = photometry(series, *a), without = photometry(series, *b);
    ASSERT_EQ(with.size(), without.size());
    int compared = 0;
    for (size_t i = 0; i < with.size(); ++i) {
        bool hotNearby = false;
        for (const Site& s : sites)
            hotNearby = hotNearby || std::hypot(s.x - with[i].x, s.y - with[i].y) < 12.0;
        if (hotNearby)
            continue;
        EXPECT_NEAR(without[i].brightness / with[i].brightness, 1.0, 0.02) << with[i].x << "," << with[i].y;
        ++compared;
    }
    EXPECT_GE(compared, 20);
}

TEST(CalibrationEndToEnd, UnifiedExposureBringsAHalfExposedFrameBack)
{
    velsky::SkyOptions o = calibrationSky(47);
    o.frames = 2;
    o.skyLevel = 1000.0;
    o.hotPixelsPerMegapixel = 0.0;
    SkySeries series(o);
    velsky::RgbImage16 half = series.generator.renderFrame(1);
    for (uint16_t& v : half.samples)
        v = static_cast<uint16_t>(v / 2);
    const std::string halfPath = series.dir.file("half.tif");
    velsky::writeTiff16(halfPath, half);
    const auto unify = [](Velostar& engine) {
        engine.setColorSpace(2);
        engine.setUnifyExposure(true);
    };
    ASSERT_EQ(e2e::runEngine({series.files[0], halfPath}, series.dir.file("half_stack.tif"), unify).result, VELOSTAR_OK);
    ASSERT_EQ(e2e::runEngine(series.files, series.dir.file("full_stack.tif"), unify).result, VELOSTAR_OK);
    const auto fromHalf = e2e::loadTiff(series.dir.file("half_stack.tif"));
    const auto fromFull = e2e::loadTiff(series.dir.file("full_stack.tif"));
    ASSERT_TRUE(fromHalf && fromFull);
    double a = 0, b = 0;
    for (int y = 20; y < o.height - 20; ++y)
        for (int i = 60; i < (o.width - 20) * 3; ++i) {
            a += fromHalf->row(y)[i];
            b += fromFull->row(y)[i];
        }
    EXPECT_NEAR(a / b, 1.0, 0.01);
}
