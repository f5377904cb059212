#pragma once

#include <cstdint>
#include <cstdlib>

#include "registration/Star.h"

namespace velreg {

// The triangle of two offsets of one descriptor, as the triangle test compares it: the cross
// product, and the squared-length ratio (scaled by 256) times four plus a kind that two triangles
// must share (the signs of the cross and dot products), or -1 when the first offset has no length
// (it matches no triangle).
struct Triangle {
    int64_t cross;
    int64_t ratioAndKind;

    bool valid() const { return ratioAndKind >= 0; }
    int64_t ratio() const { return ratioAndKind >> 2; }
    int32_t kind() const { return static_cast<int32_t>(ratioAndKind & 3); }
};

// A descriptor's offsets with the quantities the tests need, computed once per descriptor instead of
// once per comparison: squared lengths, and the triangle of every offset with every later one. The
// triangles are packed by their later offset, so a shape is half the size of a square table and
// the triangles a table column reads lie together.
struct DescriptorShape {
    static constexpr int32_t kTriangles = StarDescriptor::kMaxNeighbours * (StarDescriptor::kMaxNeighbours - 1) / 2;

    int32_t count;
    int64_t length[StarDescriptor::kMaxNeighbours];
    Triangle triangles[kTriangles];

    // The triangle of offset `earlier` with offset `later` (earlier < later).
    Triangle& triangle(int32_t earlier, int32_t later) { return triangles[later * (later - 1) / 2 + earlier]; }
    const Triangle& triangle(int32_t earlier, int32_t later) const
    {
        return triangles[later * (later - 1) / 2 + earlier];
    }
};

void makeDescriptorShape(const StarDescriptor& d, DescriptorShape& shape);

// The length test on squared lengths: equal within about 3 %, or 1 apart.
inline bool similarLengths(int64_t lu, int64_t lv)
{
    const int64_t difference = lu > lv ? lu - lv : lv - lu;
    return difference == 1 || 32 * difference < (lu + lv) / 2;
}

// The triangle test on precomputed triangles. The cross products reject most pairs; the rest is
// evaluated without branches, as which of the remaining conditions fails is unpredictable.
inline bool sameTriangleParts(const Triangle& a, const Triangle& b)
{
    if (20 * std::llabs(a.cross - b.cross) > std::llabs(a.cross) + std::llabs(b.cross))
        return false;
    const bool kindAgrees = ((a.ratioAndKind ^ b.ratioAndKind) & 3) == 0;
    const bool bothValid = (a.ratioAndKind | b.ratioAndKind) >= 0;
    const bool ratioAgrees = std::llabs((a.ratioAndKind >> 2) - (b.ratioAndKind >> 2)) < 32;
    return kindAgrees & bothValid & ratioAgrees;
}

}  // namespace velreg
