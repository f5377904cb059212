#include "integration/WarpModel.h"

#include <algorithm>
#include <cmath>

namespace velstack {

bool invertMatrix(const float* matrix, int32_t n, float* inverse)
{
    constexpr int32_t MaxSize = 4;
    constexpr float SingularPivot = 1e-7f;
    if (n < 1 || n > MaxSize)
        return false;
    float left[MaxSize][MaxSize], right[MaxSize][MaxSize];
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j) {
            left[i][j] = matrix[i * n + j];
            right[i][j] = i == j ? 1.0f : 0.0f;
        }
    for (int32_t k = 0; k < n; ++k) {
        int32_t pivot = k;
        for (int32_t i = k + 1; i < n; ++i)
            if (std::fabs(left[i][k]) > std::fabs(left[pivot][k]))
                pivot = i;
        if (!(std::fabs(left[pivot][k]) >= SingularPivot))
            return false;
        if (pivot != k)
            for (int32_t j = 0; j < n; ++j) {
                std::swap(left[k][j], left[pivot][j]);
                std::swap(right[k][j], right[pivot][j]);
            }
        for (int32_t i = 0; i < n; ++i) {
            if (i == k)
                continue;
            const float factor = left[i][k] / left[k][k];
            for (int32_t j = 0; j < n; ++j) {
                left[i][j] -= factor * left[k][j];
                right[i][j] -= factor * right[k][j];
            }
        }
    }
    for (int32_t i = 0; i < n; ++i) {
        const float diagonal = left[i][i];
        for (int32_t j = 0; j < n; ++j)
            inverse[i * n + j] = std::fabs(diagonal) < SingularPivot ? right[i][j] : right[i][j] / diagonal;
    }
    return true;
}

bool WarpModel::setFromForward(const float forward[9])
{
    float inverse[9];
    if (!invertMatrix(forward, 3, inverse))
        return false;
    a = inverse[0];
    b = inverse[1];
    c = inverse[2];
    d = inverse[3];
    e = inverse[4];
    f = inverse[5];
    return true;
}

}  // namespace velstack
