#include "Diagnostics.h"
#include "diagnostics/DiagnosticRuns.h"
#include "integration/SigmaClipping.h"

namespace veldiag {

std::array<uint32_t, 2> runSigmaClipping()
{
    uint16_t first[12] = {4, 10, 1, 7, 2, 3, 7, 1, 8, 5, 22, 14};
    uint16_t second[12] = {4, 10, 1, 7, 2, 32, 7, 1, 8, 5, 0, 3};
    // The clipped mean comes in the integration's 256-times scale.
    return {velstack::sigmaClippedMean(first, 12, velstack::FreezeGroundRejectionFactor,
                                       velstack::MaxClippingIterations) / 256,
            velstack::sigmaClippedMean(second, 12, velstack::FreezeGroundRejectionFactor,
                                       velstack::MaxClippingIterations) / 256};
}

}  // namespace veldiag

void testSigmaClipping() { veldiag::runSigmaClipping(); }
