#include "integration/SigmaClipping.h"

#include <algorithm>

namespace velstack {

int32_t rejectionFactor(float sigma) { return static_cast<int32_t>(sigma * sigma * 8.0f + 0.5f); }

uint32_t plainMean(const uint16_t* values, int32_t count)
{
    if (count <= 0)
        return 0;
    uint64_t sum = 0;
    for (int32_t i = 0; i < count; ++i)
        sum += values[i];
    return static_cast<uint32_t>(sum * 256u / static_cast<uint64_t>(count));
}

namespace {

// Eight times the median: the middle value for odd counts, the mean of the two middle ones
// (times 8) for even counts. Partially orders the values.
int64_t medianTimes8(uint16_t* values, int32_t count)
{
    uint16_t* middle = values + count / 2;
    std::nth_element(values, middle, values + count);
    if (count % 2 == 1)
        return 8 * static_cast<int64_t>(*middle);
    const uint16_t below = *std::max_element(values, middle);
    return 4 * static_cast<int64_t>(*middle) + 4 * static_cast<int64_t>(below);
}

// floor((Σ(8v − mean8)² + 3) / 8) with mean8 = floor(8·Σv / n): the squared spread in units of 1/64.
int64_t varianceTerm(const uint16_t* values, int32_t count)
{
    int64_t sum = 0;
    for (int32_t i = 0; i < count; ++i)
        sum += values[i];
    const int64_t mean8 = 8 * sum / count;
    int64_t squares = 0;
    for (int32_t i = 0; i < count; ++i) {
        const int64_t d = 8 * static_cast<int64_t>(values[i]) - mean8;
        squares += d * d;
    }
    return (squares + 3) / 8;
}

}  // namespace

uint32_t sigmaClippedMean(uint16_t* values, int32_t count, int64_t factor, int32_t maxIterations)
{
    if (count <= 0)
        return 0;
    for (int32_t iteration = 0; iteration < maxIterations && count > 3; ++iteration) {
        const int64_t median8 = medianTimes8(values, count);
        const int64_t limit = varianceTerm(values, count) * factor;
        const int64_t others = count - 1;
        int32_t end = count;
        for (int32_t i = 0; i < end;) {
            const int64_t d = median8 - 8 * static_cast<int64_t>(values[i]);
            if (d * d * others > limit)
                std::swap(values[i], values[--end]);  // look at the swapped-in value next
            else
                ++i;
        }
        if (end == count)
            break;
        count = end;
    }
    return plainMean(values, count);
}

}  // namespace velstack
