#include <future>

#include "MaskEstimate.h"
#include "OptionFixture.h"
#include "OptionPanels.h"
#include "TextIds.h"
#include "support/RecordingEngine.h"

using namespace velapp;

namespace {

// The preview seam as the main window sees it; keeps the mask it was handed.
class PaintedPreview final : public SkyRegionPreview {
public:
    std::optional<MaskImage> loaded;

    void selectTool(SkyTool) override {}
    void setHighlight(bool) override {}
    void clearMask() override { loaded.reset(); }
    void clearShapes() override { loaded.reset(); }
    void loadShapes(const std::array<float, 4>&, const std::array<float, 5>&, const MaskImage* mask) override
    {
        if (mask)
            loaded = *mask;
    }
    std::array<float, 4> boundaryLine() const override { return {}; }
    std::array<float, 5> gradient() const override { return {}; }
    bool hasMask() const override { return loaded.has_value(); }
    bool copyMask(MaskImage& into) const override
    {
        if (loaded)
            into = *loaded;
        return loaded.has_value();
    }
};

// The calls the last engine received, kept when it is released on the job's thread.
std::vector<std::string> releasedCalls;

void release(Velostar* engine)
{
    releasedCalls = static_cast<RecordingEngine*>(engine)->calls;
    delete engine;
}

class MaskEstimate : public OptionTest {
protected:
    // Runs one estimate on an engine that answers like `answers` and waits for its result.
    MaskEstimateResult estimate(const RecordingEngine& answers)
    {
        std::promise<MaskEstimateResult> result;
        {
            MaskEstimateJob job(
                maskEstimateSettings(files, settings), [&] { return EngineHandle(new RecordingEngine(answers), release); },
                [&](MaskEstimateResult r) { result.set_value(std::move(r)); });
        }
        return result.get_future().get();
    }
};

}  // namespace

TEST_F(MaskEstimate, OneClickFillsTheBrushMaskThroughThePreviewAsTheUsersEdit)
{
    sky.tool = SkyTool::Brush;
    EXPECT_FALSE(controlState(ctl::EstimateMask, context).enabled) << "one frame cannot be compared";
    addStars(3);
    files.setOutput(L"/n/out.tif");
    ASSERT_TRUE(controlState(ctl::EstimateMask, context).enabled);
    const Change asked = changeControl(ctl::EstimateMask, 1, context);
    EXPECT_EQ(asked.preview, PreviewAction::EstimateMask);
    EXPECT_EQ(asked.statusText, txt::EstimatingSkyMask);
    EXPECT_FALSE(controlState(ctl::EstimateMask, context).enabled);
    EXPECT_EQ(changeControl(ctl::EstimateMask, 1, context).preview, PreviewAction::None) << "one at a time";

    RecordingEngine answers;
    answers.estimateResult = VELOSTAR_OK;
    answers.skyMaskKind = VELOSTAR_MASK_ESTIMATED;
    answers.skyMask = {65535, 0, 40};  // the last on the soft edge, painted as sky
    answers.skyMaskWidth = 3;
    const MaskEstimateResult result = estimate(answers);
    const std::vector<std::string>& calls = releasedCalls;
    EXPECT_EQ(calls.back(), "estimateSkyMask()");
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("addStarImage", 0) == 0; }), 2);
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("setOutputFile", 0) == 0; }), 0);

    PaintedPreview preview;
    MaskImage held;
    const Change applied = applyMaskEstimate(result, &preview, held, context);
    EXPECT_EQ(applied.edit, Edit::Changed);
    EXPECT_EQ(applied.statusText, txt::SkyMaskEstimated);
    ASSERT_TRUE(preview.loaded);
    EXPECT_EQ(preview.loaded->rgb, (std::vector<uint8_t>{255, 255, 255, 0, 0, 0, 255, 255, 255}));
    EXPECT_EQ(held.rgb, preview.loaded->rgb);
    EXPECT_TRUE(sky.maskPainted);
    EXPECT_TRUE(controlState(ctl::EstimateMask, context).enabled);
}

TEST_F(MaskEstimate, WithoutAnEstimateTheMaskStaysAndTheStatusSaysWhy)
{
    PaintedPreview preview;
    MaskImage held;
    MaskEstimateResult still{VELOSTAR_OK, VELOSTAR_MASK_NO_STAR_MOTION, {}};
    still.mask = MaskImage{{0, 0, 0}, 1, 1};
    EXPECT_EQ(applyMaskEstimate(still, &preview, held, context).statusText, txt::NoStarMotion);
    const MaskEstimateResult failed{VELOSTAR_BASE_UNREADABLE, VELOSTAR_MASK_NONE, {}};
    const Change change = applyMaskEstimate(failed, &preview, held, context);
    EXPECT_EQ(change.statusText, txt::SkyMaskEstimateFailed);
    EXPECT_EQ(change.edit, Edit::None);
    EXPECT_FALSE(preview.loaded);
    EXPECT_FALSE(held.valid());
    EXPECT_FALSE(sky.maskPainted);
}
