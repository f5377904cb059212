#pragma once

#include <cstdint>
#include <memory>

#include "corrections/ToneState.h"

namespace veltone {

enum class ToneCurve { Srgb, AdobeRgb, HighDynamicRange };

// curve(t) for t in [0, 1].
float toneCurveValue(ToneCurve curve, float t);

// A lookup over the whole working scale: entry i = round(curve(i / 0xFFFFFF) · 0xFFFFFF) half up;
// sample v maps to entry min(v, 0xFFFFFF). 64 MiB, built on the pool, freed with the object.
class ToneTable {
public:
    static constexpr uint32_t Size = 0x1000000;

    explicit ToneTable(ToneCurve curve);

    uint32_t operator[](uint32_t value) const { return m_entries[value < Size ? value : Size - 1]; }
    // Maps every sample of the image through the table.
    void apply(AccumulationImage& image) const;

private:
    struct Release {
        void operator()(uint32_t* entries) const;
    };
    // Lookups jump across 64 MiB: the table sits on huge pages where the system offers them.
    std::unique_ptr<uint32_t[], Release> m_entries;
};

}  // namespace veltone
