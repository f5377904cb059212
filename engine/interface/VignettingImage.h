#pragma once

#include <cstdint>

#include "corrections/FlatField.h"
#include "image/Image.h"

namespace velrun {

// The run's vignetting (flat) image: the mean (R + G + B) / 3 of the vignetting frames, optionally
// smoothed and made symmetrical, turned into the 16.16 gain map of the flat-field correction.
// Built and used on the pipeline's thread; the pixel passes run on the pool.
class VignettingImage {
public:
    // Adds a vignetting frame; false (nothing changed) for a frame without 3 channels or of
    // another size than the first one added. A frame after an analysis starts a new image.
    bool add(const velimage::Image16& frame);
    // Turns the sum into the gain map (homogeneous and symmetrical first when asked); false when
    // no frame was added.
    bool analyze(bool homogenize);

    bool ready() const { return m_analysed; }
    int32_t frameCount() const { return m_count; }
    // The gain map, valid once ready().
    const veltone::GainMap& gains() const { return m_sum; }
    // The gain map laid out for a width × height frame: when a frame comes turned against the map,
    // the map is turned once in its place, so that it and every later frame of that orientation read
    // their gains straight instead of gathering them across map rows. Valid once ready().
    const veltone::GainMap& gainsFacing(int32_t width, int32_t height);

private:
    // Before the analysis the sums, afterwards the gains.
    veltone::GainMap m_sum;
    int32_t m_count = 0;
    bool m_analysed = false;
};

// Two smoothing passes (block means into a small image, bilinear interpolation back), then every
// pixel of the top-left quadrant and its three mirror images all get (their sum + 1) / 4.
void homogenize(velimage::Image<uint32_t>& sums);

// Every sum s becomes M·65536 / clamp(s, M / 32, 32·M), M the mean sum (all 4 when M < 4).
void toGains(velimage::Image<uint32_t>& sums);

}  // namespace velrun
