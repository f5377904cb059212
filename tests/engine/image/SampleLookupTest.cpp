#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "image/ColorConversion.h"
#include "image/SampleLookup.h"

using namespace velimage;

namespace {

std::array<uint16_t, 256> scrambledTable()
{
    std::array<uint16_t, 256> table {};
    for (int v = 0; v < 256; ++v)
        table[v] = static_cast<uint16_t>((v * 40503u) ^ 0xA5C3u);  // every byte of the entry varies
    return table;
}

std::vector<uint8_t> everyByteValue(size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(i * 97 + 13);
    return bytes;
}

}  // namespace

// Every length around the vector block sizes, both into a separate row and widened in place (the
// JPEG reader's case); the first and last sample are where a block loop goes wrong.
TEST(SampleLookup, EveryVersionWidensLikeTheTableSays)
{
    const auto table = scrambledTable();
    for (const SampleLookupVersion& version : sampleLookupVersions()) {
        SCOPED_TRACE(version.name);
        for (size_t count : {0u, 1u, 15u, 16u, 17u, 63u, 64u, 65u, 127u, 128u, 129u, 256u, 1000u, 18001u}) {
            SCOPED_TRACE(count);
            const std::vector<uint8_t> input = everyByteValue(count);
            std::vector<uint16_t> separate(count + 1, 0xBEEF);
            version.widen(input.data(), separate.data(), count, table);
            std::vector<uint16_t> inPlace(count + 1, 0xBEEF);
            std::copy(input.begin(), input.end(), reinterpret_cast<uint8_t*>(inPlace.data()));
            version.widen(reinterpret_cast<const uint8_t*>(inPlace.data()), inPlace.data(), count, table);
            for (size_t i = 0; i < count; ++i) {
                ASSERT_EQ(separate[i], table[input[i]]) << i;
                ASSERT_EQ(inPlace[i], table[input[i]]) << i;
            }
            EXPECT_EQ(separate[count], 0xBEEF);  // nothing written past the end
            EXPECT_EQ(inPlace[count], 0xBEEF);
        }
    }
}

// All 65536 inputs through the real decoding curve, in place and into another row, touching
// nothing outside the given range.
TEST(SampleLookup, MapsEverySampleThroughTheCurve)
{
    const uint16_t* curve = srgbDecodingCurve();
    std::vector<uint16_t> samples(65536 + 2);
    for (size_t i = 0; i < 65536; ++i)
        samples[i + 1] = static_cast<uint16_t>(65535 - i);
    samples.front() = samples.back() = 65535;
    const std::vector<uint16_t> before = samples;
    std::vector<uint16_t> separate(samples.size(), 0xBEEF);
    mapThroughCurve(samples.data() + 1, separate.data() + 1, 65536, curve);
    mapThroughCurve(samples.data() + 1, samples.data() + 1, 65536, curve);
    EXPECT_EQ(samples.front(), before.front());
    EXPECT_EQ(samples.back(), before.back());
    EXPECT_EQ(separate.back(), 0xBEEF);
    for (size_t i = 1; i + 1 < samples.size(); ++i) {
        ASSERT_EQ(samples[i], curve[before[i]]) << i;
        ASSERT_EQ(separate[i], curve[before[i]]) << i;
    }
}
