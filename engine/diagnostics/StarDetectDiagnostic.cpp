#include <cmath>
#include <new>

#include "Diagnostics.h"
#include "diagnostics/DiagnosticRuns.h"
#include "parallel/ProcessPool.h"
#include "registration/Alignment.h"
#include "registration/StarPattern.h"

namespace veldiag {

StarDetectOutcome runStarDetect()
{
    const float angle = 0.034906585f;
    const float c = std::cos(angle), s = std::sin(angle);
    const float tx = 100.0f * s - 2000.0f * c + 2000.0f;
    const float ty = 100.0f - (2000.0f * s + 100.0f * c);
    StarDetectOutcome outcome;
    const float turn[6] = {c, -s, tx, s, c, ty};
    std::copy_n(turn, 6, outcome.expected);

    const velreg::StarList stars = {{100, 500, 100}, {300, 200, 99},   {400, 100, 80},
                                    {4000, 2000, 97}, {1000, 2000, 96}, {3000, 1000, 98}};
    velreg::StarList turned;
    for (const velreg::Star& star : stars) {
        const float x = c * star.x - s * star.y + tx, y = s * star.x + c * star.y + ty;
        turned.push_back({static_cast<int16_t>(x + 0.5f), static_cast<int16_t>(y + 0.5f), star.brightness});
    }

    const velthread::ProcessPoolScope pool;
    const velreg::StarPattern first = velreg::buildStarPattern(stars, 4000, 4000, velreg::kPatternStars, velreg::kPatternGrid);
    const velreg::StarPattern second =
        velreg::buildStarPattern(turned, 4000, 4000, velreg::kPatternStars, velreg::kPatternGrid);
    velreg::MatrixF transform;
    velreg::AlignStats stats;
    outcome.fitted = velreg::alignPatterns(first, second, transform, &stats);
    outcome.pairs = stats.pairs;
    if (outcome.fitted)
        for (int32_t i = 0; i < 6; ++i)
            outcome.transform[i] = transform.at(i / 3, i % 3);
    return outcome;
}

}  // namespace veldiag

void testStarDetect()
{
    try {
        veldiag::runStarDetect();
    } catch (...) {
        // A self-check has nobody to tell.
    }
}
