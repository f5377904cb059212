#pragma once

#include <cmath>
#include <cstdint>

namespace velsky {

// Small counter-based generator: every row, frame and purpose gets its own stream from a key,
// so the images do not depend on how rows are shared out between threads.
class SkyRandom {
public:
    explicit SkyRandom(uint64_t key) : m_state(mix(key)) {}
    SkyRandom(uint64_t seed, uint64_t a, uint64_t b = 0, uint64_t c = 0)
        : m_state(mix(mix(mix(mix(seed) ^ a) ^ (b * 0x9E3779B97F4A7C15ull)) ^ (c * 0xC2B2AE3D27D4EB4Full)))
    {
    }

    uint64_t next()
    {
        m_state += 0x9E3779B97F4A7C15ull;
        return mix(m_state);
    }
    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    double uniform(double low, double high) { return low + (high - low) * uniform(); }
    // Standard normal; Box-Muller in single precision (plenty for pixel noise), keeping the
    // second value for the next call.
    float normal()
    {
        if (m_hasSpare) {
            m_hasSpare = false;
            return m_spare;
        }
        const uint64_t bits = next();
        const float u = (static_cast<float>(bits >> 40) + 0.5f) * (1.0f / 16777216.0f);
        const float v = static_cast<float>((bits >> 16) & 0xFFFFFF) * (6.2831853f / 16777216.0f);
        const float r = std::sqrt(-2.0f * std::log(u));
        m_spare = r * std::sin(v);
        m_hasSpare = true;
        return r * std::cos(v);
    }

    static uint64_t mix(uint64_t z)
    {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

private:
    uint64_t m_state;
    float m_spare = 0.0f;
    bool m_hasSpare = false;
};

}  // namespace velsky
