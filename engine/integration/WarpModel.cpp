#include "integration/WarpModel.h"

#include <algorithm>

#include "registration/Matrix.h"

namespace velstack {

bool WarpModel::setFromForward(const float forward[9])
{
    velreg::MatrixF matrix(3, 3), inverse;
    std::copy(forward, forward + 9, matrix.data());
    if (!velreg::invert(matrix, inverse))
        return false;
    a = inverse.at(0, 0);
    b = inverse.at(0, 1);
    c = inverse.at(0, 2);
    d = inverse.at(1, 0);
    e = inverse.at(1, 1);
    f = inverse.at(1, 2);
    return true;
}

}  // namespace velstack
