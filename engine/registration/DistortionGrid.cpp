#include "registration/DistortionGrid.h"

#include <algorithm>
#include <cmath>

#include "parallel/JobBatch.h"
#include "parallel/ThreadPool.h"
#include "registration/AffineFit.h"
#include "registration/Alignment.h"

namespace velreg {
namespace {

constexpr float kExtentFactor = 1.01f;
// Fewest samples a node's fit uses, and the fit size up to which the bilinear surface suffices.
constexpr int32_t kMinFitIndex = 9;
constexpr int32_t kMaxBilinearIndex = 20;
// Pivots this small relative to the normal matrix's largest diagonal mean too few independent samples.
constexpr double kRelativePivot = 1e-12;

// A sample's rank key: squared distance to the node and its index in the job's samples.
struct RankedSample {
    double distance;
    int32_t index;
};

// Monomials of the local surface, in node-centred coordinates scaled to about unit size. The bilinear
// and biquadratic spaces are closed under shifts and scaling, so this is the same surface as one fitted
// in frame coordinates, without the cancellation of x²y² terms of order 1e15.
template <int32_t Terms>
void fillTerms(double x, double y, double* row)
{
    if constexpr (Terms == 4) {
        row[0] = x, row[1] = y, row[2] = x * y, row[3] = 1.0;
    } else {
        row[0] = x * x * y * y, row[1] = x * x * y, row[2] = x * y * y;
        row[3] = x * x, row[4] = y * y, row[5] = x * y;
        row[6] = x, row[7] = y, row[8] = 1.0;
    }
}

// Normal equations of one node's fit, reused from node to node.
struct LocalFit {
    velreg::MatrixD normal;
    velreg::MatrixD right;
    velreg::MatrixD solution;
};

// Least-squares value at the node of dx and dy over the first `count` ranked samples; zero
// displacement when they do not determine the surface.
template <int32_t Terms>
Displacement fitNode(const std::vector<DisplacementSample>& samples, const std::vector<RankedSample>& ranked,
                     int32_t count, double nodeX, double nodeY, double inverseScale, LocalFit& fit)
{
    double normal[Terms][Terms] = {};
    double right[Terms][2] = {};
    double row[Terms];
    for (int32_t k = 0; k < count; ++k) {
        const DisplacementSample& s = samples[static_cast<size_t>(ranked[k].index)];
        fillTerms<Terms>((s.x - nodeX) * inverseScale, (s.y - nodeY) * inverseScale, row);
        for (int32_t i = 0; i < Terms; ++i) {
            for (int32_t j = i; j < Terms; ++j)
                normal[i][j] += row[i] * row[j];
            right[i][0] += row[i] * s.dx;
            right[i][1] += row[i] * s.dy;
        }
    }
    fit.normal.resize(Terms, Terms);
    fit.right.resize(Terms, 2);
    double largest = 0;
    for (int32_t i = 0; i < Terms; ++i) {
        for (int32_t j = i; j < Terms; ++j)
            fit.normal.at(i, j) = fit.normal.at(j, i) = normal[i][j];
        fit.right.at(i, 0) = right[i][0];
        fit.right.at(i, 1) = right[i][1];
        largest = std::max(largest, std::fabs(normal[i][i]));
    }
    if (!(largest > 0) || !solve(fit.normal, fit.right, fit.solution, largest * kRelativePivot))
        return Displacement{};
    // Every term but the constant vanishes at the node.
    const double dx = fit.solution.at(Terms - 1, 0);
    const double dy = fit.solution.at(Terms - 1, 1);
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return Displacement{};
    return Displacement{static_cast<float>(dx), static_cast<float>(dy)};
}

// Index of the sample at which the last of the four sides around the node was first seen.
int32_t sidesIndex(const std::vector<DisplacementSample>& samples, const std::vector<RankedSample>& ranked, float nodeX,
                   float nodeY, bool& allSides)
{
    bool above = false, below = false, left = false, right = false;
    int32_t lastNew = 0;
    for (int32_t k = 0; k < static_cast<int32_t>(ranked.size()); ++k) {
        const DisplacementSample& s = samples[static_cast<size_t>(ranked[k].index)];
        bool fresh = false;
        if (!above && s.y <= nodeY)
            above = fresh = true;
        if (!below && s.y >= nodeY)
            below = fresh = true;
        if (!left && s.x <= nodeX)
            left = fresh = true;
        if (!right && s.x >= nodeX)
            right = fresh = true;
        if (fresh)
            lastNew = k;
        if (above && below && left && right) {
            allSides = true;
            return k;
        }
    }
    allSides = false;
    return lastNew;
}

void smooth(DistortionGrid& grid)
{
    std::vector<Displacement> next(grid.nodes.size());
    const int32_t rows = grid.rows, columns = grid.columns;
    velthread::parallelRows(rows, [&](int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            const int32_t up = std::max(i - 1, 0), down = std::min(i + 1, rows - 1);
            for (int32_t j = 0; j < columns; ++j) {
                const int32_t l = std::max(j - 1, 0), r = std::min(j + 1, columns - 1);
                const Displacement& c = grid.node(j, i);
                const Displacement edges[4] = {grid.node(l, i), grid.node(r, i), grid.node(j, up), grid.node(j, down)};
                const Displacement corners[4] = {grid.node(l, up), grid.node(r, up), grid.node(l, down),
                                                 grid.node(r, down)};
                Displacement sum{0.25f * c.dx, 0.25f * c.dy};
                for (const Displacement& e : edges)
                    sum.dx += 0.125f * e.dx, sum.dy += 0.125f * e.dy;
                for (const Displacement& e : corners)
                    sum.dx += 0.0625f * e.dx, sum.dy += 0.0625f * e.dy;
                next[static_cast<size_t>(i) * columns + j] = sum;
            }
        }
    });
    grid.nodes.swap(next);
}

}  // namespace

void DistortionGrid::reset(int32_t rowCount, int32_t columnCount)
{
    rows = std::max(rowCount, 0);
    columns = std::max(columnCount, 0);
    nodes.assign(static_cast<size_t>(rows) * columns, Displacement{});
    extentWidth = extentHeight = cellWidth = cellHeight = 0.0f;
}

Displacement DistortionGrid::lookup(float x, float y) const
{
    if (rows < 1 || columns < 1 || !(cellWidth > 0.0f) || !(cellHeight > 0.0f))
        return Displacement{};
    const float qx = x / cellWidth, qy = y / cellHeight;
    // Far outside the grid every index clamps to the border; keep the integer conversion defined.
    const int32_t t = static_cast<int32_t>(std::clamp(qx, -2.0f, static_cast<float>(columns) + 1.0f));
    const int32_t u = static_cast<int32_t>(std::clamp(qy, -2.0f, static_cast<float>(rows) + 1.0f));
    const int32_t t0 = std::clamp(t, 0, columns - 1), t1 = std::clamp(t + 1, 0, columns - 1);
    const int32_t u0 = std::clamp(u, 0, rows - 1), u1 = std::clamp(u + 1, 0, rows - 1);
    const float fx = x - t * cellWidth, fy = y - u * cellHeight;
    const float gx = (t + 1) * cellWidth - x, gy = (u + 1) * cellHeight - y;
    const float area = cellWidth * cellHeight;
    const Displacement &n00 = node(t0, u0), &n10 = node(t1, u0), &n01 = node(t0, u1), &n11 = node(t1, u1);
    return Displacement{(gx * gy * n00.dx + fx * gy * n10.dx + gx * fy * n01.dx + fx * fy * n11.dx) / area,
                        (gx * gy * n00.dy + fx * gy * n10.dy + gx * fy * n01.dy + fx * fy * n11.dy) / area};
}

CalComplexDistoJob::CalComplexDistoJob(DistortionGrid& grid, int32_t firstRow, int32_t endRow,
                                       std::vector<DisplacementSample> samples)
    : m_grid(grid),
      m_firstRow(firstRow),
      m_endRow(endRow),
      m_cellWidth(grid.cellWidth),
      m_cellHeight(grid.cellHeight),
      m_samples(std::move(samples))
{
}

void CalComplexDistoJob::run()
{
    const int32_t count = static_cast<int32_t>(m_samples.size());
    if (count == 0 || m_firstRow >= m_endRow)
        return;
    const double rho2 = std::pow(m_grid.extentWidth / 3.0, 2) + std::pow(m_grid.extentHeight / 3.0, 2);
    const double inverseScale = 1.0 / std::max(std::sqrt(rho2), 1.0);
    std::vector<RankedSample> ranked(m_samples.size());
    for (size_t k = 0; k < m_samples.size(); ++k)
        ranked[k].index = static_cast<int32_t>(k);
    LocalFit fit;
    for (int32_t i = m_firstRow; i < m_endRow; ++i) {
        for (int32_t j = 0; j < m_grid.columns; ++j) {
            const float nodeX = j * m_cellWidth, nodeY = i * m_cellHeight;
            for (RankedSample& r : ranked) {
                const DisplacementSample& s = m_samples[static_cast<size_t>(r.index)];
                const double dx = s.x - nodeX, dy = s.y - nodeY;
                r.distance = dx * dx + dy * dy;
            }
            // Neighbouring nodes rank the samples almost alike: insertion sort from the last order is
            // close to linear.
            for (size_t k = 1; k < ranked.size(); ++k) {
                const RankedSample moving = ranked[k];
                size_t p = k;
                for (; p > 0 && ranked[p - 1].distance > moving.distance; --p)
                    ranked[p] = ranked[p - 1];
                ranked[p] = moving;
            }
            bool allSides = false;
            const int32_t f = sidesIndex(m_samples, ranked, nodeX, nodeY, allSides);
            const double limit = allSides ? rho2 : 2.0 * rho2;
            int32_t g = kMinFitIndex;
            if (count > 2 * kMinFitIndex)
                while (2 * g < count && ranked[g].distance <= limit)
                    ++g;
            const int32_t h = std::min(count - 1, std::max(f, g - 1));
            m_grid.node(j, i) = h > kMaxBilinearIndex
                                    ? fitNode<9>(m_samples, ranked, h + 1, nodeX, nodeY, inverseScale, fit)
                                    : fitNode<4>(m_samples, ranked, h + 1, nodeX, nodeY, inverseScale, fit);
        }
    }
}

void fillDistortionGrid(const std::vector<DisplacementSample>& samples, int32_t width, int32_t height,
                        DistortionGrid& grid)
{
    grid.extentWidth = kExtentFactor * static_cast<float>(width);
    grid.extentHeight = kExtentFactor * static_cast<float>(height);
    grid.cellWidth = grid.extentWidth / static_cast<float>(grid.columns - 1);
    grid.cellHeight = grid.extentHeight / static_cast<float>(grid.rows - 1);
    const int32_t parts = velthread::partCount();
    std::vector<CalComplexDistoJob> jobs;
    jobs.reserve(static_cast<size_t>(parts));
    for (int32_t part = 0; part < parts; ++part) {
        int32_t first, end;
        velthread::bandOf(part, parts, grid.rows, first, end);
        jobs.emplace_back(grid, first, end, samples);
    }
    velthread::runJobBatch(jobs);
    smooth(grid);
    smooth(grid);
}

bool estimateDistortionGrid(StarPattern& frame, const StarPattern& reference, MatrixF& transform,
                            DistortionGrid& grid, AlignStats* stats)
{
    if (grid.rows == 0 && grid.columns == 0)
        grid.reset();
    if (grid.rows < 2 || grid.columns < 2 || grid.nodes.size() != static_cast<size_t>(grid.rows) * grid.columns)
        return false;
    StarPairList pairs;
    MatrixF affine;
    if (!matchAndFit(frame, reference, pairs, affine, stats, true))
        return false;
    copyIdentities(pairs, frame, reference);
    MatrixF inverse;
    if (!invert(affine, inverse)) {
        if (stats)
            stats->failure = AlignFailure::FitFailed;
        return false;
    }
    std::vector<DisplacementSample> samples;
    samples.reserve(pairs.size());
    for (const PointPair& pair : pointPairsOf(pairs, frame, reference)) {
        DisplacementSample s;
        applyAffine(inverse, pair.secondX, pair.secondY, s.x, s.y);
        s.dx = pair.firstX - s.x;
        s.dy = pair.firstY - s.y;
        samples.push_back(s);
    }
    fillDistortionGrid(samples, frame.width, frame.height, grid);
    transform = std::move(affine);
    return true;
}

}  // namespace velreg
