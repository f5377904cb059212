#include "RegistrationStages.h"

#include "DecodeCalibration.h"
#include "StarAnalysis.h"
#include "registration/Alignment.h"
#include "registration/DetectionGain.h"
#include "registration/StarCentre.h"
#include "registration/StarDetector.h"
#include "registration/StarIdentity.h"
#include "registration/StarPattern.h"
#include "registration/StarShape.h"

namespace velrun {

namespace {

std::unique_ptr<FrameAnalysis> analyzeFrame(RunContext& ctx, Frame& frame, int32_t attempt)
{
    if (!frame.image || frame.image->empty())
        return nullptr;
    const velimage::Image16& image = *frame.image;
    auto analysis = std::make_unique<StarAnalysis>();

    velreg::StarBoundLine line;
    if (ctx.starBoundActive())
        line = {ctx.starBound[0], ctx.starBound[1], ctx.starBound[2], ctx.starBound[3]};
    // The luminance made while the frame was decoded spares reading the whole frame again.
    RowCalibration* rows = rowCalibrationOf(frame.decodedRows.get());
    velreg::PlaneBuffer<uint8_t>* luminance = rows ? rows->luminance() : nullptr;
    const uint32_t gain16 = luminance ? rows->gain16() : velreg::detectionGain16(image);
    // The detector ignores a mask of another size and falls back to the line, then the frame.
    velreg::detectStars(image, analysis->starList, ctx.mask.get(), ctx.starBoundActive() ? &line : nullptr, attempt,
                        gain16, luminance);
    // A trail's points would crowd the stars out of the pattern.
    velreg::dropStreakPoints(image, analysis->starList);
    analysis->stars = static_cast<int32_t>(analysis->starList.size());

    // The displacement grid needs more stars, spread more evenly.
    const bool grid = ctx.settings.distortionCorrection == 2;
    analysis->pattern = velreg::buildStarPattern(analysis->starList, image.width(), image.height(),
                                                 grid ? velreg::kGridPatternStars : velreg::kPatternStars,
                                                 grid ? velreg::kGridPatternGrid : velreg::kPatternGrid);
    analysis->patternStars = analysis->pattern.chosenCount();
    // While the pixels are here: the fits use the chosen stars' sub-pixel centres.
    velreg::measureStarCentres(image, analysis->pattern);
    if (frame.reference)
        velreg::assignStarIdentities(analysis->pattern);
    return analysis;
}

// Plain words for the report: the first thing that was missing.
const char* failureReason(const StarAnalysis& analysis, velreg::AlignFailure failure)
{
    if (analysis.stars < static_cast<int32_t>(velreg::kMinAlignPairs) || analysis.pattern.chosenCount() < 3)
        return "too few stars found";
    if (failure == velreg::AlignFailure::FitFailed)
        return "fit failed";
    return "too few matched pairs";
}

bool inheritIdentities(RunContext&, Frame& frame, FrameAnalysis& previous)
{
    StarAnalysis* current = starAnalysisOf(frame.analysis.get());
    const StarAnalysis* earlier = starAnalysisOf(&previous);
    return current && earlier && velreg::alignWithIdentities(current->pattern, earlier->pattern);
}

bool alignFrame(RunContext& ctx, Frame& frame)
{
    StarAnalysis* analysis = starAnalysisOf(frame.analysis.get());
    const StarAnalysis* reference = starAnalysisOf(ctx.referenceAnalysis);
    if (!analysis || !reference || reference->pattern.empty())
        return false;
    analysis->aligned = false;
    const int32_t width = ctx.accumulation.empty() ? reference->pattern.width : ctx.accumulation.width();
    const int32_t height = ctx.accumulation.empty() ? reference->pattern.height : ctx.accumulation.height();
    const int32_t mode = ctx.settings.distortionCorrection;

    velreg::AlignStats stats;
    const bool aligned = analysis->warp.obtain(mode, &analysis->pattern, reference->pattern, width, height, &stats);
    analysis->pairs = stats.pairs;
    if (!aligned) {
        analysis->reason = failureReason(*analysis, stats.failure);
        return false;
    }
    reportedTransform(analysis->warp.forward(), mode, width, height, analysis->transform);
    analysis->aligned = true;
    analysis->reason = nullptr;
    return true;
}

}  // namespace

void reportedTransform(const velreg::MatrixF& forward, int32_t distortionMode, int32_t width, int32_t height,
                       double transform[6])
{
    for (int32_t r = 0; r < 2; ++r)
        for (int32_t c = 0; c < 3; ++c)
            transform[r * 3 + c] = forward.at(r, c);
    if (distortionMode == 1) {
        // Centred coordinates: x′ − cx = a·(x − cx) + b·(y − cy) + c, likewise for y′.
        const double cx = width * 0.5, cy = height * 0.5;
        transform[2] += cx - transform[0] * cx - transform[1] * cy;
        transform[5] += cy - transform[3] * cx - transform[4] * cy;
    }
}

void addRegistrationStages(RunStages& stages)
{
    stages.analyzeFrame = analyzeFrame;
    stages.inheritIdentities = inheritIdentities;
    stages.alignFrame = alignFrame;
}

}  // namespace velrun
