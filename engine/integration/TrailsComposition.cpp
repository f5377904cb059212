#include "TrailsComposition.h"

#include <algorithm>
#include <vector>

#include "integration/GradientRamp.h"
#include "parallel/ProcessPool.h"

namespace velstack {

bool blendTowardBase(velimage::Image16& frame, const velimage::Image16& base, int32_t done, int32_t remaining)
{
    const int64_t total = static_cast<int64_t>(done) + remaining;
    if (frame.channels() != 3 || base.channels() != 3 || frame.width() != base.width() ||
        frame.height() != base.height() || total <= 0 || done < 0 || remaining < 0)
        return false;
    const int64_t rounding = total / 2 - 1;
    const size_t rowElements = frame.rowElements();
    // A division per sample is the pass's whole cost: multiply by the reciprocal instead and
    // correct the quotient by one either way, which keeps it exact (numerators stay below 2^50).
    const double reciprocal = 1.0 / static_cast<double>(total);
    const int64_t currentWeight = remaining, baseWeight = done;
    velthread::parallelRows(frame.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint16_t* current = frame.row(y);
            const uint16_t* first = base.row(y);
            for (size_t i = 0; i < rowElements; ++i) {
                const int64_t numerator = currentWeight * current[i] + baseWeight * first[i] + rounding;
                // A one-image run has a rounding term of −1: keep a black sample from going negative.
                if (numerator <= 0) {
                    current[i] = 0;
                    continue;
                }
                int64_t quotient = static_cast<int64_t>(static_cast<double>(numerator) * reciprocal);
                quotient -= quotient * total > numerator;
                quotient += (quotient + 1) * total <= numerator;
                current[i] = static_cast<uint16_t>(std::min<int64_t>(quotient, 65535));
            }
        }
    });
    return true;
}

namespace {

void keepBrighter(uint32_t* composite, const uint16_t* frame, size_t samples)
{
    for (size_t i = 0; i < samples; ++i)
        composite[i] = std::max<uint32_t>(composite[i], frame[i]);
}

void keepBrighterWeighted(uint32_t* composite, const uint16_t* frame, int32_t width, const float* weights)
{
    for (int32_t x = 0; x < width; ++x) {
        const float w = weights[x];
        for (int32_t c = 0; c < 3; ++c) {
            const size_t i = static_cast<size_t>(x) * 3 + c;
            composite[i] = std::max(composite[i], weighSample(frame[i], w));
        }
    }
}

}  // namespace

bool composeTrailFrame(velimage::AccumulationImage& composite, const velimage::Image16& frame,
                       const veltone::RegionWeight& region)
{
    const int32_t width = frame.width();
    if (composite.empty() || frame.channels() != 3 || composite.channels() != 3 || width != composite.width() ||
        frame.height() != composite.height())
        return false;
    const size_t rowElements = frame.rowElements();
    const bool uniform = region.uniform();
    velthread::parallelRows(frame.height(), [&](int32_t begin, int32_t end) {
        std::vector<float> weights(uniform ? 0 : static_cast<size_t>(width));
        for (int32_t y = begin; y < end; ++y) {
            if (uniform) {
                keepBrighter(composite.row(y), frame.row(y), rowElements);
                continue;
            }
            for (int32_t x = 0; x < width; ++x)
                weights[static_cast<size_t>(x)] = region.at(x, y, width);
            keepBrighterWeighted(composite.row(y), frame.row(y), width, weights.data());
        }
    });
    return true;
}

}  // namespace velstack
