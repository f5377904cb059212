#pragma once

#include <string>

#include "Stages.h"

namespace velrun {

// "Align only": hands the frame warped into the reference geometry (the reference itself
// unwarped), with the frame's metadata and the output tone of the settings, to the background
// saver as a 16-bit TIFF for `path`, and adds the warped samples to the accumulation image. False
// when the frame could not be aligned or the saver refused it; whether the file was written
// shows in the saver's failed writes.
bool writeAlignedFrame(RunContext& ctx, Frame& frame, const std::wstring& path);

}  // namespace velrun
