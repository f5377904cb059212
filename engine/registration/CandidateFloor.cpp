#include "registration/CandidateFloor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

#include "registration/SquareRatio.h"

namespace velreg {
namespace {

using Histogram = std::array<uint32_t, 256>;

int32_t medianOf(const Histogram& histogram, uint32_t count)
{
    uint32_t seen = 0;
    for (int32_t v = 0; v < 256; ++v)
        if ((seen += histogram[static_cast<size_t>(v)]) > count / 2)
            return v;
    return 255;
}

struct FrameSky {
    int32_t median = 0;
    int32_t noise = 1;
};

// The whole frame's sky from a sparse sample: its median, and its noise as for a normal sky, 1.4826
// times the median absolute deviation, at least one level.
FrameSky frameSky(const PlaneBuffer<uint8_t>& luminance, int32_t width, int32_t height)
{
    constexpr int32_t kStep = 32;
    Histogram levels{};
    uint32_t count = 0;
    for (int32_t y = kStep / 2; y < height; y += kStep)
        for (int32_t x = kStep / 2; x < width; x += kStep, ++count)
            ++levels[luminance[static_cast<size_t>(y) * width + x]];
    FrameSky sky;
    if (count == 0)
        return sky;
    sky.median = medianOf(levels, count);
    Histogram deviations{};
    for (int32_t v = 0; v < 256; ++v)
        deviations[static_cast<size_t>(std::abs(v - sky.median))] += levels[static_cast<size_t>(v)];
    sky.noise = std::max<int32_t>(1, (1483 * medianOf(deviations, count) + 999) / 1000);
    return sky;
}

// Sky tiles of kTile pixels, each the median of a sample every kTileStep pixels.
constexpr int32_t kTile = 256;
constexpr int32_t kTileStep = 16;

struct TileGrid {
    int32_t columns = 0;
    int32_t rows = 0;
    std::vector<int32_t> levels;

    int32_t at(int32_t column, int32_t row) const
    {
        column = std::clamp(column, 0, columns - 1);
        row = std::clamp(row, 0, rows - 1);
        return levels[static_cast<size_t>(row) * columns + column];
    }
};

TileGrid tileMedians(const PlaneBuffer<uint8_t>& luminance, int32_t width, int32_t height)
{
    TileGrid grid;
    grid.columns = (width + kTile - 1) / kTile;
    grid.rows = (height + kTile - 1) / kTile;
    grid.levels.resize(static_cast<size_t>(grid.columns) * grid.rows);
    for (int32_t row = 0; row < grid.rows; ++row)
        for (int32_t column = 0; column < grid.columns; ++column) {
            Histogram levels{};
            uint32_t count = 0;
            for (int32_t y = row * kTile + kTileStep / 2; y < std::min((row + 1) * kTile, height); y += kTileStep)
                for (int32_t x = column * kTile + kTileStep / 2; x < std::min((column + 1) * kTile, width);
                     x += kTileStep, ++count)
                    ++levels[luminance[static_cast<size_t>(y) * width + x]];
            grid.levels[static_cast<size_t>(row) * grid.columns + column] = count ? medianOf(levels, count) : 0;
        }
    return grid;
}

// Each tile's level replaced by the median of its 3 × 3 neighbourhood, so that a tile lifted by a
// dense star field or a bright object does not lift the floor around it; a steady gradient passes.
TileGrid smoothed(const TileGrid& grid)
{
    TileGrid result = grid;
    for (int32_t row = 0; row < grid.rows; ++row)
        for (int32_t column = 0; column < grid.columns; ++column) {
            std::array<int32_t, 9> around;
            for (int32_t k = 0; k < 9; ++k)
                around[static_cast<size_t>(k)] = grid.at(column + k % 3 - 1, row + k / 3 - 1);
            std::nth_element(around.begin(), around.begin() + 4, around.end());
            result.levels[static_cast<size_t>(row) * grid.columns + column] = around[4];
        }
    return result;
}

// The level at (x, y), bilinear between the tile centres.
float levelAt(const TileGrid& grid, float x, float y)
{
    const float u = std::clamp(x / kTile - 0.5f, 0.0f, static_cast<float>(grid.columns - 1));
    const float v = std::clamp(y / kTile - 0.5f, 0.0f, static_cast<float>(grid.rows - 1));
    const int32_t c = static_cast<int32_t>(u), r = static_cast<int32_t>(v);
    const float fu = u - static_cast<float>(c), fv = v - static_cast<float>(r);
    const float top = static_cast<float>(grid.at(c, r)) * (1 - fu) + static_cast<float>(grid.at(c + 1, r)) * fu;
    const float bottom =
        static_cast<float>(grid.at(c, r + 1)) * (1 - fu) + static_cast<float>(grid.at(c + 1, r + 1)) * fu;
    return top * (1 - fv) + bottom * fv;
}

void resizeFloors(int32_t width, int32_t height, CandidateFloors& floors)
{
    floors.wordsPerRow = (std::max(width, 0) + 63) / 64;
    const int32_t blocks = (std::max(height, 0) + kFloorBlockRows - 1) / kFloorBlockRows;
    floors.words.assign(static_cast<size_t>(floors.wordsPerRow) * blocks, kMinStarLuminance);
}

}  // namespace

void fillAbsoluteFloors(int32_t width, int32_t height, CandidateFloors& floors)
{
    resizeFloors(width, height, floors);
}

// A gained frame's sky sits well above kMinStarLuminance, so the absolute floor would let every sky
// pixel brighter than its ring be a candidate (half the sky, and its noise found as stars). The floor
// there is the sky plus its noise. The sky is not flat (glow towards the horizon, a town's light), so
// its level is taken per tile; where it lies below the frame's median (a dark sky, the ground) the
// floor stays the frame's median plus the noise. The noise is the spread of the whole frame, which
// includes its gradients: a star must outshine its ring by the extraction's ratio, far more than that.
// Dropping the dimmer candidates changes no brighter one's fate: the suppression lets a pixel lose
// only to a brighter or equally bright neighbour (one as bright may lie just over a change of floor).
void fillLocalSkyFloors(const PlaneBuffer<uint8_t>& luminance, int32_t width, int32_t height,
                        CandidateFloors& floors)
{
    resizeFloors(width, height, floors);
    if (width <= 0 || height <= 0)
        return;
    const FrameSky sky = frameSky(luminance, width, height);
    const TileGrid grid = smoothed(tileMedians(luminance, width, height));
    const int32_t frameFloor = sky.median + sky.noise;
    const size_t blocks = floors.words.size() / static_cast<size_t>(floors.wordsPerRow);
    for (size_t block = 0; block < blocks; ++block) {
        const float y = static_cast<float>(block * kFloorBlockRows) + kFloorBlockRows / 2.0f;
        uint8_t* row = floors.words.data() + block * floors.wordsPerRow;
        for (int32_t word = 0; word < floors.wordsPerRow; ++word) {
            const float x = static_cast<float>(word * 64) + 32.0f;
            const int32_t local = static_cast<int32_t>(std::lround(levelAt(grid, x, y))) + sky.noise;
            row[word] = static_cast<uint8_t>(std::clamp<int32_t>(std::max(local, frameFloor), kMinStarLuminance, 255));
        }
    }
}

}  // namespace velreg
