#include "skymask/HorizonRefinement.h"

#include <algorithm>
#include <cmath>

#include "parallel/ProcessPool.h"
#include "parallel/SideBySide.h"

namespace velmask {

namespace {

// Plane pixels that ground may grow into the coarse sky: a peak's tip that the coarse estimate
// lost reaches that far above the horizon it drew.
constexpr int32_t GroundReach = 10;
// Plane pixels that sky may grow into the coarse ground: the horizon's own blocks and the next,
// so that lit windows lower on the ground are not taken for sky.
constexpr int32_t SkyReach = 1;
// Radius (plane pixels) of the window that gives a horizon pixel its sky and ground levels; the
// horizon pixels of a LevelTile × LevelTile tile share those about its centre.
constexpr int32_t LevelRadius = 5;
constexpr int32_t LevelTile = 3;
// Sky and ground levels closer than this many times the fine plane's noise tell nothing apart.
constexpr float MinimumContrast = 6.0f;
constexpr int32_t NoSource = -1;
constexpr int64_t NoiseSamples = 8192;  // steps that measure the fine plane's noise

struct Levels {
    float sky = 0.0f;
    float ground = 0.0f;
    bool usable = false;
};

struct PlaneGrid {
    const std::vector<int8_t>& labels;
    int32_t w, h;

    int8_t at(int32_t x, int32_t y) const { return labels[static_cast<size_t>(y) * w + x]; }
    // Every pixel of its 3 × 3 neighbourhood inside the plane has its label.
    bool interior(int32_t x, int32_t y) const
    {
        const int8_t label = at(x, y);
        for (int32_t dy = -1; dy <= 1; ++dy)
            for (int32_t dx = -1; dx <= 1; ++dx) {
                const int32_t nx = x + dx, ny = y + dy;
                if (nx >= 0 && ny >= 0 && nx < w && ny < h && at(nx, ny) != label)
                    return false;
            }
        return true;
    }
};

// Median brightness of the sky and of the ground about a horizon pixel (the median, so that stars
// do not lift the sky's). The horizon's own blocks count: about a peak narrower than the window
// there is no other ground. `values` is scratch.
Levels levelsAround(const PlaneGrid& grid, const LuminancePlane& base, int32_t x, int32_t y, float noise,
                    std::vector<float> (&values)[2])
{
    values[0].clear();
    values[1].clear();
    for (int32_t ny = std::max(0, y - LevelRadius); ny <= std::min(grid.h - 1, y + LevelRadius); ++ny)
        for (int32_t nx = std::max(0, x - LevelRadius); nx <= std::min(grid.w - 1, x + LevelRadius); ++nx)
            values[grid.at(nx, ny) == SkyLabel ? 0 : 1].push_back(base.at(nx, ny));
    Levels levels;
    if (values[0].size() < 3 || values[1].size() < 3)
        return levels;
    const auto median = [](std::vector<float>& v) {
        const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
        std::nth_element(v.begin(), middle, v.end());
        return *middle;
    };
    levels.sky = median(values[0]);
    levels.ground = median(values[1]);
    levels.usable = std::fabs(levels.sky - levels.ground) >= MinimumContrast * noise;
    return levels;
}

// Noise of one fine value: the median step between neighbours over the sky, which stars hardly
// touch. Equal neighbours do not count: 8-bit frames turn the smooth sky into flat bands, and a
// noise of nothing would take their edges for the horizon.
float fineNoise(const PlaneGrid& grid, const LuminancePlane& fine, const std::vector<int32_t>& planeColumn,
                const std::vector<int32_t>& planeRow)
{
    // About NoiseSamples steps, spread over the plane.
    const int64_t pixels = static_cast<int64_t>(fine.width) * fine.height;
    const int32_t stride = static_cast<int32_t>(std::max<int64_t>(1, std::llround(std::sqrt(pixels / NoiseSamples))));
    std::vector<float> steps;
    for (int32_t y = 0; y < fine.height; y += stride)
        for (int32_t x = (y / stride) % stride; x + 1 < fine.width; x += stride)
            if (const float step = std::fabs(fine.at(x + 1, y) - fine.at(x, y));
                step > 1e-3f && grid.at(planeColumn[static_cast<size_t>(x)], planeRow[static_cast<size_t>(y)]) == SkyLabel)
                steps.push_back(step);
    if (steps.empty())
        return 0.0f;
    auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), middle, steps.end());
    return *middle * 1.0484f;  // median |difference of two| → σ of one
}

// For each plane pixel within reach of the horizon (GroundReach on the sky's side, SkyReach on
// the ground's), the horizon pixel nearest it (8-connected steps); NoSource elsewhere. Horizon
// pixels are those with a neighbour of the other label.
std::vector<int32_t> nearestHorizon(const PlaneGrid& grid, std::vector<int32_t>& horizon)
{
    const size_t count = static_cast<size_t>(grid.w) * grid.h;
    std::vector<int32_t> source(count, NoSource);
    std::vector<uint8_t> steps(count, 0);
    std::vector<int32_t> queue;
    // A row and those beside it all of one label (most of a landscape) hold no horizon pixel.
    const std::vector<int8_t> rowLabel = rowLabels(grid.labels, grid.w, grid.h);
    const auto plain = [&](int32_t y) {
        const int8_t label = rowLabel[static_cast<size_t>(y)];
        return label != 0 && (y == 0 || rowLabel[static_cast<size_t>(y - 1)] == label) &&
               (y + 1 == grid.h || rowLabel[static_cast<size_t>(y + 1)] == label);
    };
    for (int32_t y = 0; y < grid.h; ++y)
        for (int32_t x = 0; x < grid.w && !plain(y); ++x)
            if (!grid.interior(x, y)) {
                const int32_t at = y * grid.w + x;
                source[static_cast<size_t>(at)] = static_cast<int32_t>(horizon.size());
                horizon.push_back(at);
                queue.push_back(at);
            }
    for (size_t next = 0; next < queue.size(); ++next) {
        const int32_t at = queue[next];
        const int32_t x = at % grid.w, y = at / grid.w;
        const int8_t label = grid.labels[static_cast<size_t>(at)];
        const int32_t reach = label == SkyLabel ? GroundReach : SkyReach;
        if (steps[static_cast<size_t>(at)] >= reach)
            continue;
        for (int32_t dy = -1; dy <= 1; ++dy)
            for (int32_t dx = -1; dx <= 1; ++dx) {
                const int32_t nx = x + dx, ny = y + dy;
                if (nx < 0 || ny < 0 || nx >= grid.w || ny >= grid.h)
                    continue;
                const size_t n = static_cast<size_t>(ny) * grid.w + nx;
                if (source[n] != NoSource || grid.labels[n] != label)
                    continue;
                source[n] = source[static_cast<size_t>(at)];
                steps[n] = static_cast<uint8_t>(steps[static_cast<size_t>(at)] + 1);
                queue.push_back(static_cast<int32_t>(n));
            }
    }
    return source;
}

// For each fine column (or row), the plane column (or row) that holds its block's centre.
std::vector<int32_t> planeIndices(int32_t fineCount, int32_t fineFactor, int32_t planeFactor, int32_t planeCount)
{
    std::vector<int32_t> index(static_cast<size_t>(fineCount));
    for (int32_t i = 0; i < fineCount; ++i)
        index[static_cast<size_t>(i)] = std::min(planeCount - 1, (i * fineFactor + (fineFactor - 1) / 2) / planeFactor);
    return index;
}

// The fine pixels of each plane column (or row): where `index` (rising) holds it.
struct Span {
    int32_t first = 0;
    int32_t end = 0;
};

std::vector<Span> spansOf(const std::vector<int32_t>& index, int32_t planeCount)
{
    std::vector<Span> spans(static_cast<size_t>(planeCount));
    for (int32_t i = static_cast<int32_t>(index.size()) - 1; i >= 0; --i) {
        Span& span = spans[static_cast<size_t>(index[static_cast<size_t>(i)])];
        if (span.end == 0)
            span.end = i + 1;
        span.first = i;
    }
    return spans;
}

float meanAround(const LuminancePlane& fine, int32_t x, int32_t y)
{
    float sum = 0.0f;
    int32_t count = 0;
    for (int32_t ny = std::max(0, y - 1); ny <= std::min(fine.height - 1, y + 1); ++ny)
        for (int32_t nx = std::max(0, x - 1); nx <= std::min(fine.width - 1, x + 1); ++nx) {
            sum += fine.at(nx, ny);
            ++count;
        }
    return sum / static_cast<float>(count);
}

}  // namespace

std::vector<int8_t> rowLabels(const std::vector<int8_t>& labels, int32_t w, int32_t h)
{
    std::vector<int8_t> kinds(static_cast<size_t>(h));
    for (int32_t y = 0; y < h; ++y) {
        const int8_t* row = labels.data() + static_cast<size_t>(y) * w;
        kinds[static_cast<size_t>(y)] = std::all_of(row, row + w, [&](int8_t l) { return l == row[0]; }) ? row[0] : 0;
    }
    return kinds;
}

int32_t refinementFactor(int32_t planeFactor) { return std::max(1, planeFactor / 2); }

LuminancePlane fineLuminance(const velimage::Image16& frame, int32_t planeFactor)
{
    const int32_t factor = refinementFactor(planeFactor);
    return factor < planeFactor ? reduceLuminance(frame, factor, true) : LuminancePlane{};
}

std::vector<int8_t> refineHorizon(const std::vector<int8_t>& labels, const LuminancePlane& base,
                                  const LuminancePlane& fine)
{
    if (fine.empty() || base.empty() || fine.factor >= base.factor ||
        labels.size() != static_cast<size_t>(base.width) * base.height)
        return {};
    const PlaneGrid grid{labels, base.width, base.height};
    const int32_t fw = fine.width, fh = fine.height;
    const std::vector<int32_t> planeColumn = planeIndices(fw, fine.factor, base.factor, base.width);
    const std::vector<int32_t> planeRow = planeIndices(fh, fine.factor, base.factor, base.height);
    const std::vector<Span> columns = spansOf(planeColumn, base.width), rows = spansOf(planeRow, base.height);
    std::vector<int32_t> horizon, source;
    float noise = 0.0f;
    velthread::besideEachOther([&] { noise = fineNoise(grid, fine, planeColumn, planeRow); },
                               [&] { source = nearestHorizon(grid, horizon); });
    if (horizon.empty())
        return {};
    // The first horizon pixel of each tile measures the tile's levels, on the pool; the others
    // take them.
    const int32_t tilesAcross = (grid.w + LevelTile - 1) / LevelTile;
    std::vector<int32_t> tileLevels(static_cast<size_t>(tilesAcross) * ((grid.h + LevelTile - 1) / LevelTile), NoSource);
    const auto tileOf = [&](size_t k) -> int32_t& {
        const int32_t tx = horizon[k] % grid.w / LevelTile, ty = horizon[k] / grid.w / LevelTile;
        return tileLevels[static_cast<size_t>(ty) * tilesAcross + tx];
    };
    std::vector<int32_t> measuring;
    for (size_t k = 0; k < horizon.size(); ++k)
        if (int32_t& first = tileOf(k); first == NoSource) {
            first = static_cast<int32_t>(k);
            measuring.push_back(first);
        }
    std::vector<Levels> levels(horizon.size());
    velthread::parallelRows(static_cast<int32_t>(measuring.size()), [&](int32_t begin, int32_t end) {
        std::vector<float> scratch[2];
        for (int32_t i = begin; i < end; ++i) {
            const int32_t k = measuring[static_cast<size_t>(i)];
            const int32_t tx = horizon[static_cast<size_t>(k)] % grid.w / LevelTile;
            const int32_t ty = horizon[static_cast<size_t>(k)] / grid.w / LevelTile;
            const int32_t cx = std::min(grid.w - 1, tx * LevelTile + LevelTile / 2);
            const int32_t cy = std::min(grid.h - 1, ty * LevelTile + LevelTile / 2);
            levels[static_cast<size_t>(k)] = levelsAround(grid, base, cx, cy, noise, scratch);
        }
    });
    for (size_t k = 0; k < horizon.size(); ++k)
        levels[k] = levels[static_cast<size_t>(tileOf(k))];

    // Each fine row its plane row's labels, block by block; the fine rows of one plane row alike.
    std::vector<int8_t> refined(static_cast<size_t>(fw) * fh);
    velthread::parallelRows(fh, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            int8_t* out = refined.data() + static_cast<size_t>(y) * fw;
            if (y > begin && planeRow[static_cast<size_t>(y)] == planeRow[static_cast<size_t>(y - 1)]) {
                std::copy_n(out - fw, fw, out);
                continue;
            }
            for (int32_t u = 0; u < grid.w; ++u) {
                const Span& span = columns[static_cast<size_t>(u)];
                std::fill(out + span.first, out + span.end, grid.at(u, planeRow[static_cast<size_t>(y)]));
            }
        }
    });
    const auto planeOf = [&](int32_t x, int32_t y) {
        return static_cast<size_t>(planeRow[static_cast<size_t>(y)]) * grid.w + planeColumn[static_cast<size_t>(x)];
    };
    // Grows the label `from` out of the fine pixels of its horizon blocks, through fine pixels
    // that the coarse estimate gave the other label, within reach, that look like `from`.
    const auto grow = [&](int8_t from) {
        std::vector<int32_t> queue;
        for (const int32_t p : horizon) {
            if (labels[static_cast<size_t>(p)] != from)
                continue;
            const Span& across = columns[static_cast<size_t>(p % grid.w)];
            const Span& down = rows[static_cast<size_t>(p / grid.w)];
            for (int32_t y = down.first; y < down.end; ++y)
                for (int32_t x = across.first; x < across.end; ++x)
                    if (refined[static_cast<size_t>(y) * fw + x] == from)
                        queue.push_back(y * fw + x);
        }
        for (size_t next = 0; next < queue.size(); ++next) {
            const int32_t x = queue[next] % fw, y = queue[next] / fw;
            const int32_t around[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
            for (const auto& n : around) {
                if (n[0] < 0 || n[1] < 0 || n[0] >= fw || n[1] >= fh)
                    continue;
                const size_t at = static_cast<size_t>(n[1]) * fw + n[0];
                const size_t p = planeOf(n[0], n[1]);
                if (refined[at] == from || labels[p] == from || source[p] == NoSource)
                    continue;
                const Levels& l = levels[static_cast<size_t>(source[p])];
                if (!l.usable)
                    continue;
                const float middle = 0.5f * (l.sky + l.ground), value = meanAround(fine, n[0], n[1]);
                const bool brighterSide = (from == SkyLabel ? l.sky : l.ground) > middle;
                if ((value > middle) != brighterSide)
                    continue;
                refined[at] = from;
                queue.push_back(static_cast<int32_t>(at));
            }
        }
    };
    grow(GroundLabel);
    grow(SkyLabel);
    return refined;
}

}  // namespace velmask
