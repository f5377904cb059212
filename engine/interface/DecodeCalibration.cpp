#include "DecodeCalibration.h"

#include <algorithm>

#include "corrections/RingFit.h"
#include "registration/DetectionGain.h"
#include "registration/StarDetector.h"
#include "skymask/HorizonRefinement.h"

namespace velrun {

namespace {

// How far each step trails the rows it depends on. A noise patch is fitted on the rows up to two
// below its own, and written only once every fit that reads its rows is made (three rows further);
// a hot pixel is judged on the rows two either side, and patched once every judgement that reads
// its rows is made; the flat field waits for every patch whose ring reads its row.
constexpr int32_t kFitDelay = 2;
constexpr int32_t kNoisePatchDelay = kFitDelay + 3;
constexpr int32_t kNoiseFinalDelay = kNoisePatchDelay + 1;
constexpr int32_t kScanDelay = 2;
constexpr int32_t kHotPatchDelay = 3;
constexpr int32_t kFlatDelay = 2;

// Pixels of a row taken by the flat field and the luminance in turn: 6 KB of samples.
constexpr int32_t kPiece = 1024;

// Planes kept between frames: the loader's frames in flight and the one being analysed.
constexpr size_t kSparePlanes = 2;

}  // namespace

velreg::PlaneBuffer<uint8_t> DecodeCalibrationPlan::takePlane(size_t size)
{
    velreg::PlaneBuffer<uint8_t> plane;
    {
        std::lock_guard<std::mutex> lock(m_planesMutex);
        const auto fits = std::find_if(m_planes.begin(), m_planes.end(), [&](const auto& p) { return p.size() == size; });
        if (fits != m_planes.end()) {
            plane = std::move(*fits);
            m_planes.erase(fits);
        }
    }
    plane.resize(size);
    return plane;
}

void DecodeCalibrationPlan::givePlane(velreg::PlaneBuffer<uint8_t>&& plane)
{
    if (plane.size() == 0)
        return;
    std::lock_guard<std::mutex> lock(m_planesMutex);
    if (m_planes.size() < kSparePlanes)
        m_planes.push_back(std::move(plane));
    plane.release();
}

RowCalibration::RowCalibration(std::shared_ptr<DecodeCalibrationPlan> plan, SkyPlanes skyPlanes)
    : m_plan(std::move(plan)), m_skyPlanes(skyPlanes)
{
}

RowCalibration::~RowCalibration() { m_plan->givePlane(std::move(m_luminance)); }

void RowCalibration::begin(velimage::Image16& image)
{
    m_image = &image;
    m_height = image.height();
    const int32_t width = image.width();
    if (m_plan->noise && m_plan->noise->fits(image))
        m_noise = m_plan->noise.get();
    if (m_plan->hotPixels && image.channels() == 3 && width >= 5 && m_height >= 5)
        m_scanner = std::make_unique<veltone::HotPixelScanner>(image);
    const bool flatWanted = static_cast<bool>(m_plan->gains);
    if (flatWanted && image.channels() == 3 &&
        veltone::gainFit(*m_plan->gains, width, m_height) == veltone::GainFit::Direct) {
        m_gains = m_plan->gains.get();
        m_compactGains = m_plan->compactGains.get();
    }
    // A frame the flat field cannot reach here gets it later, after this luminance would be made.
    m_makeLuminance = m_plan->luminance && (m_gains || !flatWanted) && image.channels() >= 1;
    if (m_makeLuminance) {
        m_expectedGain16 = m_plan->expectedGain16.load(std::memory_order_relaxed);
        if (m_expectedGain16 == 0)
            m_expectedGain16 = velreg::kMaxDetectionGain16;  // dark linear frames: the usual case
        m_luminance = m_plan->takePlane(static_cast<size_t>(width) * m_height);
        m_gainSums.reserve(static_cast<size_t>(width / velreg::kGainSampleStep + 1) *
                           (m_height / velreg::kGainSampleStep + 1));
    }
    // Like the luminance, the sky planes are of the final pixels or not made.
    if (m_skyPlanes != SkyPlanes::None && (m_gains || !flatWanted)) {
        const int32_t factor = velmask::reductionFactor(width, m_height);
        m_skyRows.begin(image, factor);
        const int32_t fine = velmask::refinementFactor(factor);
        if (m_skyPlanes == SkyPlanes::WithFiner && fine < factor)
            m_fineRows.begin(image, fine, true);
    }
}

void RowCalibration::rowsDecoded(int32_t end)
{
    if (m_image)
        advance(std::min(end, m_height));
}

void RowCalibration::finish()
{
    if (!m_image)
        return;
    m_finished = true;
    advance(m_height);
    if (m_makeLuminance) {
        m_gain16 = velreg::detectionGainOfSums(m_gainSums);
        m_luminanceValid = m_gain16 == m_expectedGain16;
        m_plan->expectedGain16.store(m_gain16, std::memory_order_relaxed);
        if (!m_luminanceValid)
            m_plan->givePlane(std::move(m_luminance));
        m_gainSums = {};
    }
    m_sites = {};
    m_fits = {};
    m_hot = {};
    m_scanner.reset();
}

void RowCalibration::forgetPlanes()
{
    m_luminanceValid = false;
    m_plan->givePlane(std::move(m_luminance));
    m_planesForgotten = true;
    m_skyRows.take();
    m_fineRows.take();
}

velmask::LuminancePlane RowCalibration::takeSkyPlane()
{
    return m_finished && !m_planesForgotten ? m_skyRows.take() : velmask::LuminancePlane{};
}

velmask::LuminancePlane RowCalibration::takeFinePlane()
{
    return m_finished && !m_planesForgotten ? m_fineRows.take() : velmask::LuminancePlane{};
}

// Every limit is a row count: rows above it are done with that step. Once finished, every step runs
// to the end in turn.
void RowCalibration::advance(int32_t decoded)
{
    const int32_t noiseFinal = advanceNoise(decoded);
    const int32_t hotFinal = advanceHotPixels(noiseFinal);
    advanceFinalRows(hotFinal);
}

int32_t RowCalibration::advanceNoise(int32_t decoded)
{
    if (!m_noise)
        return decoded;
    velimage::Image16& image = *m_image;
    for (; m_subtracted < decoded; ++m_subtracted)
        m_noise->subtractRow(image, m_subtracted, m_sites);
    const veltone::RingFit& fit = veltone::RingFit::instance();
    const int32_t fitLimit = m_finished ? m_height : decoded - kFitDelay;
    while (m_fits.size() < m_sites.size() && m_sites[m_fits.size()].y < fitLimit) {
        const NoiseImage::PatchSite& site = m_sites[m_fits.size()];
        m_fits.emplace_back();
        fit.fitInner(image, site.x, site.y, site.channel, m_fits.back().data());
    }
    const int32_t patchLimit = m_finished ? m_height : decoded - kNoisePatchDelay;
    for (; m_patched < m_fits.size() && m_sites[m_patched].y < patchLimit; ++m_patched) {
        const NoiseImage::PatchSite& site = m_sites[m_patched];
        veltone::RingFit::writeInner(image, site.x, site.y, site.channel, m_fits[m_patched].data());
    }
    return m_finished ? m_height : std::max(0, decoded - kNoiseFinalDelay);
}

int32_t RowCalibration::advanceHotPixels(int32_t noiseFinal)
{
    if (!m_scanner)
        return noiseFinal;
    const int32_t scanLimit = m_finished ? m_height - 2 : std::min(m_height - 2, noiseFinal - kScanDelay);
    for (; m_scanned < scanLimit; ++m_scanned) {
        m_columns.clear();
        m_scanner->scan(m_scanned, m_columns);
        for (int32_t x : m_columns) {
            m_hot.push_back(x);
            m_hot.push_back(m_scanned);
        }
    }
    const int32_t patchLimit = m_finished ? m_height : scanLimit - kHotPatchDelay;
    for (; m_hotPatched < m_hot.size() && m_hot[m_hotPatched + 1] < patchLimit; m_hotPatched += 2)
        veltone::patchHotPixel(*m_image, m_hot[m_hotPatched], m_hot[m_hotPatched + 1]);
    return m_finished ? m_height : std::max(0, patchLimit - kFlatDelay);
}

void RowCalibration::advanceFinalRows(int32_t end)
{
    flattenAndMeasure(end);
    m_skyRows.rowsFinal(*m_image, end);
    m_fineRows.rowsFinal(*m_image, end);
}

void RowCalibration::flattenAndMeasure(int32_t end)
{
    const int32_t width = m_image->width();
    if (m_gains && m_makeLuminance) {
        // A piece of a row at a time, so that the luminance reads the samples the flat field has just
        // written while they are still in the first-level cache.
        for (; m_flattened < end; ++m_flattened) {
            for (int32_t x = 0; x < width; x += kPiece) {
                const int32_t pixels = std::min(kPiece, width - x);
                flatten(m_flattened, x, pixels);
                measure(m_flattened, x, pixels);
            }
            sampleGain(m_flattened);
        }
        m_measured = m_flattened;
        return;
    }
    for (; m_gains && m_flattened < end; ++m_flattened)
        flatten(m_flattened, 0, width);
    for (; m_makeLuminance && m_measured < end; ++m_measured) {
        measure(m_measured, 0, width);
        sampleGain(m_measured);
    }
}

void RowCalibration::flatten(int32_t y, int32_t x, int32_t pixels)
{
    uint16_t* samples = m_image->row(y) + 3 * static_cast<size_t>(x);
    if (m_compactGains)
        veltone::applyFlatFieldRow(samples, m_compactGains->bases[static_cast<size_t>(y)],
                                   m_compactGains->offsets.row(y) + x, m_gains->row(y) + x, pixels);
    else
        veltone::applyFlatFieldRow(samples, m_gains->row(y) + x, pixels);
}

void RowCalibration::measure(int32_t y, int32_t x, int32_t pixels)
{
    const int32_t channels = m_image->channels();
    velreg::detectionLuminanceRow(m_image->row(y) + static_cast<size_t>(x) * channels, channels, pixels,
                                  m_expectedGain16, m_luminance.data() + static_cast<size_t>(y) * m_image->width() + x);
}

void RowCalibration::sampleGain(int32_t y)
{
    constexpr int32_t step = velreg::kGainSampleStep;
    if (y % step != step / 2)
        return;
    const uint16_t* row = m_image->row(y);
    const int32_t width = m_image->width(), channels = m_image->channels();
    for (int32_t x = step / 2; x < width; x += step)
        m_gainSums.push_back(velreg::gainSampleSum(row + static_cast<size_t>(x) * channels, channels));
}

RowCalibration* rowCalibrationOf(velimage::RowSink* rows) { return dynamic_cast<RowCalibration*>(rows); }

}  // namespace velrun
