#include "support/TransformCheck.h"

#include <algorithm>
#include <cmath>

namespace veltest {

MapError mapError(const double t[6], const std::array<double, 6>& m, int width, int height)
{
    MapError error;
    double sum = 0.0;
    int count = 0;
    const int steps = 40;
    for (int j = 0; j <= steps; ++j)
        for (int i = 0; i <= steps; ++i) {
            const double x = (width - 1) * double(i) / steps, y = (height - 1) * double(j) / steps;
            const double dx = t[0] * x + t[1] * y + t[2] - (m[0] * x + m[1] * y + m[2]);
            const double dy = t[3] * x + t[4] * y + t[5] - (m[3] * x + m[4] * y + m[5]);
            sum += dx * dx + dy * dy;
            error.worst = std::max(error.worst, std::hypot(dx, dy));
            ++count;
        }
    error.rms = std::sqrt(sum / count);
    return error;
}

}  // namespace veltest
