#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "BrushMask.h"
#include "PreviewFit.h"
#include "PreviewOverlays.h"
#include "PreviewShapes.h"
#include "SkyRegion.h"

using namespace velapp;

namespace {

struct Pixels {
    Pixels(int32_t width, int32_t height, uint8_t value) : width(width), height(height), rgb(size_t(width) * height * 3, value) {}
    RgbView view() { return RgbView{rgb.data(), width, height}; }
    const uint8_t* at(int32_t x, int32_t y) const { return rgb.data() + (size_t(y) * width + x) * 3; }
    void set(int32_t x, int32_t y, uint8_t r, uint8_t g, uint8_t b)
    {
        uint8_t* p = rgb.data() + (size_t(y) * width + x) * 3;
        p[0] = r;
        p[1] = g;
        p[2] = b;
    }
    int32_t width;
    int32_t height;
    std::vector<uint8_t> rgb;
};

std::array<int, 3> colour(const Pixels& pixels, int32_t x, int32_t y)
{
    const uint8_t* p = pixels.at(x, y);
    return {p[0], p[1], p[2]};
}

// The mark at the centre of a 3 × 3 picture whose P, Q and R neighbours are given.
bool centreMarked(std::array<uint8_t, 3> p, std::array<uint8_t, 3> q, std::array<uint8_t, 3> r)
{
    Pixels picture(3, 3, 0);
    picture.set(2, 2, p[0], p[1], p[2]);
    picture.set(0, 2, q[0], q[1], q[2]);
    picture.set(2, 0, r[0], r[1], r[2]);
    return detailMarks(picture.rgb.data(), 3, 3)[4] == 1;
}

}  // namespace

TEST(PreviewFit, KeepsTheMarginAndCentresTheReducedImage)
{
    // 2 × min(8, 6, 10) = 12 px of margin; the height has room to spare.
    const PreviewFit fit = fitPreview(800, 600, 6000, 4000);
    EXPECT_EQ(fit.margin, 12);
    EXPECT_EQ(fit.width, 788);
    EXPECT_EQ(fit.height, 525);
    EXPECT_EQ(fit.offsetX, 6);
    EXPECT_EQ(fit.offsetY, 37);
    // The margin stops growing at 20 px; a small image is enlarged to fill the window.
    const PreviewFit large = fitPreview(2500, 1500, 250, 100);
    EXPECT_EQ(large.margin, 20);
    EXPECT_EQ(large.width, 2480);
    EXPECT_EQ(large.height, 992);
    EXPECT_EQ(large.offsetY, 254);
    EXPECT_TRUE(fitPreview(0, 600, 600, 400).empty());
    EXPECT_TRUE(fitPreview(800, 600, 0, 400).empty());
}

TEST(PreviewShapes, DragsBecomeImageFractions)
{
    const auto line = boundaryFromDrag({300, 100}, {100, 50}, 400, 200);
    EXPECT_EQ(line, (std::array<float, 4>{0.75f, 0.5f, 0.25f, 0.25f}));  // right to left stays so
    // Dragging up by 100 px: the line through the end point runs across the drag, the height is
    // the drag's length.
    const auto ramp = gradientFromDrag({100, 200}, {100, 100}, 400, 300);
    EXPECT_FLOAT_EQ(ramp[0], 0.25f);
    EXPECT_FLOAT_EQ(ramp[1], 1.0f / 3);
    EXPECT_FLOAT_EQ(ramp[2], 0.0f);
    EXPECT_FLOAT_EQ(ramp[3], 1.0f / 3);
    EXPECT_FLOAT_EQ(ramp[4], 1.0f / 3);
    // A click without moving leaves no gradient, and nothing reaches the settings.
    const auto click = gradientFromDrag({100, 100}, {100, 100}, 400, 300);
    EXPECT_FALSE(hasGradient(click));
    EXPECT_EQ(storedGradient(click), (std::array<float, 5>{}));
}

TEST(PreviewShapes, LinesThroughOrAtACornerOfTheImage)
{
    EXPECT_EQ(storedBoundary({0.25f, 0.25f, 0.75f, 0.75f}), (std::array<float, 4>{0, 0, 1, 1}));
    EXPECT_EQ(storedBoundary({0.75f, 0.25f, 0.25f, 0.75f}), (std::array<float, 4>{1, 0, 0, 1}));
    // Touching the square in one corner only is no line across it.
    EXPECT_EQ(storedBoundary({0.5f, 1.5f, 1.5f, 0.5f}), (std::array<float, 4>{}));
}

TEST(BrushMask, SizesFollowTheIndexAndTheScreen)
{
    EXPECT_EQ(brushDiameter(1), 24);
    EXPECT_EQ(brushDiameter(2), 32);
    EXPECT_EQ(brushDiameter(kBrushDefaultIndex), 192);
    EXPECT_EQ(brushDiameter(8), 256);
    EXPECT_EQ(brushDiameter(10), 512);
    EXPECT_EQ(brushLargestIndex(1920), 8);
    EXPECT_EQ(brushLargestIndex(1921), 9);
    EXPECT_EQ(brushLargestIndex(2560), 9);
    EXPECT_EQ(brushLargestIndex(2561), 10);
    // Wheel steps move the index within its range; a fraction of a step still moves one.
    EXPECT_EQ(brushIndexAfterWheel(7, 360, 120, 1280), 8);
    EXPECT_EQ(brushIndexAfterWheel(7, 360, 120, 3000), 10);
    EXPECT_EQ(brushIndexAfterWheel(2, -240, 120, 1280), 1);
    EXPECT_EQ(brushIndexAfterWheel(4, 30, 120, 1280), 5);
    EXPECT_EQ(brushIndexAfterWheel(4, -30, 120, 1280), 3);
    // The pen covers the same part of the picture whatever the mask's size.
    EXPECT_EQ(brushPenWidth(kBrushDefaultIndex, 3840, 960), 768);
}

TEST(BrushMask, MaskIsAtMost3840OnItsLongerSide)
{
    const MaskImage wide = blankMask(6000, 4000);
    EXPECT_EQ(wide.width, 3840);
    EXPECT_EQ(wide.height, 2560);
    const MaskImage tall = blankMask(4000, 6000);
    EXPECT_EQ(tall.width, 2560);
    EXPECT_EQ(tall.height, 3840);
    const MaskImage small = blankMask(600, 400);
    EXPECT_EQ(small.width, 600);
    ASSERT_TRUE(small.valid());
    EXPECT_FALSE(isPainted(small, 300, 200));
}

TEST(BrushMask, StrokesPaintARoundCappedLineAndTheRightButtonErases)
{
    MaskImage mask = blankMask(100, 60);
    paintStroke(mask, 20, 30, 60, 30, 20, false);
    EXPECT_TRUE(isPainted(mask, 40, 39));   // 9.5 px from the line
    EXPECT_FALSE(isPainted(mask, 40, 40));  // 10.5 px
    EXPECT_TRUE(isPainted(mask, 11, 30));   // round cap
    EXPECT_FALSE(isPainted(mask, 12, 22));  // beyond the cap's circle, inside its square
    EXPECT_EQ(mask.rgb[(30 * 100 + 40) * 3], 0);
    EXPECT_EQ(mask.rgb[(30 * 100 + 40) * 3 + 2], 0);
    paintStroke(mask, 40, 30, 40, 30, 4, true);
    EXPECT_FALSE(isPainted(mask, 40, 30));
    EXPECT_TRUE(isPainted(mask, 43, 30));
    // Strokes past the edges are clipped to the mask.
    const MaskImage before = mask;
    paintStroke(mask, -500, -500, -400, -450, 30, false);
    EXPECT_EQ(mask.rgb, before.rgb);
    paintStroke(mask, 95, 55, 400, 300, 30, false);
    EXPECT_TRUE(isPainted(mask, 99, 59));
}

TEST(PreviewOverlays, LineToolsDarkenTheGroundSide)
{
    Pixels boundary(40, 20, 200);
    shadeBoundarySide(boundary.view(), {0.25f, 0.5f, 0.75f, 0.5f});  // drawn left to right at y = 10
    EXPECT_EQ(colour(boundary, 5, 9), (std::array<int, 3>{200, 200, 200}));
    EXPECT_EQ(colour(boundary, 35, 10), (std::array<int, 3>{100, 100, 100}));
    EXPECT_EQ(colour(boundary, 35, 19), (std::array<int, 3>{100, 100, 100}));

    // The drag from (100, 192) up to (100, 64) on 400 × 256: ground above y = 64, a ramp of
    // 128 px down to y = 192, sky below.
    Pixels gradient(400, 256, 200);
    shadeGradient(gradient.view(), gradientFromDrag({100, 192}, {100, 64}, 400, 256));
    EXPECT_EQ(colour(gradient, 50, 63)[0], 100);
    EXPECT_EQ(colour(gradient, 50, 128)[0], 200 * 128 / 512 + 100);
    EXPECT_EQ(colour(gradient, 50, 191)[1], 200 * 254 / 512 + 100);
    EXPECT_EQ(colour(gradient, 350, 193)[2], 200);
}

TEST(PreviewOverlays, BrushTintsPaintedSkyHatchesGroundAndHighlightsDetail)
{
    MaskImage mask = blankMask(2, 1);
    mask.rgb[1] = 255;  // left half painted, sampled at the display's size
    Pixels view(32, 16, 200);
    view.set(3, 3, 10, 250, 30);
    shadeBrushMask(view.view(), mask, nullptr);
    EXPECT_EQ(colour(view, 5, 5), (std::array<int, 3>{200, 215, 200}));
    EXPECT_EQ(colour(view, 3, 3), (std::array<int, 3>{10, 255, 30}));
    EXPECT_EQ(colour(view, 20, 12), (std::array<int, 3>{213, 213, 213}));  // (20 + 12) % 16 == 0
    EXPECT_EQ(colour(view, 20, 11), (std::array<int, 3>{200, 200, 200}));

    Pixels lit(32, 16, 200);
    std::vector<uint8_t> marks(32 * 16, 1);
    shadeBrushMask(lit.view(), mask, &marks);
    EXPECT_EQ(colour(lit, 5, 5), (std::array<int, 3>{100, 255, 100}));
    EXPECT_EQ(colour(lit, 20, 11), (std::array<int, 3>{100, 100, 255}));
    EXPECT_EQ(colour(lit, 5, 0), (std::array<int, 3>{200, 215, 200}));  // the border is never highlighted
}

TEST(PreviewOverlays, DetailMarksFollowTheirThresholds)
{
    EXPECT_FALSE(centreMarked({7, 7, 7}, {1, 1, 1}, {7, 7, 7}));  // too dark to judge
    EXPECT_TRUE(centreMarked({100, 100, 100}, {89, 100, 100}, {100, 100, 100}));
    EXPECT_FALSE(centreMarked({100, 100, 100}, {90, 100, 100}, {100, 100, 100}));
    EXPECT_TRUE(centreMarked({200, 200, 200}, {200, 200, 200}, {200, 193, 200}));
    EXPECT_FALSE(centreMarked({200, 200, 200}, {200, 200, 186}, {200, 200, 200}));
    EXPECT_TRUE(centreMarked({200, 200, 200}, {200, 200, 185}, {200, 200, 200}));
    // Below 33 only a step large against the darker side counts.
    EXPECT_TRUE(centreMarked({20, 20, 20}, {12, 20, 20}, {20, 20, 20}));
    EXPECT_FALSE(centreMarked({20, 20, 20}, {14, 20, 20}, {20, 20, 20}));
    EXPECT_EQ(detailMarks(nullptr, 0, 0).size(), 0u);
}
