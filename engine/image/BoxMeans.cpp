#include "image/BoxMeans.h"

#include <algorithm>
#include <vector>

#include "parallel/ProcessPool.h"

namespace velimage {

namespace {

// floor(sum / count) through a reciprocal and one correction either way; exact while the sum
// is within double precision, plain division beyond.
inline uint32_t divide(uint64_t sum, uint64_t count, double reciprocal)
{
    if (sum >= (uint64_t{1} << 52))
        return static_cast<uint32_t>(sum / count);
    uint64_t q = static_cast<uint64_t>(static_cast<double>(sum) * reciprocal);
    q -= q * count > sum;
    q += (q + 1) * count <= sum;
    return static_cast<uint32_t>(q);
}

// Sliding sums of width 2r + 1 (cut at the row ends) of value(x) along a row, into out: the
// values of one row, or the difference of the row entering the window and the one leaving it.
struct RowWindow {
    int32_t width, r;

    template <typename Value>
    void slide(const Value& value, int64_t* out) const
    {
        int64_t sum = 0;
        const int32_t first = std::min(r, width - 1);
        for (int32_t x = 0; x <= first; ++x)
            sum += value(x);
        for (int32_t x = 0; x < width; ++x) {
            out[x] = sum;
            if (x + r + 1 < width)
                sum += value(x + r + 1);
            if (x - r >= 0)
                sum -= value(x - r);
        }
    }
};

}  // namespace

void boxMeans(const uint32_t* source, uint32_t* target, int32_t width, int32_t height, int32_t r)
{
    if (width <= 0 || height <= 0)
        return;
    r = std::max(r, 0);
    const auto rowOf = [&](int32_t y) { return source + static_cast<size_t>(y) * width; };
    // Columns of each box and whether it is the full 2r + 1 (then the reciprocal path applies).
    std::vector<uint32_t> columns(static_cast<size_t>(width));
    for (int32_t x = 0; x < width; ++x)
        columns[static_cast<size_t>(x)] = static_cast<uint32_t>(std::min(width - 1, x + r) - std::max(0, x - r) + 1);
    const RowWindow window{width, r};

    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        std::vector<int64_t> column(static_cast<size_t>(width), 0), change(static_cast<size_t>(width));
        for (int32_t y = std::max(0, begin - r); y <= std::min(height - 1, begin + r); ++y) {
            const uint32_t* row = rowOf(y);
            window.slide([row](int32_t x) { return static_cast<int64_t>(row[x]); }, change.data());
            for (int32_t x = 0; x < width; ++x)
                column[static_cast<size_t>(x)] += change[static_cast<size_t>(x)];
        }
        for (int32_t y = begin; y < end; ++y) {
            const uint64_t rows = static_cast<uint64_t>(std::min(height - 1, y + r) - std::max(0, y - r) + 1);
            const uint64_t fullCount = rows * static_cast<uint64_t>(2 * r + 1);
            const double reciprocal = 1.0 / static_cast<double>(fullCount);
            uint32_t* out = target + static_cast<size_t>(y) * width;
            for (int32_t x = 0; x < width; ++x) {
                const auto sum = static_cast<uint64_t>(column[static_cast<size_t>(x)]);
                const uint64_t count = rows * columns[static_cast<size_t>(x)];
                out[x] = count == fullCount ? divide(sum, count, reciprocal) : static_cast<uint32_t>(sum / count);
            }
            if (y + 1 == end)
                break;
            // Move the window down one row: the row below enters, the top row leaves.
            const int32_t entering = y + r + 1, leaving = y - r;
            const bool enters = entering < height, leaves = leaving >= 0;
            if (enters && leaves) {
                const uint32_t* in = rowOf(entering);
                const uint32_t* outgoing = rowOf(leaving);
                window.slide([in, outgoing](int32_t x) { return static_cast<int64_t>(in[x]) - outgoing[x]; },
                             change.data());
            } else if (enters || leaves) {
                const uint32_t* row = rowOf(enters ? entering : leaving);
                const int64_t sign = enters ? 1 : -1;
                window.slide([row, sign](int32_t x) { return sign * static_cast<int64_t>(row[x]); }, change.data());
            } else {
                continue;
            }
            for (int32_t x = 0; x < width; ++x)
                column[static_cast<size_t>(x)] += change[static_cast<size_t>(x)];
        }
    });
}

}  // namespace velimage
