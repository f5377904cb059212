#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include <png.h>
#include <tiffio.h>

#include <nlohmann/json.hpp>

#include "SkyFiles.h"
#include "SkyGenerator.h"
#include "support/TempDir.h"

using velsky::SkyGenerator;
using velsky::SkyOptions;

namespace {

SkyOptions smallSky()
{
    SkyOptions o;
    o.width = 480;
    o.height = 320;
    o.frames = 4;
    o.seed = 7;
    o.threads = 2;
    return o;
}

// Background-subtracted centroid of the green channel in a (2r+1)² window.
bool centroid(const velsky::RgbImage16& image, double x, double y, int r, double& cx, double& cy)
{
    const int x0 = int(std::lround(x)), y0 = int(std::lround(y));
    if (x0 - r - 3 < 0 || y0 - r - 3 < 0 || x0 + r + 3 >= image.width || y0 + r + 3 >= image.height)
        return false;
    std::vector<int> ring;
    for (int dy = -r - 2; dy <= r + 2; ++dy)
        for (int dx = -r - 2; dx <= r + 2; ++dx)
            if (std::max(std::abs(dx), std::abs(dy)) > r)
                ring.push_back(image.at(x0 + dx, y0 + dy, 1));
    std::nth_element(ring.begin(), ring.begin() + ring.size() / 2, ring.end());
    const double background = ring[ring.size() / 2];
    double sum = 0, sx = 0, sy = 0;
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx) {
            const double v = std::max(0.0, image.at(x0 + dx, y0 + dy, 1) - background);
            sum += v, sx += v * (x0 + dx), sy += v * (y0 + dy);
        }
    if (sum <= 0)
        return false;
    cx = sx / sum, cy = sy / sum;
    return true;
}

// Bright, unsaturated stars with no comparable neighbour: their centroids are trustworthy.
std::vector<velsky::SkyStar> measurableStars(const SkyGenerator& generator)
{
    std::vector<velsky::SkyStar> chosen;
    const auto& stars = generator.stars();
    for (const auto& star : stars) {
        if (star.flux < 2.0e4 || star.flux > 2.0e5)
            continue;
        bool isolated = true;
        for (const auto& other : stars)
            if (&other != &star && std::hypot(other.x - star.x, other.y - star.y) < 10.0 && other.flux > star.flux * 0.01)
                isolated = false;
        if (isolated)
            chosen.push_back(star);
    }
    return chosen;
}

}  // namespace

TEST(SkyGenerator, SameSeedSameImagesWhateverTheThreadCount)
{
    SkyOptions o = smallSky();
    o.foreground = true;
    o.satelliteFrame = 1;
    o.k1 = 0.03;
    o.darkFrames = 1;
    o.flatFrames = 1;
    o.threads = 1;
    const SkyGenerator one(o);
    o.threads = 3;
    const SkyGenerator three(o);
    for (int frame = 0; frame < o.frames; ++frame)
        EXPECT_EQ(one.renderFrame(frame).samples, three.renderFrame(frame).samples) << "frame " << frame;
    EXPECT_EQ(one.renderDark(0).samples, three.renderDark(0).samples);
    EXPECT_EQ(one.renderFlat(0).samples, three.renderFlat(0).samples);
    EXPECT_EQ(one.maskRgb(), three.maskRgb());

    o.seed = 8;
    const SkyGenerator other(o);
    EXPECT_NE(one.renderFrame(1).samples, other.renderFrame(1).samples);
    EXPECT_NE(one.frameToBase(2).m, other.frameToBase(2).m);
    // Frames of one series differ from each other (noise and motion), darks too.
    EXPECT_NE(one.renderFrame(1).samples, one.renderFrame(2).samples);
}

class SkyGeneratorPsf : public testing::TestWithParam<velsky::PointSpread> {};

TEST_P(SkyGeneratorPsf, TruthTransformsMatchRenderedStars)
{
    SkyOptions o = smallSky();
    o.psf = GetParam();
    o.width = 900;
    o.height = 600;
    o.rotationPerFrameDeg = 0.6;
    o.jitterPx = 3.0;
    o.baseFrame = 1;
    o.hotPixelsPerMegapixel = 0;
    const SkyGenerator generator(o);
    const auto base = generator.renderFrame(o.baseFrame);
    const auto frame = generator.renderFrame(3);
    const velsky::Affine toBase = generator.frameToBase(3);
    const velsky::Affine skyToFrame = generator.skyToFrame(3);

    int measured = 0;
    double worst = 0.0;
    for (const auto& star : measurableStars(generator)) {
        double fx, fy, bx, by, mx, my, tx, ty;
        skyToFrame.apply(star.x, star.y, fx, fy);
        if (!centroid(frame, fx, fy, 4, mx, my))
            continue;
        generator.skyToFrame(o.baseFrame).apply(star.x, star.y, tx, ty);
        if (!centroid(base, tx, ty, 4, bx, by))
            continue;
        // The measured frame position, carried by the truth, lands on the measured base position.
        double px, py;
        toBase.apply(mx, my, px, py);
        worst = std::max(worst, std::hypot(px - bx, py - by));
        // And the rendered star sits where the geometry puts it (noise limits this to ~0.1 px).
        EXPECT_NEAR(mx, fx, 0.25);
        EXPECT_NEAR(my, fy, 0.25);
        ++measured;
    }
    EXPECT_GE(measured, 15);
    EXPECT_LT(worst, 0.4);
    // The sky really moved between the frames: the transform is far from the identity.
    double cx, cy;
    toBase.apply(450, 300, cx, cy);
    EXPECT_GT(std::hypot(cx - 450, cy - 300), 5.0);
}

INSTANTIATE_TEST_SUITE_P(BothProfiles, SkyGeneratorPsf,
                         testing::Values(velsky::PointSpread::Gaussian, velsky::PointSpread::Moffat));

TEST(SkyGenerator, LensDistortionMovesStarsRadially)
{
    SkyOptions o = smallSky();
    o.width = 900;
    o.height = 600;
    o.k1 = -0.04;
    o.hotPixelsPerMegapixel = 0;
    const SkyGenerator generator(o);
    const auto image = generator.renderFrame(2);
    int corners = 0;
    for (const auto& star : measurableStars(generator)) {
        double ux, uy, dx, dy, mx, my;
        generator.skyToFrame(2).apply(star.x, star.y, ux, uy);
        generator.skyToFramePixel(2, star.x, star.y, dx, dy);
        if (!centroid(image, dx, dy, 4, mx, my))
            continue;
        EXPECT_NEAR(mx, dx, 0.25);
        EXPECT_NEAR(my, dy, 0.25);
        if (std::hypot(ux - 449.5, uy - 299.5) > 350) {
            // Barrel distortion pulls outer stars towards the centre by pixels, not noise.
            EXPECT_GT(std::hypot(ux - mx, uy - my), 1.5);
            ++corners;
        }
    }
    EXPECT_GE(corners, 2);
}

TEST(SkyGenerator, OptionsShapeTheImages)
{
    SkyOptions o = smallSky();
    o.foreground = true;
    o.satelliteFrame = 2;
    o.hotPixelsPerMegapixel = 100;
    const SkyGenerator generator(o);

    // Ground: the mask is green exactly where the sky is, and the ground holds no starlight.
    const auto mask = generator.maskRgb();
    const auto sky = generator.renderBaseSky();
    const auto nearLight = [&](int x, int y) {
        for (const auto& light : generator.groundLights())
            if (std::fabs(x - light.x) < light.halfWidth + 5 && std::fabs(y - light.y) < light.halfHeight + 5)
                return true;
        return false;
    };
    int groundPixels = 0;
    uint16_t brightestGround = 0;
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x) {
            const bool ground = generator.isGround(x, y);
            ASSERT_EQ(mask[(size_t(y) * o.width + x) * 3 + 1], ground ? 0 : 255);
            EXPECT_EQ(mask[(size_t(y) * o.width + x) * 3], 0);
            if (ground) {
                ++groundPixels;
                if (!nearLight(x, y))
                    brightestGround = std::max(brightestGround, sky.at(x, y, 1));
            }
        }
    EXPECT_GT(groundPixels, o.width * o.height / 8);
    EXPECT_LT(groundPixels, o.width * o.height / 2);
    EXPECT_LT(brightestGround, 1200);

    // Lit windows: on the ground, bright, fixed in frame pixels; some clip.
    ASSERT_EQ(generator.groundLights().size(), size_t(o.groundLights));
    const auto lightFrame = generator.renderFrame(3);
    int clipped = 0;
    for (const auto& light : generator.groundLights()) {
        const int x = int(std::lround(light.x)), y = int(std::lround(light.y));
        EXPECT_TRUE(generator.isGround(x, y - int(light.halfHeight) - 3));
        EXPECT_GT(sky.at(x, y, 1), 5000);
        EXPECT_NEAR(lightFrame.at(x, y, 1), sky.at(x, y, 1), 0.05 * sky.at(x, y, 1) + 200);
        clipped += sky.at(x, y, 1) == 65535;
    }
    EXPECT_GE(clipped, 1);
    // The horizon is irregular, not a straight line.
    double low = 1e9, high = -1e9;
    for (int x = 0; x < o.width; ++x)
        low = std::min(low, generator.horizonRow(x)), high = std::max(high, generator.horizonRow(x));
    EXPECT_GT(high - low, 15.0);

    // Light pollution: the noise-free sky is brighter low on the left than high on the right.
    EXPECT_GT(sky.at(20, int(low) - 5, 1), sky.at(o.width - 20, 10, 1) + 300);

    // Satellite: a bright line in its frame only, along the truth's line.
    const auto line = generator.satelliteLine();
    auto onLine = [&](int x) { return int(std::lround(line[1] + (line[3] - line[1]) * x / o.width)); };
    const auto trailFrame = generator.renderFrame(2), plainFrame = generator.renderFrame(1);
    int bright = 0;
    for (int x = 10; x < o.width - 10; x += 10) {
        bright += trailFrame.at(x, onLine(x), 1) > 15000;
        EXPECT_LT(plainFrame.at(x, onLine(x), 1), 15000) << x;
    }
    EXPECT_GE(bright, (o.width - 20) / 10 - 2);

    // Hot pixels: fixed across frames and present in the darks; the dark elsewhere sits at the pedestal.
    const auto dark = generator.renderDark(0);
    ASSERT_FALSE(generator.hotPixels().empty());
    for (const auto& hot : generator.hotPixels()) {
        EXPECT_GE(dark.at(hot.x, hot.y, 0), std::min(65535.0, o.pedestal + hot.level - 40));
        EXPECT_GE(generator.renderFrame(3).at(hot.x, hot.y, 2), std::min(65535, hot.level));
        break;  // one full-frame render per hot pixel is enough
    }
    double darkSum = 0;
    for (int x = 0; x < o.width; ++x)
        darkSum += dark.at(x, o.height / 2, 1);
    EXPECT_NEAR(darkSum / o.width, o.pedestal + 8, 5.0);

    // The Moffat profile spreads the same stars wider than the Gaussian.
    SkyOptions moffat = o;
    moffat.psf = velsky::PointSpread::Moffat;
    EXPECT_NE(SkyGenerator(moffat).renderBaseSky().samples, sky.samples);

    // Flat: vignetting darkens the corners by about the configured share.
    const auto flat = generator.renderFlat(0);
    const double centre = flat.at(o.width / 2, o.height / 2, 1) - o.pedestal;
    const double corner = flat.at(1, 1, 1) - o.pedestal;
    EXPECT_NEAR(corner / centre, 1.0 - o.vignetting, 0.05);
}

TEST(SkyGenerator, RejectsNonsenseOptions)
{
    SkyOptions o = smallSky();
    o.width = 0;
    EXPECT_THROW(SkyGenerator{o}, std::invalid_argument);
    o = smallSky();
    o.baseFrame = o.frames;
    EXPECT_THROW(SkyGenerator{o}, std::invalid_argument);
    o = smallSky();
    o.satelliteFrame = o.frames;
    EXPECT_THROW(SkyGenerator{o}, std::invalid_argument);
}

TEST(SkyFiles, SeriesOnDiskMatchesTheGenerator)
{
    veltest::TempDir dir;
    SkyOptions o = smallSky();
    o.frames = 3;
    o.foreground = true;
    o.darkFrames = 2;
    o.flatFrames = 1;
    const SkyGenerator generator(o);
    const auto files = velsky::writeSeries(generator, dir.path());
    ASSERT_EQ(files.frames.size(), 3u);
    ASSERT_EQ(files.darks.size(), 2u);
    ASSERT_EQ(files.flats.size(), 1u);

    // The TIFF holds exactly the rendered samples, as 16-bit RGB.
    TIFF* tiff = TIFFOpen(dir.file(files.frames[1]).c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    EXPECT_EQ(width, uint32_t(o.width));
    EXPECT_EQ(height, uint32_t(o.height));
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(samples, 3);
    std::vector<uint16_t> row(size_t(o.width) * 3);
    const auto expected = generator.renderFrame(1);
    ASSERT_EQ(TIFFReadScanline(tiff, row.data(), 100, 0), 1);
    TIFFClose(tiff);
    EXPECT_TRUE(std::equal(row.begin(), row.end(), expected.samples.begin() + 100 * row.size()));

    std::ifstream in(dir.file(files.truth));
    const auto truth = nlohmann::json::parse(in);
    ASSERT_EQ(truth["frames"].size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const auto transform = truth["frames"][i]["transform"].get<std::vector<double>>();
        ASSERT_EQ(transform.size(), 6u);
        for (int k = 0; k < 6; ++k)
            EXPECT_DOUBLE_EQ(transform[k], generator.frameToBase(i).m[k]);
    }
    EXPECT_EQ(truth["mask"], "mask.png");
    EXPECT_GT(truth["stars"].size(), 20u);
    // Brightest first, all inside the base frame and above the ground.
    const auto& stars = truth["stars"];
    for (size_t i = 1; i < stars.size(); ++i)
        ASSERT_GE(stars[i - 1]["flux"].get<double>(), stars[i]["flux"].get<double>());
    for (const auto& star : stars)
        EXPECT_FALSE(generator.isGround(int(star["x"].get<double>()), int(star["y"].get<double>())));

    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&png, dir.file(files.mask).c_str()));
    EXPECT_EQ(png.width, uint32_t(o.width));
    EXPECT_EQ(png.height, uint32_t(o.height));
    png_image_free(&png);
}

TEST(SkyFiles, JpegFramesWhenAsked)
{
    veltest::TempDir dir;
    SkyOptions o = smallSky();
    o.frames = 2;
    o.jpeg = true;
    const auto files = velsky::writeSeries(SkyGenerator(o), dir.path());
    ASSERT_EQ(files.frames.size(), 2u);
    EXPECT_EQ(files.frames[0], "frame_000.jpg");
    const std::string bytes = veltest::readBytes(dir.file(files.frames[0]));
    ASSERT_GT(bytes.size(), 1000u);
    EXPECT_EQ(uint8_t(bytes[0]), 0xFF);
    EXPECT_EQ(uint8_t(bytes[1]), 0xD8);
}

TEST(SkyFiles, UnwritableFolderThrows)
{
    veltest::TempDir dir;
    ASSERT_TRUE(veltest::writeBytes(dir.file("plain"), "x"));
    EXPECT_ANY_THROW(velsky::writeSeries(SkyGenerator(smallSky()), dir.file("plain") + "/sub"));
}
