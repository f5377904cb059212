#pragma once

// The command line reads its --mask PNG the way the desktop program reads a project's brush mask.
#include "MaskFile.h"

namespace velcli {

using velapp::loadMaskPng;
using velapp::MaskImage;

}  // namespace velcli
