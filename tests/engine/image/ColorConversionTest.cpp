#include <gtest/gtest.h>

#include <array>

#include "image/ColorConversion.h"
#include "parallel/ProcessPool.h"

using namespace velimage;
using Curve = ColorPlan::Curve;
using Primaries = ColorPlan::Primaries;

namespace {

// Sample pixel and its decoded values, worked out by hand from the curve formulas:
// sRGB  32768 → 14028, 50000 → 35581, 1000 → 77
// Adobe 32768 → 14271, 50000 → 36146, 1000 → 7
constexpr std::array<uint16_t, 3> kPixel = {32768, 50000, 1000};

std::array<uint16_t, 3> convert(FileKind kind, int colorSpace, ColorTarget target)
{
    Image<uint16_t> image;
    image.allocate(1, 1, 3);
    std::copy(kPixel.begin(), kPixel.end(), image.data());
    MetadataList list;
    if (colorSpace >= 0)
        list.setShort(tags::ColorSpace, static_cast<uint16_t>(colorSpace));
    applyColorPlan(image, colorPlanFor(kind, &list, target), 1);
    return {image.data()[0], image.data()[1], image.data()[2]};
}

using Rgb = std::array<uint16_t, 3>;
const Rgb kSrgbCurve = {14028, 35581, 77};
const Rgb kSrgbToAdobe = {20174, 35581, 1533};   // (732 R + 292 G + 511) / 1024, (42 G + 982 B + 511) / 1024
const Rgb kAdobeCurve = {14271, 36146, 7};
const Rgb kAdobeToSrgb = {5555, 36146, 0};       // blue: 1068·7 − 44·36146 < 0 clamps to 0

}  // namespace

TEST(ColorConversion, CurvesMatchTheirFormulasAtChosenSamples)
{
    const uint16_t* srgb = srgbDecodingCurve();
    const uint16_t* adobe = adobeRgbDecodingCurve();
    // The two sRGB segments meet at x = 0.04045 (index 2650.9) without a jump.
    EXPECT_EQ(srgb[0], 0);
    EXPECT_EQ(srgb[1000], 77);
    EXPECT_EQ(srgb[2651], 205);
    EXPECT_EQ(srgb[32768], 14028);
    EXPECT_EQ(srgb[65535], 65535);
    EXPECT_EQ(adobe[1000], 7);
    EXPECT_EQ(adobe[32768], 14271);
    EXPECT_EQ(adobe[65535], 65535);
    for (int i = 1; i < 65536; ++i)
        ASSERT_LE(srgb[i - 1], srgb[i]) << i;
}

TEST(ColorConversion, PrimariesRoundAndClamp)
{
    uint16_t white[3] = {65535, 0, 65535};
    adobeToSrgb(white);
    EXPECT_EQ(white[0], 65535);  // 91647 clamps
    EXPECT_EQ(white[1], 0);
    uint16_t grey[3] = {1024, 1024, 1024};
    srgbToAdobe(grey);
    EXPECT_EQ(grey[0], 1024);  // (732 + 292) · 1024 / 1024
    EXPECT_EQ(grey[2], 1024);
}

TEST(ColorConversion, RulesTableRowByRow)
{
    const auto S = ColorTarget::Srgb, A = ColorTarget::AdobeRgb, L = ColorTarget::Linear;
    const Rgb none = kPixel;
    struct Row {
        int colorSpace;  // -1: absent
        ColorTarget target;
        Rgb jpeg, tiff;
    };
    const Row rows[] = {
        {1, S, kSrgbCurve, kSrgbCurve},        {1, A, kSrgbToAdobe, kSrgbToAdobe},   {1, L, kSrgbCurve, kSrgbCurve},
        {2, S, kAdobeToSrgb, kAdobeToSrgb},    {2, A, kAdobeCurve, kAdobeCurve},     {2, L, kAdobeToSrgb, kAdobeToSrgb},
        {65535, S, kAdobeToSrgb, kAdobeToSrgb}, {65535, A, kAdobeCurve, kAdobeCurve}, {65535, L, kAdobeToSrgb, none},
        {-1, S, kSrgbCurve, kSrgbCurve},       {-1, A, kAdobeCurve, kAdobeCurve},    {-1, L, kSrgbCurve, none},
        {7, S, kSrgbCurve, kSrgbCurve},        {7, A, kAdobeCurve, kAdobeCurve},     {7, L, kSrgbCurve, none},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(convert(FileKind::Jpeg, row.colorSpace, row.target), row.jpeg)
            << "jpeg " << row.colorSpace << " target " << static_cast<int>(row.target);
        EXPECT_EQ(convert(FileKind::Tiff, row.colorSpace, row.target), row.tiff)
            << "tiff " << row.colorSpace << " target " << static_cast<int>(row.target);
    }
}

TEST(ColorConversion, LoaderSettingMapsToTarget)
{
    EXPECT_EQ(colorTargetOf(1), ColorTarget::Srgb);
    EXPECT_EQ(colorTargetOf(2), ColorTarget::AdobeRgb);
    EXPECT_EQ(colorTargetOf(3), ColorTarget::Linear);
}

TEST(ColorConversion, SameResultWithOneOrManyParts)
{
    Image<uint16_t> one, many;
    one.allocate(97, 61, 3);
    many.allocate(97, 61, 3);
    for (size_t i = 0; i < one.elementCount(); ++i)
        one.data()[i] = many.data()[i] = static_cast<uint16_t>(i * 40503u);
    ColorPlan plan;
    plan.curve = Curve::AdobeRgb;
    plan.primaries = Primaries::AdobeToSrgb;
    applyColorPlan(one, plan, 1);
    {
        velthread::ProcessPoolScope pool(4);
        applyColorPlan(many, plan, 4);
    }
    EXPECT_TRUE(std::equal(one.data(), one.data() + one.elementCount(), many.data()));
}

TEST(ColorConversion, PrimariesSkipImagesWithoutThreeChannels)
{
    Image<uint16_t> grey;
    grey.allocate(3, 1, 1);
    grey.data()[0] = 32768;
    grey.data()[1] = 50000;
    grey.data()[2] = 1000;
    ColorPlan plan;
    plan.curve = Curve::AdobeRgb;
    plan.primaries = Primaries::AdobeToSrgb;
    applyColorPlan(grey, plan, 1);
    EXPECT_EQ(grey.data()[0], 14271);
    EXPECT_EQ(grey.data()[1], 36146);
    EXPECT_EQ(grey.data()[2], 7);
}

TEST(ColorConversion, NarrowTableWidensThenDecodes)
{
    const auto plain = narrowDecodingTable(ColorPlan{});
    EXPECT_EQ(plain[0], 0);
    EXPECT_EQ(plain[128], 32896);
    EXPECT_EQ(plain[255], 65535);
    ColorPlan srgb;
    srgb.curve = Curve::Srgb;
    const auto decoded = narrowDecodingTable(srgb);
    for (int v = 0; v < 256; ++v)
        ASSERT_EQ(decoded[v], srgbDecodingCurve()[v * 257]) << v;
}
