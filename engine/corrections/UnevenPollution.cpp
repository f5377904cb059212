#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "corrections/LightPollution.h"
#include "corrections/PollutionLevel.h"
#include "corrections/PollutionMapping.h"
#include "corrections/SmoothedGridSurface.h"
#include "image/BoxMeans.h"
#include "parallel/ProcessPool.h"
#include "parallel/VectorClones.h"

// Kind 2: background levels on a 12 × 12 grid of cells, filled where the sky is hidden, refined,
// interpolated to every pixel and smoothed by box means.
namespace veltone {

namespace {

using velimage::AccumulationImage;

constexpr int32_t Cells = 12;
constexpr int32_t Nodes = Cells + 1;  // the last row and column repeat the 12th

// Node values, three channels per node, row by row.
using NodeImage = std::array<uint32_t, Nodes * Nodes * 3>;

inline uint32_t* node(NodeImage& nodes, int32_t i, int32_t j) { return nodes.data() + (j * Nodes + i) * 3; }
inline const uint32_t* node(const NodeImage& nodes, int32_t i, int32_t j) { return nodes.data() + (j * Nodes + i) * 3; }

// Which pixels the cells count and how the mapping weighs the foreground.
struct Variant {
    const velimage::Image16* countMask = nullptr;  // count pixels whose painted value is above 0
    const velimage::Image16* weightMask = nullptr;  // sky weight = value / 65535
    const PollutionRegion* line = nullptr;          // count the sky side of the star-boundary line
    const velstack::GradientRamp* ramp = nullptr;   // sky weight from the gradient ramp

    bool restricted() const { return countMask || line; }
};

bool sameSize(const velimage::Image16* plane, const AccumulationImage& image)
{
    return plane && plane->channels() == 1 && plane->width() == image.width() && plane->height() == image.height();
}

Variant chooseVariant(const AccumulationImage& image, const PollutionOptions& options, const PollutionRegion& region)
{
    Variant variant;
    if (!options.aggressive)
        return variant;
    if (sameSize(region.skyMask, image)) {
        variant.countMask = region.skyMask;
        // The painted mask stands in when no soft mask of this size was made.
        variant.weightMask = sameSize(region.softMask, image) ? region.softMask : region.skyMask;
    } else if (region.hasStarBound && region.ramp && region.ramp->width() > 0.0f) {
        variant.line = &region;
        variant.ramp = region.ramp;
    }
    return variant;
}

// Cell i covers columns start(i) .. start(i + 1) − 1: the first cell also takes the remainder on
// the left, the last whatever small images leave on the right.
struct CellLayout {
    int32_t width, height, cellWidth, cellHeight, remainderX, remainderY;

    int32_t columnStart(int32_t i) const { return i == 0 ? 0 : i == Cells ? width : remainderX + i * cellWidth; }
    int32_t rowStart(int32_t j) const { return j == 0 ? 0 : j == Cells ? height : remainderY + j * cellHeight; }
};

inline void sortPair(uint32_t& a, uint32_t& b)
{
    const uint32_t low = std::min(a, b);
    b = std::max(a, b);
    a = low;
}

inline uint32_t median5(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e)
{
    sortPair(a, b);
    sortPair(d, e);
    sortPair(a, d);  // a is the smallest of a, b, d, e: not the median
    sortPair(b, e);  // e is the largest of them: not the median either
    // The median of five is the median of b, c, d.
    sortPair(b, c);
    sortPair(c, d);
    sortPair(b, c);
    return c;
}

// Cross medians of the values begin .. end − 1 of a row whose channels form one flat run:
// horizontal neighbours are 3 elements away.
VELOSTAR_VECTOR_CLONES
void crossMedianRun(const uint32_t* __restrict mid, const uint32_t* __restrict up, const uint32_t* __restrict down,
                    size_t begin, size_t end, uint32_t* __restrict out)
{
    for (size_t i = begin; i < end; ++i)
        out[i - begin] = median5(mid[i], mid[i - 3], mid[i + 3], up[i], down[i]);
}

// Medians of the cross (the pixel and its four direct neighbours, coordinates clamped) of every
// channel of the pixels x0 .. x1 − 1 of row y, three values per pixel into `out`.
void crossMedianRow(const AccumulationImage& image, int32_t y, int32_t x0, int32_t x1, uint32_t* out)
{
    const int32_t w = image.width(), h = image.height();
    const uint32_t* mid = image.row(y);
    const uint32_t* up = image.row(std::max(0, y - 1));
    const uint32_t* down = image.row(std::min(h - 1, y + 1));
    const auto borderPixel = [&](int32_t x) {
        const size_t left = static_cast<size_t>(std::max(0, x - 1)) * 3, right = static_cast<size_t>(std::min(w - 1, x + 1)) * 3;
        const size_t centre = static_cast<size_t>(x) * 3;
        for (size_t c = 0; c < 3; ++c)
            out[(static_cast<size_t>(x - x0)) * 3 + c] =
                median5(mid[centre + c], mid[left + c], mid[right + c], up[centre + c], down[centre + c]);
    };
    const int32_t innerBegin = std::max(x0, 1), innerEnd = std::max(innerBegin, std::min(x1, w - 1));
    for (int32_t x = x0; x < innerBegin; ++x)
        borderPixel(x);
    crossMedianRun(mid, up, down, static_cast<size_t>(innerBegin) * 3, static_cast<size_t>(innerEnd) * 3,
                   out + static_cast<size_t>(innerBegin - x0) * 3);
    for (int32_t x = innerEnd; x < x1; ++x)
        borderPixel(x);
}

// The largest of every lane of 16 pixels' values, which repeats the channels every three lanes.
VELOSTAR_VECTOR_CLONES
void laneMaxima(const uint32_t* __restrict values, size_t blocks, uint32_t* __restrict lanes)
{
    for (size_t b = 0; b < blocks; ++b, values += 48)
        for (size_t i = 0; i < 48; ++i)
            lanes[i] = std::max(lanes[i], values[i]);
}

// The largest value of each channel of `pixels` interleaved pixels.
void channelMaxima(const uint32_t* values, size_t pixels, uint32_t maximum[3])
{
    uint32_t lanes[48] = {};
    laneMaxima(values, pixels / 16, lanes);
    std::fill_n(maximum, 3, 0u);
    for (size_t i = 0; i < 48; ++i)
        maximum[i % 3] = std::max(maximum[i % 3], lanes[i]);
    for (size_t k = pixels / 16 * 48; k < pixels * 3; ++k)
        maximum[k % 3] = std::max(maximum[k % 3], values[k]);
}

// (values[i] >> shifts[i]) − firsts[i] for i < count.
VELOSTAR_VECTOR_CLONES
void blockBins(const uint32_t* __restrict values, const uint32_t* __restrict shifts, const uint32_t* __restrict firsts,
               size_t count, uint32_t* __restrict bins)
{
    for (size_t i = 0; i < count; ++i)
        bins[i] = (values[i] >> shifts[i]) - firsts[i];
}

// The percentile levels of the three channels of a cell's values (three interleaved per pixel): the
// bins one histogram of 2^shift-wide bins would give, found with two small ones per channel, first
// of bins 1024 times wider, then of the fine bins inside the wide bin that crosses. One walk over
// the values counts all three channels; consecutive pixels count into two copies, so that runs of
// equal values do not queue on one counter.
class CellHistogram {
public:
    void levels(const uint32_t* values, size_t pixels, const uint32_t maximum[3], const PercentileRule& rule,
                uint32_t out[3])
    {
        const uint64_t limit = rule.threshold(pixels);
        int32_t shift[3], wideShift[3];
        size_t bins[3], wideBins[3];
        for (int32_t c = 0; c < 3; ++c) {
            shift[c] = binShiftFor(maximum[c]);
            wideShift[c] = shift[c] + FineBits;
            bins[c] = static_cast<size_t>(maximum[c] >> shift[c]) + 1;
            wideBins[c] = static_cast<size_t>(maximum[c] >> wideShift[c]) + 1;
            std::fill_n(m_wide[2 * c].begin(), wideBins[c], 0u);
            std::fill_n(m_wide[2 * c + 1].begin(), wideBins[c], 0u);
        }
        countWide(values, pixels, wideShift);
        uint64_t before[3] = {0, 0, 0};
        uint32_t first[3];
        bool crossed[3];
        for (int32_t c = 0; c < 3; ++c) {
            size_t wide = 0;
            for (; wide < wideBins[c]; ++wide) {
                const uint64_t inside = static_cast<uint64_t>(m_wide[2 * c][wide]) + m_wide[2 * c + 1][wide];
                if (before[c] + inside > limit)
                    break;
                before[c] += inside;
            }
            crossed[c] = wide < wideBins[c];
            // A channel that never crosses counts nothing in the fine pass: every value >> shift
            // lies below 2^20, so below this first bin.
            first[c] = crossed[c] ? static_cast<uint32_t>(wide << FineBits) : 1u << 21;
            m_fine[static_cast<size_t>(c)].fill(0);
        }
        countFine(values, pixels, shift, first);
        for (int32_t c = 0; c < 3; ++c) {
            if (!crossed[c]) {
                out[c] = static_cast<uint32_t>(rule.levelAt(bins[c], bins[c], shift[c]));
                continue;
            }
            size_t fine = 0;
            for (uint64_t cumulative = before[c]; fine + 1 < Span; ++fine) {
                cumulative += m_fine[static_cast<size_t>(c)][fine];
                if (cumulative > limit)
                    break;
            }
            out[c] = static_cast<uint32_t>(rule.levelAt(first[c] + fine, bins[c], shift[c]));
        }
    }

private:
    static constexpr int32_t FineBits = 10;
    static constexpr uint32_t Span = 1u << FineBits;

    // The bins of a block of values come from one vector pass (a shift per channel, less the
    // channel's first bin); only the counting is scalar.
    void setPattern(const int32_t shift[3], const uint32_t first[3])
    {
        for (size_t i = 0; i < Block; ++i) {
            m_shifts[i] = static_cast<uint32_t>(shift[i % 3]);
            m_firsts[i] = first[i % 3];
        }
    }

    void countWide(const uint32_t* v, size_t pixels, const int32_t shift[3])
    {
        const uint32_t none[3] = {0, 0, 0};
        setPattern(shift, none);
        for (size_t done = 0; done < pixels; done += BlockPixels) {
            const size_t n = std::min(BlockPixels, pixels - done);
            blockBins(v + 3 * done, m_shifts.data(), m_firsts.data(), 3 * n, m_bins.data());
            const uint32_t* bin = m_bins.data();
            size_t k = 0;
            for (; k + 2 <= n; k += 2, bin += 6)
                for (int32_t c = 0; c < 3; ++c) {
                    ++m_wide[2 * c][bin[c]];
                    ++m_wide[2 * c + 1][bin[3 + c]];
                }
            for (; k < n; ++k, bin += 3)
                for (int32_t c = 0; c < 3; ++c)
                    ++m_wide[2 * c][bin[c]];
        }
    }

    // Only the values inside each channel's crossing wide bin; few are, so the test is cheap.
    void countFine(const uint32_t* v, size_t pixels, const int32_t shift[3], const uint32_t first[3])
    {
        setPattern(shift, first);
        for (size_t done = 0; done < pixels; done += BlockPixels) {
            const size_t n = std::min(BlockPixels, pixels - done);
            blockBins(v + 3 * done, m_shifts.data(), m_firsts.data(), 3 * n, m_bins.data());
            const uint32_t* bin = m_bins.data();
            for (size_t k = 0; k < n; ++k, bin += 3)
                for (int32_t c = 0; c < 3; ++c)
                    if (bin[c] < Span)
                        ++m_fine[static_cast<size_t>(c)][bin[c]];
        }
    }

    static constexpr size_t BlockPixels = 512, Block = 3 * BlockPixels;
    std::array<uint32_t, Block> m_shifts{}, m_firsts{}, m_bins{};
    std::array<std::array<uint32_t, Span>, 6> m_wide{};  // channel c in copies 2c and 2c + 1
    std::array<std::array<uint32_t, Span>, 3> m_fine{};
};

// The percentile level of every cell on the cross-median values of its counted pixels.
void measureCells(const AccumulationImage& image, const CellLayout& layout, const Variant& variant,
                  const PercentileRule& rule, NodeImage& nodes, std::array<bool, Cells * Cells>& usable)
{
    int32_t widest = 0, tallest = 0;
    for (int32_t k = 0; k < Cells; ++k) {
        widest = std::max(widest, layout.columnStart(k + 1) - layout.columnStart(k));
        tallest = std::max(tallest, layout.rowStart(k + 1) - layout.rowStart(k));
    }
    velthread::parallelRows(Cells * Cells, [&](int32_t begin, int32_t end) {
        std::vector<uint32_t> values(static_cast<size_t>(widest) * tallest * 3);
        auto histogram = std::make_unique<CellHistogram>();
        for (int32_t cell = begin; cell < end; ++cell) {
            // Column by column: each part gets cells from the top and the bottom alike, so that a
            // ground counted out below the horizon does not leave one part idle.
            const int32_t i = cell / Cells, j = cell % Cells;
            const int32_t x0 = layout.columnStart(i), x1 = layout.columnStart(i + 1);
            const int32_t y0 = layout.rowStart(j), y1 = layout.rowStart(j + 1);
            size_t filled = 0;
            for (int32_t y = y0; y < y1; ++y) {
                if (!variant.restricted()) {
                    crossMedianRow(image, y, x0, x1, values.data() + filled);
                    filled += static_cast<size_t>(x1 - x0) * 3;
                    continue;
                }
                // The row's medians, then the counted ones moved to the front in place (each lands
                // at or before where it was), without a branch per pixel. Under a mask, rows of
                // the cell that are all ground need no medians, all sky no moving.
                uint32_t* row = values.data() + filled;
                if (variant.countMask) {
                    const uint16_t* mask = variant.countMask->row(y);
                    const auto sky =
                        static_cast<int32_t>(std::count_if(mask + x0, mask + x1, [](uint16_t v) { return v > 0; }));
                    if (sky == 0)
                        continue;
                    if (sky == x1 - x0) {
                        crossMedianRow(image, y, x0, x1, row);
                        filled += static_cast<size_t>(x1 - x0) * 3;
                        continue;
                    }
                }
                crossMedianRow(image, y, x0, x1, row);
                size_t kept = 0;
                const auto keep = [&](int32_t x, bool counted) {
                    const uint32_t* from = row + static_cast<size_t>(x - x0) * 3;
                    const uint32_t r = from[0], g = from[1], b = from[2];
                    row[kept] = r;
                    row[kept + 1] = g;
                    row[kept + 2] = b;
                    kept += counted ? 3 : 0;
                };
                if (variant.countMask) {
                    const uint16_t* mask = variant.countMask->row(y);
                    for (int32_t x = x0; x < x1; ++x)
                        keep(x, mask[x] > 0);
                } else {
                    for (int32_t x = x0; x < x1; ++x)
                        keep(x, variant.line->onSkySide(x, y));
                }
                filled += kept;
            }
            uint32_t maximum[3];
            channelMaxima(values.data(), filled / 3, maximum);
            const uint64_t counted = filled / 3;
            const uint64_t area = static_cast<uint64_t>(x1 - x0) * static_cast<uint64_t>(y1 - y0);
            usable[static_cast<size_t>(j * Cells + i)] = counted > 0 && (!variant.restricted() || 3 * counted > area);
            uint32_t* out = node(nodes, i, j);
            std::fill_n(out, 3, 0u);
            if (counted > 0)
                histogram->levels(values.data(), counted, maximum, rule, out);
        }
    });
}

// Cells without enough sky take the mean of their usable direct neighbours, pass after pass
// (weakened to 0.7 from the third pass on, so that far-filled cells do not carry a bright
// horizon inwards); false when no cell is usable at all.
bool fillCells(NodeImage& nodes, std::array<bool, Cells * Cells>& usable)
{
    if (std::none_of(usable.begin(), usable.end(), [](bool u) { return u; }))
        return false;
    for (int32_t pass = 1;; ++pass) {
        const double factor = pass <= 2 ? 1.0 : 0.7;
        NodeImage next = nodes;
        std::array<bool, Cells * Cells> nextUsable = usable;
        bool changed = false;
        for (int32_t j = 0; j < Cells; ++j)
            for (int32_t i = 0; i < Cells; ++i) {
                if (usable[static_cast<size_t>(j * Cells + i)])
                    continue;
                static constexpr int32_t di[4] = {-1, 1, 0, 0}, dj[4] = {0, 0, -1, 1};
                uint64_t sum[3] = {0, 0, 0};
                int32_t count = 0;
                for (int32_t k = 0; k < 4; ++k) {
                    const int32_t ni = i + di[k], nj = j + dj[k];
                    if (ni < 0 || nj < 0 || ni >= Cells || nj >= Cells || !usable[static_cast<size_t>(nj * Cells + ni)])
                        continue;
                    const uint32_t* v = node(nodes, ni, nj);
                    for (int32_t c = 0; c < 3; ++c)
                        sum[c] += v[c];
                    ++count;
                }
                if (count == 0)
                    continue;
                uint32_t* out = node(next, i, j);
                for (int32_t c = 0; c < 3; ++c)
                    out[c] = static_cast<uint32_t>(static_cast<double>(sum[c]) / count * factor);
                nextUsable[static_cast<size_t>(j * Cells + i)] = true;
                changed = true;
            }
        if (!changed)
            return true;
        nodes = next;
        usable = nextUsable;
    }
}

void repeatLastRowAndColumn(NodeImage& nodes)
{
    for (int32_t k = 0; k < Cells; ++k) {
        std::copy_n(node(nodes, Cells - 1, k), 3, node(nodes, Cells, k));
        std::copy_n(node(nodes, k, Cells - 1), 3, node(nodes, k, Cells));
    }
    std::copy_n(node(nodes, Cells - 1, Cells - 1), 3, node(nodes, Cells, Cells));
}

// A node that is the brightest of its cross by more than twice the cross's median (a star
// cluster, a lit cloud) takes the mean of the four others; up to four passes.
void refineNodes(NodeImage& nodes)
{
    for (int32_t pass = 0; pass < 4; ++pass) {
        NodeImage next = nodes;
        bool changed = false;
        for (int32_t j = 0; j < Nodes; ++j)
            for (int32_t i = 0; i < Nodes; ++i)
                for (int32_t c = 0; c < 3; ++c) {
                    uint32_t cross[5] = {node(nodes, i, j)[c], node(nodes, std::max(0, i - 1), j)[c],
                                         node(nodes, std::min(Nodes - 1, i + 1), j)[c],
                                         node(nodes, i, std::max(0, j - 1))[c],
                                         node(nodes, i, std::min(Nodes - 1, j + 1))[c]};
                    const uint32_t own = cross[0];
                    std::sort(cross, cross + 5);
                    if (own == cross[4] && 2 * static_cast<uint64_t>(cross[2]) < own) {
                        const uint64_t sum = static_cast<uint64_t>(cross[0]) + cross[1] + cross[2] + cross[3];
                        node(next, i, j)[c] = static_cast<uint32_t>(sum >> 2);
                        changed = true;
                    }
                }
        if (!changed)
            return;
        nodes = next;
    }
}

// One interval of a row of the interpolation: the columns whose node column is the same. This file
// builds without fused multiply-adds, so every clone rounds as the frame sampler does.
VELOSTAR_VECTOR_CLONES
void interpolateInterval(const float* __restrict fractions, int32_t count, float base, float across, float fy,
                         float twist, uint32_t* __restrict out)
{
    for (int32_t k = 0; k < count; ++k) {
        const float fx = fractions[k];
        const float value = base + fx * across + fx * fy * twist + 0.5f;
        out[k] = value > 0.0f ? static_cast<uint32_t>(std::min(value, 4294967040.0f)) : 0u;
    }
}

// Where pixel p lies between the nodes along one axis; at the clamp the last interval is taken at
// its end.
GridPlace gridPlace(int32_t p, int32_t remainder, int32_t cell)
{
    const float g = std::clamp(static_cast<float>(p - remainder) / static_cast<float>(cell) - 0.5f, 0.0f,
                               static_cast<float>(Cells));
    const int32_t index = std::min(static_cast<int32_t>(g), Cells - 1);
    return {index, g - static_cast<float>(index)};
}

std::vector<GridPlace> gridPlaces(int32_t length, int32_t remainder, int32_t cell)
{
    std::vector<GridPlace> places(static_cast<size_t>(length));
    for (int32_t p = 0; p < length; ++p)
        places[static_cast<size_t>(p)] = gridPlace(p, remainder, cell);
    return places;
}

// Bilinear interpolation of the nodes at every pixel, rounded like the frame sampler, made row by
// row where it is needed rather than stored.
class NodeInterpolation {
public:
    NodeInterpolation(const NodeImage& nodes, const CellLayout& layout)
        : m_nodes(nodes), m_layout(layout), m_fractions(static_cast<size_t>(layout.width))
    {
        // Fraction per pixel column, and where each interval of node columns starts.
        m_intervalStarts.fill(layout.width);
        for (int32_t x = layout.width - 1; x >= 0; --x) {
            const GridPlace place = gridPlace(x, layout.remainderX, layout.cellWidth);
            for (int32_t k = 0; k <= place.index; ++k)
                m_intervalStarts[static_cast<size_t>(k)] = x;
            m_fractions[static_cast<size_t>(x)] = place.fraction;
        }
    }

    // Channel c of row y into `out` (width values).
    void row(int32_t c, int32_t y, uint32_t* out) const
    {
        const GridPlace place = gridPlace(y, m_layout.remainderY, m_layout.cellHeight);
        const int32_t iy = place.index;
        const float fy = place.fraction;
        for (int32_t ix = 0; ix < Cells; ++ix) {
            const int32_t begin = m_intervalStarts[static_cast<size_t>(ix)];
            const int32_t end = ix + 1 < Cells ? m_intervalStarts[static_cast<size_t>(ix) + 1] : m_layout.width;
            if (begin >= end)
                continue;
            const int64_t c00 = node(m_nodes, ix, iy)[c], c10 = node(m_nodes, ix + 1, iy)[c];
            const int64_t c01 = node(m_nodes, ix, iy + 1)[c], c11 = node(m_nodes, ix + 1, iy + 1)[c];
            interpolateInterval(m_fractions.data() + begin, end - begin,
                                static_cast<float>(c00) + fy * static_cast<float>(c01 - c00),
                                static_cast<float>(c10 - c00), fy, static_cast<float>(c11 + c00 - c10 - c01),
                                out + begin);
        }
    }

private:
    const NodeImage& m_nodes;
    const CellLayout& m_layout;
    std::vector<float> m_fractions;
    std::array<int32_t, Cells> m_intervalStarts{};  // columns of interval ix: starts[ix] .. starts[ix + 1] − 1
};

// The smoothing of the interpolated background: one box mean of radius
// r = (cell width + cell height) / 4, then six of r / 2.
std::vector<int32_t> smoothingRadii(const CellLayout& layout)
{
    const int32_t radius = (layout.cellWidth + layout.cellHeight) / 4;
    std::vector<int32_t> radii(7, radius / 2);
    radii[0] = radius;
    return radii;
}

// The largest three-channel mean of the nodes when it lies above the working white, else that white.
double whiteLevel(const NodeImage& nodes)
{
    uint64_t brightest = 0;
    for (int32_t k = 0; k < Nodes * Nodes; ++k) {
        const uint32_t* v = nodes.data() + k * 3;
        brightest = std::max(brightest, (static_cast<uint64_t>(v[0]) + v[1] + v[2]) / 3);
    }
    return brightest >= 0x1000000 ? static_cast<double>(brightest) : 0xFFFFFF;
}

// What the cells found: the smoothed surface through these nodes is the background.
struct GridModel {
    CellLayout layout;
    Variant variant;
    NodeImage nodes{};
    double white = 0.0;
};

std::optional<GridModel> measureGrid(const AccumulationImage& image, const PollutionOptions& options,
                                     const PollutionRegion& region)
{
    if (image.empty() || image.channels() != 3)
        return std::nullopt;
    const int32_t width = image.width(), height = image.height();
    const int32_t cellWidth = width / Cells, cellHeight = height / Cells;
    if (cellWidth < 1 || cellHeight < 1)
        return std::nullopt;
    GridModel grid{{width, height, cellWidth, cellHeight, width % cellWidth, height % cellHeight},
                   chooseVariant(image, options, region)};
    std::array<bool, Cells * Cells> usable{};
    measureCells(image, grid.layout, grid.variant, PercentileRule::forStrength(options.strength, options.aggressive),
                 grid.nodes, usable);
    if (!fillCells(grid.nodes, usable))
        return std::nullopt;
    repeatLastRowAndColumn(grid.nodes);
    refineNodes(grid.nodes);
    grid.white = whiteLevel(grid.nodes);
    return grid;
}

// sink(y, rows) gets the three smoothed background rows of every image row, from several jobs at
// once, each job's rows in ascending order; rows are uint32_t or double values.
template <typename Sink>
void smoothedBackgrounds(const GridModel& grid, bool exact, const Sink& sink)
{
    const CellLayout& layout = grid.layout;
    const int32_t width = layout.width;
    if (exact) {
        // The box means on the integer plane of the interpolated nodes, row by row; no plane
        // holds them.
        const NodeInterpolation interpolation(grid.nodes, layout);
        velimage::boxMeanSeries(
            3, width, layout.height, smoothingRadii(layout),
            [&interpolation](int32_t c, int32_t y, uint32_t* row) { interpolation.row(c, y, row); },
            [&](int32_t y, const uint32_t* const* rows) { sink(y, rows); });
        return;
    }
    const SmoothedGridSurface surface(grid.nodes.data(), Nodes, Nodes, 3,
                                      gridPlaces(width, layout.remainderX, layout.cellWidth),
                                      gridPlaces(layout.height, layout.remainderY, layout.cellHeight),
                                      smoothingRadii(layout));
    velthread::parallelRows(layout.height, [&](int32_t begin, int32_t end) {
        std::vector<double> levels(3 * static_cast<size_t>(width));
        const double* rows[3] = {levels.data(), levels.data() + width, levels.data() + 2 * static_cast<size_t>(width)};
        for (int32_t y = begin; y < end; ++y) {
            surface.levels3(y, levels.data(), levels.data() + width, levels.data() + 2 * static_cast<size_t>(width));
            sink(y, rows);
        }
    });
}

}  // namespace

bool reduceUnevenPollution(AccumulationImage& image, const PollutionOptions& options, const PollutionRegion& region)
{
    const std::optional<GridModel> grid = measureGrid(image, options, region);
    if (!grid)
        return false;
    const int32_t width = image.width();
    const double target = pollutionTarget(options.colorSpace), white = grid->white;
    const Variant& variant = grid->variant;
    smoothedBackgrounds(*grid, options.exactSmoothing, [&](int32_t y, const auto* const* level) {
        uint32_t* pixels = image.row(y);
        mapRow(
            pixels, width, target, white,
            [level](int32_t x0, int32_t n, double* backgrounds) {
                for (int32_t k = 0; k < n; ++k)
                    for (int32_t c = 0; c < 3; ++c)
                        backgrounds[3 * k + c] = level[c][x0 + k];
            },
            [&](int32_t x0, int32_t n, double* backgrounds) {
                if (!variant.weightMask && !variant.ramp)
                    return;
                double weights[MapChunk];
                if (variant.weightMask) {
                    const uint16_t* mask = variant.weightMask->row(y) + x0;
                    // Full sky needs no adjustment: a run of it skips the chunk.
                    if (std::all_of(mask, mask + n, [](uint16_t v) { return v == 65535; }))
                        return;
                    for (int32_t k = 0; k < n; ++k)
                        weights[k] = mask[k] / 65535.0;
                } else {
                    for (int32_t k = 0; k < n; ++k)
                        weights[k] = variant.ramp->weightAt(x0 + k, y);
                }
                adjustForegrounds(pixels + 3 * static_cast<size_t>(x0), weights, n, backgrounds);
            });
    });
    return true;
}

bool unevenPollutionBackground(const AccumulationImage& image, const PollutionOptions& options,
                               const PollutionRegion& region, AccumulationImage& background)
{
    const std::optional<GridModel> grid = measureGrid(image, options, region);
    if (!grid)
        return false;
    const int32_t width = image.width();
    background.allocate(width, image.height(), 3);
    smoothedBackgrounds(*grid, options.exactSmoothing, [&](int32_t y, const auto* const* level) {
        uint32_t* out = background.row(y);
        for (int32_t x = 0; x < width; ++x)
            for (int32_t c = 0; c < 3; ++c)
                out[3 * x + c] = static_cast<uint32_t>(level[c][x]);
    });
    return true;
}

bool reduceLightPollution(AccumulationImage& image, const PollutionOptions& options, const PollutionRegion& region)
{
    if (options.kind == 1)
        return reduceDeepSkyPollution(image, options, region);
    if (options.kind == 2)
        return reduceUnevenPollution(image, options, region);
    return false;
}

}  // namespace veltone
