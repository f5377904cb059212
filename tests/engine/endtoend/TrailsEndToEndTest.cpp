#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "SkyFiles.h"
#include "SkySeries.h"

using e2e::SkySeries;

namespace {

// A slowly turning sky without jitter: consecutive star images overlap, so each star draws an arc.
velsky::SkyOptions turningSky(bool foreground)
{
    velsky::SkyOptions o;
    o.width = 600;
    o.height = 400;
    o.frames = 6;
    o.seed = 17;
    o.threads = 2;
    o.jitterPx = 0.0;
    o.rotationPerFrameDeg = 0.12;
    o.skyLevel = 1000.0;
    o.pollution = 0.3;
    o.magnitudeRange = 5.0;
    o.starsPerMegapixel = 400.0;
    o.hotPixelsPerMegapixel = 0.0;
    o.foreground = foreground;
    return o;
}

std::function<void(Velostar&)> trails(const std::vector<uint8_t>* mask = nullptr, int width = 0, int height = 0)
{
    return [=](Velostar& engine) {
        engine.setCompositionMode(1);
        engine.setColorSpace(2);
        engine.setRemoveHotPixels(false);
        if (mask)
            engine.setMask(mask->data(), width, height);
    };
}

double green(const velimage::Image16& image, int x, int y) { return image.row(y)[x * 3 + 1]; }

// Star light at (x, y) above the lower quartile of a ring 7 pixels out: the quartile ignores the
// trails and neighbours that cross the ring.
double lightAbove(const velimage::Image16& image, double x, double y)
{
    const int cx = int(std::lround(x)), cy = int(std::lround(y));
    std::vector<double> ring;
    for (int i = 0; i < 32; ++i) {
        const double a = i * 2.0 * M_PI / 32;
        ring.push_back(green(image, cx + int(std::lround(7 * std::cos(a))), cy + int(std::lround(7 * std::sin(a)))));
    }
    std::nth_element(ring.begin(), ring.begin() + 8, ring.end());
    return green(image, cx, cy) - ring[8];
}

}  // namespace

TEST(Trails, TurningSkyDrawsContinuousArcsThroughEveryStarPosition)
{
    const SkySeries series(turningSky(false));
    const std::string output = series.dir.file("trails.tif");
    const e2e::RunOutcome outcome = e2e::runEngine(series.files, output, trails());
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    const auto composite = e2e::loadTiff(output);
    ASSERT_TRUE(composite);
    std::vector<std::unique_ptr<velimage::Image16>> frames;
    for (const std::string& file : series.files)
        frames.push_back(e2e::loadTiff(file));

    const velsky::SkyGenerator& sky = series.generator;
    const int frameCount = int(frames.size());
    int checked = 0;
    for (const velsky::SkyStar& star : sky.stars()) {
        std::vector<std::array<double, 2>> track(static_cast<size_t>(frameCount));
        bool inside = true;
        for (int f = 0; f < frameCount; ++f) {
            sky.skyToFramePixel(f, star.x, star.y, track[f][0], track[f][1]);
            inside = inside && track[f][0] > 12 && track[f][1] > 12 && track[f][0] < 588 && track[f][1] < 388;
        }
        if (!inside)
            continue;
        const double peak = lightAbove(*frames[0], track[0][0], track[0][1]);
        if (peak < 1500 || peak > 40000)
            continue;
        ++checked;
        for (int f = 0; f < frameCount; ++f) {
            const double own = lightAbove(*frames[f], track[f][0], track[f][1]);
            EXPECT_GT(lightAbove(*composite, track[f][0], track[f][1]), 0.8 * own)
                << "star at " << track[f][0] << "," << track[f][1] << " frame " << f;
            if (f + 1 < frameCount) {
                // Halfway to the next position the arc is still lit.
                const double mx = (track[f][0] + track[f + 1][0]) / 2, my = (track[f][1] + track[f + 1][1]) / 2;
                EXPECT_GT(lightAbove(*composite, mx, my), 0.3 * peak) << "gap after frame " << f;
            }
        }
    }
    EXPECT_GT(checked, 10);
}

TEST(Trails, GroundUnderTheMaskKeepsTheBaseFrame)
{
    const SkySeries series(turningSky(true));
    const std::vector<uint8_t> mask = series.generator.maskRgb();
    const std::string output = series.dir.file("masked.tif");
    const e2e::RunOutcome outcome = e2e::runEngine(series.files, output, trails(&mask, 600, 400));
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    const auto composite = e2e::loadTiff(output);
    const auto base = e2e::loadTiff(series.files[0]);
    ASSERT_TRUE(composite && base);
    int64_t ground = 0, changed = 0, skyRaised = 0, sky = 0;
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 600; ++x) {
            const double horizon = series.generator.horizonRow(x);
            if (y > horizon + 30) {
                ++ground;
                for (int c = 0; c < 3; ++c)
                    changed += composite->row(y)[x * 3 + c] != base->row(y)[x * 3 + c];
            } else if (y + 30 < horizon) {
                ++sky;
                skyRaised += green(*composite, x, y) > green(*base, x, y);
            }
        }
    EXPECT_GT(ground, 20000);
    EXPECT_EQ(changed, 0);
    // Above the horizon the other frames still count (their noise alone lifts most pixels).
    EXPECT_GT(skyRaised, sky / 2);
}

TEST(Trails, MotionEffectFadesEachFrameByItsPlaceInTheRun)
{
    // Ten flat frames; with the motion effect the last name is the base, here black.
    const veltest::TempDir dir;
    std::vector<std::string> files;
    for (int i = 9; i >= 0; --i) {
        velsky::RgbImage16 image;
        image.width = 40;
        image.height = 30;
        image.samples.assign(size_t(40) * 30 * 3, i == 9 ? 0 : 1000);
        files.push_back(dir.file("f" + std::to_string(i) + ".tif"));
        velsky::writeTiff16(files.back(), image);
    }
    const std::string output = dir.file("faded.tif");
    const e2e::RunOutcome outcome = e2e::runEngine(files, output, [](Velostar& engine) {
        trails()(engine);
        engine.setTrailsMotionEffect(true);
    });
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    const auto composite = e2e::loadTiff(output);
    ASSERT_TRUE(composite);
    // The first frame after the base: done 1, remaining 9, (9·1000 + 4) / 10; later ones fade more.
    EXPECT_EQ(composite->row(15)[20 * 3 + 1], 900);
    EXPECT_EQ(composite->row(0)[0], 900);
}
