#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "parallel/Job.h"
#include "registration/DescriptorShape.h"
#include "registration/Star.h"
#include "registration/TriangleIndex.h"

namespace velreg {

// A star of the first pattern paired with a star of the second: positions, descriptor indices and
// score (0 … 1000, 850 for a pair made by identity).
struct StarPair {
    int16_t firstX = 0;
    int16_t firstY = 0;
    int16_t secondX = 0;
    int16_t secondY = 0;
    int16_t firstIndex = 0;
    int16_t secondIndex = 0;
    int32_t score = 0;
};

using StarPairList = std::vector<StarPair>;

constexpr int32_t kIdentityScore = 850;
constexpr int32_t kMinMatchScore = 500;

// Two rows of chain cells reused for every descriptor comparison of one job.
struct ScoreScratch {
    struct Cell {
        int16_t i;
        int16_t j;
        int32_t length;
    };
    Cell rows[2][StarDescriptor::kMaxNeighbours];
};

// Whether two offsets have about the same length (squared lengths within about 3 %).
bool similarLength(StarOffset u, StarOffset v);
// Whether (a1, a2) and (b1, b2) form the same triangle up to rotation (not reflection or scale).
bool sameTriangle(StarOffset a1, StarOffset a2, StarOffset b1, StarOffset b2);

// Rotation- and shift-invariant similarity of two descriptors, 0 … 1000: the longest chain of
// neighbour pairs that agree in length and triangle shape, per neighbour.
int32_t descriptorScore(const StarDescriptor& a, const StarDescriptor& b, ScoreScratch& scratch);

// The second pattern as every job of one match compares against it: the shapes of its descriptors
// and their triangles indexed. Built once per pattern (kept with it), read-only afterwards.
struct PreparedPattern {
    explicit PreparedPattern(const StarPattern& pattern);
    // The pattern's prepared form, made on first use and kept with the pattern.
    static std::shared_ptr<const PreparedPattern> of(const StarPattern& pattern);

    std::vector<DescriptorShape> shapes;
    TriangleIndex index;
};

// Matches a band of the first pattern's descriptors against all of the second's.
class MatchStarsJob : public velthread::Job {
public:
    MatchStarsJob(int32_t firstIndex, int32_t endIndex, const StarPattern& first, const StarPattern& second,
                  const PreparedPattern& prepared);
    void run() override;
    const StarPairList& pairs() const { return m_pairs; }

private:
    int32_t m_firstIndex;
    int32_t m_endIndex;
    int32_t m_firstCount;
    int32_t m_secondCount;
    const StarDescriptor* m_first;
    const StarDescriptor* m_second;
    int32_t m_firstOffered;
    const PreparedPattern* m_prepared;
    StarPairList m_pairs;
};

// Best partner of every first-pattern descriptor (identity first, else score ≥ 500), in first-pattern
// order. True when at least 4 pairs were found. Runs one MatchStarsJob per pool thread.
bool matchAllStars(const StarPattern& first, const StarPattern& second, StarPairList& pairs);

// matchAllStars, then at most one pair per second-pattern star and stationary pairs dropped unless few
// stars moved. False when either pattern has fewer than 3 stars or fewer than 4 pairs were found.
// The pair list is sorted by second position. Neither pattern may be written during the call.
bool matchStars(const StarPattern& first, const StarPattern& second, StarPairList& pairs);

}  // namespace velreg
