#include "registration/StarPattern.h"

#include <algorithm>

#include "parallel/ProcessPool.h"

namespace velreg {
namespace {

// Stars that take part at all, as chosen stars or as neighbours only.
constexpr int32_t kMaxPool = 2048;

struct Neighbour {
    int64_t distance;
    int32_t index;
};

// Chooses stars brightest first, each pass letting every grid cell take one more, until the limit
// is reached; then fills the pool with the remaining stars, brightest first. Returns the chosen count.
int32_t chooseBalanced(const StarList& stars, int32_t width, int32_t height, int32_t limit, int32_t grid,
                       int32_t poolSize, StarList& pool)
{
    StarList sorted = stars;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Star& a, const Star& b) { return a.brightness > b.brightness; });
    grid = std::max(grid, 1);
    // A frame narrower than the grid still gets cells one pixel wide.
    const int32_t cellWidth = std::max(width / grid, 1);
    const int32_t cellHeight = std::max(height / grid, 1);
    std::vector<int32_t> cellCounts(static_cast<size_t>(grid) * grid, 0);
    std::vector<char> taken(sorted.size(), 0);
    int32_t chosen = 0;
    for (int32_t allowance = 2; chosen < limit; ++allowance) {
        int32_t takenThisPass = 0;
        for (size_t k = 0; k < sorted.size() && static_cast<int32_t>(pool.size()) < poolSize; ++k) {
            if (taken[k])
                continue;
            const int32_t cx = std::clamp(sorted[k].x / cellWidth, 0, grid - 1);
            const int32_t cy = std::clamp(sorted[k].y / cellHeight, 0, grid - 1);
            int32_t& count = cellCounts[static_cast<size_t>(cy) * grid + cx];
            if (count >= allowance)
                continue;
            ++count;
            taken[k] = 1;
            pool.push_back(sorted[k]);
            ++takenThisPass;
        }
        chosen += takenThisPass;
        if (takenThisPass == 0)
            break;  // nothing left to take
    }
    for (size_t k = 0; k < sorted.size() && static_cast<int32_t>(pool.size()) < poolSize; ++k)
        if (!taken[k])
            pool.push_back(sorted[k]);
    return chosen;
}

// Offsets to the nearest min(pool − 1, 20) other pool stars, nearest first.
void describe(const StarList& pool, int32_t index, std::vector<Neighbour>& scratch, StarDescriptor& descriptor)
{
    const Star& star = pool[index];
    scratch.clear();
    for (int32_t k = 0; k < static_cast<int32_t>(pool.size()); ++k) {
        if (k == index)
            continue;
        const int64_t dx = pool[k].x - star.x;
        const int64_t dy = pool[k].y - star.y;
        scratch.push_back({dx * dx + dy * dy, k});
    }
    const size_t count = std::min<size_t>(scratch.size(), StarDescriptor::kMaxNeighbours);
    std::partial_sort(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(count), scratch.end(),
                      [](const Neighbour& a, const Neighbour& b) { return a.distance < b.distance; });
    descriptor.star = star;
    descriptor.neighbourCount = static_cast<int32_t>(count);
    for (size_t k = 0; k < count; ++k) {
        const Star& neighbour = pool[scratch[k].index];
        descriptor.neighbours[k].dx = static_cast<int16_t>(neighbour.x - star.x);
        descriptor.neighbours[k].dy = static_cast<int16_t>(neighbour.y - star.y);
    }
}

}  // namespace

StarPattern buildStarPattern(const StarList& stars, int32_t width, int32_t height, int32_t starLimit,
                             int32_t gridSize)
{
    StarPattern pattern;
    pattern.width = width;
    pattern.height = height;
    pattern.offeredCount = static_cast<int32_t>(stars.size());
    const int32_t count = static_cast<int32_t>(stars.size());
    if (count < 3)
        return pattern;
    const int32_t poolSize = std::min(count, kMaxPool);
    StarList pool;
    pool.reserve(static_cast<size_t>(poolSize));
    int32_t chosen;
    if (starLimit < count) {
        chosen = chooseBalanced(stars, width, height, starLimit, gridSize, poolSize, pool);
    } else {
        pool.assign(stars.begin(), stars.begin() + poolSize);
        chosen = poolSize;
    }
    pattern.descriptors.resize(static_cast<size_t>(chosen));
    velthread::parallelRows(chosen, [&](int32_t begin, int32_t end) {
        std::vector<Neighbour> scratch;
        scratch.reserve(pool.size());
        for (int32_t k = begin; k < end; ++k)
            describe(pool, k, scratch, pattern.descriptors[k]);
    });
    return pattern;
}

}  // namespace velreg
