#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "corrections/PollutionMapping.h"

using namespace veltone;

// The row mapping and the foreground adjustment, all lanes at once, give what the pixel rules give
// one pixel at a time, bit for bit: around the background, at black and at the clamps, with and
// without lowered backgrounds.
TEST(PollutionMapping, RowMappingEqualsThePixelRule)
{
    constexpr int32_t width = 1300;  // more than two chunks, with a tail
    constexpr double target = 0x3FFF;
    std::mt19937 random(3);
    std::vector<uint32_t> pixels(3 * width);
    std::vector<double> backgrounds(3 * width);
    for (int32_t x = 0; x < width; ++x)
        for (int32_t c = 0; c < 3; ++c) {
            const size_t i = 3 * static_cast<size_t>(x) + c;
            const double level = 0x4000 + random() % 0x400000;
            switch (x % 9) {
            case 0: pixels[i] = 0; backgrounds[i] = 0; break;          // black stays black
            case 1: pixels[i] = random() % 5000; backgrounds[i] = 0; break;
            case 2: pixels[i] = 0xFFFFFFFFu - random() % 7; backgrounds[i] = level; break;  // stretched past white
            case 3: pixels[i] = random() % 0x3000; backgrounds[i] = target - 5 + random() % 11; break;  // near target
            case 4: pixels[i] = random(); backgrounds[i] = 0x1000000 - 3 + random() % 7 + 0.25; break;  // near white
            case 5:  // one channel far above its background, the others below: each foreground limit
            case 6: {
                const double share = c == 0 ? (x % 9 == 5 ? 3.0 : 1.5) : (random() % 1000) / 1000.0;
                pixels[i] = static_cast<uint32_t>(level * share);
                backgrounds[i] = level;
                break;
            }
            default: pixels[i] = static_cast<uint32_t>(level) - 3000 + random() % 6000; backgrounds[i] = level;
            }
        }
    for (double white : {double(0xFFFFFF), double(0x1800000)})
        for (bool lowered : {false, true}) {
            std::vector<uint32_t> expected = pixels, mapped = pixels;
            for (int32_t x = 0; x < width; ++x) {
                double b[3] = {backgrounds[3 * x], backgrounds[3 * x + 1], backgrounds[3 * x + 2]};
                const double mean = (b[0] + b[1] + b[2]) / 3.0;
                if (lowered)
                    adjustForeground(&expected[3 * x], (x % 5) / 4.0, b);
                mapPixel(&expected[3 * x], b, mean, target, white);
            }
            mapRow(
                mapped.data(), width, target, white,
                [&](int32_t x0, int32_t n, double* out) {
                    std::copy_n(backgrounds.data() + 3 * x0, 3 * n, out);
                },
                [&](int32_t x0, int32_t n, double* out) {
                    std::vector<double> weights(n);
                    for (int32_t k = 0; k < n; ++k)
                        weights[k] = ((x0 + k) % 5) / 4.0;
                    if (lowered)
                        adjustForegrounds(&mapped[3 * x0], weights.data(), n, out);
                });
            for (size_t i = 0; i < mapped.size(); ++i)
                ASSERT_EQ(mapped[i], expected[i]) << "value " << i << ", white " << white << (lowered ? " lowered" : "");
        }
}
