#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "integration/AccumulationArithmetic.h"
#include "integration/BilinearSampler.h"
#include "integration/FrameWarper.h"
#include "parallel/ProcessPool.h"

using velimage::AccumulationImage;
using velimage::Image;
using namespace velstack;

namespace {

Image<uint16_t>* makeFrame(Image<uint16_t>& frame, int32_t w, int32_t h, int32_t channels, uint32_t seed)
{
    frame.allocate(w, h, channels);
    std::mt19937 random(seed);
    for (size_t i = 0; i < frame.elementCount(); ++i)
        frame.data()[i] = static_cast<uint16_t>(random() & 0xFFFF);
    return &frame;
}

uint16_t at(const Image<uint16_t>& image, int32_t x, int32_t y, int32_t c)
{
    return image.row(y)[x * image.channels() + c];
}

WarpModel shifted(float dx, float dy)
{
    WarpModel model;
    model.c = dx;
    model.f = dy;
    return model;
}

// A mild rotation with a sub-pixel shift: exercises every rounding path.
WarpModel rotated()
{
    WarpModel model;
    const float forward[9] = {0.9998f, -0.0175f, 3.3f, 0.0175f, 0.9998f, -2.7f, 0, 0, 1};
    EXPECT_TRUE(model.setFromForward(forward));
    return model;
}

struct Snapshot {
    std::vector<uint32_t> sums;
    std::vector<float> weights;
    float maxWeight;
};

Snapshot snapshot(const AccumulationImage& image)
{
    return {std::vector<uint32_t>(image.data(), image.data() + image.elementCount()),
            std::vector<float>(image.weights(), image.weights() + static_cast<size_t>(image.width()) * image.height()),
            image.maxWeight()};
}

}  // namespace

TEST(FrameWarper, IdentityLeavesTheLastRowAndColumnUncovered)
{
    Image<uint16_t> frame;
    makeFrame(frame, 7, 5, 3, 1);
    AccumulationImage sum;
    ASSERT_TRUE(accumulateFrame(frame, WarpModel{}, sum));

    ASSERT_EQ(sum.width(), 7);
    ASSERT_EQ(sum.height(), 5);
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 7; ++x) {
            const bool covered = x < 6 && y < 4;
            EXPECT_EQ(sum.weightRow(y)[x], covered ? 2.0f : 1.0f) << x << "," << y;  // cleared to 1 first
            for (int32_t c = 0; c < 3; ++c)
                EXPECT_EQ(sum.row(y)[x * 3 + c], covered ? at(frame, x, y, c) : 0u);
        }
    EXPECT_EQ(sum.maxWeight(), 2.0f);
    EXPECT_FALSE(sum.normalized());
}

TEST(FrameWarper, FrameMovedOutsideAddsNothing)
{
    Image<uint16_t> frame;
    makeFrame(frame, 6, 4, 3, 2);
    AccumulationImage sum;
    ASSERT_TRUE(accumulateFrame(frame, WarpModel{}, sum));
    const Snapshot before = snapshot(sum);
    for (const WarpModel& far : {shifted(6.0f, 0.0f), shifted(-5.5f, 0.0f), shifted(0.0f, 1e30f), shifted(NAN, 0.0f)})
        ASSERT_TRUE(accumulateFrame(frame, far, sum));
    const Snapshot after = snapshot(sum);
    EXPECT_EQ(after.sums, before.sums);
    EXPECT_EQ(after.weights, before.weights);
    EXPECT_EQ(after.maxWeight, before.maxWeight);
}

TEST(FrameWarper, BilinearRoundsEachChannelOnceHalfUp)
{
    Image<uint16_t> frame;
    frame.allocate(3, 2, 3);
    const uint16_t values[18] = {1, 10, 100, 2, 11, 65535, 0, 0, 0, 4, 13, 100, 6, 17, 65535, 0, 0, 0};
    std::memcpy(frame.data(), values, sizeof values);
    Image<uint16_t> out;
    out.allocate(1, 1, 3);
    ASSERT_TRUE(warpForAlignOnly(frame, shifted(0.5f, 0.0f), out));
    // 1.5 → 2, 10.5 → 11, 32817.5 → 32818
    EXPECT_EQ(at(out, 0, 0, 0), 2);
    EXPECT_EQ(at(out, 0, 0, 1), 11);
    EXPECT_EQ(at(out, 0, 0, 2), 32818);
    ASSERT_TRUE(warpForAlignOnly(frame, shifted(0.5f, 0.5f), out));
    // 1 + 0.5·3 + 0.5·1 + 0.25·(6 + 1 − 2 − 4) = 3.25 → 3
    EXPECT_EQ(at(out, 0, 0, 0), 3);
    EXPECT_EQ(at(out, 0, 0, 2), 32818);
}

TEST(FrameWarper, GradientRampWeighsByDistanceFromTheLine)
{
    Image<uint16_t> frame;
    frame.allocate(12, 3, 3);
    std::fill_n(frame.data(), frame.elementCount(), 1001);
    AccumulationImage sum;
    sum.allocate(12, 3, 3);
    clearAccumulation(sum);
    // Vertical line through x = 2 pointing down: positive side is x > 2; full weight 4 px further.
    const GradientRamp ramp(2, 0, 0, 10, 4.0f);
    ASSERT_TRUE(accumulateFrame(frame, WarpModel{}, sum, &ramp));
    const float expectedWeight[11] = {0, 0, 0, 0.25f, 0.5f, 0.75f, 1, 1, 1, 1, 1};
    const uint32_t expectedSample[11] = {0, 0, 0, 250, 501, 751, 1001, 1001, 1001, 1001, 1001};
    for (int32_t x = 0; x < 11; ++x) {
        EXPECT_EQ(sum.weightRow(0)[x], 1.0f + expectedWeight[x]) << x;
        EXPECT_EQ(sum.row(0)[x * 3], expectedSample[x]) << x;
    }
    EXPECT_EQ(sum.maxWeight(), 2.0f);
}

TEST(FrameWarper, SecondPassFlagsCoverageAndSky)
{
    Image<uint16_t> frame;
    makeFrame(frame, 6, 4, 4, 3);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 6; ++x)
            frame.row(y)[x * 4 + 3] = x < 3 ? 0 : 65535;  // sky on the right half
    Image<uint16_t> out;
    ASSERT_TRUE(warpForSecondPass(frame, WarpModel{}, out, true));
    ASSERT_EQ(out.channels(), 4);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 6; ++x) {
            const bool covered = x < 5 && y < 3;
            const uint16_t flags = covered ? (x < 3 ? 2 : 3) : 0;
            EXPECT_EQ(at(out, x, y, 3), flags) << x << "," << y;
            EXPECT_EQ(at(out, x, y, 0), covered ? at(frame, x, y, 0) : 0);
        }

    Image<uint16_t> rgb, plain;
    makeFrame(rgb, 6, 4, 3, 4);
    ASSERT_TRUE(warpForSecondPass(rgb, WarpModel{}, plain, false));
    EXPECT_EQ(at(plain, 0, 0, 3), 3);
    EXPECT_EQ(at(plain, 5, 0, 3), 1);
    EXPECT_EQ(at(plain, 2, 1, 2), at(rgb, 2, 1, 2));

    Image<uint16_t> refused;
    EXPECT_FALSE(warpForSecondPass(rgb, WarpModel{}, refused, true));  // mask variant needs 4 channels
    EXPECT_TRUE(refused.empty());
}

TEST(FrameWarper, SecondPassVariantsAgreeWithTheAttachedMask)
{
    Image<uint16_t> attached, rgb, mask;
    makeFrame(attached, 40, 30, 4, 11);
    rgb.allocate(40, 30, 3);
    mask.allocate(40, 30, 1);
    for (int32_t i = 0; i < 40 * 30; ++i) {
        uint16_t* p = attached.data() + i * 4;
        if ((i % 40 / 6 + i / 40 / 6) % 2 == 0)
            p[3] = 0;  // squares of ground between the sky
        std::copy_n(p, 3, rgb.data() + i * 3);
        mask.data()[i] = p[3];
    }
    WarpModel warp;
    const float forward[9] = {0.998f, -0.05f, 1.3f, 0.05f, 0.998f, -0.7f, 0, 0, 1};
    ASSERT_TRUE(warp.setFromForward(forward));
    Image<uint16_t> a, b;
    ASSERT_TRUE(warpForSecondPass(attached, warp, a, true));
    ASSERT_TRUE(warpForSecondPass(rgb, mask, warp, b));
    EXPECT_TRUE(std::equal(a.data(), a.data() + a.elementCount(), b.data()));
    // Without a mask: the same samples and coverage, every pixel sky.
    Image<uint16_t> plain;
    ASSERT_TRUE(warpForSecondPass(rgb, warp, plain, false));
    for (size_t i = 0; i < plain.elementCount(); i += 4) {
        ASSERT_TRUE(std::equal(plain.data() + i, plain.data() + i + 3, a.data() + i)) << i / 4;
        ASSERT_EQ(plain.data()[i + 3], (a.data()[i + 3] & CoveredFlag) | SkyFlag) << i / 4;
    }
    Image<uint16_t> small, refused;
    small.allocate(20, 30, 1);
    EXPECT_FALSE(warpForSecondPass(rgb, small, warp, refused));  // the mask must have the frame's size
}

TEST(FrameWarper, RefusesUnfitInputWithoutTouchingTheSum)
{
    Image<uint16_t> grey;
    makeFrame(grey, 4, 4, 1, 5);
    AccumulationImage sum;
    EXPECT_FALSE(accumulateFrame(grey, WarpModel{}, sum));
    EXPECT_TRUE(sum.empty());

    Image<uint16_t> frame;
    makeFrame(frame, 4, 4, 3, 6);
    WarpModel noGrid;
    noGrid.mode = 2;
    EXPECT_FALSE(accumulateFrame(frame, noGrid, sum));
    WarpModel unknown;
    unknown.mode = 3;
    EXPECT_FALSE(accumulateFrame(frame, unknown, sum));
    EXPECT_TRUE(sum.empty());

    WarpModel model;
    const float singular[9] = {1, 2, 0, 2, 4, 0, 0, 0, 1};
    EXPECT_FALSE(model.setFromForward(singular));
    EXPECT_EQ(model.a, 1.0f);
    const float translation[9] = {1, 0, 3, 0, 1, -2, 0, 0, 1};
    ASSERT_TRUE(model.setFromForward(translation));
    EXPECT_EQ(model.c, -3.0f);
    EXPECT_EQ(model.f, 2.0f);
}

TEST(FrameWarper, DistortionModelsReduceToTheAffineWhenFlat)
{
    Image<uint16_t> frame;
    makeFrame(frame, 40, 30, 3, 7);

    // k1 = k2 = 0: the radial model is the affine in centre-relative coordinates.
    WarpModel radial;
    radial.mode = 1;
    radial.setCentre(40, 30);
    radial.c = 1.25f;
    radial.f = -0.5f;
    Image<uint16_t> viaRadial, viaAffine;
    ASSERT_TRUE(warpForAlignOnly(frame, radial, viaRadial));
    ASSERT_TRUE(warpForAlignOnly(frame, shifted(1.25f, -0.5f), viaAffine));
    EXPECT_EQ(0, std::memcmp(viaRadial.data(), viaAffine.data(), viaAffine.elementCount() * 2));

    // A grid displacing everything by (1, 0) equals an affine shifted by 1, even past the grid.
    std::vector<float> nodes(5 * 4 * 2, 0.0f);
    for (size_t i = 0; i < nodes.size(); i += 2)
        nodes[i] = 1.0f;
    WarpModel gridded = shifted(0.25f, 0.0f);
    gridded.mode = 2;
    gridded.grid = {nodes.data(), 4, 5, 8.0f, 8.0f};  // covers 32 × 24 of the 40 × 30 frame
    Image<uint16_t> viaGrid, viaShift;
    ASSERT_TRUE(warpForAlignOnly(frame, gridded, viaGrid));
    ASSERT_TRUE(warpForAlignOnly(frame, shifted(1.25f, 0.0f), viaShift));
    EXPECT_EQ(0, std::memcmp(viaGrid.data(), viaShift.data(), viaShift.elementCount() * 2));
}

TEST(FrameWarper, DisplacementLookupClampsNodesButKeepsTheCellWeights)
{
    // 2 × 2 nodes, cell 10: dx is 0 on the left column and 4 on the right one.
    const float nodes[8] = {0, 0, 4, 0, 0, 0, 4, 0};
    const DisplacementGrid grid{nodes, 2, 2, 10.0f, 10.0f};
    float dx, dy;
    lookupDisplacement(grid, 5.0f, 5.0f, dx, dy);
    EXPECT_FLOAT_EQ(dx, 2.0f);
    lookupDisplacement(grid, 15.0f, 5.0f, dx, dy);  // cell 1: both columns clamp to the right one
    EXPECT_FLOAT_EQ(dx, 4.0f);
    lookupDisplacement(grid, -5.0f, 5.0f, dx, dy);  // truncation toward zero keeps cell 0: extrapolates
    EXPECT_FLOAT_EQ(dx, -2.0f);
    EXPECT_FLOAT_EQ(dy, 0.0f);
}

TEST(FrameWarper, ResultsDoNotDependOnTheThreadCount)
{
    Image<uint16_t> frame, masked;
    makeFrame(frame, 97, 61, 3, 8);
    makeFrame(masked, 97, 61, 4, 9);
    std::vector<float> nodes(9 * 9 * 2);
    std::mt19937 random(10);
    for (float& node : nodes)
        node = static_cast<float>(random() % 2001) / 1000.0f - 1.0f;
    const GradientRamp ramp(10, 5, 30, 40, 25.0f);

    auto runAll = [&](int32_t threads) {
        velthread::ProcessPoolScope scope(threads);
        std::vector<uint32_t> result;
        for (int mode = 0; mode <= 2; ++mode) {
            WarpModel model = rotated();
            model.mode = mode;
            model.setCentre(97, 61);
            model.k1 = mode == 1 ? 2e-5f : 0.0f;
            model.grid = {nodes.data(), 9, 9, 12.0f, 8.0f};
            AccumulationImage sum;
            EXPECT_TRUE(accumulateFrame(frame, model, sum, &ramp));
            EXPECT_TRUE(accumulateFrame(frame, model, sum));
            Image<uint16_t> second, aligned;
            EXPECT_TRUE(warpForSecondPass(masked, model, second, true));
            EXPECT_TRUE(warpForAlignOnly(frame, model, aligned));
            result.insert(result.end(), sum.data(), sum.data() + sum.elementCount());
            for (size_t i = 0; i < 97 * 61; ++i) {
                uint32_t bits;
                std::memcpy(&bits, sum.weights() + i, 4);
                result.push_back(bits);
            }
            result.push_back(static_cast<uint32_t>(sum.maxWeight() * 1024));
            result.insert(result.end(), second.data(), second.data() + second.elementCount());
            result.insert(result.end(), aligned.data(), aligned.data() + aligned.elementCount());
        }
        return result;
    };
    const auto single = runAll(1);
    EXPECT_EQ(single, runAll(3));
}

TEST(BilinearSampler, MatchesTheFormulaEverywhereIncludingTheBufferEnd)
{
    for (int32_t channels : {3, 4}) {
        Image<uint16_t> frame;
        makeFrame(frame, 9, 7, channels, 11);
        std::mt19937 random(12);
        for (int i = 0; i < 4000; ++i) {
            // Mostly inside, some right at the last cell (the path that must not read past the end).
            const float x = i % 4 == 0 ? 7.0f + static_cast<float>(random() % 1000) / 1000.0f
                                       : static_cast<float>(random() % 9000) / 1000.0f - 0.5f;
            const float y = i % 4 == 0 ? 5.0f + static_cast<float>(random() % 1000) / 1000.0f
                                       : static_cast<float>(random() % 7000) / 1000.0f - 0.5f;
            uint32_t got[4] = {9, 9, 9, 9};
            const bool inside = channels == 3
                                    ? sampleBilinear<3>(frame.data(), 9, 7, 3, x, y, got)
                                    : sampleBilinear<4>(frame.data(), 9, 7, 4, x, y, got);
            // The packed form that the second-pass warp writes holds the same bits.
            uint16_t packed[4] = {9, 9, 9, 9};
            ASSERT_EQ(sampleBilinearRgb16(frame.data(), 9, 7, channels, x, y, packed), inside);
            for (int32_t c = 0; c < 3; ++c)
                ASSERT_EQ(packed[c], got[c]) << x << "," << y << " channel " << c;
            const int32_t ix = static_cast<int32_t>(std::floor(x)), iy = static_cast<int32_t>(std::floor(y));
            ASSERT_EQ(inside, ix >= 0 && iy >= 0 && ix + 1 < 9 && iy + 1 < 7);
            for (int32_t c = 0; c < channels; ++c) {
                uint32_t expected = 0;
                if (inside) {
                    const float fx = x - static_cast<float>(ix), fy = y - static_cast<float>(iy);
                    const int32_t c00 = at(frame, ix, iy, c), c10 = at(frame, ix + 1, iy, c);
                    const int32_t c01 = at(frame, ix, iy + 1, c), c11 = at(frame, ix + 1, iy + 1, c);
                    expected = static_cast<uint32_t>(static_cast<float>(c00) + fy * static_cast<float>(c01 - c00) +
                                                     fx * static_cast<float>(c10 - c00) +
                                                     fx * fy * static_cast<float>(c11 + c00 - c10 - c01) + 0.5f);
                }
                ASSERT_EQ(got[c], expected) << x << "," << y << " channel " << c;
            }
        }
    }
}
