#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "StarField.h"
#include "parallel/ProcessPool.h"
#include "registration/StarDetector.h"

using velimage::Image16;
using velreg::StarBoundLine;
using velreg::StarDetector;
using velreg::StarList;

namespace {

void flatFrame(Image16& frame, int32_t width, int32_t height, uint16_t value)
{
    frame.allocate(width, height, 3);
    std::fill(frame.data(), frame.data() + frame.elementCount(), value);
}

void setPixel(Image16& frame, int32_t x, int32_t y, uint16_t value)
{
    uint16_t* p = frame.row(y) + 3 * x;
    p[0] = p[1] = p[2] = value;
}

StarList detect(const Image16& frame, int32_t level = 0)
{
    StarList stars;
    StarDetector detector;
    detector.detect(frame, stars, level);
    return stars;
}

// Every true star inside the margin is found within one pixel, and nothing else is found.
void expectFound(const StarList& found, const std::vector<regtest::TrueStar>& truth, int32_t width, int32_t height)
{
    int32_t r0, r1, margin;
    StarDetector::radiiFor(width, height, r0, r1, margin);
    size_t inside = 0;
    for (const auto& star : truth) {
        if (star.x < margin + 1 || star.y < margin + 1 || star.x > width - margin - 2 || star.y > height - margin - 2)
            continue;
        ++inside;
        const bool hit = std::any_of(found.begin(), found.end(), [&](const velreg::Star& s) {
            return std::abs(s.x - star.x) <= 1.0 && std::abs(s.y - star.y) <= 1.0;
        });
        EXPECT_TRUE(hit) << "missed star at " << star.x << ", " << star.y;
    }
    EXPECT_GE(found.size(), inside);
    EXPECT_LE(found.size(), inside + truth.size() / 20);
}

// The detection rules read plainly, for comparison with the detector's fast passes: a 64-bit
// summed-area table, every radius in 64-bit integers, the suppression in one pass from the top and
// the extraction thresholds. `mask` (frame size, one channel) may be null.
StarList plainDetection(const Image16& frame, int32_t level, const Image16* mask = nullptr)
{
    const int32_t w = frame.width(), h = frame.height();
    int32_t r0, r1, g;
    StarDetector::radiiFor(w, h, r0, r1, g);
    std::vector<int64_t> lum(static_cast<size_t>(w) * h), sat(static_cast<size_t>(w + 1) * (h + 1), 0);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const uint16_t* p = frame.row(y) + 3 * x;
            lum[static_cast<size_t>(y) * w + x] = (p[0] + 2 * p[1] + p[2]) >> 10;
            sat[static_cast<size_t>(y + 1) * (w + 1) + x + 1] = lum[static_cast<size_t>(y) * w + x] +
                                                                 sat[static_cast<size_t>(y) * (w + 1) + x + 1] +
                                                                 sat[static_cast<size_t>(y + 1) * (w + 1) + x] -
                                                                 sat[static_cast<size_t>(y) * (w + 1) + x];
        }
    const auto box = [&](int32_t x, int32_t y, int32_t r) {
        const auto at = [&](int32_t yy, int32_t xx) { return sat[static_cast<size_t>(yy) * (w + 1) + xx]; };
        return at(y + r + 1, x + r + 1) - at(y - r, x + r + 1) - at(y + r + 1, x - r) + at(y - r, x - r);
    };
    std::vector<int64_t> ratio(lum.size(), 0), contrast(lum.size(), 0);
    std::vector<char> clear(lum.size(), 0);
    for (int32_t y = g; y < h - g; ++y)
        for (int32_t x = g; x < w - g; ++x) {
            const size_t p = static_cast<size_t>(y) * w + x;
            if (lum[p] < 8 || (mask && mask->row(y)[x] == 0))
                continue;
            for (int32_t k = r0; k <= r1; ++k) {
                const int64_t a = (2 * k + 1) * (2 * k + 1), ringArea = (2 * k + 7) * (2 * k + 7) - a;
                const int64_t inner = box(x, y, k), ring = std::max<int64_t>(box(x, y, k + 3) - inner, 1);
                int64_t v = 1024 * inner / a * ringArea / ring;
                if (v > 1024)
                    v = (v - 1024) * k + 1024;
                ratio[p] = std::max(ratio[p], v);
                contrast[p] = std::max(contrast[p], 1024 * inner / a - 1024 * ring / ringArea);
            }
            clear[p] = ratio[p] > 1024;
        }
    const int32_t a = std::min(r1 + 1, g - 1);
    const auto distance = [&](int64_t x, int64_t y) { return (x - w / 2) * (x - w / 2) + (y - h / 2) * (y - h / 2); };
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const size_t p = static_cast<size_t>(y) * w + x;
            for (int32_t ny = std::max(y - a, 0); clear[p] && ny <= std::min(y + a, h - 1); ++ny)
                for (int32_t nx = std::max(x - a, 0); clear[p] && nx <= std::min(x + a, w - 1); ++nx) {
                    const size_t n = static_cast<size_t>(ny) * w + nx;
                    if (n == p || !clear[n])
                        continue;
                    const bool wins = lum[n] != lum[p]       ? lum[n] > lum[p]
                                      : ratio[n] != ratio[p] ? ratio[n] > ratio[p]
                                                             : distance(nx, ny) < distance(x, y);
                    clear[wins ? p : n] = 0;
                }
        }
    const int64_t o = level == 0 ? 3 : 1, high = level == 0 ? 32 : 24, lowT = level == 0 ? 4096 : 2662, highT = 1741;
    const int64_t area = (2 * o + 1) * (2 * o + 1);
    StarList stars;
    for (int32_t y = g; y < h - g; ++y)
        for (int32_t x = g; x < w - g; ++x) {
            const size_t p = static_cast<size_t>(y) * w + x;
            if (!clear[p])
                continue;
            const int64_t sum = box(x, y, static_cast<int32_t>(o));
            const int64_t t = sum < area * 8      ? lowT
                              : sum > area * high ? highT
                                                  : lowT + (sum - area * 8) * (highT - lowT) / (area * high - area * 8);
            if (ratio[p] > t || contrast[p] > 32767)
                stars.push_back({static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<int32_t>(ratio[p])});
        }
    return stars;
}

void expectSameStars(const StarList& expected, const StarList& found)
{
    ASSERT_EQ(expected.size(), found.size());
    for (size_t k = 0; k < found.size(); ++k) {
        EXPECT_EQ(expected[k].x, found[k].x) << k;
        EXPECT_EQ(expected[k].y, found[k].y) << k;
        EXPECT_EQ(expected[k].brightness, found[k].brightness) << k;
    }
}

}  // namespace

TEST(StarDetector, RadiiAndMarginFollowFrameSize)
{
    int32_t r0, r1, margin;
    StarDetector::radiiFor(6000, 4000, r0, r1, margin);
    EXPECT_EQ(r0, 2);
    EXPECT_EQ(r1, 9);
    EXPECT_EQ(margin, 20);
    StarDetector::radiiFor(4000, 3000, r0, r1, margin);
    EXPECT_EQ(r0, 1);
    EXPECT_EQ(r1, 6);
    EXPECT_EQ(margin, 17);
    StarDetector::radiiFor(1000, 800, r0, r1, margin);
    EXPECT_EQ(r0, 1);
    EXPECT_EQ(r1, 1);
    EXPECT_EQ(margin, 5);
}

TEST(StarDetector, FindsRenderedStarsInRowOrderAndNothingInTheMargin)
{
    const int32_t width = 1200, height = 900;
    const auto truth = regtest::randomStars(150, 0, 0, width, height, 25, 7);
    Image16 frame;
    regtest::renderStars(frame, width, height, truth, 2600, 1.2);
    const StarList found = detect(frame);
    expectFound(found, truth, width, height);
    int32_t r0, r1, margin;
    StarDetector::radiiFor(width, height, r0, r1, margin);
    for (size_t k = 0; k < found.size(); ++k) {
        EXPECT_GE(found[k].x, margin);
        EXPECT_GE(found[k].y, margin);
        EXPECT_LT(found[k].x, width - margin);
        EXPECT_LT(found[k].y, height - margin);
        EXPECT_GT(found[k].brightness, 1024);
        if (k > 0) {
            EXPECT_TRUE(found[k - 1].y < found[k].y || (found[k - 1].y == found[k].y && found[k - 1].x < found[k].x));
        }
    }
}

TEST(StarDetector, SameStarsWithAndWithoutWorkerThreads)
{
    const int32_t width = 1500, height = 1000;
    const auto truth = regtest::randomStars(300, 0, 0, width, height, 20, 11);
    Image16 frame;
    regtest::renderStars(frame, width, height, truth, 2600, 1.3);
    const StarList inline_ = detect(frame);
    StarList pooled;
    {
        velthread::ProcessPoolScope scope(3);
        pooled = detect(frame);
    }
    ASSERT_EQ(inline_.size(), pooled.size());
    for (size_t k = 0; k < pooled.size(); ++k) {
        EXPECT_EQ(inline_[k].x, pooled[k].x);
        EXPECT_EQ(inline_[k].y, pooled[k].y);
        EXPECT_EQ(inline_[k].brightness, pooled[k].brightness);
    }
}

TEST(StarDetector, SaturatedTwinPixelsGiveOneStarNearerTheCentre)
{
    Image16 frame;
    flatFrame(frame, 400, 300, 2600);
    // Mirror-symmetric twins left of the centre: equal luminance and ratio, the right one is nearer.
    setPixel(frame, 100, 150, 65535);
    setPixel(frame, 101, 150, 65535);
    const StarList found = detect(frame);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].x, 101);
    EXPECT_EQ(found[0].y, 150);
}

// P's window holds, one row down, an equally bright twin nearer the centre (which beats P) left of
// a brighter pixel out of the twin's own reach: P loses to the twin, and the twin must not be
// counted beaten by P on the way to the brighter one.
TEST(StarDetector, AnEquallyBrightWinnerBeforeABrighterOneKeepsItsPlace)
{
    Image16 frame;
    flatFrame(frame, 400, 300, 0);
    setPixel(frame, 300, 150, 40000);  // P
    setPixel(frame, 298, 151, 40000);  // the twin: same ring, nearer the centre
    setPixel(frame, 302, 151, 65535);  // brighter, four columns right of the twin
    const StarList found = detect(frame, 1);  // the second level's small box lets the twin pass
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].x, 298);
    EXPECT_EQ(found[1].x, 302);
}

TEST(StarDetector, LuminanceSevenIsNeverAStarButEightIs)
{
    Image16 frame;
    flatFrame(frame, 300, 300, 0);
    setPixel(frame, 150, 150, 7 * 256);  // (R + 2G + B) >> 10 = 7
    EXPECT_TRUE(detect(frame).empty());
    setPixel(frame, 150, 150, 8 * 256);
    const StarList found = detect(frame);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].x, 150);
}

TEST(StarDetector, DegenerateFramesGiveNoStars)
{
    Image16 empty;
    EXPECT_TRUE(detect(empty).empty());
    Image16 frame;
    flatFrame(frame, 10, 400, 60000);  // narrower than twice the margin
    setPixel(frame, 5, 200, 65535);
    EXPECT_TRUE(detect(frame).empty());
    flatFrame(frame, 300, 200, 0);
    EXPECT_TRUE(detect(frame).empty());
    flatFrame(frame, 300, 200, 65535);
    EXPECT_TRUE(detect(frame).empty());
    Image16 grey;
    grey.allocate(200, 200, 1);
    std::fill(grey.data(), grey.data() + grey.elementCount(), 3000);
    for (int32_t y = 99; y <= 101; ++y)
        for (int32_t x = 99; x <= 101; ++x)
            grey.row(y)[x] = 60000;
    const StarList greyStars = detect(grey);
    ASSERT_EQ(greyStars.size(), 1u);
    EXPECT_EQ(greyStars[0].x, 100);
    EXPECT_EQ(greyStars[0].y, 100);
}

TEST(StarDetector, SkyMaskAndBoundaryLineRestrictTheSearch)
{
    const int32_t width = 800, height = 600;
    const auto truth = regtest::randomStars(120, 0, 0, width, height, 25, 3);
    Image16 frame;
    regtest::renderStars(frame, width, height, truth, 2600, 1.2);
    const size_t all = detect(frame).size();

    Image16 mask;
    mask.allocate(width, height, 1);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            mask.row(y)[x] = x < width / 2 ? 65535 : 0;
    StarList masked;
    StarDetector().detect(frame, masked, mask, 0);
    EXPECT_GT(masked.size(), 10u);
    EXPECT_LT(masked.size(), all);
    for (const auto& s : masked)
        EXPECT_LT(s.x, width / 2);

    Image16 wrongSize;
    wrongSize.allocate(width / 2, height, 1);
    std::fill(wrongSize.data(), wrongSize.data() + wrongSize.elementCount(), 0);
    StarList ignored;
    velreg::detectStars(frame, ignored, &wrongSize, nullptr, 0);
    EXPECT_EQ(ignored.size(), all);

    // A horizontal line drawn left to right keeps the part above it.
    const StarBoundLine line{0, height / 2, width, 0};
    StarList above;
    velreg::detectStars(frame, above, &wrongSize, &line, 0);
    EXPECT_GT(above.size(), 10u);
    EXPECT_LT(above.size(), all);
    for (const auto& s : above)
        EXPECT_LT(s.y, height / 2);
}

TEST(StarDetector, FaintStarOnDarkSkyNeedsTheSecondLevel)
{
    Image16 frame;
    flatFrame(frame, 400, 400, 1024);  // luminance 4: low-mean threshold applies
    // A 3 × 3 spot of luminance 12 on luminance 4: ratio about 3 — below 4.0 (level 0), above 2.6 (level 1).
    for (int32_t y = 199; y <= 201; ++y)
        for (int32_t x = 199; x <= 201; ++x)
            setPixel(frame, x, y, 12 * 256);
    setPixel(frame, 200, 200, 13 * 256);
    EXPECT_TRUE(detect(frame, 0).empty());
    const StarList found = detect(frame, 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].x, 200);
    EXPECT_EQ(detect(frame, 2).size(), 1u);  // any higher attempt behaves as 1
}

// Sky noise around the star luminance, saturated blobs, and bright blocks on a black ground whose
// ratios leave the fast arithmetic's range: the fast passes must give exactly the plain reading.
TEST(StarDetector, FastPassesGiveExactlyThePlainRules)
{
    const int32_t width = 2500, height = 260;
    const auto truth = regtest::randomStars(400, 0, 0, width, height, 12, 5, 3000, 65000);
    Image16 frame;
    regtest::renderStars(frame, width, height, truth, 2048, 1.1);
    std::mt19937 random(9);
    std::normal_distribution<double> noise(0, 300);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            uint16_t* p = frame.row(y) + 3 * x;
            const bool black = x > 2000 && x < 2300;
            const uint16_t speck = (x * 7 + y * 13) % 23 == 0 ? 256 : 0;  // luminance 1 here and there
            for (int32_t c = 0; c < 3; ++c)
                p[c] = black ? speck : static_cast<uint16_t>(std::clamp(p[c] + noise(random), 0.0, 65535.0));
        }
    for (int32_t block = 0; block < 4; ++block)
        for (int32_t y = 100; y < 100 + 2 * block + 1; ++y)
            for (int32_t x = 2050 + 60 * block; x < 2050 + 60 * block + 2 * block + 1; ++x)
                setPixel(frame, x, y, 65535);
    Image16 mask;
    mask.allocate(width, height, 1);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            mask.row(y)[x] = (x / 97 + y / 31) % 2 ? 65535 : 0;
    for (int32_t level = 0; level <= 1; ++level) {
        const StarList expected = plainDetection(frame, level);
        EXPECT_GT(expected.size(), 100u);
        expectSameStars(expected, detect(frame, level));
        StarList masked;
        StarDetector().detect(frame, masked, mask, level);
        expectSameStars(plainDetection(frame, level, &mask), masked);
    }
}

TEST(StarDetector, ABandStillComparesWithTheSeamRowsAboveIt)
{
    // Two bands of 150 rows, suppression radius 5: rows 150 to 154 are the second band's seam, left
    // for later. The pixel below the seam loses to the brighter one in it at once, so the dimmer
    // one in its window but out of the seam pixel's reach is never compared with it and stays a star.
    Image16 frame;
    flatFrame(frame, 2500, 300, 0);
    setPixel(frame, 1000, 154, 200 * 256);
    setPixel(frame, 1000, 155, 150 * 256);
    setPixel(frame, 1005, 160, 100 * 256);
    velthread::ProcessPoolScope scope(2);
    const StarList found = detect(frame);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].y, 154);
    EXPECT_EQ(found[1].x, 1005);
    EXPECT_EQ(found[1].y, 160);
}

TEST(StarDetector, GainedDarkSkyGivesTheStarsOfTheBrightenedFrame)
{
    // A noisy linear sky at 1 to 2 % of full scale, brightening to the right like a horizon's glow,
    // and the same frame brightened sixteen times: the gain must find exactly the stars found on the
    // brightened frame, though it skips the sky pixels below the local sky's floor.
    const int32_t width = 900, height = 600;
    const auto truth = regtest::randomStars(120, 0, 0, width, height, 25, 3, 800, 2500);
    Image16 dark;
    regtest::renderStars(dark, width, height, truth, 650, 1.3);
    std::mt19937 random(4);
    std::normal_distribution<double> noise(0, 120);
    Image16 bright;
    bright.allocate(width, height, 3);
    for (size_t i = 0; i < dark.elementCount(); ++i) {
        const double glow = 650.0 * static_cast<double>(i / 3 % width) / width;
        dark.data()[i] = static_cast<uint16_t>(std::clamp(dark.data()[i] + glow + noise(random), 0.0, 4095.0));
        bright.data()[i] = static_cast<uint16_t>(16 * dark.data()[i]);
    }
    StarList gained;
    StarDetector detector;
    detector.setLuminanceGain(16 * velreg::kUnitGain16);
    detector.detect(dark, gained, 0);
    const StarList expected = detect(bright);
    EXPECT_GT(expected.size(), 80u);
    expectSameStars(expected, gained);
}

TEST(StarDetector, LuminanceRowIsTheGainedSumCutAt255InEveryLaneAndTheTail)
{
    std::mt19937 random(5);
    const int32_t width = 77;  // two blocks of 32 and a tail
    std::vector<uint16_t> row(3 * width);
    for (uint16_t& v : row)
        v = static_cast<uint16_t>(random() % 4 == 0 ? random() : random() % 4000);
    for (const uint32_t gain : {16u, 17u, 300u, 512u, 16384u}) {
        std::vector<uint8_t> luminance(width);
        velreg::detectionLuminanceRow(row.data(), 3, width, gain, luminance.data());
        for (int32_t x = 0; x < width; ++x) {
            const uint64_t sum = uint64_t{row[3 * x]} + 2u * row[3 * x + 1] + row[3 * x + 2];
            ASSERT_EQ(luminance[x], std::min<uint64_t>(255, (sum * gain) >> 14)) << "gain " << gain << " x " << x;
        }
    }
}
