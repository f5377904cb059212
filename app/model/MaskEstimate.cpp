#include "MaskEstimate.h"

#include "EngineSetup.h"
#include "StartCheck.h"
#include "TextIds.h"
#include "Velostar.h"

namespace velapp {

RunSettings maskEstimateSettings(const FileTreeModel& files, const RunSettings& settings)
{
    RunSettings s = settings;
    RunFiles run = runFiles(files, 0);
    s.baseImage = std::move(run.base);
    s.starImages = std::move(run.stars);
    s.noiseImages = files.list(Category::Noise).files();
    s.vignettingImages = files.list(Category::Vignetting).files();
    s.output.reset();
    s.skyRegionMode = SkyRegionMode::None;
    s.skyMask.clear();
    return s;
}

MaskEstimateJob::MaskEstimateJob(RunSettings settings, EngineFactory factory, Done done)
{
    m_thread = std::thread([this, settings = std::move(settings), factory = std::move(factory),
                            done = std::move(done)] { work(settings, factory, done); });
}

MaskEstimateJob::~MaskEstimateJob()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        if (m_engine)
            m_engine->cancel();
    }
    m_thread.join();
}

void MaskEstimateJob::work(const RunSettings& settings, const EngineFactory& factory, const Done& done)
{
    MaskEstimateResult outcome;
    outcome.result = VELOSTAR_UNKNOWN_ERROR;
    try {
        EngineHandle engine = factory();
        if (engine) {
            configureEngine(*engine, settings);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_engine = engine.get();
                if (m_stopping)
                    m_engine->cancel();
            }
            outcome.result = engine->estimateSkyMask();
            const uint16_t* pixels = nullptr;
            int width = 0, height = 0;
            outcome.kind = engine->getSkyMask(&pixels, &width, &height);
            if (outcome.kind != VELOSTAR_MASK_NONE && pixels && width > 0 && height > 0) {
                outcome.mask.width = width;
                outcome.mask.height = height;
                // Filled as the brush paints, sky wherever the estimate is not ground: the run
                // softens a painted mask itself, and a soft edge painted in would blur the ground.
                outcome.mask.rgb.resize(static_cast<size_t>(width) * height * 3);
                for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i)
                    outcome.mask.rgb[3 * i] = outcome.mask.rgb[3 * i + 1] = outcome.mask.rgb[3 * i + 2] =
                        pixels[i] != 0 ? uint8_t{255} : uint8_t{0};
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_engine = nullptr;
        } else {
            outcome.result = VELOSTAR_OUT_OF_MEMORY;
        }
    } catch (const std::bad_alloc&) {
        outcome = MaskEstimateResult{VELOSTAR_OUT_OF_MEMORY, VELOSTAR_MASK_NONE, {}};
    } catch (...) {
        outcome = MaskEstimateResult{VELOSTAR_UNKNOWN_ERROR, VELOSTAR_MASK_NONE, {}};
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_engine = nullptr;
    }
    try {
        done(std::move(outcome));
    } catch (...) {
        // Nothing crosses the thread's end.
    }
}

Change applyMaskEstimate(const MaskEstimateResult& result, SkyRegionPreview* preview, MaskImage& held,
                         OptionContext& context)
{
    context.sky.estimating = false;
    if (result.result == VELOSTAR_CANCELLED)
        return Change{Edit::None, 0, PreviewAction::None};
    if (result.kind == VELOSTAR_MASK_NO_STAR_MOTION)
        return Change{Edit::None, txt::NoStarMotion, PreviewAction::None};
    if (result.kind != VELOSTAR_MASK_ESTIMATED || !result.mask.valid())
        return Change{Edit::None, txt::SkyMaskEstimateFailed, PreviewAction::None};
    held = result.mask;
    if (preview)
        preview->loadShapes(context.settings.starBound, context.settings.gradient, &held);
    context.sky.tool = SkyTool::Brush;
    context.sky.maskPainted = true;
    return Change{Edit::Changed, txt::SkyMaskEstimated, PreviewAction::None};
}

}  // namespace velapp
