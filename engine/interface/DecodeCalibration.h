#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "NoiseImage.h"
#include "corrections/FlatField.h"
#include "corrections/HotPixelRemoval.h"
#include "image/RowSink.h"
#include "registration/PlaneBuffer.h"
#include "skymask/LuminancePlane.h"

namespace velrun {

// What the loader does to every star frame's rows while it decodes them: the run's calibration
// steps in their order (noise subtraction, dynamic hot pixels, flat field), then the detection
// luminance and the sky-mask estimate's planes of the calibrated rows. Shared by the loader
// threads; nothing in it changes during a run but the gain the next frame's luminance is made at.
struct DecodeCalibrationPlan {
    std::shared_ptr<const NoiseImage> noise;     // subtract when set
    bool hotPixels = false;
    std::shared_ptr<const veltone::GainMap> gains;  // flat field when set (frames the map faces)
    std::shared_ptr<const veltone::CompactGains> compactGains;  // the same gains in fewer bytes, or null
    bool luminance = false;
    // The gain is only known once the whole frame is calibrated, so the luminance is made at the last
    // frame's gain and kept only when the frame's own gain comes out the same. Night frames of one
    // series nearly always share it.
    std::atomic<uint32_t> expectedGain16{0};

    // Luminance planes pass from frame to frame: fresh ones would cost their pages again each time.
    velreg::PlaneBuffer<uint8_t> takePlane(size_t size);
    void givePlane(velreg::PlaneBuffer<uint8_t>&& plane);

private:
    std::mutex m_planesMutex;
    std::vector<velreg::PlaneBuffer<uint8_t>> m_planes;
};

// The sky-mask estimate's reduced copies of a frame made while it decodes: none, its plane, or its
// plane and the finer one (the base frame's).
enum class SkyPlanes { None, Plane, WithFiner };

// One frame's row work and its record of what it did. Every step waits a few rows behind the one
// before it, so that each reads exactly what it would read in a pass of its own over the whole
// frame: the results are the same sample for sample, whatever the thread count.
class RowCalibration final : public velimage::RowSink {
public:
    explicit RowCalibration(std::shared_ptr<DecodeCalibrationPlan> plan, SkyPlanes skyPlanes = SkyPlanes::None);
    ~RowCalibration() override;

    void begin(velimage::Image16& image) override;
    void rowsDecoded(int32_t end) override;
    void finish() override;

    // Steps done on the whole frame (false until finish()).
    bool noiseSubtracted() const { return m_finished && m_noise; }
    bool hotPixelsRemoved() const { return m_finished && m_plan->hotPixels; }
    bool flatFielded() const { return m_finished && m_gains; }
    // The detection luminance at the frame's own gain (gain16()), or null.
    velreg::PlaneBuffer<uint8_t>* luminance() { return m_luminanceValid ? &m_luminance : nullptr; }
    uint32_t gain16() const { return m_gain16; }
    // The sky-mask planes of the calibrated frame, each once; empty when not made.
    velmask::LuminancePlane takeSkyPlane();
    velmask::LuminancePlane takeFinePlane();
    // The pixels changed after the luminance and the sky planes were made.
    void forgetPlanes();

private:
    void advance(int32_t decoded);
    int32_t advanceNoise(int32_t decoded);
    int32_t advanceHotPixels(int32_t noiseFinal);
    // Flat field, then what reads the final rows: the luminance and the sky planes.
    void advanceFinalRows(int32_t end);
    void flattenAndMeasure(int32_t end);
    void flatten(int32_t y, int32_t x, int32_t pixels);
    void measure(int32_t y, int32_t x, int32_t pixels);
    void sampleGain(int32_t y);

    std::shared_ptr<DecodeCalibrationPlan> m_plan;
    velimage::Image16* m_image = nullptr;
    int32_t m_height = 0;
    bool m_finished = false;

    const NoiseImage* m_noise = nullptr;
    std::vector<NoiseImage::PatchSite> m_sites;
    std::vector<std::array<uint16_t, 9>> m_fits;
    size_t m_patched = 0;
    int32_t m_subtracted = 0;

    std::unique_ptr<veltone::HotPixelScanner> m_scanner;
    std::vector<int32_t> m_hot;  // (x, y) pairs in the order found
    std::vector<int32_t> m_columns;
    size_t m_hotPatched = 0;
    int32_t m_scanned = 2;

    const veltone::GainMap* m_gains = nullptr;
    const veltone::CompactGains* m_compactGains = nullptr;
    int32_t m_flattened = 0;

    bool m_makeLuminance = false;
    bool m_luminanceValid = false;
    uint32_t m_expectedGain16 = 0;
    uint32_t m_gain16 = 0;
    velreg::PlaneBuffer<uint8_t> m_luminance;
    std::vector<uint32_t> m_gainSums;
    int32_t m_measured = 0;

    velmask::LuminancePlaneRows m_skyRows;
    velmask::LuminancePlaneRows m_fineRows;
    SkyPlanes m_skyPlanes = SkyPlanes::None;
    bool m_planesForgotten = false;
};

// The record of the row work that ran while the frame was decoded, null when none did.
RowCalibration* rowCalibrationOf(velimage::RowSink* rows);

}  // namespace velrun
