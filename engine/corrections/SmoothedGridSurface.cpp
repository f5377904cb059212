#include "corrections/SmoothedGridSurface.h"

#include <algorithm>
#include <cmath>

#include "parallel/VectorClones.h"

namespace veltone {

namespace {

// One box mean of radius r along an axis of `length` positions, cut at both ends, of values that
// are zero outside [begin, end); returns the new non-zero span.
void boxMeanAlong(std::vector<double>& values, int32_t& begin, int32_t& end, int32_t r)
{
    const auto length = static_cast<int32_t>(values.size());
    const int32_t newBegin = std::max(0, begin - r), newEnd = std::min(length, end + r);
    // Running sums from the start of the span: exact zeros outside it stay exact.
    std::vector<double> sums(static_cast<size_t>(newEnd - newBegin) + 1, 0.0);
    for (int32_t p = newBegin; p < newEnd; ++p)
        sums[static_cast<size_t>(p - newBegin) + 1] = sums[static_cast<size_t>(p - newBegin)] + values[static_cast<size_t>(p)];
    const auto sumBefore = [&](int32_t p) { return sums[static_cast<size_t>(std::clamp(p, newBegin, newEnd) - newBegin)]; };
    for (int32_t p = newBegin; p < newEnd; ++p) {
        const int32_t first = std::max(0, p - r), last = std::min(length - 1, p + r);
        values[static_cast<size_t>(p)] = (sumBefore(last + 1) - sumBefore(first)) / (last - first + 1);
    }
    begin = newBegin;
    end = newEnd;
}

// out[p] += weight · profile[p] over a span. Every clone computes each element alike (no fused
// multiply-add in this file, no sum across lanes), so the result does not depend on the machine.
// out_c[p] += w_c · profile[p] over a span for three rows, each profile value loaded once. Every
// clone computes each element alike (no fused multiply-add in this file, no sum across lanes), so
// the result does not depend on the machine.
VELOSTAR_VECTOR_CLONES
void addScaled3(double* __restrict out0, double* __restrict out1, double* __restrict out2,
                const double* __restrict profile, int32_t count, double w0, double w1, double w2)
{
    for (int32_t p = 0; p < count; ++p) {
        const double v = profile[p];
        out0[p] += w0 * v;
        out1[p] += w1 * v;
        out2[p] += w2 * v;
    }
}

VELOSTAR_VECTOR_CLONES
void floorLowered(double* out, int32_t count, double lowering)
{
    for (int32_t p = 0; p < count; ++p) {
        const double v = std::floor(out[p] - lowering);
        out[p] = v > 0.0 ? v : 0.0;
    }
}

}  // namespace

std::vector<SmoothedGridSurface::Profile> SmoothedGridSurface::profiles(const std::vector<GridPlace>& places,
                                                                        int32_t nodes,
                                                                        const std::vector<int32_t>& radii)
{
    const auto length = static_cast<int32_t>(places.size());
    std::vector<Profile> result(static_cast<size_t>(nodes));
    for (int32_t k = 0; k < nodes; ++k) {
        Profile& profile = result[static_cast<size_t>(k)];
        profile.values.assign(places.size(), 0.0);
        profile.begin = length;
        for (int32_t p = 0; p < length; ++p) {
            const GridPlace& place = places[static_cast<size_t>(p)];
            double weight = 0.0;
            if (place.index == k)
                weight = 1.0 - static_cast<double>(place.fraction);
            else if (place.index + 1 == k)
                weight = place.fraction;
            if (weight == 0.0)
                continue;
            profile.values[static_cast<size_t>(p)] = weight;
            profile.begin = std::min(profile.begin, p);
            profile.end = p + 1;
        }
        if (profile.begin >= profile.end) {
            profile.begin = profile.end = 0;
            continue;
        }
        for (int32_t r : radii)
            if (r > 0)
                boxMeanAlong(profile.values, profile.begin, profile.end, r);
    }
    return result;
}

SmoothedGridSurface::SmoothedGridSurface(const uint32_t* nodes, int32_t nodesX, int32_t nodesY, int32_t channels,
                                         const std::vector<GridPlace>& columns, const std::vector<GridPlace>& rows,
                                         const std::vector<int32_t>& radii)
    : m_nodes(nodes, nodes + static_cast<size_t>(nodesX) * nodesY * channels), m_nodesX(nodesX), m_nodesY(nodesY),
      m_channels(channels), m_columns(profiles(columns, nodesX, radii)), m_rows(profiles(rows, nodesY, radii))
{
    const auto means = std::count_if(radii.begin(), radii.end(), [](int32_t r) { return r > 0; });
    // With no mean at all the integer series rounds the surface to the nearest whole number.
    m_lowering = (static_cast<double>(means) - 1.0) / 2.0;
}

void SmoothedGridSurface::levels3(int32_t y, double* out0, double* out1, double* out2) const
{
    const auto width = static_cast<int32_t>(m_columns.empty() ? 0 : m_columns.front().values.size());
    for (double* out : {out0, out1, out2})
        std::fill_n(out, width, 0.0);
    // A stretch of columns at a time, so that its sums stay in the nearest cache while every node
    // column adds to them (each sum still takes the node columns in ascending order).
    constexpr int32_t Stretch = 1024;
    for (int32_t x0 = 0; x0 < width; x0 += Stretch) {
        const int32_t x1 = std::min(width, x0 + Stretch);
        for (int32_t i = 0; i < m_nodesX; ++i) {
            const Profile& column = m_columns[static_cast<size_t>(i)];
            const int32_t b = std::max(x0, column.begin), e = std::min(x1, column.end);
            if (b >= e)
                continue;
            addScaled3(out0 + b, out1 + b, out2 + b, column.values.data() + b, e - b, columnWeight(i, 0, y),
                       columnWeight(i, 1, y), columnWeight(i, 2, y));
        }
        for (double* out : {out0, out1, out2})
            floorLowered(out + x0, x1 - x0, m_lowering);
    }
}

double SmoothedGridSurface::columnWeight(int32_t i, int32_t c, int32_t y) const
{
    double weight = 0.0;
    for (int32_t j = 0; j < m_nodesY; ++j) {
        const Profile& row = m_rows[static_cast<size_t>(j)];
        if (y >= row.begin && y < row.end)
            weight += row.values[static_cast<size_t>(y)] * m_nodes[(static_cast<size_t>(j) * m_nodesX + i) * m_channels + c];
    }
    return weight;
}

}  // namespace veltone
