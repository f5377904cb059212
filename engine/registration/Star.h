#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace velreg {

// One detected star: whole-pixel position and its detection score (1024 = ratio 1).
struct Star {
    int16_t x = 0;
    int16_t y = 0;
    int32_t brightness = 0;
};

using StarList = std::vector<Star>;

// A star's centre to a fraction of a pixel (pixel centres on whole numbers).
struct SubPixel {
    float x = 0.0f;
    float y = 0.0f;
};

// Offset of a neighbour from the star it describes (neighbour minus star).
struct StarOffset {
    int16_t dx = 0;
    int16_t dy = 0;
};

// A chosen star with the offsets to its nearest neighbours, nearest first. Identity 0 means none;
// non-zero identities are shared with the matching star of earlier patterns.
struct StarDescriptor {
    static constexpr int32_t kMaxNeighbours = 20;

    Star star;
    int32_t neighbourCount = 0;
    std::array<StarOffset, kMaxNeighbours> neighbours{};
    int32_t identity = 0;
};

struct PreparedPattern;

// What matching against a pattern prepares from it, kept with the pattern so that a reference
// matched by every frame of a run prepares it once. Tied to the descriptors it was made from: a
// pattern whose descriptors change prepares again. Copies start empty. Thread-safe.
class PreparedPatternCache {
public:
    PreparedPatternCache() = default;
    PreparedPatternCache(const PreparedPatternCache&) {}
    PreparedPatternCache& operator=(const PreparedPatternCache&)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_prepared.reset();
        return *this;
    }

    // The prepared pattern made for descriptors with this fingerprint, or null.
    std::shared_ptr<const PreparedPattern> find(uint64_t fingerprint) const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_prepared && m_fingerprint == fingerprint ? m_prepared : nullptr;
    }
    void keep(uint64_t fingerprint, std::shared_ptr<const PreparedPattern> prepared) const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_fingerprint = fingerprint;
        m_prepared = std::move(prepared);
    }

private:
    mutable std::mutex m_mutex;
    mutable uint64_t m_fingerprint = 0;
    mutable std::shared_ptr<const PreparedPattern> m_prepared;
};

// The evenly spread choice of a frame's stars that matching works on. Built once per frame and
// read-only afterwards except for the identities.
struct StarPattern {
    std::vector<StarDescriptor> descriptors;  // in order of choice
    int32_t width = 0;                        // frame size the pattern was built for
    int32_t height = 0;
    int32_t offeredCount = 0;  // stars in the list it was built from
    // Sub-pixel centre of each descriptor's star, in descriptor order; empty until measured, NaN
    // for a star that could not be measured (the whole-pixel position stands in for both). Only
    // the transform fits read it.
    std::vector<SubPixel> centres;
    PreparedPatternCache prepared;  // filled by matching against this pattern

    int32_t chosenCount() const { return static_cast<int32_t>(descriptors.size()); }
    bool empty() const { return descriptors.empty(); }
};

}  // namespace velreg
