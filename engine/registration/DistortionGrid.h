#pragma once

#include <cstdint>
#include <vector>

#include "parallel/Job.h"
#include "registration/Alignment.h"
#include "registration/Matrix.h"
#include "registration/Star.h"

namespace velreg {

constexpr int32_t kDistortionGridNodes = 257;

struct Displacement {
    float dx = 0.0f;
    float dy = 0.0f;
};

// Residual displacement of frame positions after the affine part of the alignment, sampled on a grid
// of nodes spaced cellWidth × cellHeight from (0, 0) over 1.01 times the frame. Node (column j,
// row i) is nodes[i·columns + j]. Owned by the caller for one frame.
struct DistortionGrid {
    std::vector<Displacement> nodes;
    int32_t rows = 0;
    int32_t columns = 0;
    float extentWidth = 0.0f;
    float extentHeight = 0.0f;
    float cellWidth = 0.0f;
    float cellHeight = 0.0f;

    // rows × columns zeroed nodes (the estimator keeps the caller's size; 257 × 257 by default).
    void reset(int32_t rowCount = kDistortionGridNodes, int32_t columnCount = kDistortionGridNodes);
    Displacement& node(int32_t column, int32_t row) { return nodes[static_cast<size_t>(row) * columns + column]; }
    const Displacement& node(int32_t column, int32_t row) const
    {
        return nodes[static_cast<size_t>(row) * columns + column];
    }
    // Bilinear displacement at frame position (x, y); indices outside the grid are clamped.
    Displacement lookup(float x, float y) const;
};

// Frame star (x, y) as the affine predicts it, and the star's true offset (dx, dy) from there.
struct DisplacementSample {
    float x = 0.0f;
    float y = 0.0f;
    float dx = 0.0f;
    float dy = 0.0f;
};

// Fills a band of grid rows by local least-squares surfaces through the nearest samples.
class CalComplexDistoJob : public velthread::Job {
public:
    CalComplexDistoJob(DistortionGrid& grid, int32_t firstRow, int32_t endRow, std::vector<DisplacementSample> samples);
    void run() override;

private:
    DistortionGrid& m_grid;
    int32_t m_firstRow;
    int32_t m_endRow;
    float m_cellWidth;
    float m_cellHeight;
    std::vector<DisplacementSample> m_samples;
};

// Fills `grid` (sized by the caller, at least 2 × 2; reset() makes 257 × 257) from the samples and
// smooths it twice. Runs one CalComplexDistoJob per pool thread.
void fillDistortionGrid(const std::vector<DisplacementSample>& samples, int32_t width, int32_t height,
                        DistortionGrid& grid);

// Match, fit, reject outliers and copy identities into `frame`, then interpolate the residual
// displacements onto the grid. `transform` receives the affine fit (frame to reference). False for
// too few pairs, a singular fit or a grid smaller than 2 × 2; `grid` is then unchanged.
// A warp maps a reference pixel q to the frame as p = transform⁻¹·q, then p + grid.lookup(p).
bool estimateDistortionGrid(StarPattern& frame, const StarPattern& reference, MatrixF& transform,
                            DistortionGrid& grid, AlignStats* stats = nullptr);

}  // namespace velreg
