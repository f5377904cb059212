#pragma once

#include "VelostarExport.h"

// Self-checks of single algorithms on fixed data, for a developer to step through under a
// debugger. They take nothing and return nothing; testImageTransform reads "TestTransform.jpg" and
// writes "TestTransformOut.jpg" in the current directory. They never throw.
VELOSTAR_API void testStarDetect();
VELOSTAR_API void testImageTransform();
VELOSTAR_API void testSigmaClipping();
