#pragma once

#include <string>

#include "Stages.h"

namespace velrun {

// "Align only": writes the frame warped into the reference geometry (the reference itself
// unwarped) as a 16-bit TIFF at `path`, with the frame's metadata and the output tone of the
// settings, and adds the warped samples to the accumulation image. Written at once rather than
// through the background saver, so that the result says whether the file exists. False when the
// frame could not be aligned or the file was not written.
bool writeAlignedFrame(RunContext& ctx, Frame& frame, const std::wstring& path);

}  // namespace velrun
