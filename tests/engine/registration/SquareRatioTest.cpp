#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "registration/SquareRatio.h"

namespace {

// Luminance planes that reach every path of the ratio: ordinary values, bright specks in nearly
// black rings (quotients far beyond the fast range) and a noisy mid-grey sky.
std::vector<uint8_t> plane(int32_t kind, int32_t width, int32_t height, uint32_t seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> sky(25, 5);
    std::vector<uint8_t> lum(static_cast<size_t>(width) * height);
    for (uint8_t& v : lum)
        v = kind == 0   ? static_cast<uint8_t>(random() % 256)
            : kind == 1 ? static_cast<uint8_t>(random() % 60 == 0 ? 200 + random() % 56 : random() % 2)
                        : static_cast<uint8_t>(std::clamp(sky(random), 0.0, 255.0));
    return lum;
}

}  // namespace

TEST(SquareRatio, EveryCandidateAndRatioIsTheExactDefinition)
{
    constexpr int32_t kWidth = 300, kHeight = 40;
    int64_t candidates = 0;
    for (int32_t kind = 0; kind < 3; ++kind)
        for (int32_t r0 = 1; r0 <= 2; ++r0) {
            const int32_t r1 = r0 + 3 + 2 * kind, reach = r1 + 3;
            const int32_t x0 = reach + 1, x1 = kWidth - reach - 2;
            const std::vector<uint8_t> lum = plane(kind, kWidth, kHeight, static_cast<uint32_t>(10 * kind + r0));
            const auto box = [&](int32_t x, int32_t y, int32_t r) {
                int64_t sum = 0;
                for (int32_t yy = y - r; yy <= y + r; ++yy)
                    for (int32_t xx = x - r; xx <= x + r; ++xx)
                        sum += lum[static_cast<size_t>(yy) * kWidth + xx];
                return sum;
            };
            velreg::SquareRatioRows rows(r0, r1, x0, x1);
            // Every word its own floor, some below the least star luminance (which still holds).
            const std::vector<uint8_t> floors{0, 30, 8, 12, 90};
            std::vector<uint32_t> ratio(kWidth);
            for (int32_t y = reach; y < kHeight - reach; ++y) {
                std::vector<uint64_t> words((kWidth + 63) / 64, 0);
                rows.candidates(lum.data(), kWidth, y, floors.data(), ratio.data(), words.data());
                for (int32_t x = x0; x < x1; ++x) {
                    int64_t best = 0;
                    for (int32_t k = r0; k <= r1; ++k) {
                        const int64_t area = (2 * k + 1) * (2 * k + 1), ringArea = (2 * k + 7) * (2 * k + 7) - area;
                        const int64_t inner = box(x, y, k), ring = std::max<int64_t>(box(x, y, k + 3) - inner, 1);
                        const int64_t v = 1024 * inner / area * ringArea / ring;
                        best = std::max(best, v > 1024 ? (v - 1024) * k + 1024 : v);
                    }
                    const uint8_t floor = std::max(floors[static_cast<size_t>(x >> 6)], velreg::kMinStarLuminance);
                    const bool candidate = best > 1024 && lum[static_cast<size_t>(y) * kWidth + x] >= floor;
                    ASSERT_EQ(candidate, ((words[static_cast<size_t>(x >> 6)] >> (x & 63)) & 1) != 0) << x << ", " << y;
                    if (candidate) {
                        ASSERT_EQ(best, ratio[static_cast<size_t>(x)]) << x << ", " << y << " kind " << kind;
                    }
                    candidates += candidate;
                }
            }
        }
    EXPECT_GT(candidates, 10000);
}
