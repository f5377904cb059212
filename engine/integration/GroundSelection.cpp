#include "integration/GroundSelection.h"

#include <algorithm>
#include <cstdlib>

namespace velstack {

namespace {

bool carries(const GroundSample& s, uint16_t bit) { return (s.marker & bit) != 0; }

// Moves the samples carrying `bit` to the front, their order kept, and returns how many they are.
// In place (the standard stable partition may allocate); the sets are a few dozen samples.
int32_t moveToFront(GroundSample* samples, int32_t count, uint16_t bit)
{
    int32_t front = 0;
    for (int32_t i = 0; i < count; ++i)
        if (carries(samples[i], bit)) {
            std::rotate(samples + front, samples + i, samples + i + 1);
            ++front;
        }
    return front;
}

int64_t meanKey(const GroundSample* samples, int32_t count)
{
    if (count <= 0)
        return 0;
    int64_t sum = 0;
    for (int32_t i = 0; i < count; ++i)
        sum += samples[i].key;
    return sum / count;
}

// Orders so that the `first` samples nearest to `centre` (by key) lead.
void nearestFirst(GroundSample* samples, int32_t count, int32_t first, int64_t centre)
{
    if (first <= 0 || first >= count)
        return;
    std::nth_element(samples, samples + first, samples + count, [centre](const GroundSample& a, const GroundSample& b) {
        return std::llabs(a.key - centre) < std::llabs(b.key - centre);
    });
}

void sortByDistance(GroundSample* samples, int32_t count, int64_t centre)
{
    std::sort(samples, samples + count, [centre](const GroundSample& a, const GroundSample& b) {
        return std::llabs(a.key - centre) < std::llabs(b.key - centre);
    });
}

// Keys whose gaps grow steadily (no upper gap more than twice the one below it) come from the
// same ground seen in every copy; a jump means something else (a light, a passer-by) is there.
bool regularGaps(const GroundSample* sorted, int32_t count, int32_t* gaps)
{
    int32_t n = 0;
    for (int32_t i = 1; i < count; ++i)
        gaps[n++] = sorted[i].key - sorted[i - 1].key;
    std::sort(gaps, gaps + n);
    for (int32_t j = n - 1; j > n / 2; --j)
        if (gaps[j] > 2 * gaps[j - 1])
            return false;
    return true;
}

// Mean key of the first r unaligned copies (and the base) when their keys are regular, else 0.
int64_t darkReference(GroundSample* samples, int32_t count, int32_t r, int32_t* gaps)
{
    const int32_t unaligned = moveToFront(samples, count, UnalignedBit);
    std::sort(samples, samples + unaligned, [](const GroundSample& a, const GroundSample& b) { return a.key < b.key; });
    if (unaligned <= 3 || !regularGaps(samples, unaligned, gaps))
        return 0;
    return meanKey(samples, std::min(r, unaligned));
}

int64_t squaredError(int32_t key, int32_t baseKey)
{
    const int64_t d = static_cast<int64_t>(key) - baseKey;
    const int64_t cap = 2 * static_cast<int64_t>(baseKey);
    return std::min(d * d, cap * cap);
}

// Aligned (AlignedBit) or unaligned (UnalignedBit) copies: the set whose m samples nearest to the
// base agree with it better. `nearest` receives how many of the leading m carry the chosen bit.
uint16_t chooseCopies(GroundSample* samples, int32_t count, int32_t entries, int32_t baseKey, int32_t& nearest)
{
    const int32_t half = entries / 2, r = half + 1;
    const int32_t m = std::max(0, std::min(r, count - half));
    int64_t alignedError = 0, unalignedError = 0;
    if (count - half == r) {
        nearestFirst(samples, count, m, baseKey);
        for (int32_t i = 0; i < count; ++i) {
            const int64_t e = squaredError(samples[i].key, baseKey);
            if (carries(samples[i], AlignedBit))
                alignedError += e;
            if (carries(samples[i], UnalignedBit))
                unalignedError += e;
        }
    } else {
        sortByDistance(samples, count, baseKey);
        int32_t aligned = 0, unaligned = 0;
        for (int32_t i = 0; i < count; ++i) {
            const int64_t e = squaredError(samples[i].key, baseKey);
            if (carries(samples[i], AlignedBit) && aligned < m) {
                alignedError += e;
                ++aligned;
            }
            if (carries(samples[i], UnalignedBit) && unaligned < m) {
                unalignedError += e;
                ++unaligned;
            }
        }
    }
    const uint16_t bit = alignedError < unalignedError ? AlignedBit : UnalignedBit;
    nearest = 0;
    for (int32_t i = 0; i < m; ++i)
        nearest += carries(samples[i], bit) ? 1 : 0;
    return bit;
}

// Grows the leading t samples by those that continue their spread of keys; returns the new size.
int32_t widen(GroundSample* samples, int32_t n, int32_t t)
{
    const int64_t centre = meanKey(samples, t);
    sortByDistance(samples, n, centre);
    int64_t lo = centre, hi = centre, spread = 0;
    const auto outside = [&](int64_t key) { return key < lo ? lo - key : key > hi ? key - hi : 0; };
    for (int32_t i = 1; i < t; ++i) {
        const int64_t key = samples[i].key;
        if (key < lo) {
            spread = std::max(spread, lo - key);
            lo = key;
        } else if (key > hi) {
            spread = std::max(spread, key - hi);
            hi = key;
        }
    }
    for (int32_t i = t; i < n; ++i) {
        const int64_t d = outside(samples[i].key);
        if (d > spread && d <= 2 * spread)
            spread = d;
    }
    bool lowClosed = false, highClosed = false;
    int32_t size = t;
    for (int32_t i = t; i < n && !(lowClosed && highClosed); ++i) {
        const int64_t key = samples[i].key;
        const bool below = key < lo;
        if ((below && lowClosed) || (key > hi && highClosed))
            continue;
        if (outside(key) <= 2 * spread) {
            std::swap(samples[size++], samples[i]);  // everything between was already walked
        } else if (below) {
            lowClosed = true;
        } else {
            highClosed = true;
        }
    }
    return size;
}

}  // namespace

int32_t selectGround(GroundSample* samples, int32_t count, int32_t entries, int32_t baseKey, int32_t* gaps)
{
    if (count < 3)
        return std::max(0, count);
    const int32_t r = entries / 2 + 1;
    const int64_t dark = darkReference(samples, count, r, gaps);

    int32_t nearest = 0;
    const uint16_t bit = chooseCopies(samples, count, entries, baseKey, nearest);
    const int32_t n = moveToFront(samples, count, bit);
    int32_t t = std::min(n, std::max(nearest, n / 2));
    nearestFirst(samples, n, t, baseKey);
    if (t < n)
        t = widen(samples, n, t);

    if (meanKey(samples, t) < dark) {
        // Darker than the copies that never moved: a shadow passed, keep those copies instead.
        const int32_t unaligned = moveToFront(samples, count, UnalignedBit);
        return std::min(r, unaligned);
    }
    return t;
}

}  // namespace velstack
