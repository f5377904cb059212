#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "SkyGenerator.h"
#include "parallel/ProcessPool.h"
#include "skymask/SkyMaskEstimate.h"
#include "support/SmallLandscape.h"

namespace {

velsky::SkyOptions landscape(uint64_t seed) { return veltest::smallLandscape(seed, 8); }

std::unique_ptr<velimage::Image16> toImage(const velsky::RgbImage16& rgb)
{
    auto image = std::make_unique<velimage::Image16>();
    image->allocate(rgb.width, rgb.height, 3);
    std::copy(rgb.samples.begin(), rgb.samples.end(), image->data());
    return image;
}

// An 8-bit file's frame read back linear: the display gamma of the generator's JPEG files, then
// the sRGB curve of the reader (the smooth sky glow comes back in flat bands).
void throughEightBits(velsky::RgbImage16& rgb)
{
    std::vector<uint16_t> linear(256);
    for (size_t i = 0; i < linear.size(); ++i) {
        const double x = i / 255.0;
        linear[i] = static_cast<uint16_t>(65535.0 * (x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4)) + 0.5);
    }
    for (uint16_t& v : rgb.samples)
        v = linear[static_cast<size_t>(255.0 * std::pow(v / 65535.0, 1.0 / 2.2) + 0.5)];
}

// The series reduced as the run reduces it, base frame first, with the generator's own transforms.
std::vector<velmask::SkySample> samplesOf(const velsky::SkyGenerator& generator, bool eightBit = false)
{
    const auto& o = generator.options();
    std::vector<velmask::SkySample> samples;
    const int32_t factor = velmask::reductionFactor(o.width, o.height);
    for (int n = 0; n < o.frames; ++n) {
        const int i = n == 0 ? o.baseFrame : n <= o.baseFrame ? n - 1 : n;
        velmask::SkySample sample;
        velsky::RgbImage16 frame = generator.renderFrame(i);
        if (eightBit)
            throughEightBits(frame);
        const auto image = toImage(frame);
        sample.plane = velmask::reduceLuminance(*image, factor);
        if (n == 0)
            sample.fine = velmask::fineLuminance(*image, factor);
        sample.aligned = true;
        const auto t = generator.frameToBase(i).m;
        std::copy(t.begin(), t.end(), sample.toBase);
        samples.push_back(std::move(sample));
    }
    return samples;
}

// Share of the pixels more than `margin` pixels from the true horizon where the estimate
// (sky from half way up) agrees with the generator.
double agreement(const velsky::SkyGenerator& generator, const velimage::Image16& mask, int32_t margin)
{
    int64_t counted = 0, agreed = 0;
    for (int32_t y = 0; y < mask.height(); ++y)
        for (int32_t x = 0; x < mask.width(); ++x) {
            bool near = false;
            for (int32_t dx = -margin; dx <= margin && !near; ++dx) {
                const int32_t cx = std::clamp(x + dx, 0, mask.width() - 1);
                near = std::fabs(generator.horizonRow(cx) - y) <= margin;
            }
            if (near)
                continue;
            ++counted;
            agreed += (mask.row(y)[x] >= 32768) == !generator.isGround(x, y);
        }
    return counted ? static_cast<double>(agreed) / counted : 0.0;
}

TEST(SkyMaskEstimate, FindsTheHorizonOfGeneratedLandscapes)
{
    velthread::ProcessPoolScope pool(2);
    struct Case {
        uint64_t seed;
        double horizonShare;
        int lights;
        int frames;
        double clouds;
        int width = 600, height = 400, base = 0;
        bool eightBit = false;
    };
    // The last: larger frames with the base mid-series (the sky turns both ways from it) and the
    // sparse stars of an ordinary sky, few sky seeds near the horizon, one of them read from 8 bits.
    for (const Case c : {Case{3, 0.3, 0, 8, 0.0}, Case{11, 0.3, 8, 5, 0.0}, Case{17, 0.45, 0, 6, 0.7},
                         Case{23, 0.45, 10, 6, 0.0}, Case{29, 0.2, 8, 10, 0.5}, Case{43, 0.35, 12, 8, 0.0},
                         Case{4, 0.3, 12, 6, 0.0, 1500, 1000, 2}, Case{77, 0.3, 8, 6, 0.0, 1500, 1000, 2, true}}) {
        velsky::SkyOptions o = landscape(c.seed);
        o.width = c.width;
        o.height = c.height;
        o.baseFrame = c.base;
        if (c.width > 600) {  // an ordinary sky
            o.starsPerMegapixel = 500.0;
            o.magnitudeRange = 9.0;
            o.rotationPerFrameDeg = 0.125;
            o.skyLevel = 1800.0;
            o.pollution = 1.2;
        }
        if (c.eightBit) {  // smooth as a compressed file's sky: its bands are not dithered away
            o.gain = 0.01;
            o.readNoise = 1.0;
        }
        o.horizonShare = c.horizonShare;
        o.groundLights = c.lights;
        o.frames = c.frames;
        o.clouds = c.clouds;
        const velsky::SkyGenerator generator(o);
        velimage::Image16 mask;
        ASSERT_EQ(velmask::estimateSkyMask(samplesOf(generator, c.eightBit), o.width, o.height, mask),
                  velmask::SkyEstimate::Estimated);
        EXPECT_GE(agreement(generator, mask, 10), 0.98) << "seed " << c.seed;
    }
}

TEST(SkyMaskEstimate, GivesTheSameMaskOnOneAndTwoThreadsAndTheSameSharpTwinDrawnAlone)
{
    velsky::SkyOptions o = landscape(11);
    o.frames = 5;
    const velsky::SkyGenerator generator(o);
    const std::vector<velmask::SkySample> samples = samplesOf(generator);
    velimage::Image16 one, two, twin, sharpAlone;
    {
        velthread::ProcessPoolScope pool(1);
        velmask::estimateSkyMask(samples, o.width, o.height, one);
    }
    {
        velthread::ProcessPoolScope pool(2);
        velmask::estimateSkyMask(samples, o.width, o.height, two, &twin);
        // As a run draws it, without the soft one.
        velmask::SkyLabels labels;
        ASSERT_EQ(velmask::estimateSkyLabels(samples, labels), velmask::SkyEstimate::Estimated);
        velmask::drawSkyMask(labels, o.width, o.height, nullptr, &sharpAlone);
    }
    EXPECT_TRUE(std::equal(one.data(), one.data() + one.elementCount(), two.data()));
    // The twin is the sharp mask of the same sky.
    ASSERT_EQ(twin.elementCount(), two.elementCount());
    for (size_t i = 0; i < two.elementCount(); ++i)
        ASSERT_EQ(twin.data()[i], two.data()[i] != 0 ? 65535 : 0) << "pixel " << i;
    ASSERT_EQ(sharpAlone.elementCount(), twin.elementCount());
    EXPECT_TRUE(std::equal(twin.data(), twin.data() + twin.elementCount(), sharpAlone.data()));
}

}  // namespace
