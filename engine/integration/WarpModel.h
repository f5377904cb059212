#pragma once

#include <cmath>
#include <cstdint>

namespace velstack {

// Borrowed view of a lens-displacement grid: rows × columns nodes of (dx, dy) pixels, row-major;
// node (column j, row i) lies at (j·cellWidth, i·cellHeight) in the target geometry.
struct DisplacementGrid {
    const float* nodes = nullptr;
    int32_t rows = 0;
    int32_t columns = 0;
    float cellWidth = 0.0f;
    float cellHeight = 0.0f;

    bool valid() const { return nodes && rows >= 1 && columns >= 1 && cellWidth > 0.0f && cellHeight > 0.0f; }
};

// Everything a warp needs to carry a target (reference) pixel into the source frame: the six
// coefficients of the inverse alignment (source x = a·x + b·y + c, source y = d·x + e·y + f), the
// distortion mode (0 none, 1 radial about the centre, 2 displacement grid), the radial
// coefficients and centre, and the grid. A plain value, read-only while a warp runs.
struct WarpModel {
    float a = 1.0f, b = 0.0f, c = 0.0f;
    float d = 0.0f, e = 1.0f, f = 0.0f;
    int32_t mode = 0;
    float k1 = 0.0f, k2 = 0.0f;
    float cx = 0.0f, cy = 0.0f;
    DisplacementGrid grid;

    // Sets a..f from the inverse of a row-major 3 × 3 frame-to-reference transform. False, with
    // the coefficients untouched, when a pivot falls below 1e-7 (singular).
    bool setFromForward(const float forward[9]);
    // Centre of the radial model for a target of this size.
    void setCentre(int32_t width, int32_t height)
    {
        cx = static_cast<float>(width) * 0.5f;
        cy = static_cast<float>(height) * 0.5f;
    }
    // Whether the mode is known and its data present.
    bool usable() const { return mode == 0 || mode == 1 || (mode == 2 && grid.valid()); }
};

// Displacement at (x, y), bilinear between the four surrounding nodes. Outside the grid the
// node indices are clamped one by one while the weights keep the unclamped cell.
inline void lookupDisplacement(const DisplacementGrid& grid, float x, float y, float& dx, float& dy)
{
    const float m = grid.cellWidth, o = grid.cellHeight;
    // Far-away positions (or NaN) would overflow the integer cell; they sample nothing anyway.
    const float limit = 1e9f;
    const float qx = x / m, qy = y / o;
    const int32_t t = static_cast<int32_t>(qx > -limit && qx < limit ? qx : (qx >= limit ? limit : -limit));
    const int32_t u = static_cast<int32_t>(qy > -limit && qy < limit ? qy : (qy >= limit ? limit : -limit));
    int32_t t0 = t, t1 = t + 1, u0 = u, u1 = u + 1;
    if (!(t >= 0 && t + 1 < grid.columns && u >= 0 && u + 1 < grid.rows)) {
        auto clampTo = [](int32_t v, int32_t last) { return v < 0 ? 0 : (v > last ? last : v); };
        t0 = clampTo(t0, grid.columns - 1);
        t1 = clampTo(t1, grid.columns - 1);
        u0 = clampTo(u0, grid.rows - 1);
        u1 = clampTo(u1, grid.rows - 1);
    }
    const float fx = x - static_cast<float>(t) * m, fy = y - static_cast<float>(u) * o;
    const float gx = static_cast<float>(t + 1) * m - x, gy = static_cast<float>(u + 1) * o - y;
    const float* n00 = grid.nodes + (static_cast<size_t>(u0) * grid.columns + t0) * 2;
    const float* n10 = grid.nodes + (static_cast<size_t>(u0) * grid.columns + t1) * 2;
    const float* n01 = grid.nodes + (static_cast<size_t>(u1) * grid.columns + t0) * 2;
    const float* n11 = grid.nodes + (static_cast<size_t>(u1) * grid.columns + t1) * 2;
    const float area = m * o;
    dx = (gx * gy * n00[0] + fx * gy * n10[0] + gx * fy * n01[0] + fx * fy * n11[0]) / area;
    dy = (gx * gy * n00[1] + fx * gy * n10[1] + gx * fy * n01[1] + fx * fy * n11[1]) / area;
}

// Source position of target pixel (x, y) in mode 0 or 2 (the affine part only).
inline void mapAffine(const WarpModel& w, float x, float y, float& sx, float& sy)
{
    sx = w.a * x + w.b * y + w.c;
    sy = w.d * x + w.e * y + w.f;
}

// Source position of target pixel (x, y) under the radial model: undistort about the centre,
// apply the centre-relative affine, distort again.
inline void mapRadial(const WarpModel& w, float x, float y, float& sx, float& sy)
{
    const float u = x - w.cx, v = y - w.cy;
    const float r2 = u * u + v * v;
    const float g = w.k2 * r2 * r2 + w.k1 * r2 + 1.0f;
    const float uu = u / g, vv = v / g;
    const float p = w.a * uu + w.b * vv + w.c, q = w.d * uu + w.e * vv + w.f;
    const float s2 = p * p + q * q;
    const float g2 = w.k2 * s2 * s2 + w.k1 * s2 + 1.0f;
    sx = g2 * p + w.cx;
    sy = g2 * q + w.cy;
}

// Source position of target pixel (x, y) for any mode.
inline void mapToSource(const WarpModel& w, float x, float y, float& sx, float& sy)
{
    if (w.mode == 1) {
        mapRadial(w, x, y, sx, sy);
        return;
    }
    mapAffine(w, x, y, sx, sy);
    if (w.mode == 2) {
        float dx, dy;
        lookupDisplacement(w.grid, sx, sy, dx, dy);
        sx += dx;
        sy += dy;
    }
}

}  // namespace velstack
