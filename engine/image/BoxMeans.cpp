#include "image/BoxMeans.h"

#include <algorithm>
#include <vector>

#include "parallel/ProcessPool.h"

namespace velimage {

namespace {

// floor(sum / count) from an estimate of the quotient and one correction either way: exact
// while the sum is within double precision, plain division beyond.
inline uint32_t floorQuotient(uint64_t sum, uint64_t count, double reciprocal)
{
    if (sum >= (uint64_t{1} << 52))
        return static_cast<uint32_t>(sum / count);
    // Signed conversions: the unsigned ones cost a branch each without wider instruction sets.
    auto q = static_cast<uint64_t>(static_cast<int64_t>(static_cast<double>(static_cast<int64_t>(sum)) * reciprocal));
    q -= q * count > sum;
    q += (q + 1) * count <= sum;
    return static_cast<uint32_t>(q);
}

// A stored plane, or rows made on request.
struct RowSource {
    const uint32_t* plane = nullptr;
    const RowFill* fill = nullptr;
};

// The sums of one band of rows. Column sums of the 2r + 1 rows about the current one are kept in
// a row with r + 1 zeros on the left and r on the right, so that the running sum along it needs
// no cut at the row ends and carries one addition from pixel to pixel.
class BandSums {
public:
    BandSums(const RowSource& source, int32_t width, int32_t height, int32_t r)
        : m_source(source), m_width(width), m_height(height), m_r(r),
          m_padded(static_cast<size_t>(width) + 2 * static_cast<size_t>(r) + 1, 0)
    {
        if (!source.plane) {
            m_filled[0].resize(static_cast<size_t>(width));
            m_filled[1].resize(static_cast<size_t>(width));
        }
    }

    // Column sums of the rows about `y`, from scratch.
    void start(int32_t y)
    {
        int64_t* column = columns();
        std::fill_n(column, m_width, int64_t{0});
        for (int32_t k = std::max(0, y - m_r); k <= std::min(m_height - 1, y + m_r); ++k) {
            const uint32_t* in = rowOf(k, 0);
            for (int32_t x = 0; x < m_width; ++x)
                column[x] += in[x];
        }
    }

    // From the rows about `y` to those about y + 1: whole rows at once, so the loops vectorise.
    void advance(int32_t y)
    {
        const int32_t entering = y + m_r + 1, leaving = y - m_r;
        int64_t* column = columns();
        if (entering < m_height && leaving >= 0) {
            const uint32_t* in = rowOf(entering, 0);
            const uint32_t* out = rowOf(leaving, 1);
            for (int32_t x = 0; x < m_width; ++x)
                column[x] += static_cast<int64_t>(in[x]) - static_cast<int64_t>(out[x]);
        } else if (entering < m_height) {
            const uint32_t* in = rowOf(entering, 0);
            for (int32_t x = 0; x < m_width; ++x)
                column[x] += in[x];
        } else if (leaving >= 0) {
            const uint32_t* out = rowOf(leaving, 1);
            for (int32_t x = 0; x < m_width; ++x)
                column[x] -= out[x];
        }
    }

    // Square sums along the current rows, handed to emit(x, sum) from left to right.
    template <typename Emit>
    void slide(const Emit& emit) const
    {
        const int64_t* padded = m_padded.data();
        const int32_t span = 2 * m_r + 1;
        int64_t sum = 0;
        for (int32_t k = 0; k < span; ++k)
            sum += padded[k];
        for (int32_t x = 0; x < m_width; ++x) {
            sum += padded[x + span] - padded[x];
            emit(x, static_cast<uint64_t>(sum));
        }
    }

private:
    int64_t* columns() { return m_padded.data() + m_r + 1; }
    // Row y of the source; made rows go to one of two buffers, so two can be held at once.
    const uint32_t* rowOf(int32_t y, int32_t slot)
    {
        if (m_source.plane)
            return m_source.plane + static_cast<size_t>(y) * m_width;
        uint32_t* row = m_filled[slot].data();
        (*m_source.fill)(y, row);
        return row;
    }

    RowSource m_source;
    std::vector<uint32_t> m_filled[2];
    int32_t m_width, m_height, m_r;
    std::vector<int64_t> m_padded;
};

// The means of one band, row after row from `firstRow` on.
class MeanRows {
public:
    MeanRows(const RowSource& source, int32_t width, int32_t height, int32_t r, int32_t firstRow)
        : m_sums(source, width, height, std::max(r, 0)), m_width(width), m_height(height), m_r(std::max(r, 0)),
          m_y(firstRow), m_columns(static_cast<size_t>(width)), m_columnReciprocals(static_cast<size_t>(width)),
          m_reciprocals(static_cast<size_t>(width))
    {
        // Columns of each box and the reciprocal of that count.
        for (int32_t x = 0; x < width; ++x) {
            m_columns[static_cast<size_t>(x)] =
                static_cast<uint32_t>(std::min(width - 1, x + m_r) - std::max(0, x - m_r) + 1);
            m_columnReciprocals[static_cast<size_t>(x)] = 1.0 / m_columns[static_cast<size_t>(x)];
        }
        m_sums.start(firstRow);
    }

    void next(uint32_t* out)
    {
        const int32_t y = m_y++;
        const uint64_t rows = static_cast<uint64_t>(std::min(m_height - 1, y + m_r) - std::max(0, y - m_r) + 1);
        const double rowReciprocal = 1.0 / static_cast<double>(rows);
        for (int32_t x = 0; x < m_width; ++x)
            m_reciprocals[static_cast<size_t>(x)] = m_columnReciprocals[static_cast<size_t>(x)] * rowReciprocal;
        m_sums.slide([&](int32_t x, uint64_t sum) {
            out[x] = floorQuotient(sum, rows * m_columns[static_cast<size_t>(x)], m_reciprocals[static_cast<size_t>(x)]);
        });
        if (m_y < m_height)
            m_sums.advance(y);
    }

private:
    BandSums m_sums;
    int32_t m_width, m_height, m_r, m_y;
    std::vector<uint32_t> m_columns;
    std::vector<double> m_columnReciprocals, m_reciprocals;
};

void boxMeansOf(const RowSource& source, uint32_t* target, int32_t width, int32_t height, int32_t r)
{
    if (width <= 0 || height <= 0)
        return;
    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        MeanRows rows(source, width, height, r, begin);
        for (int32_t y = begin; y < end; ++y)
            rows.next(target + static_cast<size_t>(y) * width);
    });
}

}  // namespace

void boxMeans(const uint32_t* source, uint32_t* target, int32_t width, int32_t height, int32_t r)
{
    boxMeansOf({source, nullptr}, target, width, height, r);
}

void boxMeans(const RowFill& fillRow, uint32_t* target, int32_t width, int32_t height, int32_t r)
{
    boxMeansOf({nullptr, &fillRow}, target, width, height, r);
}

class BoxMeanRows::Band : public MeanRows {
    using MeanRows::MeanRows;
};

BoxMeanRows::BoxMeanRows(const uint32_t* source, int32_t width, int32_t height, int32_t r, int32_t firstRow)
    : m_band(std::make_unique<Band>(RowSource{source, nullptr}, width, height, r, firstRow))
{
}

BoxMeanRows::~BoxMeanRows() = default;

void BoxMeanRows::next(uint32_t* out) { m_band->next(out); }

}  // namespace velimage
