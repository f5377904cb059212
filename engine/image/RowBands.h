#pragma once

#include <cstdint>

#include "parallel/ProcessPool.h"

namespace velimage {

// Row-band pass for the loaders: `parts` bands on the process pool, or inline with fewer than
// two parts or no pool (concurrent decodes share the pool by asking for fewer parts).
template <typename F>
void runRowBands(int parts, int32_t rows, F&& body)
{
    velthread::ThreadPool* pool = velthread::processPool();
    if (!pool || parts < 2) {
        body(int32_t{0}, rows);
        return;
    }
    pool->parallelFor(body, parts, rows);
}

}  // namespace velimage
