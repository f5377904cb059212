#include "VelostarImpl.h"

#include <chrono>
#include <cstring>
#include <cwchar>
#include <new>
#include <random>

#include "SkyMaskStage.h"
#include "parallel/LargeBuffer.h"
#include "parallel/WidePath.h"

namespace {

uint32_t randomCounterStart()
{
    // Seeded from the clock like the standard generator; the existence check in the naming rule
    // settles collisions between engines started in the same instant.
    static std::atomic<uint32_t> sequence{0};
    const auto now = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    std::minstd_rand generator(static_cast<uint32_t>(now ^ (now >> 32)) + 7919u * sequence.fetch_add(1));
    return static_cast<uint32_t>(generator() % 30000u);
}

}  // namespace

Velostar::~Velostar() = default;

Velostar* Velostar::create() { return new (std::nothrow) VelostarImpl(); }

void Velostar::destroy(Velostar* engine) { delete engine; }

const char* Velostar::getVersion() { return "1.6.2"; }

const char* Velostar::getAuthor() { return "The Velostar developers"; }

VelostarImpl::VelostarImpl()
    : m_fileCounter(randomCounterStart()),
      m_loader(
          std::make_unique<velthread::BackgroundLoader>(velthread::defaultFrameDecoder(&m_cancelled), m_memoryQuery))
{
}

VelostarImpl::~VelostarImpl()
{
    {
        std::lock_guard<std::mutex> lock(m_engineLock);
        m_cancelHook = nullptr;
    }
    m_loader->stop();
    m_saver.shutdown();
    deleteTemporaryFiles();
}

void VelostarImpl::setFrameDecoder(velthread::FrameDecoder decoder)
{
    m_loader = std::make_unique<velthread::BackgroundLoader>(std::move(decoder), m_memoryQuery);
}

void VelostarImpl::setMemoryQuery(velthread::MemoryQuery query)
{
    m_memoryQuery = std::move(query);
}

const wchar_t* VelostarImpl::ownPath(const wchar_t* path)
{
    if (!path)
        return nullptr;
    const size_t length = std::wcslen(path);
    auto copy = std::make_unique<wchar_t[]>(length + 1);
    std::wmemcpy(copy.get(), path, length + 1);
    m_ownedPaths.push_back(std::move(copy));
    return m_ownedPaths.back().get();
}

// The setters must not throw to the host; a failed copy simply leaves the list unchanged.
void VelostarImpl::setBaseImage(const wchar_t* path)
{
    try {
        if (const wchar_t* copy = ownPath(path))
            m_settings.starImages.insert(m_settings.starImages.begin(), copy);
    } catch (...) {
    }
}

void VelostarImpl::addStarImage(const wchar_t* path)
{
    try {
        if (const wchar_t* copy = ownPath(path))
            m_settings.starImages.push_back(copy);
    } catch (...) {
    }
}

void VelostarImpl::addNoiseImage(const wchar_t* path)
{
    try {
        if (const wchar_t* copy = ownPath(path))
            m_settings.noiseImages.push_back(copy);
    } catch (...) {
    }
}

void VelostarImpl::addVignettingImage(const wchar_t* path)
{
    try {
        if (const wchar_t* copy = ownPath(path))
            m_settings.vignettingImages.push_back(copy);
    } catch (...) {
    }
}

void VelostarImpl::setOutputFile(const wchar_t* path)
{
    try {
        m_settings.outputPath = ownPath(path);
    } catch (...) {
    }
}

void VelostarImpl::setReducePollution(int kind, int strength)
{
    m_settings.reducePollutionKind = kind;
    m_settings.reducePollutionStrength = strength;
}

void VelostarImpl::setSigma(float sigma)
{
    if (sigma >= 0.5f && sigma <= 10.0f)
        m_settings.sigma = sigma;
}

namespace {

// Fractions when all four values are at most 1.0, else truncated pixels; (x0, y0, x1-x0, y1-y0).
// Returns true when the fractional form was taken.
bool storeLine(float x0, float y0, float x1, float y1, float fraction[4], int32_t pixels[4])
{
    if (x0 <= 1.0f && y0 <= 1.0f && x1 <= 1.0f && y1 <= 1.0f) {
        fraction[0] = x0;
        fraction[1] = y0;
        fraction[2] = x1 - x0;
        fraction[3] = y1 - y0;
        return true;
    }
    const auto xi0 = static_cast<int32_t>(x0), yi0 = static_cast<int32_t>(y0);
    const auto xi1 = static_cast<int32_t>(x1), yi1 = static_cast<int32_t>(y1);
    pixels[0] = xi0;
    pixels[1] = yi0;
    pixels[2] = xi1 - xi0;
    pixels[3] = yi1 - yi0;
    return false;
}

}  // namespace

void VelostarImpl::setStarBound(float x0, float y0, float x1, float y1)
{
    storeLine(x0, y0, x1, y1, m_settings.starBoundFraction, m_settings.starBoundPixels);
}

void VelostarImpl::setGradientRegion(float x0, float y0, float x1, float y1, float extent)
{
    storeLine(x0, y0, x1, y1, m_settings.gradientFraction, m_settings.gradientPixels);
    if (extent <= 1.0f) {
        m_settings.gradientExtentFraction = extent;
        m_settings.gradientExtentPixels = 0;
    } else {
        m_settings.gradientExtentPixels = static_cast<int32_t>(extent);
        m_settings.gradientExtentFraction = 0.0f;
    }
}

void VelostarImpl::setMask(const uint8_t* rgb, int width, int height)
{
    m_settings.maskRgb = rgb;
    m_settings.maskWidth = width;
    m_settings.maskHeight = height;
}

int VelostarImpl::getTotalSteps()
{
    m_plan = planSteps(m_settings);
    m_planComputed = true;
    m_totalSteps = static_cast<int32_t>(m_plan.total);
    return m_totalSteps;
}

void VelostarImpl::setProgressCallback(void* user, VelostarProgressCallback callback)
{
    m_callbackUser = user;
    m_callback = callback;
}

void VelostarImpl::report(int32_t stage, const wchar_t* path, int32_t detail, int32_t increment)
{
    if (!m_callback)
        return;
    const int64_t done = static_cast<int64_t>(m_stepsDone) + increment;
    m_stepsDone = static_cast<int32_t>(done > m_totalSteps ? m_totalSteps : done);
    const ProgressRecord record{stage, path, detail, m_stepsDone};
    try {
        m_callback(m_callbackUser, &record);
    } catch (...) {
        // A failing host callback has no effect on the engine.
    }
}

void VelostarImpl::reportShare(int32_t startSteps, int64_t budget, int32_t share1024)
{
    if (!m_callback)
        return;
    int64_t value = startSteps + budget * share1024 / 1024;
    if (value > m_totalSteps)
        value = m_totalSteps;
    if (value == m_stepsDone)
        return;
    m_stepsDone = static_cast<int32_t>(value);
    report(0, nullptr, 9, 0);
}

void VelostarImpl::addTemporaryFile(const std::wstring& path, int32_t kind)
{
    m_temporaryFiles.push_back({kind, path});
}

void VelostarImpl::deleteTemporaryFiles() noexcept
{
    for (const auto& file : m_temporaryFiles) {
        try {
            velpath::removeFile(file.path);
        } catch (...) {
            // out of memory for the name conversion: the destructor tries again
        }
    }
    m_temporaryFiles.clear();
}

void VelostarImpl::setCancelHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(m_engineLock);
    m_cancelHook = std::move(hook);
}

void VelostarImpl::cancel()
{
    m_cancelled.store(true, std::memory_order_release);
    // The saver and the loader are woken first: the pipeline may be blocked on either of them.
    m_saver.cancel();
    m_loader->cancel();
    try {
        std::lock_guard<std::mutex> lock(m_engineLock);
        if (m_cancelHook)
            m_cancelHook();
    } catch (...) {
    }
}

// Every exit of run(): no temporary file and no idle frame buffer outlives it.
void VelostarImpl::finishRun() noexcept
{
    deleteTemporaryFiles();
    velmem::releaseSpareBlocks();
}

int VelostarImpl::runChecked()
{
    if (m_settings.autoSkyMask && m_settings.trails()) {
        // Trails compose while they walk, before any estimate of their own could exist: the
        // estimate walks first and then stands in for a painted mask.
        const int estimated = estimateChecked(false);
        if (cancelled())
            return VELOSTAR_CANCELLED;
        if (estimated == VELOSTAR_OUT_OF_MEMORY)
            return estimated;
        m_settings.maskRgb = nullptr;
        m_settings.maskWidth = m_settings.maskHeight = 0;
        if (m_skyMaskKind == VELOSTAR_MASK_ESTIMATED) {
            const velimage::Image16& mask = skyMask();
            m_estimatedRgb.resize(mask.elementCount() * 3);
            const uint16_t* sky = mask.data();
            for (size_t i = 0; i < mask.elementCount(); ++i)
                std::fill_n(m_estimatedRgb.data() + 3 * i, 3, static_cast<uint8_t>(sky[i] >> 8));
            setMask(m_estimatedRgb.data(), mask.width(), mask.height());
        }
    }
    return runPipeline(*this);
}

// Every entry that runs the pipeline: result codes for what escapes it, the run's end always marked.
template <typename Body>
int VelostarImpl::guardedRun(Body&& body)
{
    m_stepsDone = 0;
    try {
        if (m_settings.starImages.empty())
            return VELOSTAR_NO_STAR_IMAGES;
        const int result = body();
        finishRun();
        return cancelled() ? VELOSTAR_CANCELLED : result;
    } catch (const std::bad_alloc&) {
        finishRun();
        return VELOSTAR_OUT_OF_MEMORY;
    } catch (...) {
        finishRun();
        return VELOSTAR_UNKNOWN_ERROR;
    }
}

int VelostarImpl::run()
{
    if (!m_settings.starImages.empty() && !m_settings.outputPath) {
        m_stepsDone = 0;
        return VELOSTAR_NO_OUTPUT;
    }
    return guardedRun([this] {
        // A host that never asked for the step count still gets the plan's mode reset and tick budget.
        if (!m_planComputed)
            getTotalSteps();
        forgetSkyMask();
        return runChecked();
    });
}

// The walk of an "Align stars" accumulation without its composition, integration or output, on
// a copy of the settings: the host's options are as they were afterwards. `ownPlan`: the walk's
// steps are the whole progress budget; otherwise the caller's run counted them in its plan.
int VelostarImpl::estimateChecked(bool ownPlan)
{
    struct Restore {
        VelostarImpl& engine;
        const EngineSettings settings;
        const StepPlan plan;
        const bool ownPlan;
        ~Restore()
        {
            engine.m_settings = settings;
            if (ownPlan)
                engine.m_planComputed = false;
            else
                engine.m_plan = plan;
        }
    } restore{*this, m_settings, m_plan, ownPlan};
    m_settings = estimateSettings(restore.settings);
    m_plan = planSteps(m_settings);
    if (ownPlan)
        m_totalSteps = static_cast<int32_t>(m_plan.total);
    forgetSkyMask();
    return runPipeline(*this);
}

int VelostarImpl::estimateSkyMask()
{
    return guardedRun([this] { return estimateChecked(true); });
}

void VelostarImpl::keepSkyMask(const velimage::Image16& mask, int32_t rotation, int kind)
{
    velrun::turnToDisplay(mask, rotation, m_skyMask);
    m_undrawnEstimate.reset();
    m_skyMaskKind = kind;
}

void VelostarImpl::keepSkyMask(velimage::Image16&& mask, int32_t rotation, int kind)
{
    if (rotation != 0 || mask.channels() != 1) {
        keepSkyMask(static_cast<const velimage::Image16&>(mask), rotation, kind);
        return;
    }
    m_undrawnEstimate.reset();
    m_skyMask.swapContent(mask);
    m_skyMaskKind = kind;
}

void VelostarImpl::keepSkyEstimate(velmask::SkyLabels&& estimate, int32_t width, int32_t height, int32_t rotation,
                                   int kind)
{
    m_skyMask.release();
    m_undrawnEstimate = std::make_unique<UndrawnEstimate>(UndrawnEstimate{std::move(estimate), width, height, rotation});
    m_skyMaskKind = kind;
}

const velimage::Image16& VelostarImpl::skyMask()
{
    if (m_undrawnEstimate) {
        // Should either step run out of memory, the estimate stays undrawn.
        velimage::Image16 drawn;
        const UndrawnEstimate& estimate = *m_undrawnEstimate;
        velmask::drawSkyMask(estimate.labels, estimate.width, estimate.height, &drawn, nullptr);
        const int32_t rotation = estimate.rotation;
        keepSkyMask(std::move(drawn), rotation, m_skyMaskKind);
    }
    return m_skyMask;
}

void VelostarImpl::forgetSkyMask()
{
    m_undrawnEstimate.reset();
    m_skyMaskKind = VELOSTAR_MASK_NONE;
}

int VelostarImpl::getSkyMask(const uint16_t** pixels, int* width, int* height)
{
    if (m_skyMaskKind == VELOSTAR_MASK_NONE)
        return VELOSTAR_MASK_NONE;
    try {
        const velimage::Image16& mask = skyMask();
        if (mask.empty())
            return VELOSTAR_MASK_NONE;
        if (pixels)
            *pixels = mask.data();
        if (width)
            *width = mask.width();
        if (height)
            *height = mask.height();
        return m_skyMaskKind;
    } catch (const std::bad_alloc&) {
        // Too little memory to draw it: as if there were none, and the estimate stays for a later call.
        return VELOSTAR_MASK_NONE;
    }
}

int VelostarImpl::getFrameReportCount() { return static_cast<int>(m_frameReports.size()); }

bool VelostarImpl::getFrameReport(int index, VelostarFrameReport* report)
{
    if (!report || index < 0 || index >= static_cast<int>(m_frameReports.size()))
        return false;
    *report = m_frameReports[static_cast<size_t>(index)];
    return true;
}
