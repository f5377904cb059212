#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "integration/FrameWarper.h"
#include "integration/FreezeGroundFinish.h"
#include "integration/GroundSelection.h"
#include "integration/PerPixelIntegration.h"
#include "integration/SigmaClipping.h"

using namespace velstack;

namespace {

// One stored entry's row: (R = G = B = value, flag word) per pixel.
struct EntryRow {
    int32_t marker;
    std::vector<uint16_t> pixels;
};

EntryRow entry(int32_t marker, std::initializer_list<std::pair<uint16_t, uint16_t>> valueAndFlags)
{
    EntryRow row{marker, {}};
    for (const auto& [value, flags] : valueAndFlags)
        row.pixels.insert(row.pixels.end(), {value, value, value, flags});
    return row;
}

constexpr uint16_t Covered = CoveredFlag | SkyFlag;

}  // namespace

TEST(SigmaClipping, MeansFollowTheRejectionRule)
{
    std::vector<uint16_t> outlier{100, 101, 99, 100, 500};
    EXPECT_EQ(sigmaClippedMean(outlier.data(), 5, 32, 3), 25600u);  // 500 goes in the first round, nothing in the second
    EXPECT_TRUE(std::find(outlier.begin(), outlier.begin() + 4, 500) == outlier.begin() + 4) << "kept values lead";

    std::vector<uint16_t> three{1, 2, 100};
    EXPECT_EQ(sigmaClippedMean(three.data(), 3, 32, 3), 256u * 103u / 3u);  // too few to clip
    std::vector<uint16_t> equal(7, 40000);
    EXPECT_EQ(sigmaClippedMean(equal.data(), 7, 32, 3), 40000u * 256u);
    EXPECT_EQ(sigmaClippedMean(nullptr, 0, 32, 3), 0u);
    // A wider factor keeps the outlier.
    std::vector<uint16_t> wide{100, 101, 99, 100, 500};
    EXPECT_EQ(sigmaClippedMean(wide.data(), 5, 87, 3), 256u * 900u / 5u);

    const uint16_t two[] = {1, 2};
    EXPECT_EQ(plainMean(two, 2), 384u);
    EXPECT_EQ(plainMean(two, 0), 0u);
    std::vector<int32_t> factors;
    for (float sigma : {3.3f, 2.5f, 2.0f, 1.7f, 1.4f})
        factors.push_back(rejectionFactor(sigma));
    EXPECT_EQ(factors, (std::vector<int32_t>{87, 50, 32, 23, 16}));
}

TEST(SigmaClipping, PlainMeanIsTheExactFloorForEveryCount)
{
    // Means divide by multiplying with a reciprocal: off by one anywhere would show here.
    std::mt19937 random(3);
    for (int32_t n = 1; n <= 70; ++n)
        for (int round = 0; round < 200; ++round) {
            std::vector<uint16_t> values(static_cast<size_t>(n));
            for (auto& v : values)
                v = static_cast<uint16_t>(round == 0 ? 65535 : round == 1 ? 0 : random() % 65536);
            uint64_t sum = 0;
            for (uint16_t v : values)
                sum += v;
            ASSERT_EQ(plainMean(values.data(), n), static_cast<uint32_t>(sum * 256 / static_cast<uint64_t>(n))) << n;
        }
}

TEST(SigmaClipping, OrderedRoundsKeepWhatSelectionKeeps)
{
    std::mt19937 random(5);
    std::normal_distribution<double> sky(1000.0, 30.0);
    for (int32_t n = 1; n <= 60; ++n)
        for (int64_t factor : {16, 32, 87})
            for (int round = 0; round < 20; ++round) {
                std::vector<uint16_t> values;
                for (int32_t i = 0; i < n; ++i)
                    values.push_back(static_cast<uint16_t>(random() % 7 == 0 ? random() % 65536 : std::lround(sky(random))));
                std::vector<uint16_t> copy = values;
                ASSERT_EQ(sigmaClippedMean(values.data(), n, factor, 3), sigmaClippedMeanBySelection(copy.data(), n, factor, 3))
                    << "n " << n << " factor " << factor;
            }
}

TEST(BestPixels, SkyWeightBlendsTheClippedAndThePlainMean)
{
    // Four pixels: mask 0, full sky, half sky, and full sky that no entry covers.
    std::vector<EntryRow> entries;
    for (uint16_t v : {100, 101, 99, 100, 500})
        entries.push_back(entry(2, {{v, Covered}, {v, Covered}, {v, Covered}, {v, SkyFlag}}));
    entries.push_back(entry(2, {{60000, SkyFlag}, {60000, SkyFlag}, {60000, SkyFlag}, {60000, 0}}));  // not covered
    const std::vector<uint16_t> mask{0, 65535, 32768, 65535};

    RowScratch scratch(entries.size());
    for (size_t e = 0; e < entries.size(); ++e)
        scratch.rows()[e] = entries[e].pixels.data();
    std::vector<uint32_t> out(12, 7);
    bestPixelsRow(scratch, int32_t(entries.size()), 4, 0, SkyWeight::fromMask(mask.data(), 4), 32, out.data());

    const double half = 32768.0 / 65535.0;
    const uint32_t blended = static_cast<uint32_t>(46080.0 * (1.0 - half) + 25600.0 * half);
    EXPECT_EQ(out, (std::vector<uint32_t>{46080, 46080, 46080, 25600, 25600, 25600, blended, blended, blended, 0, 0, 0}));
}

TEST(BestPixels, EveryPixelOfARowMatchesItsOwnStatistics)
{
    // Rows wider than one block of eight, random coverage, outliers and sky weights: the blocked
    // ordering must give each pixel what its own values give.
    std::mt19937 random(9);
    for (const int32_t entries : {1, 3, 5, 10, 13, 20, 31, 33, 64, 70}) {
        const int32_t width = 37;
        std::vector<std::vector<uint16_t>> rows(size_t(entries), std::vector<uint16_t>(size_t(width) * 4));
        for (auto& row : rows)
            for (int32_t x = 0; x < width; ++x) {
                uint16_t* p = row.data() + x * 4;
                for (int k = 0; k < 3; ++k)
                    p[k] = static_cast<uint16_t>(random() % 9 == 0 ? random() % 65536 : 1000 + random() % 60);
                p[3] = random() % 6 == 0 ? SkyFlag : Covered;
            }
        std::vector<uint16_t> mask(static_cast<size_t>(width), 0);
        for (auto& m : mask)
            m = static_cast<uint16_t>(random() % 3 == 0 ? 65535 : random() % 3 == 0 ? 0 : random() % 65536);
        RowScratch scratch(static_cast<size_t>(entries));
        for (int32_t e = 0; e < entries; ++e)
            scratch.rows()[e] = rows[size_t(e)].data();
        std::vector<uint32_t> out(static_cast<size_t>(width) * 3);
        bestPixelsRow(scratch, entries, width, 0, SkyWeight::fromMask(mask.data(), width), 32, out.data());
        for (int32_t x = 0; x < width; ++x)
            for (int k = 0; k < 3; ++k) {
                std::vector<uint16_t> values;
                for (const auto& row : rows)
                    if (row[size_t(x) * 4 + 3] & CoveredFlag)
                        values.push_back(row[size_t(x) * 4 + size_t(k)]);
                const int32_t n = int32_t(values.size());
                const double c = mask[size_t(x)] / 65535.0;
                const uint32_t plain = plainMean(values.data(), n);
                const uint32_t clipped = sigmaClippedMeanBySelection(values.data(), n, 32, 3);
                const uint32_t want = c <= 0.0 ? plain : c >= 1.0 ? clipped
                                                                  : static_cast<uint32_t>(plain * (1.0 - c) + clipped * c);
                ASSERT_EQ(out[size_t(x) * 3 + size_t(k)], want) << entries << " entries, pixel " << x;
            }
    }
}

TEST(FreezeGround, SkyFromTheAlignedFramesThatSawItGroundFromTheCopiesThatAgree)
{
    // Base, three aligned frames and their unaligned copies (7 entries, 4 of them base or aligned).
    // Pixel 0: sky everywhere. Pixel 1: sky that only the base and one aligned frame saw.
    // Pixel 2: ground; the aligned frames show the moved sky, the copies the ground. Pixel 3: nothing covers it.
    std::vector<EntryRow> entries{
        entry(3, {{1000, Covered}, {1000, Covered}, {400, Covered}, {0, SkyFlag}}),
        entry(2, {{1010, Covered}, {1010, Covered}, {900, Covered}, {0, 0}}),
        entry(2, {{990, Covered}, {5000, CoveredFlag}, {950, Covered}, {0, 0}}),
        entry(2, {{1000, Covered}, {0, SkyFlag}, {920, Covered}, {0, 0}}),
    };
    for (uint16_t v : {402, 398, 401})
        entries.push_back(entry(1, {{700, Covered}, {700, Covered}, {v, Covered}, {0, SkyFlag}}));
    std::vector<int32_t> markers;
    RowScratch scratch(entries.size());
    for (size_t e = 0; e < entries.size(); ++e) {
        scratch.rows()[e] = entries[e].pixels.data();
        markers.push_back(entries[e].marker);
    }
    const std::vector<uint16_t> mask{65535, 65535, 0, 65535};
    const std::vector<uint16_t> base{1000, 1000, 1000, 1000, 1000, 1000, 400, 400, 400, 0, 0, 0};
    std::vector<uint32_t> out(12, 7);
    std::vector<float> weights(4, -1.0f);
    const MeanRule plain{false, 32, 3};
    const float maximum = freezeGroundRow(scratch, markers.data(), int32_t(entries.size()), 4, 0, base.data(), 3,
                                          SkyWeight::fromMask(mask.data(), 4), plain, out.data(), weights.data());

    EXPECT_EQ(out[0], 256u * 4000u / 4u);
    EXPECT_EQ(out[3], 256u * 2010u / 2u);  // the frame that saw ground there is left out
    EXPECT_EQ(out[6], 256u * 1601u / 4u);  // base and copies, not the moved sky
    EXPECT_EQ(out[9], 0u);
    EXPECT_EQ(weights, (std::vector<float>{1.0f, 0.5f, 0.0f, 0.0f}));
    EXPECT_EQ(maximum, 1.0f);
}

TEST(GroundSelection, ChoosesTheCopiesThatAgreeWithTheBaseUnlessTheyAreDarkerThanTheSteadyCopies)
{
    const auto sample = [](uint16_t marker, int32_t key) {
        return GroundSample{{0, 0, 0}, marker, key};
    };
    const auto chosen = [](std::vector<GroundSample> samples, int32_t baseKey) {
        std::vector<int32_t> gaps(samples.size() + 1);
        const int32_t n = selectGround(samples.data(), int32_t(samples.size()), int32_t(samples.size()), baseKey,
                                       gaps.data());
        std::vector<int32_t> keys;
        for (int32_t i = 0; i < n; ++i)
            keys.push_back(samples[size_t(i)].key);
        std::sort(keys.begin(), keys.end());
        return keys;
    };
    // Base 400; the unaligned copies agree with it, the aligned frames do not.
    EXPECT_EQ(chosen({sample(3, 400), sample(2, 900), sample(2, 950), sample(2, 920), sample(1, 402), sample(1, 398),
                      sample(1, 401)},
                     400),
              (std::vector<int32_t>{398, 400, 401, 402}));
    // Now the aligned frames agree (a ground that moved with the stars cannot, but a sky can).
    EXPECT_EQ(chosen({sample(3, 400), sample(2, 405), sample(2, 395), sample(2, 401), sample(1, 900), sample(1, 950),
                      sample(1, 920)},
                     400),
              (std::vector<int32_t>{395, 400, 401, 405}));
    // The aligned frames agree with a base that is darker than its steady copies: the copies win.
    EXPECT_EQ(chosen({sample(3, 100), sample(2, 90), sample(2, 95), sample(2, 100), sample(1, 200), sample(1, 300),
                      sample(1, 400)},
                     100),
              (std::vector<int32_t>{100, 200, 300, 400}));
    EXPECT_EQ(chosen({sample(3, 100), sample(2, 90)}, 100), (std::vector<int32_t>{90, 100}));  // too few to choose
}

TEST(FreezeGroundFinish, LowWeightPixelsTakeTheirCrossMedianBlendedByTheirWeight)
{
    velimage::AccumulationImage image;
    image.allocate(3, 3, 1);
    const uint32_t values[] = {10, 200, 30,
                               40, 250, 60,
                               70, 80,  100};
    const float weights[] = {1, 0,    1,
                             1, 0.5f, 1,
                             1, 1,    0};
    std::copy(std::begin(values), std::end(values), image.data());
    std::copy(std::begin(weights), std::end(weights), image.weights());
    image.setMaxWeight(1.0f);
    finishFreezeGround(image);

    EXPECT_EQ(image.data()[0], 10u);   // weight 1 stays
    EXPECT_EQ(image.data()[1], 200u);  // cross 200, 200 (clamped above), 250, 10, 30
    EXPECT_EQ(image.data()[8], 100u);  // cross 100, 60, 100, 80, 100 at the corner
    // Cross 40, 60, 80, 200, 250: median 80; its own 250 is the largest, so 200 stands in for it.
    EXPECT_EQ(image.data()[4], static_cast<uint32_t>(0.5 * 80 + 0.5 * 200));
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(image.weights()[i], 1.0f);
}
