#include <gtest/gtest.h>

#include <array>

#include "OptionFixture.h"
#include "PreviewUpdates.h"
#include "SkyRegion.h"

using namespace velapp;

namespace {

// Shapes as a preview would hold them.
class DrawnShapes final : public SkyRegionPreview {
public:
    std::array<float, 4> line{};
    std::array<float, 5> ramp{};
    bool mask = false;
    bool maskConverts = true;

    void selectTool(SkyTool) override {}
    void setHighlight(bool) override {}
    void clearMask() override { mask = false; }
    void clearShapes() override { *this = DrawnShapes(); }
    void loadShapes(const std::array<float, 4>& boundary, const std::array<float, 5>& ramped,
                    const MaskImage* loaded) override
    {
        line = boundary;
        ramp = ramped;
        mask = loaded != nullptr;
    }
    std::array<float, 4> boundaryLine() const override { return line; }
    std::array<float, 5> gradient() const override { return ramp; }
    bool hasMask() const override { return mask; }
    bool copyMask(MaskImage& into) const override
    {
        if (!mask || !maskConverts)
            return false;
        into.width = 2;
        into.height = 1;
        into.rgb.assign(6, 255);
        return true;
    }
};

using SkyRegion = OptionTest;

void expectLine(const std::array<float, 4>& got, const std::array<float, 4>& want)
{
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(got[i], want[i], 1e-5f) << i;
}

}  // namespace

TEST_F(SkyRegion, ModeFollowsTheChosenToolsShape)
{
    settings.starBound = {0, 0.5f, 1, 0.5f};
    settings.gradient = {0, 0.4f, 1, 0.4f, 0.2f};
    EXPECT_EQ(skyRegionMode(sky, settings), SkyRegionMode::None);  // brush without a mask
    sky.maskPainted = true;
    EXPECT_EQ(skyRegionMode(sky, settings), SkyRegionMode::IrregularMask);
    sky.tool = SkyTool::BoundaryLine;
    EXPECT_EQ(skyRegionMode(sky, settings), SkyRegionMode::BoundaryLine);
    sky.tool = SkyTool::Gradient;
    EXPECT_EQ(skyRegionMode(sky, settings), SkyRegionMode::Gradient);
    settings.gradient[4] = 0;
    EXPECT_EQ(skyRegionMode(sky, settings), SkyRegionMode::None);
}

TEST_F(SkyRegion, DrawnLinesAreExtendedAcrossTheImageInTheirDirection)
{
    // Right to left stays right to left.
    expectLine(storedBoundary({0.75f, 0.5f, 0.25f, 0.5f}), {1, 0.5f, 0, 0.5f});
    expectLine(storedBoundary({0.5f, 0.2f, 0.5f, 0.1f}), {0.5f, 1, 0.5f, 0});
    // Shallow line: runs over the full width.
    expectLine(storedBoundary({0.25f, 0.5f, 0.75f, 0.75f}), {0, 0.375f, 1, 0.875f});
    // Steep line drawn upwards, and one leaving through a side, which is clipped there.
    expectLine(storedBoundary({0.5f, 0.5f, 0.6f, 0.1f}), {0.375f, 1, 0.625f, 0});
    expectLine(storedBoundary({0.9f, 0.5f, 1.0f, 0.3f}), {0.65f, 1, 1, 0.3f});
    // No extent, or a line beside the image: nothing is stored.
    expectLine(storedBoundary({0.3f, 0.3f, 0.3f, 0.3f}), {0, 0, 0, 0});
    expectLine(storedBoundary({1.5f, 0.0f, 2.5f, 0.5f}), {0, 0, 0, 0});
    const std::array<float, 5> gradient = storedGradient({0.5f, 0.5f, 0.25f, 0.5f, 0.3f});
    EXPECT_EQ(gradient, (std::array<float, 5>{1, 0.5f, 0, 0.5f, 0.3f}));
    EXPECT_EQ(storedGradient({0.5f, 0.5f, 0.25f, 0.5f, 0.0f}), (std::array<float, 5>{}));
}

TEST_F(SkyRegion, PreviewChangesReachTheSettingsButOnlyUserDrawingIsAnEdit)
{
    DrawnShapes preview;
    preview.line = {0.25f, 0.5f, 0.75f, 0.5f};
    EXPECT_EQ(previewShapeChanged(SkyRegionPreview::Shape::BoundaryLine, preview, false, context).edit, Edit::Changed);
    EXPECT_EQ(settings.starBound, (std::array<float, 4>{0, 0.5f, 1, 0.5f}));
    preview.mask = true;
    EXPECT_EQ(previewShapeChanged(SkyRegionPreview::Shape::Mask, preview, true, context).edit, Edit::None);
    EXPECT_TRUE(sky.maskPainted);
}

TEST_F(SkyRegion, StartCopiesThePaintedMaskOrRunsWithoutRegion)
{
    DrawnShapes preview;
    preview.mask = true;
    sky.maskPainted = true;
    MaskImage held;  // a loaded project's mask, which only counts while no preview holds the mask
    held.width = 1;
    held.height = 1;
    held.rgb = {255, 0, 255};
    prepareSkyRegion(&preview, MaskImage(), context);
    EXPECT_EQ(settings.skyRegionMode, SkyRegionMode::IrregularMask);
    EXPECT_EQ(settings.skyMask.width, 2);

    preview.maskConverts = false;
    prepareSkyRegion(&preview, held, context);
    EXPECT_EQ(settings.skyRegionMode, SkyRegionMode::None);
    EXPECT_FALSE(settings.skyMask.valid());

    prepareSkyRegion(nullptr, held, context);
    EXPECT_EQ(settings.skyRegionMode, SkyRegionMode::IrregularMask);
    EXPECT_EQ(settings.skyMask.rgb, held.rgb);
    prepareSkyRegion(nullptr, MaskImage(), context);
    EXPECT_EQ(settings.skyRegionMode, SkyRegionMode::None);
}
