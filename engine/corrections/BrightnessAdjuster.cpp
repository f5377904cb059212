#include "corrections/BrightnessAdjuster.h"

#include <algorithm>
#include <vector>

#include "integration/AccumulationArithmetic.h"
#include "integration/SampleRounding.h"
#include "parallel/ProcessPool.h"

namespace veltone {

namespace {

constexpr float WhiteF = 16777215.0f;
constexpr int32_t Bins = 1 << 16;

inline uint32_t luminanceOf(const uint32_t* pixel)
{
    return static_cast<uint32_t>((static_cast<uint64_t>(pixel[0]) + pixel[1] + pixel[2]) / 3);
}

// Counts of luminance values into 65536 bins: the high 16 bits, or the low 16 bits of values
// whose high part equals `high` (when high ≥ 0).
std::vector<uint64_t> histogram(const AccumulationImage& image, int64_t high)
{
    const int32_t parts = velthread::partCount(), width = image.width();
    std::vector<std::vector<uint64_t>> partCounts(static_cast<size_t>(parts));
    velthread::parallelRows(image.height(), [&](int32_t part, int32_t begin, int32_t end) {
        std::vector<uint64_t>& counts = partCounts[static_cast<size_t>(part)];
        if (counts.empty())
            counts.assign(Bins, 0);
        for (int32_t y = begin; y < end; ++y) {
            const uint32_t* row = image.row(y);
            for (int32_t x = 0; x < width; ++x) {
                const uint32_t value = luminanceOf(row + static_cast<size_t>(x) * 3);
                if (high < 0)
                    ++counts[value >> 16];
                else if ((value >> 16) == high)
                    ++counts[value & 0xFFFF];
            }
        }
    });
    std::vector<uint64_t> total(Bins, 0);
    for (const auto& counts : partCounts)
        for (size_t i = 0; i < counts.size(); ++i)
            total[i] += counts[i];
    return total;
}

// Bin holding the element of 0-based rank `rank`; `rank` becomes the rank inside that bin.
int32_t binOfRank(const std::vector<uint64_t>& counts, uint64_t& rank)
{
    for (int32_t bin = 0; bin < Bins; ++bin) {
        if (rank < counts[static_cast<size_t>(bin)])
            return bin;
        rank -= counts[static_cast<size_t>(bin)];
    }
    return Bins - 1;
}

void scaleSamples(AccumulationImage& image, float gain)
{
    const size_t rowElements = image.rowElements();
    velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* row = image.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                row[i] = velstack::roundHalfUp(std::min(WhiteF, static_cast<float>(row[i]) * gain));
        }
    });
}

void divideSamples(AccumulationImage& image, uint64_t divisor)
{
    const size_t rowElements = image.rowElements();
    velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* row = image.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                row[i] = static_cast<uint32_t>((row[i] + divisor / 2) / divisor);
        }
    });
}

}  // namespace

uint32_t luminanceQuantile(const AccumulationImage& image, double p)
{
    const uint64_t count = static_cast<uint64_t>(image.width()) * image.height();
    if (count == 0 || image.channels() != 3)
        return 0;
    uint64_t rank = static_cast<uint64_t>(std::clamp(p, 0.0, 1.0) * static_cast<double>(count));
    rank = std::min(rank, count - 1);
    const int32_t high = binOfRank(histogram(image, -1), rank);
    const int32_t low = binOfRank(histogram(image, high), rank);
    return static_cast<uint32_t>(high) << 16 | static_cast<uint32_t>(low);
}

void adjustBrightness(AccumulationImage& image, ToneState& state, const BrightnessOptions& options)
{
    if (image.channels() != 3 || image.empty())
        return;
    const int64_t n = state.frameCount;
    if (n > 511)
        divideSamples(image, static_cast<uint64_t>(n / 256));

    float limit = std::max(3.0f, 2.0f * static_cast<float>(n));
    if (!state.workingScale)
        limit *= 256.0f;
    const uint32_t median = luminanceQuantile(image, 0.5);
    const double highlight = options.highDynamicRange ? 0.9995 : (options.reducing ? 0.98 : 0.995);
    const uint32_t bright = luminanceQuantile(image, highlight);

    float gain = limit;
    if (median > 0)
        gain = std::min(gain, (options.pollutionReduction ? 0.16f : 0.1f) * WhiteF / static_cast<float>(median));
    if (bright > 0)
        gain = std::min(gain, WhiteF / static_cast<float>(bright));
    scaleSamples(image, gain);
    state.workingScale = true;
    state.exposureFactor *= gain;
}

bool applyOverExposureRule(AccumulationImage& image, ToneState& state, bool pollutionReduction)
{
    ensureWorkingScale(image, state);
    const uint64_t overExposed = velstack::countOverExposed(image);
    if (overExposed * 8 <= static_cast<uint64_t>(image.width()) * image.height())
        return false;
    BrightnessOptions options;
    options.reducing = true;
    options.pollutionReduction = pollutionReduction;
    adjustBrightness(image, state, options);
    return true;
}

}  // namespace veltone
