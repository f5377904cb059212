#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace velimage {

// Box means of a plane of 32-bit values: target(x, y) = floor(sum / count) over the square of
// half-size r about (x, y) cut at the image border, with 64-bit sums: exactly the means an
// IntegralImage gives, at a fraction of its memory traffic. Running sums along each row and down
// the columns make every pixel cost the same whatever r; row bands run on the process pool.
// `source` and `target` are width × height, contiguous, and must not overlap.
void boxMeans(const uint32_t* source, uint32_t* target, int32_t width, int32_t height, int32_t r);

// The same means of a plane that is never stored: fillRow(y, row) writes the `width` values of
// row y. It is called from several jobs at once, about twice per row.
using RowFill = std::function<void(int32_t y, uint32_t* row)>;
void boxMeans(const RowFill& fillRow, uint32_t* target, int32_t width, int32_t height, int32_t r);

// The means of a stored plane one row after another from `firstRow` on, for a pass that uses
// those of several planes together and need not store them. One band's worth, for one job.
class BoxMeanRows {
public:
    BoxMeanRows(const uint32_t* source, int32_t width, int32_t height, int32_t r, int32_t firstRow);
    ~BoxMeanRows();
    BoxMeanRows(const BoxMeanRows&) = delete;
    BoxMeanRows& operator=(const BoxMeanRows&) = delete;

    // The means of the next row into `out` (width values).
    void next(uint32_t* out);

private:
    class Band;
    std::unique_ptr<Band> m_band;
};

}  // namespace velimage
