#include "skymask/LuminancePlane.h"

#include <algorithm>

#include "parallel/ProcessPool.h"

namespace velmask {

namespace {

// About 640 values along the longer side: the horizon to a block or two, at a cost well below
// one frame's star analysis however large the frames are.
constexpr int32_t TargetLongSide = 640;

// Adds one frame row, every channel of every pixel, into `sums`: whole rows vectorise, and each
// block's grid is picked from the sums afterwards (integer sums come out the same in any order).
void addRow(const uint16_t* in, size_t count, uint32_t* sums)
{
    for (size_t i = 0; i < count; ++i)
        sums[i] += in[i];
}

// Asks for the row read next while this one is added: the frame comes from memory, a row at a
// time far apart, and the processor's own read-ahead stops at every page.
void addRowReadingAhead(const uint16_t* in, const uint16_t* next, size_t count, uint32_t* sums)
{
    constexpr size_t Line = 64 / sizeof(uint16_t);
    size_t i = 0;
    for (; i + Line <= count; i += Line) {
        if (next)
            __builtin_prefetch(next + i);
        addRow(in + i, Line, sums + i);
    }
    addRow(in + i, count - i, sums + i);
}

// One plane row from the column sums: R + 2G + B (or 4 × the only channel) of every pixel of each
// block in the rows read, scaled to a mean.
void blockMeans(const uint32_t* columns, int32_t channels, int32_t factor, int32_t blocks, float scale, float* out)
{
    for (int32_t b = 0; b < blocks; ++b) {
        const uint32_t* p = columns + static_cast<size_t>(b) * factor * channels;
        uint32_t sum = 0;
        if (channels >= 3)
            for (int32_t k = 0; k < factor; ++k, p += channels)
                sum += p[0] + 2u * p[1] + p[2];
        else
            for (int32_t k = 0; k < factor; ++k, p += channels)
                sum += 4u * p[0];
        out[b] = static_cast<float>(sum) * scale;
    }
}

}  // namespace

int32_t reductionFactor(int32_t width, int32_t height)
{
    const int32_t longSide = std::max(width, height);
    return std::max(1, (longSide + TargetLongSide - 1) / TargetLongSide);
}

LuminancePlane reduceLuminance(const velimage::Image16& frame, int32_t factor)
{
    LuminancePlane plane;
    factor = std::max(1, factor);
    if (frame.empty() || frame.channels() < 1 || frame.width() < factor || frame.height() < factor)
        return plane;
    plane.factor = factor;
    plane.width = frame.width() / factor;
    plane.height = frame.height() / factor;
    plane.values.resize(static_cast<size_t>(plane.width) * plane.height);
    const int32_t channels = frame.channels();
    // Blocks of 8 rows or more are read in their middle row, smaller ones in every (factor / 2)-th
    // row about their middle, each row whole (reading a row costs the same however many of its
    // pixels count): a large frame costs one row per plane row, and a mean of that many is
    // still far below the noise.
    const int32_t step = factor >= 8 ? factor : std::max(1, factor / 2);
    const int32_t read = (factor - step / 2 + step - 1) / step;
    const float scale = 1.0f / (4.0f * static_cast<float>(read) * static_cast<float>(factor));
    const size_t columns = static_cast<size_t>(plane.width) * factor * channels;
    velthread::parallelRows(plane.height, [&](int32_t begin, int32_t end) {
        std::vector<uint32_t> sums(columns);
        for (int32_t y = begin; y < end; ++y) {
            std::fill(sums.begin(), sums.end(), 0u);
            for (int32_t k = step / 2; k < factor; k += step) {
                const int32_t following = k + step < factor ? y * factor + k + step : (y + 1) * factor + step / 2;
                addRowReadingAhead(frame.row(y * factor + k), following < end * factor ? frame.row(following) : nullptr,
                                   columns, sums.data());
            }
            blockMeans(sums.data(), channels, factor, plane.width, scale,
                       plane.values.data() + static_cast<size_t>(y) * plane.width);
        }
    });
    return plane;
}

}  // namespace velmask
