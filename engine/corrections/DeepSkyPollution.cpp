#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "corrections/LightPollution.h"
#include "corrections/PollutionLevel.h"
#include "corrections/PollutionMapping.h"
#include "parallel/ProcessPool.h"

// Kind 1: one bilinear surface per channel, fitted to the background levels of a 5 × 5 grid of blocks.
namespace veltone {

namespace {

using velimage::AccumulationImage;

// Above this many pixels the blocks are measured on a copy reduced 3 × 3.
constexpr int64_t ReduceAbovePixels = 0x19000000;

struct Block {
    int32_t x0, y0;
    double cx, cy;  // centre in full-resolution pixels
    uint64_t level[3];
    uint64_t mean;
};

// Each pixel the rounded mean of a 3 × 3 block.
void reduceByThree(const AccumulationImage& image, AccumulationImage& reduced)
{
    reduced.allocate(image.width() / 3, image.height() / 3, 3);
    const int32_t width = reduced.width();
    velthread::parallelRows(reduced.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* out = reduced.row(y);
            for (int32_t x = 0; x < width; ++x)
                for (int32_t c = 0; c < 3; ++c) {
                    uint64_t sum = 0;
                    for (int32_t j = 0; j < 3; ++j) {
                        const uint32_t* in = image.row(3 * y + j) + static_cast<size_t>(3 * x) * 3 + c;
                        sum += static_cast<uint64_t>(in[0]) + in[3] + in[6];
                    }
                    out[static_cast<size_t>(x) * 3 + c] = static_cast<uint32_t>((sum + 4) / 9);
                }
        }
    });
}

bool blockInSky(const PollutionRegion& region, double cx, double cy)
{
    const auto x = static_cast<int64_t>(cx), y = static_cast<int64_t>(cy);
    if (region.skyMask) {
        const velimage::Image16& mask = *region.skyMask;
        return x >= 0 && y >= 0 && x < mask.width() && y < mask.height() && mask.row(static_cast<int32_t>(y))[x] > 0;
    }
    if (region.hasStarBound)
        return region.onSkySide(x, y);
    return true;
}

// The blocks of the analysed image whose centre lies in the sky, with their levels.
std::vector<Block> measureBlocks(const AccumulationImage& analysed, int32_t scale, const PollutionOptions& options,
                                 const PollutionRegion& region)
{
    const int32_t width = analysed.width(), height = analysed.height();
    const int32_t blockWidth = width / 5, blockHeight = height / 5;
    std::vector<Block> blocks;
    if (blockWidth <= 0 || blockHeight <= 0)
        return blocks;
    for (int32_t y0 = 0; y0 + blockHeight <= height; y0 += blockHeight)
        for (int32_t x0 = 0; x0 + blockWidth <= width; x0 += blockWidth) {
            const double cx = static_cast<double>(scale) * (width / 10 + x0);
            const double cy = static_cast<double>(scale) * (y0 + blockHeight / 2);
            if (blockInSky(region, cx, cy))
                blocks.push_back({x0, y0, cx, cy, {0, 0, 0}, 0});
        }
    if (blocks.size() < 5)
        return blocks;
    const PercentileRule rule = PercentileRule::forStrength(options.strength, false);
    // Blocks are independent: each part measures its own with its own histograms.
    velthread::parallelRows(static_cast<int32_t>(blocks.size()), [&](int32_t begin, int32_t end) {
        std::vector<uint32_t> counts;
        for (int32_t i = begin; i < end; ++i) {
            Block& block = blocks[static_cast<size_t>(i)];
            blockLevels(analysed, block.x0, block.y0, blockWidth, blockHeight, rule, counts, block.level);
            block.mean = (block.level[0] + block.level[1] + block.level[2]) / 3;
        }
    });
    return blocks;
}

// Bright foreground (lit ground, a town) shows as a jump in the sorted block levels: cut there.
void dropBrightOutliers(std::vector<Block>& blocks)
{
    if (blocks.size() < 9)
        return;
    std::stable_sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.mean < b.mean; });
    const size_t n = blocks.size();
    for (size_t i = n < 14 ? 8 : n / 2 + 1; i < n; ++i)
        if (blocks[i].mean > 2 * blocks[i - 1].mean) {
            blocks.resize(i);
            return;
        }
}

// Least squares of level ≈ α·cx + β·cy + γ·cx·cy + δ through the normal equations; false when
// they are singular (every block on one row or column, say).
bool fitSurface(const std::vector<Block>& blocks, int32_t channel, std::array<double, 4>& coefficients)
{
    double a[4][5] = {};
    for (const Block& block : blocks) {
        const double row[4] = {block.cx, block.cy, block.cx * block.cy, 1.0};
        for (int32_t i = 0; i < 4; ++i) {
            for (int32_t j = 0; j < 4; ++j)
                a[i][j] += row[i] * row[j];
            a[i][4] += row[i] * static_cast<double>(block.level[channel]);
        }
    }
    // Solved with the columns scaled to unit diagonal, so that one threshold tells a singular
    // system whatever the frame size.
    double scale[4];
    for (int32_t i = 0; i < 4; ++i) {
        if (!(a[i][i] > 0.0))
            return false;
        scale[i] = std::sqrt(a[i][i]);
    }
    for (int32_t i = 0; i < 4; ++i) {
        for (int32_t j = 0; j < 4; ++j)
            a[i][j] /= scale[i] * scale[j];
        a[i][4] /= scale[i];
    }
    for (int32_t column = 0; column < 4; ++column) {
        int32_t pivot = column;
        for (int32_t r = column + 1; r < 4; ++r)
            if (std::fabs(a[r][column]) > std::fabs(a[pivot][column]))
                pivot = r;
        if (!(std::fabs(a[pivot][column]) > 1e-10))
            return false;
        std::swap(a[pivot], a[column]);
        for (int32_t r = 0; r < 4; ++r) {
            if (r == column)
                continue;
            const double f = a[r][column] / a[column][column];
            for (int32_t k = column; k < 5; ++k)
                a[r][k] -= f * a[column][k];
        }
    }
    for (int32_t i = 0; i < 4; ++i)
        coefficients[static_cast<size_t>(i)] = a[i][4] / a[i][i] / scale[i];
    return true;
}

}  // namespace

bool reduceDeepSkyPollution(AccumulationImage& image, const PollutionOptions& options, const PollutionRegion& region)
{
    if (image.empty() || image.channels() != 3)
        return false;
    const int64_t pixels = static_cast<int64_t>(image.width()) * image.height();
    std::vector<Block> blocks;
    if (pixels > ReduceAbovePixels) {
        AccumulationImage reduced;
        reduceByThree(image, reduced);
        blocks = measureBlocks(reduced, 3, options, region);
    } else {
        blocks = measureBlocks(image, 1, options, region);
    }
    if (blocks.size() < 5)
        return false;
    dropBrightOutliers(blocks);

    // The design is the same for every channel, so one singular fit means all are: then no
    // channel has a surface and the image is left as it is.
    std::array<std::array<double, 4>, 3> surface{};
    for (int32_t c = 0; c < 3; ++c)
        if (!fitSurface(blocks, c, surface[static_cast<size_t>(c)]))
            return false;

    const double target = pollutionTarget(options.colorSpace), white = 0xFFFFFF;
    const int32_t width = image.width();
    velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y)
            mapRow(
                image.row(y), width, target, white,
                [&surface, y](int32_t x0, int32_t n, double* background) {
                    for (int32_t x = x0; x < x0 + n; ++x, background += 3)
                        for (size_t c = 0; c < 3; ++c) {
                            const std::array<double, 4>& s = surface[c];
                            background[c] = s[0] * x + s[1] * y + s[2] * static_cast<double>(x) * y + s[3];
                        }
                },
                [](int32_t, int32_t, double*) {});
    });
    return true;
}

}  // namespace veltone
