#pragma once

#include <cstdint>
#include <vector>

#include "integration/WarpModel.h"
#include "registration/Alignment.h"
#include "registration/Matrix.h"
#include "registration/Star.h"

namespace velstack {

// The transform of one frame for the warps: estimated from the frame's star pattern against the
// reference pattern by the chosen distortion model, then inverted into a WarpModel. Owns the
// displacement grid the model points at, so it must outlive every warp that uses model().
// One object per frame, used on the pipeline's thread.
class FrameTransform {
public:
    FrameTransform() = default;
    // The model points into this object's grid: moving keeps the buffer, copying would not.
    FrameTransform(const FrameTransform&) = delete;
    FrameTransform& operator=(const FrameTransform&) = delete;
    FrameTransform(FrameTransform&&) = default;
    FrameTransform& operator=(FrameTransform&&) = default;

    // distortionMode: 0 plain affine, 1 radial, 2 displacement grid; (width, height) is the target
    // (reference) size. The frame pattern is written only by mode 2, which copies star identities.
    // False, with no usable model, when the frame has no pattern, the estimate fails, the mode is
    // unknown or the transform is singular.
    // `stats`, when given, receives the number of pairs matched and why the estimate failed.
    bool obtain(int32_t distortionMode, velreg::StarPattern* framePattern, const velreg::StarPattern& reference,
                int32_t width, int32_t height, velreg::AlignStats* stats = nullptr);

    const WarpModel& model() const { return m_model; }
    // Frame-to-reference affine (3 × 3) as estimated; for mode 1 it acts on centred undistorted
    // coordinates. Empty until obtain() succeeds.
    const velreg::MatrixF& forward() const { return m_forward; }

private:
    bool useForward(velreg::MatrixF forward);

    WarpModel m_model;
    velreg::MatrixF m_forward;
    std::vector<float> m_gridNodes;
};

}  // namespace velstack
