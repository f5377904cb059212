#include "registration/DescriptorShape.h"

#include <algorithm>

namespace velreg {

void makeDescriptorShape(const StarDescriptor& d, DescriptorShape& shape)
{
    shape.count = std::min(d.neighbourCount, StarDescriptor::kMaxNeighbours);
    for (int32_t i = 0; i < shape.count; ++i) {
        const StarOffset o = d.neighbours[i];
        shape.length[i] = int64_t{o.dx} * o.dx + int64_t{o.dy} * o.dy;
    }
    for (int32_t q = 1; q < shape.count; ++q) {
        const StarOffset o = d.neighbours[q];
        for (int32_t p = 0; p < q; ++p) {
            const StarOffset e = d.neighbours[p];
            Triangle& t = shape.triangle(p, q);
            // 64-bit throughout: offsets across a large frame overflow 32-bit cross products.
            t.cross = int64_t{e.dx} * o.dy - int64_t{e.dy} * o.dx;
            const int64_t dot = int64_t{e.dx} * o.dx + int64_t{e.dy} * o.dy;
            const int64_t kind = (t.cross > 0 ? 2 : 0) + (dot > 0 ? 1 : 0);
            t.ratioAndKind = shape.length[p] > 0 ? 4 * (256 * shape.length[q] / shape.length[p]) + kind : -1;
        }
    }
}

}  // namespace velreg
