#include "registration/Alignment.h"

#include "registration/AffineFit.h"

namespace velreg {

bool matchAndFit(const StarPattern& first, const StarPattern& second, StarPairList& pairs, MatrixF& transform)
{
    pairs.clear();
    if (!matchStars(first, second, pairs) || pairs.size() < kMinAlignPairs)
        return false;
    if (!fitAffine(pairs, transform))
        return false;
    rejectOutliers(first, transform, pairs);
    return true;
}

bool alignPatterns(const StarPattern& first, const StarPattern& second, MatrixF& transform)
{
    StarPairList pairs;
    if (!matchAndFit(first, second, pairs, transform))
        return false;
    return fitAffine(pairs, transform);
}

void copyIdentities(const StarPairList& pairs, StarPattern& first, const StarPattern& second)
{
    for (const StarPair& pair : pairs) {
        if (pair.firstIndex < 0 || pair.firstIndex >= first.chosenCount() || pair.secondIndex < 0 ||
            pair.secondIndex >= second.chosenCount())
            continue;
        first.descriptors[pair.firstIndex].identity = second.descriptors[pair.secondIndex].identity;
    }
}

bool alignWithIdentities(StarPattern& first, const StarPattern& second)
{
    StarPairList pairs;
    MatrixF transform;
    if (!matchAndFit(first, second, pairs, transform))
        return false;
    copyIdentities(pairs, first, second);
    return true;
}

}  // namespace velreg
