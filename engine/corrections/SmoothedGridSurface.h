#pragma once

#include <cstdint>
#include <vector>

namespace veltone {

// Where a pixel column (or row) lies on the node grid: weight 1 − fraction on node `index` and
// `fraction` on node index + 1.
struct GridPlace {
    int32_t index;
    float fraction;
};

// The bilinear surface through a grid of nodes, smoothed by a series of box means (each box cut at
// the border and divided by the pixels it holds), without a plane of any stage. A box mean is a
// mean along the rows followed by one down the columns, and means are linear, so the smoothed
// surface is the sum over the nodes of each node's value times the smoothed weight profile of its
// column times that of its row: a few multiply-adds per pixel instead of seven box means.
//
// The series on integers rounds the interpolated surface to whole numbers and floors after every
// mean; this surface rounds only at the end. Each of the first n − 1 floors leaves the integer
// series about half a unit lower, averaged by the means after it, and the last floors pointwise, so
// `levels` gives floor(surface − (n − 1) / 2), which is what the integer series gives at nearly every
// pixel. The two always lie less than n / 2 + 1 apart (at most 4 for seven means), plus what the
// interpolation's float rounding adds; measured on night skies and generated glows: at most 1.
class SmoothedGridSurface {
public:
    // `nodes`: nodesY rows of nodesX nodes of `channels` interleaved values; `columns` and `rows`
    // place every pixel column and row; radii of the box means in order (radius 0 is no mean).
    SmoothedGridSurface(const uint32_t* nodes, int32_t nodesX, int32_t nodesY, int32_t channels,
                        const std::vector<GridPlace>& columns, const std::vector<GridPlace>& rows,
                        const std::vector<int32_t>& radii);

    // The three channels of row y, rounded as the integer series rounds, one value per column into
    // each of out0, out1 and out2. For three-channel nodes; called from several jobs at once.
    void levels3(int32_t y, double* out0, double* out1, double* out2) const;

private:
    // One node's weight along an axis after the means: values over [begin, end), zero elsewhere.
    struct Profile {
        int32_t begin = 0, end = 0;
        std::vector<double> values;  // one per position of the axis
    };
    // The weight of node column i in row y of channel c: its nodes times their row profiles.
    double columnWeight(int32_t i, int32_t c, int32_t y) const;
    static std::vector<Profile> profiles(const std::vector<GridPlace>& places, int32_t nodes,
                                         const std::vector<int32_t>& radii);

    std::vector<double> m_nodes;
    int32_t m_nodesX, m_nodesY, m_channels;
    std::vector<Profile> m_columns, m_rows;
    double m_lowering;
};

}  // namespace veltone
