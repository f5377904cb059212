#include "ProgressLog.h"

#include <cwchar>

#include "TextTable.h"
#include "Utf8.h"
#include "Velostar.h"

namespace velapp {

namespace {

constexpr const char* kPending = " ... ";  // the stage's end follows on the same line
constexpr const char* kLineEnd = "\n";

bool isSeparator(wchar_t c) { return c == L'/' || c == L'\\' || c == L':'; }

struct StageText {
    int stage;
    int textNumber;
    const char* suffix;
};

// Opening reports and the two "ready" ends that have their own wording.
constexpr StageText kStageTexts[] = {
    {1, txt::LoadingFile, kPending},
    {3, txt::PrefetchFile, kLineEnd},
    {4, txt::StageBuildNoise, kLineEnd},
    {5, txt::NoiseImageReady, kLineEnd},
    {6, txt::AnalyzingNoises, kPending},
    {8, txt::StageBuildVignetting, kLineEnd},
    {9, txt::VignettingImageReady, kLineEnd},
    {10, txt::AnalyzingVignetting, kPending},
    {12, txt::AdjustingExposure, kPending},
    {14, txt::StageAnalysis, kLineEnd},
    {16, txt::PreparingMask, kPending},
    {18, txt::ReducingNoise, kPending},
    {20, txt::RemovingDynamicHotPixels, kPending},
    {22, txt::CorrectingVignetting, kPending},
    {24, txt::PreparingBaseImage, kPending},
    {26, txt::AnalyzingImage, kPending},
    {28, txt::Composing, kPending},
    {30, txt::StageIntegration, kLineEnd},
    {32, txt::WritingTemporaryFiles, kPending},
    {34, txt::ComputingAndIntegrating, kPending},
    {36, txt::StagePostProcessing, kLineEnd},
    {38, txt::Normalizing, kPending},
    {40, txt::MergingPixels, kPending},
    {42, txt::EnhancingStarLight, kPending},
    {44, txt::CorrectingGamma, kPending},
    {46, txt::AdjustingBrightness, kPending},
    {48, txt::AdjustingContrast, kPending},
    {50, txt::AdjustingDynamicRange, kPending},
    {52, txt::ReducingLightPollution, kPending},
    {54, txt::StageOutput, kLineEnd},
    {56, txt::WritingFile, kPending},
    {VELOSTAR_STAGE_SKY_ESTIMATE, txt::EstimatingSkyMask, kPending},
};

bool isSilent(int stage) { return stage == 0 || stage == 15 || stage == 31 || stage == 37 || stage == 55; }

LogLine stageEnd(int detail)
{
    switch (detail) {
    case 1: return {text(txt::Done) + kLineEnd, false};
    case 2: return {text(txt::StageFailed) + kLineEnd, true};
    case 4: return {text(txt::Cancelled) + kLineEnd, false};
    default: return {};
    }
}

bool timeLapseOutput(const RunSettings& settings) { return settings.timeLapseApplies(); }

std::string successText(const RunSettings& settings, int failCount)
{
    std::string out;
    if (failCount > 0)
        out += fillPlaceholder(text(txt::FailCount), "(N)", std::to_string(failCount)) + kLineEnd;
    if (settings.integrationMode == 3 && settings.output)
        out += fillPlaceholder(text(txt::AlignedOutputTo), "(F)", toUtf8(folderOf(*settings.output))) + kLineEnd;
    else if (timeLapseOutput(settings) && settings.output)
        out += fillPlaceholder(text(txt::TimeLapseOutputTo), "(F)", toUtf8(folderOf(*settings.output))) + kLineEnd;
    return out + text(txt::CompletedSuccessfully);
}

// The hint follows the shapes the user drew, whichever tool is active now.
int tooFewStarsHint(const RunSettings& settings)
{
    if (settings.skyMask.valid() || settings.starBoundSet() || settings.gradientSet())
        return txt::FailedSkyMask;
    return txt::FailedExposure;
}

}  // namespace

std::wstring fileNamePartOf(const wchar_t* path)
{
    if (!path)
        return {};
    const size_t length = std::wcslen(path);
    if (length == 0 || isSeparator(path[length - 1]))
        return path;
    size_t start = length;
    while (start > 0 && !isSeparator(path[start - 1]))
        --start;
    return std::wstring(path + start, length - start);
}

std::wstring folderOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"/\\");
    if (slash == std::wstring::npos)
        return {};
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

LogLine progressLogLine(int stage, int detail, const std::string& name)
{
    if (isSilent(stage))
        return {};
    if (stage == 27 && detail == 3)
        return {text(txt::TooFewStars) + kLineEnd, false};
    if (stage == VELOSTAR_STAGE_SKY_ESTIMATE + 1 && detail == VELOSTAR_DETAIL_NO_STAR_MOTION)
        return {text(txt::NoStarMotion) + kLineEnd, false};
    for (const StageText& entry : kStageTexts) {
        if (entry.stage == stage)
            return {fillPlaceholder(text(entry.textNumber), "(F)", name) + entry.suffix, false};
    }
    return stageEnd(detail);
}

FinishReport finishReport(int result, const RunSettings& settings, int failCount)
{
    switch (result) {
    case 1: return {successText(settings, failCount), EndSucceeded, true};
    case 2: return {text(txt::WriteFailed), EndFailed, true};
    case 3: return {text(tooFewStarsHint(settings)), EndFailed, true};
    case 4: return {text(txt::Cancelled), EndCancelled, false};
    case 5: return {text(txt::PleaseAddStars), EndFailed, true};
    case 6: return {text(txt::PleaseAssignOutput), EndFailed, true};
    case 7: return {text(txt::BaseUnreadable), EndFailed, true};
    case 8: return {text(txt::InsufficientMemory), EndFailed, true};
    default: return {text(txt::UnknownError), EndFailed, true};
    }
}

}  // namespace velapp
