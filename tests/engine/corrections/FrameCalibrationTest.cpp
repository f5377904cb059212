#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "corrections/ExposureUnification.h"
#include "corrections/FlatField.h"
#include "corrections/HotPixelRemoval.h"
#include "corrections/RingFit.h"
#include "parallel/ProcessPool.h"

using velimage::Image16;
using namespace veltone;

namespace {

void fill(Image16& image, int32_t w, int32_t h, uint16_t value)
{
    image.allocate(w, h, 3);
    std::fill_n(image.data(), image.elementCount(), value);
}

void setPixel(Image16& image, int32_t x, int32_t y, uint16_t r, uint16_t g, uint16_t b)
{
    uint16_t* p = image.row(y) + 3 * x;
    p[0] = r, p[1] = g, p[2] = b;
}

uint16_t at(const Image16& image, int32_t x, int32_t y, int32_t c = 0) { return image.row(y)[3 * x + c]; }

std::vector<uint16_t> samples(const Image16& image) { return {image.data(), image.data() + image.elementCount()}; }
}  // namespace

TEST(HotPixelRemoval, OnlyStrongColouredSpikesInsideTheBorderAreReplaced)
{
    struct Case {
        uint16_t r, g, b;
        int32_t x;
        bool replaced;
    } cases[] = {
        {10000, 100, 100, 10, true},    // a red spike
        {10000, 3000, 3000, 10, false},  // 4·3000 is not below 10000: a coloured star, not a spike
        {10000, 10000, 10000, 10, false},  // white: only darks know white hot pixels
        {65535, 65535, 65535, 10, false},  // clipped
        {100, 100, 30000, 1, false},     // within 2 of the border
    };
    for (const Case& c : cases) {
        Image16 frame;
        fill(frame, 20, 12, 100);
        setPixel(frame, c.x, 6, c.r, c.g, c.b);
        EXPECT_EQ(removeHotPixels(frame), c.replaced ? 1 : 0) << c.r << " " << c.g << " " << c.b << " at " << c.x;
        EXPECT_EQ(at(frame, c.x, 6, 0), c.replaced ? 100 : c.r);
        if (c.replaced) {
            for (int32_t ch = 0; ch < 3; ++ch)
                EXPECT_EQ(at(frame, c.x, 6, ch), 100);
        }
    }
    // A spike whose diagonal neighbours carry half its light or more is a star.
    Image16 star;
    fill(star, 20, 12, 100);
    setPixel(star, 10, 6, 10000, 100, 100);
    setPixel(star, 11, 7, 5000, 100, 100);
    EXPECT_EQ(removeHotPixels(star), 0);
}

TEST(HotPixelRemoval, PatchFollowsTheSlopeOfTheSurroundings)
{
    Image16 frame;
    frame.allocate(16, 16, 3);
    for (int32_t y = 0; y < 16; ++y)
        for (int32_t x = 0; x < 16; ++x)
            setPixel(frame, x, y, static_cast<uint16_t>(200 + 20 * x), static_cast<uint16_t>(300 + 10 * y),
                     static_cast<uint16_t>(100 + 2 * x * y));
    Image16 expected;
    expected.allocate(16, 16, 3);
    std::copy_n(frame.data(), frame.elementCount(), expected.data());
    setPixel(frame, 7, 8, 200 + 20 * 7, 60000, 100 + 2 * 56);
    ASSERT_EQ(removeHotPixels(frame), 1);
    EXPECT_EQ(samples(frame), samples(expected));  // x, y and x·y surfaces are fitted exactly
}

TEST(HotPixelRemoval, ReplacesExactlyThePixelsTheThreeTestsSelectOnTheDetectionImage)
{
    // Spikes whose channels and neighbours sit one step either side of every limit (the spike floor,
    // a quarter and half of f, white), each channel in turn the brightest: dense on colour noise in
    // the upper half, where rows are tested whole, sparse on a smooth grey in the lower half, where
    // they are tested pixel by pixel.
    const int32_t width = 1210, height = 97, half = 48;
    std::mt19937 random(5);
    Image16 frame;
    frame.allocate(width, height, 3);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const auto grey = static_cast<uint16_t>(100 + (x + y) % 32);
            for (int32_t c = 0; c < 3; ++c)
                frame.row(y)[3 * x + c] = y < half ? static_cast<uint16_t>(random() % 3000) : grey;
        }
    // Mostly well inside a limit, now and then (often where spikes are few) one step either side of it.
    uint32_t odds = 8;
    const auto near = [&](uint32_t limit) {
        return static_cast<uint16_t>(random() % odds ? limit * 3 / 4 : std::min<uint32_t>(65535, limit - 1 + random() % 3));
    };
    const auto setBrightest = [&](int32_t x, int32_t y, uint16_t d) {
        uint16_t* p = frame.row(y) + 3 * x;
        for (int32_t c = 0; c < 3; ++c)
            p[c] = static_cast<uint16_t>(random() % (d + 1u));
        p[random() % 3] = d;
    };
    const uint32_t levels[] = {2048, 2049, 2100, 9000, 40000, 65519, 65520, 65535};
    for (int32_t k = 0; k < 370; ++k) {
        const int32_t x = 2 + static_cast<int32_t>(random() % (width - 4));
        const int32_t y = k < 340 ? 2 + static_cast<int32_t>(random() % (half - 2)) : half + static_cast<int32_t>(random() % (height - half - 2));
        odds = k < 340 ? 8 : 2;
        const uint32_t f = levels[random() % 8];
        const bool clipped = f >= 65520;
        for (const int32_t d : {-2, 2})
            for (const int32_t e : {-2, 2})
                setBrightest(x + d, y + e, near(f / 4));
        for (const int32_t d : {-1, 1})
            for (const int32_t e : {-1, 1})
                setBrightest(x + d, y + e, near(clipped ? f : f / 2));
        // The faintest channel near a quarter of f, or near half of it (the limit near white).
        const bool half = clipped ? random() % 4 != 0 : random() % 4 == 0;
        const uint32_t limit = half ? f / 2 : f / 4;
        const auto least = static_cast<uint16_t>(random() % 2 ? limit - 1 + random() % 3 : limit * 3 / 4);
        uint16_t* p = frame.row(y) + 3 * x;
        const uint32_t top = random() % 3, bottom = (top + 1 + random() % 2) % 3;
        p[0] = p[1] = p[2] = static_cast<uint16_t>(least + random() % (f - least + 1));
        p[top] = static_cast<uint16_t>(f);
        p[bottom] = least;
    }

    // Every third row: a spike A whose patch darkens both the neighbour that keeps B, three rows down,
    // from counting as hot, and the ring of spike C, also three rows down. Patching A before testing
    // B, or C before A, gives another frame.
    for (int32_t y = 3; y < height - 6; y += 3) {
        const int32_t x = 3 + 12 * (y % 16);
        for (int32_t r = y - 2; r <= y + 5; ++r)
            for (int32_t c = x - 2; c <= x + 5; ++c)
                setPixel(frame, c, r, 100, 100, 100);
        setPixel(frame, x, y, 40000, 100, 100);
        setPixel(frame, x + 1, y + 1, 15000, 15000, 15000);
        setPixel(frame, x + 3, y + 3, 30000, 100, 100);
        setPixel(frame, x + 1, y + 3, 100, 30000, 100);
    }

    // Where rows are tested pixel by pixel, traps for a pre-test too strict to see a clipped spike E
    // inside a bright stretch (its faintest channel 3/8 of it and two places away, nothing else there
    // to pass) or a faint spike F whose middle channel is above half of it but below the spike floor,
    // for full tests off by one: a spike whose faintest channel (G), far neighbour (H) or
    // near neighbour (I) is exactly at its limit is not hot, and for chunks cut short (J, hot, last of
    // its chunk).
    for (int32_t y = half + 2, turn = 0; y < height - 3; y += 3, ++turn) {
        if (turn % 2 == 0) {
            for (int32_t x = 2 + 32 * 10 - 1; x <= 2 + 32 * 11; ++x)
                setPixel(frame, x, y, 40000, 40000, 40000);
            setPixel(frame, 2 + 32 * 10 + 10, y, 65535, 40000, 24575);
            setPixel(frame, 2 + 32 * 14 + 5, y, 40000, 10000, 10000);
            setPixel(frame, 2 + 32 * 16 + 9, y, 2100, 1100, 500);
        } else {
            const int32_t h = 2 + 32 * 18 + 7, i = 2 + 32 * 22 + 7;
            setPixel(frame, h, y, 40000, 100, 100);
            setPixel(frame, h + 2, y + 2, 10000, 10000, 10000);
            setPixel(frame, i, y, 40000, 100, 100);
            setPixel(frame, i + 1, y + 1, 20000, 20000, 20000);
            setPixel(frame, 2 + 32 * 26 + 31, y, 30000, 100, 100);
        }
    }

    const auto brightest = [&](int32_t x, int32_t y) {
        const uint16_t* p = frame.row(y) + 3 * x;
        return static_cast<uint32_t>(std::max({p[0], p[1], p[2]}));
    };
    Image16 expected;
    expected.allocate(width, height, 3);
    std::copy_n(frame.data(), frame.elementCount(), expected.data());
    int64_t hot = 0;
    for (int32_t y = 2; y < height - 2; ++y)
        for (int32_t x = 2; x < width - 2; ++x) {
            const uint32_t f = brightest(x, y);
            const uint16_t* p = frame.row(y) + 3 * x;
            bool isHot = f > 2048 && (f < 65520 ? 4 : 2) * uint32_t{std::min({p[0], p[1], p[2]})} < f;
            for (const int32_t d : {-1, 1})
                for (const int32_t e : {-1, 1})
                    isHot = isHot && 4 * brightest(x + 2 * d, y + 2 * e) < f &&
                            (f < 65520 ? 2 : 1) * brightest(x + d, y + e) < f;
            if (!isHot)
                continue;
            ++hot;
            for (int32_t c = 0; c < 3; ++c)
                RingFit::instance().patch(expected, x, y, c, false);  // in row order, as one pass would
        }
    ASSERT_GT(hot, 40);

    // However the rows are cut into bands, every pixel is judged before any patch and the patches go
    // in as in row order.
    for (const int32_t threads : {1, 2, 3, 5, 8, 13}) {
        velthread::ProcessPoolScope pool(threads);
        Image16 image;
        image.allocate(width, height, 3);
        std::copy_n(frame.data(), frame.elementCount(), image.data());
        EXPECT_EQ(removeHotPixels(image), hot) << threads;
        EXPECT_EQ(samples(image), samples(expected)) << threads;
    }
}

TEST(FlatField, GainsScaleEachPixelDirectOrTransposedAndClampAtWhite)
{
    GainMap gains;
    gains.allocate(4, 3, 1);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 4; ++x)
            gains.row(y)[x] = x == 0 ? 65536u : 131072u;  // 1.0 in the first column, 2.0 elsewhere

    Image16 frame;
    fill(frame, 4, 3, 40000);
    setPixel(frame, 1, 1, 1000, 2000, 3001);
    ASSERT_TRUE(applyFlatField(frame, gains));
    EXPECT_EQ(at(frame, 0, 2), 40000);
    EXPECT_EQ(at(frame, 2, 2), 65535);
    EXPECT_EQ(at(frame, 1, 1, 0), 2000);
    EXPECT_EQ(at(frame, 1, 1, 2), 6002);

    // The frame turned by 90°: its pixel (x, y) takes the map's (y, x).
    Image16 turned;
    fill(turned, 3, 4, 1000);
    ASSERT_TRUE(applyFlatField(turned, gains));
    for (int32_t x = 0; x < 3; ++x) {
        EXPECT_EQ(at(turned, x, 0), 1000);
        EXPECT_EQ(at(turned, x, 3), 2000);
    }

    Image16 other;
    fill(other, 5, 3, 1000);
    EXPECT_FALSE(applyFlatField(other, gains));
    EXPECT_EQ(at(other, 1, 1), 1000);

    // The accumulated trails result saturates instead of wrapping.
    velimage::AccumulationImage result;
    result.allocate(4, 3, 3);
    std::fill_n(result.data(), result.elementCount(), 0x90000000u);
    result.row(0)[0] = 70000;
    ASSERT_TRUE(applyFlatField(result, gains));
    EXPECT_EQ(result.row(0)[0], 70000u);
    EXPECT_EQ(result.row(0)[3], 0xFFFFFFFFu);
}

TEST(FlatField, FractionalGainsMatchTheFullProductInEveryLayoutAndGainRange)
{
    // Wider than one gain run and taller than one turned band, odd sizes, samples up to white. Gains
    // come in runs of 37 pixels, each run from its own range (below 1.0, 1.0 to 2.0, across 1.0, across
    // 2.0, up to 64.0), so blocks of one kind, blocks mixing kinds and the row tails all occur: every
    // sample must equal min(65535, (g·v) >> 16) taken in 64 bits. The 16-bit offset layout is checked on
    // rows whose gains lie within 65534 of each other (from below 1.0 up, from above 2.0 up) and on rows
    // with gains far apart, where some offsets are escaped.
    const int32_t width = 301, height = 71;
    enum class Layout { Direct, Transposed, Offsets };
    struct Case {
        Layout layout;
        std::vector<std::pair<uint32_t, uint32_t>> ranges;  // first gain, span
    };
    const std::vector<std::pair<uint32_t, uint32_t>> wide = {
        {20000, 45000}, {65536, 65536}, {40000, 50000}, {100000, 60000}, {0, 64u << 16}};
    const Case cases[] = {{Layout::Direct, wide},
                          {Layout::Transposed, wide},
                          {Layout::Offsets, {{36000, 29536}, {65536, 36000}, {50000, 51534}}},
                          {Layout::Offsets, {{70000, 60000}, {131072, 4462}, {90000, 45534}}},
                          {Layout::Offsets, {{140000, 65534}}},
                          {Layout::Offsets, wide}};
    std::mt19937 random(3);
    for (const Case& c : cases) {
        const bool transposed = c.layout == Layout::Transposed;
        GainMap gains;
        gains.allocate(transposed ? height : width, transposed ? width : height, 1);
        for (size_t i = 0; i < gains.elementCount(); i += 37) {
            const auto [first, span] = c.ranges[random() % c.ranges.size()];
            for (size_t k = i; k < std::min(gains.elementCount(), i + 37); ++k)
                gains.data()[k] = first + random() % span;
        }
        Image16 frame;
        frame.allocate(width, height, 3);
        for (size_t i = 0; i < frame.elementCount(); ++i)
            frame.data()[i] = static_cast<uint16_t>(i % 7 == 0 ? random() : random() % 3000);
        const std::vector<uint16_t> original = samples(frame);
        if (c.layout == Layout::Offsets) {
            CompactGains compact;
            ASSERT_TRUE(makeCompactGains(gains, compact));
            for (int32_t y = 0; y < height; ++y)
                applyFlatFieldRow(frame.row(y), compact.bases[static_cast<size_t>(y)], compact.offsets.row(y),
                                  gains.row(y), width);
        } else {
            ASSERT_TRUE(applyFlatField(frame, gains));
        }
        int32_t wrong = 0;
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const uint64_t g = transposed ? gains.row(x)[y] : gains.row(y)[x];
                for (int32_t c = 0; c < 3; ++c) {
                    const uint64_t expected = std::min<uint64_t>(65535, (g * original[frame.row(y) - frame.data() + 3 * x + c]) >> 16);
                    wrong += frame.row(y)[3 * x + c] != expected;
                }
            }
        EXPECT_EQ(wrong, 0) << static_cast<int>(c.layout) << " from " << c.ranges.front().first;
    }
}

TEST(ExposureUnification, MeasureFollowsTheMiddleTonesAndScalingClampsAtWhite)
{
    Image16 base, half;
    base.allocate(120, 80, 3);
    half.allocate(120, 80, 3);
    for (size_t i = 0; i < base.elementCount(); ++i) {
        base.data()[i] = static_cast<uint16_t>(400 + 20 * (i % 360) + (i % 7 == 0 ? 30000 : 0));
        half.data()[i] = static_cast<uint16_t>(base.data()[i] / 2);
    }
    const double measure = exposureMeasure(base);
    EXPECT_NEAR(exposureMeasure(half) / measure, 0.5, 0.005);
    EXPECT_NEAR(exposureFactor(measure, exposureMeasure(half)), 2 * 65536, 400);
    EXPECT_EQ(exposureFactor(measure, 0.0), 0u);

    Image16 bright;
    fill(bright, 4, 4, 40000);
    scaleExposure(bright, 2 * 65536);
    EXPECT_EQ(at(bright, 1, 1), 65535);

    // The accumulation image measures per unit of weight.
    velimage::AccumulationImage sum;
    sum.allocate(120, 80, 3);
    for (size_t i = 0; i < base.elementCount(); ++i)
        sum.data()[i] = 3u * base.data()[i];
    sum.setMaxWeight(3.0f);
    EXPECT_NEAR(exposureMeasure(sum) / measure, 1.0, 0.002);
}
