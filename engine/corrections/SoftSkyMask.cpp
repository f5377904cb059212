#include "corrections/SoftSkyMask.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "parallel/ProcessPool.h"
#include "parallel/VectorClones.h"

namespace veltone {

namespace {

// The span of the boxes of radius r along an axis of `length` positions: max(0, p − r) ..
// min(p + r, length − 2), which at the last position shrinks to the position itself when it would
// be empty (radius 0).
struct BoxSpan {
    int32_t first, last;
};

inline BoxSpan boxSpan(int32_t p, int32_t r, int32_t length)
{
    const int32_t first = std::max(0, p - r);
    return {first, std::max(first, std::min(p + r, length - 2))};
}

// Sums along the boxes of every column of one row of values (a row of the plane, or the difference
// of two rows), from the row's running sums.
class RowBoxSums {
public:
    RowBoxSums(int32_t width, int32_t r) : m_width(width), m_r(r), m_running(static_cast<size_t>(width) + 1, 0)
    {
        for (int32_t x = 0; x < width; ++x) {
            const BoxSpan span = boxSpan(x, r, width);
            m_first.push_back(span.first);
            m_end.push_back(span.last + 1);
            m_counts.push_back(span.last - span.first + 1);
        }
        // Columns whose box lies whole inside the row: first = x − r, end = x + r + 1.
        m_innerBegin = std::min(width, r);
        m_innerEnd = std::max(m_innerBegin, width - 1 - r);
    }

    int32_t count(int32_t x) const { return m_counts[static_cast<size_t>(x)]; }

    // Box sums of the values row[x] (one value per column; `entering` minus `leaving` when both
    // are given) into `out`. The running sums wrap in 32 bits; a box's sum, the difference of two,
    // comes out right while no box can hold 2^31 in magnitude, which only boxes wider than 32767
    // columns could: those take 64-bit running sums.
    void sums(const uint16_t* entering, const uint16_t* leaving, int64_t* out)
    {
        if (m_zeros.empty())
            m_zeros.assign(static_cast<size_t>(m_width), 0);
        entering = entering ? entering : m_zeros.data();
        leaving = leaving ? leaving : m_zeros.data();
        if (2 * static_cast<int64_t>(m_r) + 1 > 32767) {
            wideSums(entering, leaving, out);
            return;
        }
        runningSums(entering, leaving, m_width, m_running.data());
        const uint32_t* running = m_running.data();
        const auto box = [&](int32_t x) {
            return static_cast<int64_t>(static_cast<int32_t>(running[m_end[static_cast<size_t>(x)]] -
                                                             running[m_first[static_cast<size_t>(x)]]));
        };
        for (int32_t x = 0; x < m_innerBegin; ++x)
            out[x] = box(x);
        innerSums(running, m_r, m_innerBegin, m_innerEnd, out);
        for (int32_t x = m_innerEnd; x < m_width; ++x)
            out[x] = box(x);
    }

    bool wide() const { return 2 * static_cast<int64_t>(m_r) + 1 > 32767; }

    // Adds to columns[x], for x in [begin, end), the box sums of entering − leaving, both of which
    // must be equal outside [begin − r, end + r): the running sums only cover the boxes' reach.
    void addSpanSums(const uint16_t* entering, const uint16_t* leaving, int32_t begin, int32_t end, int64_t* columns)
    {
        const int32_t base = std::max(0, begin - m_r), top = std::min(m_width, end + m_r);
        runningSums(entering + base, leaving + base, top - base, m_running.data());
        const uint32_t* running = m_running.data();
        const auto box = [&](int32_t x) {
            return static_cast<int64_t>(static_cast<int32_t>(running[m_end[static_cast<size_t>(x)] - base] -
                                                             running[m_first[static_cast<size_t>(x)] - base]));
        };
        const int32_t innerBegin = std::clamp(m_innerBegin, begin, end);
        const int32_t innerEnd = std::clamp(m_innerEnd, innerBegin, end);
        for (int32_t x = begin; x < innerBegin; ++x)
            columns[x] += box(x);
        addInnerSums(running, m_r - base, -m_r - base, innerBegin, innerEnd, columns);
        for (int32_t x = innerEnd; x < end; ++x)
            columns[x] += box(x);
    }

private:
    VELOSTAR_VECTOR_CLONES
    static void addInnerSums(const uint32_t* __restrict running, int32_t lastOffset, int32_t firstOffset,
                             int32_t begin, int32_t end, int64_t* __restrict columns)
    {
        for (int32_t x = begin; x < end; ++x)
            columns[x] += static_cast<int32_t>(running[x + lastOffset + 1] - running[x + firstOffset]);
    }

    // running[x] = the sum of entering[k] − leaving[k] over k < x, for x = 0 .. width, modulo 2^32:
    // sixteen lanes at a time, a prefix sum within the lanes plus the carry of the lanes before.
    VELOSTAR_VECTOR_CLONES
    static void runningSums(const uint16_t* __restrict entering, const uint16_t* __restrict leaving, int32_t width,
                            uint32_t* __restrict running)
    {
        using Lanes = uint32_t __attribute__((vector_size(64)));
        using Words = uint16_t __attribute__((vector_size(32)));
        const Lanes zero = {};
        Lanes carry = zero;
        running[0] = 0;
        int32_t x = 0;
        for (; x + 16 <= width; x += 16) {
            Words in, out;
            std::memcpy(&in, entering + x, sizeof in);
            std::memcpy(&out, leaving + x, sizeof out);
            Lanes d = __builtin_convertvector(in, Lanes) - __builtin_convertvector(out, Lanes);
            d += __builtin_shufflevector(d, zero, 16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14);
            d += __builtin_shufflevector(d, zero, 16, 16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13);
            d += __builtin_shufflevector(d, zero, 16, 16, 16, 16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11);
            d += __builtin_shufflevector(d, zero, 16, 16, 16, 16, 16, 16, 16, 16, 0, 1, 2, 3, 4, 5, 6, 7);
            const Lanes sums = d + carry;
            std::memcpy(running + x + 1, &sums, sizeof sums);
            carry += __builtin_shufflevector(d, d, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15);
        }
        uint32_t total = running[x];
        for (; x < width; ++x) {
            total += static_cast<uint32_t>(entering[x]) - static_cast<uint32_t>(leaving[x]);
            running[x + 1] = total;
        }
    }

    VELOSTAR_VECTOR_CLONES
    static void innerSums(const uint32_t* __restrict running, int32_t r, int32_t begin, int32_t end,
                          int64_t* __restrict out)
    {
        for (int32_t x = begin; x < end; ++x)
            out[x] = static_cast<int32_t>(running[x + r + 1] - running[x - r]);
    }

    void wideSums(const uint16_t* entering, const uint16_t* leaving, int64_t* out) const
    {
        std::vector<int64_t> running(static_cast<size_t>(m_width) + 1, 0);
        for (int32_t x = 0; x < m_width; ++x)
            running[static_cast<size_t>(x) + 1] =
                running[static_cast<size_t>(x)] + static_cast<int64_t>(entering[x]) - leaving[x];
        for (int32_t x = 0; x < m_width; ++x)
            out[x] = running[static_cast<size_t>(m_end[static_cast<size_t>(x)])] -
                     running[static_cast<size_t>(m_first[static_cast<size_t>(x)])];
    }

    int32_t m_width, m_r, m_innerBegin = 0, m_innerEnd = 0;
    std::vector<uint32_t> m_running;
    std::vector<uint16_t> m_zeros;  // stands in for a row that neither enters nor leaves
    std::vector<int32_t> m_first, m_end, m_counts;
};

VELOSTAR_VECTOR_CLONES
void addSums(int64_t* __restrict columns, const int64_t* __restrict sums, int32_t width)
{
    for (int32_t x = 0; x < width; ++x)
        columns[x] += sums[x];
}

// Columns [begin, end) of a row.
struct Span {
    int32_t begin, end;
};

constexpr int32_t ChunkColumns = 32;

// flags[c] = whether rows a and b differ anywhere in chunk c of ChunkColumns columns.
VELOSTAR_VECTOR_CLONES
void differingChunks(const uint16_t* __restrict a, const uint16_t* __restrict b, int32_t chunks,
                     uint8_t* __restrict flags)
{
    for (int32_t c = 0; c < chunks; ++c) {
        uint16_t difference = 0;
        for (int32_t i = 0; i < ChunkColumns; ++i)
            difference |= a[c * ChunkColumns + i] ^ b[c * ChunkColumns + i];
        flags[c] = difference != 0;
    }
}

// The columns whose boxes of radius r reach a column where rows a and b differ, as spans in
// order, merged where they touch: outside them a box mean stays what it was. A mask is mostly
// long runs of one value, so only a few stretches around its edges change from row to row.
void changedSpans(const uint16_t* a, const uint16_t* b, int32_t width, int32_t r, std::vector<uint8_t>& flags,
                  std::vector<Span>& spans)
{
    spans.clear();
    const int32_t whole = width / ChunkColumns;
    flags.resize(static_cast<size_t>(whole) + 1);
    differingChunks(a, b, whole, flags.data());
    flags[static_cast<size_t>(whole)] =
        std::memcmp(a + whole * ChunkColumns, b + whole * ChunkColumns,
                    sizeof(uint16_t) * static_cast<size_t>(width - whole * ChunkColumns)) != 0;
    for (int32_t c = 0; c <= whole; ++c) {
        if (!flags[static_cast<size_t>(c)])
            continue;
        const int32_t x = c * ChunkColumns;
        const Span span{std::max(0, x - r), std::min(width, x + ChunkColumns + r)};
        if (!spans.empty() && span.begin <= spans.back().end)
            spans.back().end = span.end;
        else
            spans.push_back(span);
    }
}

constexpr double TwoTo52 = 0x1p52;
constexpr uint64_t TwoTo52Bits = 0x4330000000000000;

// floor(sum / count) for sums and counts below 2^52 whose quotient is a 16-bit mean: the sum times
// the reciprocals, rounded to a whole number, is the floor or one above it, and one exact product
// tells which. The rounding adds 2^52, which leaves the integer in the low mantissa bits.
VELOSTAR_VECTOR_CLONES
void boxQuotients(const int64_t* __restrict columns, const double* __restrict counts,
                  const double* __restrict reciprocals, double rows, double rowReciprocal, int32_t width,
                  uint16_t* __restrict out)
{
    for (int32_t x = 0; x < width; ++x) {
        const double exact =
            std::bit_cast<double>(static_cast<uint64_t>(columns[x]) | TwoTo52Bits) - TwoTo52;
        const double rounded = exact * (reciprocals[x] * rowReciprocal) + TwoTo52;
        const double estimate = rounded - TwoTo52;
        const auto quotient = static_cast<uint32_t>(std::bit_cast<uint64_t>(rounded));
        out[x] = static_cast<uint16_t>(quotient - static_cast<uint32_t>(estimate * (counts[x] * rows) > exact));
    }
}

// Sky whose box mean lies below its own value has ground nearby: cleared.
VELOSTAR_VECTOR_CLONES_16
void clearNearGround(const uint16_t* __restrict means, const uint16_t* __restrict values, int32_t width,
                     uint16_t* __restrict out)
{
    for (int32_t x = 0; x < width; ++x)
        out[x] = means[x] < values[x] ? uint16_t{0} : values[x];
}

// The means where the values are non-zero; zeros stay.
VELOSTAR_VECTOR_CLONES_16
void meansWhereNonZero(const uint16_t* __restrict means, const uint16_t* __restrict values, int32_t width,
                       uint16_t* __restrict out)
{
    for (int32_t x = 0; x < width; ++x)
        out[x] = values[x] == 0 ? uint16_t{0} : means[x];
}

// Which rows of a plane repeat the row above them, kept as the last row at or above each row that
// does not: rows j ≤ k are equal where lastNew[k] ≤ j. A repeat that is not known counts as a new
// row, which only costs a comparison. The planes between the steps only hold their new rows; a
// repeat is read from the row it repeats.
class RowRepeats {
public:
    explicit RowRepeats(int32_t height) : m_repeats(static_cast<size_t>(height), 0), m_lastNew(m_repeats.size(), 0) {}

    // From several jobs at once, each on its own rows; then settle().
    void mark(int32_t y, bool repeats) { m_repeats[static_cast<size_t>(y)] = repeats; }

    void settle()
    {
        int32_t last = 0;
        for (size_t y = 0; y < m_repeats.size(); ++y) {
            if (y == 0 || !m_repeats[y])
                last = static_cast<int32_t>(y);
            m_lastNew[y] = last;
        }
    }

    bool equal(int32_t j, int32_t k) const { return m_lastNew[static_cast<size_t>(k)] <= j; }
    bool repeats(int32_t y) const { return y > 0 && equal(y - 1, y); }
    const uint16_t* row(const velimage::Image16& plane, int32_t y) const
    {
        return plane.row(m_lastNew[static_cast<size_t>(y)]);
    }

    // Writes out the repeats of a plane that holds only its new rows.
    void fill(velimage::Image16& plane) const
    {
        velthread::parallelRows(plane.height(), [&](int32_t begin, int32_t end) {
            for (int32_t y = begin; y < end; ++y)
                if (repeats(y))
                    std::copy_n(row(plane, y), plane.width(), plane.row(y));
        });
    }

private:
    std::vector<uint8_t> m_repeats;
    std::vector<int32_t> m_lastNew;
};

RowRepeats rowRepeatsOf(const velimage::Image16& plane)
{
    const int32_t width = plane.width(), height = plane.height();
    RowRepeats repeats(height);
    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        for (int32_t y = std::max(1, begin); y < end; ++y)
            repeats.mark(y, std::memcmp(plane.row(y), plane.row(y - 1), sizeof(uint16_t) * static_cast<size_t>(width)) == 0);
    });
    repeats.settle();
    return repeats;
}

// The box means of radius r of a plane, row by row: emit(y, means) for every row, from several jobs
// at once. Each band of rows keeps the column sums of its current boxes and moves them down a row
// at a time, adding the row sums that enter and taking away those that leave. emit is told when
// the means and the plane's row both repeat those of the row before in its band, so that its row
// repeats the one it made before and need not be made; `made` learns which of its rows repeat.
template <typename Emit>
void boxMeanRows(const velimage::Image16& plane, const RowRepeats& planeRepeats, int32_t r, const Emit& emit,
                 RowRepeats& made)
{
    const int32_t width = plane.width(), height = plane.height();
    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        RowBoxSums rowSums(width, r);
        std::vector<double> counts(static_cast<size_t>(width)), reciprocals(counts.size());
        for (int32_t x = 0; x < width; ++x) {
            counts[static_cast<size_t>(x)] = rowSums.count(x);
            reciprocals[static_cast<size_t>(x)] = 1.0 / rowSums.count(x);
        }
        std::vector<int64_t> columns(static_cast<size_t>(width), 0);
        std::vector<int64_t> sums(static_cast<size_t>(width));
        std::vector<uint16_t> means(static_cast<size_t>(width));
        BoxSpan rows = boxSpan(begin, r, height);
        for (int32_t k = rows.first; k <= rows.last; ++k) {
            rowSums.sums(planeRepeats.row(plane, k), nullptr, sums.data());
            addSums(columns.data(), sums.data(), width);
        }
        const std::vector<uint16_t> zeros(static_cast<size_t>(width), 0);  // a row that neither enters nor leaves
        std::vector<Span> spans;
        std::vector<uint8_t> flags;
        int32_t meansRows = 0;  // the box height `means` holds, 0 before the first row
        for (int32_t y = begin; y < end; ++y) {
            // Both ends of the span only move down, by at most one row.
            const BoxSpan next = boxSpan(y, r, height);
            const uint16_t* entering = next.last > rows.last ? planeRepeats.row(plane, next.last) : zeros.data();
            const uint16_t* leaving = next.first > rows.first ? planeRepeats.row(plane, rows.first) : zeros.data();
            rows = next;
            const int32_t boxRows = rows.last - rows.first + 1;
            // Column sums and means change only around the columns where the row that enters
            // differs from the one that leaves; all-sky and all-ground rows change none.
            spans.clear();
            const bool sameRows = entering != zeros.data() && leaving != zeros.data() &&
                                  planeRepeats.equal(rows.first - 1, rows.last);
            if (entering != leaving && !sameRows) {
                if (rowSums.wide()) {
                    rowSums.sums(entering, leaving, sums.data());
                    addSums(columns.data(), sums.data(), width);
                    spans.push_back({0, width});
                } else {
                    changedSpans(entering, leaving, width, r, flags, spans);
                    for (const Span& span : spans)
                        rowSums.addSpanSums(entering, leaving, span.begin, span.end, columns.data());
                }
            }
            if (boxRows != meansRows) {
                spans.assign(1, Span{0, width});
                meansRows = boxRows;
            }
            const double rowReciprocal = 1.0 / boxRows;
            for (const Span& span : spans)
                boxQuotients(columns.data() + span.begin, counts.data() + span.begin,
                             reciprocals.data() + span.begin, boxRows, rowReciprocal, span.end - span.begin,
                             means.data() + span.begin);
            const bool repeat = y > begin && spans.empty() && planeRepeats.repeats(y);
            made.mark(y, repeat);
            emit(y, means.data(), repeat);
        }
    });
    made.settle();
}

// One row of the 3 × 3 blur 1 2 1 / 2 4 2 / 1 2 1 from the rows above, at and below it (already
// clamped), neighbour columns clamped at both ends.
VELOSTAR_VECTOR_CLONES_16
void binomialRow(const uint16_t* __restrict up, const uint16_t* __restrict mid, const uint16_t* __restrict down,
                 int32_t width, uint16_t* __restrict out)
{
    const auto column = [&](int32_t x) {
        return static_cast<uint32_t>(up[x]) + 2 * static_cast<uint32_t>(mid[x]) + static_cast<uint32_t>(down[x]);
    };
    out[0] = static_cast<uint16_t>((3 * column(0) + column(1) + 7) >> 4);
    for (int32_t x = 1; x + 1 < width; ++x)
        out[x] = static_cast<uint16_t>((column(x - 1) + 2 * column(x) + column(x + 1) + 7) >> 4);
    out[width - 1] = static_cast<uint16_t>((column(width - 2) + 3 * column(width - 1) + 7) >> 4);
}

// A row whose rows above, at and below repeat those of the row before it repeats its blurred row,
// which is not made again.
void binomialBlur(const velimage::Image16& from, const RowRepeats& fromRepeats, velimage::Image16& to,
                  RowRepeats& toRepeats)
{
    const int32_t w = from.width(), h = from.height();
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const bool repeat = y > 0 && fromRepeats.equal(std::max(0, y - 2), std::min(h - 1, y + 1));
            toRepeats.mark(y, repeat);
            if (!repeat)
                binomialRow(fromRepeats.row(from, std::max(0, y - 1)), fromRepeats.row(from, y),
                            fromRepeats.row(from, std::min(h - 1, y + 1)), w, to.row(y));
        }
    });
    toRepeats.settle();
}

}  // namespace

bool makeSoftSkyMask(const velimage::Image16& mask, int32_t q, int32_t passes, velimage::Image16& soft)
{
    if (mask.empty() || mask.channels() != 1 || q <= 0 || mask.width() < 2 || mask.height() < 2)
        return false;
    velimage::Image16 current;
    const int32_t width = mask.width(), height = mask.height();
    const int32_t radius = std::max(1, std::min(width, height) / q);
    velimage::Image16 next;
    current.allocate(width, height, 1);
    next.allocate(width, height, 1);

    RowRepeats currentRepeats = rowRepeatsOf(mask), nextRepeats(height);
    boxMeanRows(
        mask, currentRepeats, radius,
        [&](int32_t y, const uint16_t* means, bool repeat) {
            if (!repeat)
                clearNearGround(means, mask.row(y), width, current.row(y));
        },
        nextRepeats);
    std::swap(currentRepeats, nextRepeats);
    boxMeanRows(
        current, currentRepeats, radius,
        [&](int32_t y, const uint16_t* means, bool repeat) {
            if (!repeat)
                std::copy_n(means, width, next.row(y));
        },
        nextRepeats);
    current.swapContent(next);
    std::swap(currentRepeats, nextRepeats);
    for (int32_t round = 0; round < 4; ++round) {
        boxMeanRows(
            current, currentRepeats, radius / 4,
            [&](int32_t y, const uint16_t* means, bool repeat) {
                if (!repeat)
                    meansWhereNonZero(means, currentRepeats.row(current, y), width, next.row(y));
            },
            nextRepeats);
        current.swapContent(next);
        std::swap(currentRepeats, nextRepeats);
    }
    for (int32_t pass = 0; pass < passes; ++pass) {
        binomialBlur(current, currentRepeats, next, nextRepeats);
        current.swapContent(next);
        std::swap(currentRepeats, nextRepeats);
    }
    currentRepeats.fill(current);
    soft.swapContent(current);
    return true;
}

}  // namespace veltone
