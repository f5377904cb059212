#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace velimage {

// Box means of a plane of 32-bit values: target(x, y) = floor(sum / count) over the square of
// half-size r about (x, y) cut at the image border, with 64-bit sums: exactly the means an
// IntegralImage gives, at a fraction of its memory traffic. Running sums along each row and down
// the columns make every pixel cost the same whatever r; row bands run on the process pool.
// `source` and `target` are width × height, contiguous, and must not overlap.
void boxMeans(const uint32_t* source, uint32_t* target, int32_t width, int32_t height, int32_t r);

// Row y of plane `plane` into `row` (width values). Called from several jobs at once.
using PlaneRowFill = std::function<void(int32_t plane, int32_t y, uint32_t* row)>;
// The final means of row y, rows[plane] for every plane. Called from several jobs at once, each
// for its own rows in ascending order.
using MeanRowSink = std::function<void(int32_t y, const uint32_t* const* rows)>;

// A series of box means of `planes` planes that are never stored: the first box mean (radius
// radii[0]) of the rows `fill` makes, the next of those means, and so on; `sink` gets the last.
// Each row band runs the whole series as one pipeline that holds only the rows each box mean
// still needs, so no intermediate plane is stored or walked again. The results equal boxMeans
// applied once per radius. Bands overlap by the sum of the later radii, which each band makes
// again; fill is called about twice per row and plane, plus that overlap.
void boxMeanSeries(int32_t planes, int32_t width, int32_t height, const std::vector<int32_t>& radii,
                   const PlaneRowFill& fill, const MeanRowSink& sink);

}  // namespace velimage
