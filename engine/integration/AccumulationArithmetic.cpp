#include "integration/AccumulationArithmetic.h"

#include <algorithm>
#include <vector>

#include "integration/SampleRounding.h"
#include "parallel/ProcessPool.h"

namespace velstack {

namespace {

constexpr float MinimumWeight = 1e-5f;

void fillWeights(AccumulationImage& image, float weight)
{
    float* weights = image.weights();
    if (!weights)
        return;
    const int32_t width = image.width();
    velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
        std::fill(weights + static_cast<size_t>(begin) * width, weights + static_cast<size_t>(end) * width, weight);
    });
}

// Source index (in pixels) of target pixel (x, y) for a source of width w and height h.
inline size_t rotatedSource(int rotation, int32_t x, int32_t y, int32_t w, int32_t h)
{
    switch (rotation) {
    case 1: return static_cast<size_t>(h - 1 - x) * w + y;
    case 2: return static_cast<size_t>(h - 1 - y) * w + (w - 1 - x);
    case 3: return static_cast<size_t>(x) * w + (w - 1 - y);
    default: return static_cast<size_t>(y) * w + x;
    }
}

template <typename T, typename Convert>
bool convertForOutput(AccumulationImage& image, velimage::Image<T>& target, int rotation, Convert convert)
{
    if (image.empty() || image.maxWeight() == 0.0f)
        return false;
    if (!image.normalized())
        normalize(image);
    if (rotation < 0 || rotation > 3)
        rotation = 0;
    const int32_t w = image.width(), h = image.height(), channels = image.channels();
    const bool turned = rotation == 1 || rotation == 3;
    target.allocate(turned ? h : w, turned ? w : h, channels);
    const uint32_t* source = image.data();
    const int32_t targetWidth = target.width();
    velthread::parallelRows(target.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            T* out = target.row(y);
            if (rotation == 0) {
                const uint32_t* in = image.row(y);
                for (size_t i = 0; i < image.rowElements(); ++i)
                    out[i] = convert(in[i]);
                continue;
            }
            for (int32_t x = 0; x < targetWidth; ++x) {
                const uint32_t* in = source + rotatedSource(rotation, x, y, w, h) * channels;
                for (int32_t c = 0; c < channels; ++c)
                    out[static_cast<size_t>(x) * channels + c] = convert(in[c]);
            }
        }
    });
    return true;
}

}  // namespace

void clearAccumulation(AccumulationImage& image)
{
    image.clear();
    image.setMaxWeight(1.0f);
}

void setWeights(AccumulationImage& image, float weight)
{
    fillWeights(image, weight);
    image.setMaxWeight(weight);
}

void startFromBase(AccumulationImage& image, const velimage::Image<uint16_t>& base)
{
    image.allocate(base.width(), base.height(), base.channels());
    const size_t rowElements = base.rowElements();
    velthread::parallelRows(base.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y)
            std::copy(base.row(y), base.row(y) + rowElements, image.row(y));
    });
    setWeights(image, 1.0f);
}

void normalize(AccumulationImage& image)
{
    const float maxWeight = image.maxWeight();
    if (image.normalized() || maxWeight == 0.0f)
        return;
    float* weights = image.weights();
    if (weights) {
        const int32_t width = image.width(), channels = image.channels();
        velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
            for (int32_t y = begin; y < end; ++y) {
                uint32_t* row = image.row(y);
                const float* rowWeights = image.weightRow(y);
                for (int32_t x = 0; x < width; ++x) {
                    const float w = rowWeights[x];
                    if (w <= MinimumWeight || w == maxWeight)
                        continue;
                    const float factor = maxWeight / w;
                    uint32_t* pixel = row + static_cast<size_t>(x) * channels;
                    for (int32_t c = 0; c < channels; ++c)
                        pixel[c] = roundHalfUp(factor * static_cast<float>(pixel[c]));
                }
            }
        });
    }
    setWeights(image, 1.0f);
    image.setNormalized(true);
}

void toWorkingScale(AccumulationImage& image)
{
    const size_t rowElements = image.rowElements();
    velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* row = image.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                row[i] = row[i] < 0x800000u ? row[i] << 8 : 0x7FFFFFFFu;
        }
    });
}

uint64_t countOverExposed(const AccumulationImage& image)
{
    if (image.channels() != 3)
        return 0;
    std::vector<uint64_t> counts(static_cast<size_t>(velthread::partCount()), 0);
    const int32_t width = image.width();
    velthread::parallelRows(image.height(), [&](int32_t part, int32_t begin, int32_t end) {
        uint64_t count = 0;
        for (int32_t y = begin; y < end; ++y) {
            const uint32_t* row = image.row(y);
            for (int32_t x = 0; x < width; ++x, row += 3) {
                const uint64_t sum = static_cast<uint64_t>(row[0]) + row[1] + row[2];
                count += sum > 3ull * WorkingWhite;
            }
        }
        counts[static_cast<size_t>(part)] += count;
    });
    uint64_t total = 0;
    for (uint64_t count : counts)
        total += count;
    return total;
}

int rotationCodeForOrientation(int orientationTag)
{
    switch (orientationTag) {
    case 6: return 1;
    case 3: return 2;
    case 8: return 3;
    default: return 0;
    }
}

bool toOutput8(AccumulationImage& image, velimage::Image<uint8_t>& target, int rotation)
{
    return convertForOutput(image, target, rotation,
                            [](uint32_t v) { return static_cast<uint8_t>(std::min<uint32_t>(255, v >> 8)); });
}

bool toOutput16(AccumulationImage& image, velimage::Image<uint16_t>& target, int rotation)
{
    return convertForOutput(image, target, rotation,
                            [](uint32_t v) { return static_cast<uint16_t>(std::min<uint32_t>(65535, v)); });
}

}  // namespace velstack
