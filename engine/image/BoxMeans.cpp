#include "image/BoxMeans.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <memory>

#include "parallel/ProcessPool.h"
#include "parallel/VectorClones.h"

namespace velimage {

namespace {

constexpr double TwoTo52 = 0x1p52;
constexpr uint64_t TwoTo52Bits = 0x4330000000000000;

// Windows up to this half-size hold at most 2^20 values of 32 bits: every sum stays below 2^52.
constexpr int32_t DoubleQuotientRadius = 511;

VELOSTAR_VECTOR_CLONES
void addRow(int64_t* __restrict column, const uint32_t* __restrict in, int32_t width)
{
    for (int32_t x = 0; x < width; ++x)
        column[x] += in[x];
}

VELOSTAR_VECTOR_CLONES
void subtractRow(int64_t* __restrict column, const uint32_t* __restrict out, int32_t width)
{
    for (int32_t x = 0; x < width; ++x)
        column[x] -= out[x];
}

VELOSTAR_VECTOR_CLONES
void exchangeRow(int64_t* __restrict column, const uint32_t* __restrict in, const uint32_t* __restrict out,
                 int32_t width)
{
    for (int32_t x = 0; x < width; ++x)
        column[x] += static_cast<int64_t>(in[x]) - static_cast<int64_t>(out[x]);
}

// Eight 64-bit lanes; each clone splits them as its registers allow.
using Int64Lanes = int64_t __attribute__((vector_size(64)));
using DoubleLanes = double __attribute__((vector_size(64)));
using Uint32Lanes = uint32_t __attribute__((vector_size(32)));

// floor(sum / count) for a sum below 2^52: both are exact in double precision, the estimate
// sum · reciprocal rounded to the nearest integer is the floor or one above it, and one exact
// product tells which. The rounding adds 2^52, which leaves the integer in the low mantissa bits.
inline uint32_t quotientBelow2To52(int64_t sum, double count, double reciprocal)
{
    const double exact = std::bit_cast<double>(static_cast<uint64_t>(sum) | TwoTo52Bits) - TwoTo52;
    const double rounded = exact * reciprocal + TwoTo52;
    return static_cast<uint32_t>(std::bit_cast<uint64_t>(rounded)) -
           static_cast<uint32_t>((rounded - TwoTo52) * count > exact);
}

// The means along one row from its column sums, which lie in a row with r + 1 zeros on the left
// and r on the right so that no box needs a cut at the row ends. The window sums are running sums
// of the differences padded[x + span] − padded[x], eight pixels at a time: a prefix sum within
// the lanes plus the carry of the pixels before, the only chain from block to block. Sums must
// stay below 2^52.
VELOSTAR_VECTOR_CLONES
void rowMeansBelow2To52(const int64_t* __restrict padded, int32_t span, int32_t width,
                        const double* __restrict counts, const double* __restrict reciprocals,
                        uint32_t* __restrict out)
{
    int64_t start = 0;
    for (int32_t k = 0; k < span; ++k)
        start += padded[k];
    const Int64Lanes zero = {};
    Int64Lanes carry = zero + start;  // the window sum of the pixel before the block
    // Between the border columns every box holds the same count: no divisors to load there.
    const int32_t fullBegin = std::min(width, span / 2), fullEnd = std::max(fullBegin, width - span / 2);
    const DoubleLanes fullCount = DoubleLanes{} + counts[fullBegin < fullEnd ? fullBegin : 0];
    const DoubleLanes fullReciprocal = DoubleLanes{} + reciprocals[fullBegin < fullEnd ? fullBegin : 0];
    int32_t x = 0;
    for (; x + 8 <= width; x += 8) {
        Int64Lanes entering, leaving;
        std::memcpy(&entering, padded + x + span, sizeof entering);
        std::memcpy(&leaving, padded + x, sizeof leaving);
        Int64Lanes change = entering - leaving;
        change += __builtin_shufflevector(change, zero, 8, 0, 1, 2, 3, 4, 5, 6);
        change += __builtin_shufflevector(change, zero, 8, 8, 0, 1, 2, 3, 4, 5);
        change += __builtin_shufflevector(change, zero, 8, 8, 8, 8, 0, 1, 2, 3);
        const Int64Lanes sums = change + carry;
        carry += __builtin_shufflevector(change, change, 7, 7, 7, 7, 7, 7, 7, 7);
        DoubleLanes count = fullCount, reciprocal = fullReciprocal;
        if (x < fullBegin || x + 8 > fullEnd) {
            std::memcpy(&count, counts + x, sizeof count);
            std::memcpy(&reciprocal, reciprocals + x, sizeof reciprocal);
        }
        const DoubleLanes exact = reinterpret_cast<DoubleLanes>(sums | static_cast<int64_t>(TwoTo52Bits)) - TwoTo52;
        const DoubleLanes rounded = exact * reciprocal + TwoTo52;
        const Int64Lanes over = (rounded - TwoTo52) * count > exact;  // −1 where the estimate is one too high
        const Uint32Lanes means = __builtin_convertvector(reinterpret_cast<Int64Lanes>(rounded) + over, Uint32Lanes);
        std::memcpy(out + x, &means, sizeof means);
    }
    int64_t sum = carry[0];
    for (; x < width; ++x) {
        sum += padded[x + span] - padded[x];
        out[x] = quotientBelow2To52(sum, counts[x], reciprocals[x]);
    }
}

// The same means for sums of any size, by integer division.
void rowMeansExact(const int64_t* padded, int32_t span, int32_t width, uint64_t rows, const int32_t* columns,
                   uint32_t* out)
{
    int64_t sum = 0;
    for (int32_t k = 0; k < span; ++k)
        sum += padded[k];
    for (int32_t x = 0; x < width; ++x) {
        sum += padded[x + span] - padded[x];
        out[x] = static_cast<uint32_t>(static_cast<uint64_t>(sum) / (rows * static_cast<uint64_t>(columns[x])));
    }
}

// The divisors of one radius: the pixel count of every box of a row and its reciprocal, remade
// only when the number of rows in the boxes changes (near the top and bottom).
class BoxDivisors {
public:
    BoxDivisors(int32_t width, int32_t height, int32_t r)
        : m_height(height), m_r(r), m_columns(static_cast<size_t>(width)), m_columnReciprocals(m_columns.size()),
          m_counts(m_columns.size()), m_reciprocals(m_columns.size())
    {
        for (int32_t x = 0; x < width; ++x) {
            m_columns[static_cast<size_t>(x)] = std::min(width - 1, x + r) - std::max(0, x - r) + 1;
            m_columnReciprocals[static_cast<size_t>(x)] = 1.0 / m_columns[static_cast<size_t>(x)];
        }
    }

    int32_t radius() const { return m_r; }

    // The means of row y from its padded column sums.
    void rowMeans(int32_t y, const int64_t* padded, uint32_t* out)
    {
        const int32_t rows = std::min(m_height - 1, y + m_r) - std::max(0, y - m_r) + 1;
        const auto width = static_cast<int32_t>(m_columns.size());
        if (m_r > DoubleQuotientRadius) {
            rowMeansExact(padded, 2 * m_r + 1, width, static_cast<uint64_t>(rows), m_columns.data(), out);
            return;
        }
        if (rows != m_rows) {
            m_rows = rows;
            const double rowReciprocal = 1.0 / rows;
            for (size_t x = 0; x < m_columns.size(); ++x) {
                m_counts[x] = static_cast<double>(rows) * m_columns[x];
                m_reciprocals[x] = m_columnReciprocals[x] * rowReciprocal;
            }
        }
        rowMeansBelow2To52(padded, 2 * m_r + 1, width, m_counts.data(), m_reciprocals.data(), out);
    }

private:
    int32_t m_height, m_r, m_rows = 0;
    std::vector<int32_t> m_columns;
    std::vector<double> m_columnReciprocals, m_counts, m_reciprocals;
};

// The column sums of one plane for one radius over the 2r + 1 rows about the current one.
// rowAt(k, slot) gives input row k; an advance holds two rows at once, in slots 0 and 1.
class BoxColumns {
public:
    BoxColumns(int32_t width, int32_t height, int32_t r)
        : m_width(width), m_height(height), m_r(r),
          m_padded(static_cast<size_t>(width) + 2 * static_cast<size_t>(r) + 1, 0)
    {
    }

    template <typename RowAt>
    void start(int32_t y, const RowAt& rowAt)
    {
        std::fill_n(columns(), m_width, int64_t{0});
        for (int32_t k = std::max(0, y - m_r); k <= std::min(m_height - 1, y + m_r); ++k)
            addRow(columns(), rowAt(k, 0), m_width);
    }

    // From the rows about y to those about y + 1.
    template <typename RowAt>
    void advance(int32_t y, const RowAt& rowAt)
    {
        const int32_t entering = y + m_r + 1, leaving = y - m_r;
        if (entering < m_height && leaving >= 0)
            exchangeRow(columns(), rowAt(entering, 0), rowAt(leaving, 1), m_width);
        else if (entering < m_height)
            addRow(columns(), rowAt(entering, 0), m_width);
        else if (leaving >= 0)
            subtractRow(columns(), rowAt(leaving, 1), m_width);
    }

    // The means of row y from the current sums.
    void means(int32_t y, BoxDivisors& divisors, uint32_t* out) const { divisors.rowMeans(y, m_padded.data(), out); }

private:
    int64_t* columns() { return m_padded.data() + m_r + 1; }

    int32_t m_width, m_height, m_r;
    std::vector<int64_t> m_padded;
};

// One plane through the whole series of box means for the rows of one band. Stage k makes the
// rows its successor needs into a ring of 2 r(k+1) + 2 rows: the 2r + 1 rows of the successor's
// boxes and the one entering while the oldest leaves.
class PlaneSeries {
public:
    PlaneSeries(int32_t plane, int32_t width, int32_t height, std::vector<BoxDivisors>& divisors,
                const PlaneRowFill& fill, int32_t firstRow, int32_t endRow, uint32_t* ringMemory)
        : m_plane(plane), m_width(width), m_height(height), m_divisors(divisors), m_fill(fill),
          m_filled{std::vector<uint32_t>(static_cast<size_t>(width)), std::vector<uint32_t>(static_cast<size_t>(width))}
    {
        const auto stages = static_cast<int32_t>(divisors.size());
        std::vector<int32_t> later(static_cast<size_t>(stages), 0);  // the overlap the later stages need
        for (int32_t k = stages - 2; k >= 0; --k)
            later[static_cast<size_t>(k)] = later[static_cast<size_t>(k) + 1] + radius(k + 1);
        for (int32_t k = 0; k < stages; ++k) {
            const size_t ringRows = k + 1 < stages ? 2 * static_cast<size_t>(radius(k + 1)) + 2 : 0;
            m_stages.push_back({BoxColumns(width, height, radius(k)), ringMemory, static_cast<int32_t>(ringRows),
                                std::max(0, firstRow - later[static_cast<size_t>(k)]),
                                std::min(height, endRow + later[static_cast<size_t>(k)]) - 1});
            ringMemory += ringRows * static_cast<size_t>(width);
        }
        for (int32_t k = 0; k < stages; ++k) {
            Stage& stage = m_stages[static_cast<size_t>(k)];
            if (k > 0)
                makeRows(k - 1, std::min(height - 1, stage.next + radius(k)));
            stage.columns.start(stage.next, [this, k](int32_t row, int32_t slot) { return inputRow(k, row, slot); });
        }
    }

    // Ring rows for all stages of one plane, in values.
    static size_t ringValues(const std::vector<int32_t>& radii, int32_t width)
    {
        size_t rows = 0;
        for (size_t k = 1; k < radii.size(); ++k)
            rows += 2 * static_cast<size_t>(radii[k]) + 2;
        return rows * static_cast<size_t>(width);
    }

    // The final means of the next row of the band.
    void nextRow(uint32_t* out)
    {
        m_out = out;
        step(static_cast<int32_t>(m_stages.size()) - 1);
    }

private:
    struct Stage {
        BoxColumns columns;
        uint32_t* ring;
        int32_t ringRows;
        int32_t next;  // the next row it makes
        int32_t last;  // the last row anyone needs from it
    };

    int32_t radius(int32_t k) const { return m_divisors[static_cast<size_t>(k)].radius(); }

    uint32_t* ringRow(const Stage& stage, int32_t y) const
    {
        return stage.ring + static_cast<size_t>(y % stage.ringRows) * static_cast<size_t>(m_width);
    }

    const uint32_t* inputRow(int32_t k, int32_t y, int32_t slot)
    {
        if (k > 0)
            return ringRow(m_stages[static_cast<size_t>(k) - 1], y);
        uint32_t* row = m_filled[slot].data();
        m_fill(m_plane, y, row);
        return row;
    }

    void makeRows(int32_t k, int32_t through)
    {
        while (m_stages[static_cast<size_t>(k)].next <= through)
            step(k);
    }

    // Stage k makes its next row, then moves its boxes down one row when it has more to make.
    void step(int32_t k)
    {
        Stage& stage = m_stages[static_cast<size_t>(k)];
        const int32_t y = stage.next++;
        uint32_t* out = k + 1 == static_cast<int32_t>(m_stages.size()) ? m_out : ringRow(stage, y);
        stage.columns.means(y, m_divisors[static_cast<size_t>(k)], out);
        if (y >= stage.last)
            return;
        if (k > 0)
            makeRows(k - 1, std::min(m_height - 1, y + radius(k) + 1));
        stage.columns.advance(y, [this, k](int32_t row, int32_t slot) { return inputRow(k, row, slot); });
    }

    int32_t m_plane, m_width, m_height;
    std::vector<BoxDivisors>& m_divisors;
    const PlaneRowFill& m_fill;
    std::vector<uint32_t> m_filled[2];
    std::vector<Stage> m_stages;
    uint32_t* m_out = nullptr;
};

}  // namespace

void boxMeanSeries(int32_t planes, int32_t width, int32_t height, const std::vector<int32_t>& radii,
                   const PlaneRowFill& fill, const MeanRowSink& sink)
{
    if (width <= 0 || height <= 0 || planes <= 0)
        return;
    // A box of radius 0 is the pixel itself.
    std::vector<int32_t> boxes;
    std::copy_if(radii.begin(), radii.end(), std::back_inserter(boxes), [](int32_t r) { return r > 0; });
    // Every band's rings come from one block taken here, where running short of memory can still be
    // reported to the caller. Plain pages: the block is used once, and first-touching it as huge
    // pages (compacting memory for each) took several times longer.
    const size_t ringValues = PlaneSeries::ringValues(boxes, width) * static_cast<size_t>(planes);
    const auto parts = static_cast<size_t>(velthread::partCount());
    std::unique_ptr<uint32_t[]> rings(new uint32_t[std::max<size_t>(1, ringValues * parts)]);
    velthread::parallelRows(height, [&](int32_t part, int32_t begin, int32_t end) {
        if (begin >= end)
            return;
        std::vector<std::vector<uint32_t>> rows(static_cast<size_t>(planes),
                                                std::vector<uint32_t>(static_cast<size_t>(width)));
        std::vector<const uint32_t*> finished(static_cast<size_t>(planes));
        for (size_t p = 0; p < rows.size(); ++p)
            finished[p] = rows[p].data();
        if (boxes.empty()) {
            for (int32_t y = begin; y < end; ++y) {
                for (int32_t p = 0; p < planes; ++p)
                    fill(p, y, rows[static_cast<size_t>(p)].data());
                sink(y, finished.data());
            }
            return;
        }
        std::vector<BoxDivisors> divisors;
        for (int32_t r : boxes)
            divisors.emplace_back(width, height, r);
        uint32_t* ring = rings.get() + ringValues * static_cast<size_t>(part);
        std::vector<std::unique_ptr<PlaneSeries>> series;
        for (int32_t p = 0; p < planes; ++p)
            series.push_back(std::make_unique<PlaneSeries>(p, width, height, divisors, fill, begin, end,
                                                           ring + ringValues / planes * static_cast<size_t>(p)));
        for (int32_t y = begin; y < end; ++y) {
            for (int32_t p = 0; p < planes; ++p)
                series[static_cast<size_t>(p)]->nextRow(rows[static_cast<size_t>(p)].data());
            sink(y, finished.data());
        }
    });
}

void boxMeans(const uint32_t* source, uint32_t* target, int32_t width, int32_t height, int32_t r)
{
    boxMeanSeries(
        1, width, height, {r},
        [source, width](int32_t, int32_t y, uint32_t* row) {
            std::copy_n(source + static_cast<size_t>(y) * width, width, row);
        },
        [target, width](int32_t y, const uint32_t* const* rows) {
            std::copy_n(rows[0], width, target + static_cast<size_t>(y) * width);
        });
}

}  // namespace velimage
