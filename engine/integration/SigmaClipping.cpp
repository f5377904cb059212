#include "integration/SigmaClipping.h"

#include <algorithm>
#include <array>

namespace velstack {

int32_t rejectionFactor(float sigma) { return static_cast<int32_t>(sigma * sigma * 8.0f + 0.5f); }

namespace {

// floor(a / n) by a multiplication for the counts a pixel has (every mean divides by one): with
// m = ceil(2^64 / n), floor(a·m / 2^64) = floor(a / n) whenever a·n < 2^64. A division here
// cost a fifth of the clipping.
constexpr int32_t ReciprocalCounts = 64;
constexpr std::array<uint64_t, ReciprocalCounts + 1> reciprocals = [] {
    std::array<uint64_t, ReciprocalCounts + 1> m{};
    for (int32_t n = 2; n <= ReciprocalCounts; ++n)
        m[static_cast<size_t>(n)] = ~uint64_t{0} / static_cast<uint64_t>(n) + 1;
    return m;
}();

inline uint64_t divideByCount(uint64_t a, int32_t n)
{
    if (n >= 2 && n <= ReciprocalCounts && a < (uint64_t{1} << 57))
        return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * reciprocals[static_cast<size_t>(n)]) >> 64);
    return a / static_cast<uint64_t>(n);
}

}  // namespace

uint32_t plainMean(const uint16_t* values, int32_t count)
{
    if (count <= 0)
        return 0;
    uint64_t sum = 0;
    for (int32_t i = 0; i < count; ++i)
        sum += values[i];
    return static_cast<uint32_t>(divideByCount(sum * 256u, count));
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

namespace {

// The general rounds: the median by selection, the spread by a pass over the values, the
// rejected values swapped to the end. Any count.
uint32_t clipBySelection(uint16_t* values, int32_t count, int64_t factor, int32_t maxIterations)
{
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

// The same rounds on values in ascending order. A round keeps the values within a distance of the
// median, which in ordered values is one unbroken run: each round only moves the run's ends and
// keeps running sums, with no reordering. `lo` and `hi` receive the kept run.
uint32_t clipRun(const uint16_t* values, int32_t count, int64_t factor, int32_t maxIterations, int32_t& lo,
                 int32_t& hi)
{
    int64_t sum = 0, squares = 0;
    for (int32_t i = 0; i < count; ++i) {
        sum += values[i];
        squares += static_cast<int64_t>(values[i]) * values[i];
    }
    lo = 0;
    hi = count;
    for (int32_t iteration = 0; iteration < maxIterations && hi - lo > 3; ++iteration) {
        const int32_t n = hi - lo;
        const int32_t middle = lo + n / 2;
        const int64_t median8 = n % 2 == 1 ? 8 * static_cast<int64_t>(values[middle])
                                           : 4 * static_cast<int64_t>(values[middle]) + 4 * static_cast<int64_t>(values[middle - 1]);
        const int64_t mean8 = static_cast<int64_t>(divideByCount(static_cast<uint64_t>(8 * sum), n));
        // Σ(8v − mean8)², expanded over the running sums; exact in integers, never negative.
        const int64_t spread = 64 * squares - 16 * mean8 * sum + static_cast<int64_t>(n) * mean8 * mean8;
        const int64_t limit = static_cast<int64_t>(static_cast<uint64_t>(spread + 3) >> 3) * factor;
        const int64_t others = n - 1;
        const auto rejected = [&](uint16_t v) {
            const int64_t d = median8 - 8 * static_cast<int64_t>(v);
            return d * d * others > limit;
        };
        // The median itself is never rejected, so the run cannot become empty.
        for (; rejected(values[lo]); ++lo) {
            sum -= values[lo];
            squares -= static_cast<int64_t>(values[lo]) * values[lo];
        }
        for (; rejected(values[hi - 1]); --hi) {
            sum -= values[hi - 1];
            squares -= static_cast<int64_t>(values[hi - 1]) * values[hi - 1];
        }
        if (hi - lo == n)
            break;
    }
    return static_cast<uint32_t>(divideByCount(static_cast<uint64_t>(sum) * 256u, hi - lo));
}

// Orders the values by insertion (a few dozen of them), then clips the run.
uint32_t clipOrdered(uint16_t* values, int32_t count, int64_t factor, int32_t maxIterations)
{
    for (int32_t i = 1; i < count; ++i) {
        const uint16_t v = values[i];
        int32_t j = i;
        for (; j > 0 && values[j - 1] > v; --j)
            values[j] = values[j - 1];
        values[j] = v;
    }
    int32_t lo = 0, hi = 0;
    const uint32_t mean = clipRun(values, count, factor, maxIterations, lo, hi);
    std::copy(values + lo, values + hi, values);
    return mean;
}

}  // namespace

uint32_t sigmaClippedMean(uint16_t* values, int32_t count, int64_t factor, int32_t maxIterations)
{
    if (count <= 0)
        return 0;
    return count <= OrderedClippingLimit ? clipOrdered(values, count, factor, maxIterations)
                                         : clipBySelection(values, count, factor, maxIterations);
}

uint32_t sigmaClippedMeanOfOrdered(const uint16_t* ordered, int32_t count, int64_t factor, int32_t maxIterations)
{
    if (count <= 0)
        return 0;
    int32_t lo = 0, hi = 0;
    return clipRun(ordered, count, factor, maxIterations, lo, hi);
}

uint32_t sigmaClippedMeanBySelection(uint16_t* values, int32_t count, int64_t factor, int32_t maxIterations)
{
    return count <= 0 ? 0 : clipBySelection(values, count, factor, maxIterations);
}

}  // namespace velstack
