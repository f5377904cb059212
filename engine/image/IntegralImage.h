#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "parallel/LargeBuffer.h"
#include "parallel/ProcessPool.h"

namespace velimage {

// Summed-area table with 64-bit sums: (width + 1) × (height + 1) entries, first row and column 0,
// entry (y, x) = sum of the values over rows 0 … y − 1 and columns 0 … x − 1. Every box sum is
// then four reads. Built row-parallel on the process pool; the storage is kept when the next
// build has the same size. Read-only after build: any number of jobs may query it at once.
class IntegralImage {
public:
    // An inclusive rectangle of pixels, possibly empty (x1 < x0 or y1 < y0).
    struct Box {
        int32_t x0, y0, x1, y1;
        bool empty() const { return x1 < x0 || y1 < y0; }
        uint64_t pixels() const
        {
            return empty() ? 0 : static_cast<uint64_t>(x1 - x0 + 1) * static_cast<uint64_t>(y1 - y0 + 1);
        }
    };

    // One plane of `width` × `height` values, `rowStride` elements from row to row and `step`
    // from value to value (step 3 and an offset pointer read one channel of an RGB image).
    template <typename T>
    void build(const T* plane, int32_t width, int32_t height, size_t rowStride, size_t step = 1)
    {
        buildFrom(width, height, [plane, rowStride, step](int32_t y) {
            const T* row = plane + static_cast<size_t>(y) * rowStride;
            return [row, step](int32_t x) { return static_cast<uint64_t>(row[static_cast<size_t>(x) * step]); };
        });
    }

    // A contiguous 8-bit plane (the star detector's luminance).
    void build(const uint8_t* plane, int32_t width, int32_t height)
    {
        build(plane, width, height, static_cast<size_t>(std::max(width, 0)));
    }

    // Values computed on the fly: rowReader(y) returns a callable that gives the value at column x.
    template <typename RowReader>
    void buildFrom(int32_t width, int32_t height, const RowReader& rowReader)
    {
        reserve(width, height);
        const size_t stride = this->stride();
        uint64_t* sums = m_sums.get();
        std::fill(sums, sums + stride, uint64_t{0});
        // Along the rows, then down the columns: both passes split without overlap.
        velthread::parallelRows(m_height, [&](int32_t begin, int32_t end) {
            for (int32_t y = begin; y < end; ++y) {
                const auto valueAt = rowReader(y);
                uint64_t* target = sums + (static_cast<size_t>(y) + 1) * stride;
                uint64_t running = 0;
                target[0] = 0;
                for (int32_t x = 0; x < m_width; ++x) {
                    running += valueAt(x);
                    target[x + 1] = running;
                }
            }
        });
        addColumns();
    }

    void release();

    int32_t width() const { return m_width; }
    int32_t height() const { return m_height; }
    size_t stride() const { return static_cast<size_t>(m_width) + 1; }
    const uint64_t* row(int32_t y) const { return m_sums.get() + static_cast<size_t>(y) * stride(); }

    // Sum over the square of half-size `radius` centred on (x, y); the square must lie inside.
    uint64_t squareSum(int32_t x, int32_t y, int32_t radius) const
    {
        const uint64_t* top = row(y - radius);
        const uint64_t* bottom = row(y + radius + 1);
        return bottom[x + radius + 1] - bottom[x - radius] - top[x + radius + 1] + top[x - radius];
    }

    // Sum over a non-empty box inside the image.
    uint64_t sum(const Box& box) const
    {
        const uint64_t* top = row(box.y0);
        const uint64_t* bottom = row(box.y1 + 1);
        return bottom[box.x1 + 1] - bottom[box.x0] - top[box.x1 + 1] + top[box.x0];
    }

    // The square of half-size r about (x, y) cut to columns 0 … lastColumn and rows 0 … lastRow.
    static Box clippedBox(int32_t x, int32_t y, int32_t r, int32_t lastColumn, int32_t lastRow)
    {
        return {std::max(0, x - r), std::max(0, y - r), std::min(x + r, lastColumn), std::min(y + r, lastRow)};
    }

    // Integer mean over the clipped square (0 for an empty box).
    uint64_t clippedMean(int32_t x, int32_t y, int32_t r, int32_t lastColumn, int32_t lastRow) const
    {
        const Box box = clippedBox(x, y, r, lastColumn, lastRow);
        return box.empty() ? 0 : sum(box) / box.pixels();
    }

private:
    void reserve(int32_t width, int32_t height);
    void addColumns();

    velmem::Buffer<uint64_t> m_sums;
    size_t m_capacity = 0;
    int32_t m_width = 0;
    int32_t m_height = 0;
};

}  // namespace velimage
