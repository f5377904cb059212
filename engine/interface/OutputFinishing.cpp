#include <algorithm>

#include "OutputProducer.h"
#include "VelostarImpl.h"
#include "parallel/ProcessPool.h"

// Integration, post-processing and writing of one output, after its frame walk.
namespace velrun {

namespace {

enum Stage : int32_t {
    Vignetting = 22, Integration = 30, TemporaryFiles = 32, Integrate = 34, PostProcessing = 36, Normalize = 38,
    MergePixels = 40, EnhanceStars = 42, Gamma = 44, Brightness = 46, DynamicRange = 50, Pollution = 52,
    Output = 54, Writing = 56,
};
enum Detail : int32_t { Start = 0, Done = 1, Failed = 2, Cancelled = 4 };

}  // namespace

int OutputProducer::finish(const std::wstring& outputPath)
{
    // An integration that did not happen must not pass the base image off as the result.
    const bool integrated = integrate();
    if (cancelled() || !integrated)
        return VELOSTAR_WRITE_FAILED;
    postProcess();
    if (cancelled())
        return VELOSTAR_WRITE_FAILED;
    return writeOutput(outputPath);
}

bool OutputProducer::integrate()
{
    const EngineSettings& s = m_ctx.settings;
    if (s.twoPassIntegration()) {
        m_engine.report(Integration, nullptr, Start, 0);
        // A frame whose temporary file could not be written (a full disk) would silently drop out
        // of the statistics: the integration fails instead.
        bool written = true;
        if (!m_storage.inMemory()) {
            m_engine.report(TemporaryFiles, nullptr, Start, 0);
            written = m_storage.drain();
            m_engine.report(TemporaryFiles + 1, nullptr, written ? Done : Failed, 0);
        }
        if (cancelled())
            return false;
        m_engine.report(Integrate, nullptr, Start, 0);
        const int32_t start = m_engine.stepsDone();
        velthread::FrameStore* store = written ? m_storage.openForPass(m_ctx.poolThreads) : nullptr;
        const bool ok = store && runPass(*store, start);
        m_storage.close();
        const int32_t detail = ok ? Done : cancelled() ? Cancelled : Failed;
        const int64_t increment = std::max<int64_t>(0, start + m_tickBudget - m_engine.stepsDone());
        m_engine.report(Integrate + 1, nullptr, detail, static_cast<int32_t>(std::min<int64_t>(increment, INT32_MAX)));
        m_engine.report(Integration + 1, nullptr, ok ? Done : Failed, 0);
        if (!ok || cancelled())
            return false;
    }

    m_engine.report(PostProcessing, nullptr, Start, 0);
    m_engine.report(Normalize, nullptr, Start, 0);
    bool ok = true;
    if (m_ctx.composed > 1) {
        if (s.alignStars() && s.integrationMode == 2) {
            ok = static_cast<bool>(m_stages.finishFreezeGround);
            if (ok)
                m_stages.finishFreezeGround(m_ctx);
        } else {
            ok = static_cast<bool>(m_stages.normalize);
            if (ok)
                m_stages.normalize(m_ctx);
        }
    }
    m_engine.report(Normalize + 1, nullptr, ok ? Done : Failed, 1);
    return ok;
}

bool OutputProducer::runPass(velthread::FrameStore& store, int32_t startSteps)
{
    if (!m_stages.integrationPassJob)
        return false;
    if (m_stages.prepareIntegration && !m_stages.prepareIntegration(m_ctx))
        return false;
    velthread::ThreadPool* pool = velthread::processPool();
    if (!pool)
        return false;
    const bool started = store.startPass(*pool, pool->threadCount(),
                                         [this](velthread::FrameStore& s) { m_stages.integrationPassJob(m_ctx, s); });
    if (!started)
        return false;
    int32_t share = 0;
    while (!store.waitPass(share))
        m_engine.reportShare(startSteps, m_tickBudget, share);
    return !store.stopped();
}

void OutputProducer::postProcess()
{
    const EngineSettings& s = m_ctx.settings;
    // Runs one optional step between its opening and closing reports; an unavailable step is reported as failed.
    const auto step = [&](int32_t stage, const auto& function, int32_t increment, auto&&... args) {
        if (cancelled())
            return;
        m_engine.report(stage, nullptr, Start, 0);
        const bool ok = static_cast<bool>(function);
        if (ok)
            function(m_ctx, args...);
        m_engine.report(stage + 1, nullptr, ok ? Done : Failed, increment);
    };

    if (s.trails() && m_ctx.vignettingReady && !cancelled()) {
        m_engine.report(Vignetting, nullptr, Start, 0);
        const bool ok = m_stages.correctResultVignetting && m_stages.correctResultVignetting(m_ctx);
        m_engine.report(Vignetting + 1, nullptr, ok ? Done : Failed, 1);
    }

    m_ctx.exposureCount = std::max(1, m_ctx.composed);
    if (s.mergePixels) {
        step(MergePixels, m_stages.mergePixels, 1);
        if (m_stages.mergePixels)
            m_ctx.exposureCount *= 4;
    }
    if (s.enhanceStarsFactor > 0.0f)
        step(EnhanceStars, m_stages.enhanceStars, 1);
    if (s.autoBrightness)
        step(Brightness, m_stages.adjustBrightness, 1, int32_t{1});
    if (s.hdr)
        step(DynamicRange, m_stages.adjustDynamicRange, 1);
    if (!s.autoBrightness && !s.hdr && s.alignStars() && s.integrationMode == 0 && m_stages.countOverExposed &&
        !cancelled()) {
        if (!m_ctx.preparationPassDone && m_stages.preparationPass) {
            m_stages.preparationPass(m_ctx);
            m_ctx.preparationPassDone = true;
        }
        const int64_t overExposed = m_stages.countOverExposed(m_ctx);
        const int64_t pixels = static_cast<int64_t>(m_ctx.accumulation.width()) * m_ctx.accumulation.height();
        // An over-exposed stack is toned down; this step is not in the step plan.
        if (overExposed * 8 > pixels)
            step(Brightness, m_stages.adjustBrightness, 0, int32_t{0});
    }
    if (s.reducePollutionKind != 0)
        step(Pollution, m_stages.reducePollution, s.reducePollutionKind == 2 ? 5 : 1);
    if (!cancelled()) {
        m_engine.report(Gamma, nullptr, Start, 0);
        const bool ok = m_stages.toneConvert && m_stages.toneConvert(m_ctx);
        m_engine.report(Gamma + 1, nullptr, ok ? Done : Failed, 1);
    }
    m_engine.report(PostProcessing + 1, nullptr, Done, 0);
}

int OutputProducer::writeOutput(const std::wstring& outputPath)
{
    m_engine.report(Output, nullptr, Start, 0);
    m_engine.report(Writing, outputPath.c_str(), Start, 0);
    m_ctx.metadata.setText(velimage::tags::Software, "Velostar 1.6.2");
    if (m_ctx.totalExposure > 0.0f)
        m_ctx.metadata.setFloat(velimage::tags::ExposureTime, m_ctx.totalExposure);
    const bool ok = m_stages.writeOutput && m_stages.writeOutput(m_ctx, outputPath);
    m_engine.report(Writing + 1, outputPath.c_str(), ok ? Done : Failed, 1);
    m_engine.report(Output + 1, nullptr, ok ? Done : Failed, 0);
    return ok ? VELOSTAR_OK : VELOSTAR_WRITE_FAILED;
}

}  // namespace velrun
