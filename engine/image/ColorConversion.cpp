#include "image/ColorConversion.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "image/RowBands.h"
#include "image/SampleLookup.h"

namespace velimage {

namespace {

using Curve = ColorPlan::Curve;
using Primaries = ColorPlan::Primaries;

template <typename F>
std::unique_ptr<uint16_t[]> makeCurve(F curve)
{
    auto table = std::make_unique<uint16_t[]>(65536);
    for (int i = 0; i < 65536; ++i) {
        const double y = curve(i / 65535.0);
        table[i] = static_cast<uint16_t>(std::clamp(std::trunc(y * 65535.0 + 0.5), 0.0, 65535.0));
    }
    return table;
}

inline uint16_t clamp16(int64_t value) { return static_cast<uint16_t>(std::clamp<int64_t>(value, 0, 65535)); }

template <Primaries P>
void convertPixel(uint16_t* rgb)
{
    const int64_t r = rgb[0], g = rgb[1], b = rgb[2];
    if constexpr (P == Primaries::AdobeToSrgb) {
        rgb[0] = clamp16((1432 * r - 408 * g + 511) / 1024);
        rgb[2] = clamp16((1068 * b - 44 * g + 511) / 1024);
    } else {
        rgb[0] = clamp16((732 * r + 292 * g + 511) / 1024);
        rgb[2] = clamp16((42 * g + 982 * b + 511) / 1024);
    }
}

// Curve (when any) and primaries (when any) in one pass over a row.
template <Primaries P>
void convertRow(uint16_t* row, size_t count, int32_t channels, const uint16_t* curve)
{
    if (curve)
        mapThroughCurve(row, row, count, curve);
    if constexpr (P != Primaries::None)
        for (size_t i = 0; i + 2 < count; i += static_cast<size_t>(channels))
            convertPixel<P>(row + i);
}

}  // namespace

ColorTarget colorTargetOf(int loaderColorSetting)
{
    switch (loaderColorSetting) {
    case 2: return ColorTarget::AdobeRgb;
    case 3: return ColorTarget::Linear;
    default: return ColorTarget::Srgb;
    }
}

ColorPlan colorPlanFor(FileKind kind, const MetadataList* metadata, ColorTarget target)
{
    uint16_t space = 0;
    const bool present = metadata && metadata->findShort(tags::ColorSpace, space);
    ColorPlan plan;
    if (present && space == 1) {
        plan.curve = Curve::Srgb;
        if (target == ColorTarget::AdobeRgb)
            plan.primaries = Primaries::SrgbToAdobe;
        return plan;
    }
    // A JPEG marked uncalibrated is taken as Adobe RGB.
    if (present && (space == 2 || (space == 65535 && kind == FileKind::Jpeg))) {
        plan.curve = Curve::AdobeRgb;
        if (target != ColorTarget::AdobeRgb)
            plan.primaries = Primaries::AdobeToSrgb;
        return plan;
    }
    if (present && space == 65535) {  // TIFF, uncalibrated
        if (target == ColorTarget::Linear)
            return plan;
        plan.curve = Curve::AdobeRgb;
        if (target == ColorTarget::Srgb)
            plan.primaries = Primaries::AdobeToSrgb;
        return plan;
    }
    // No usable colour space.
    if (target == ColorTarget::AdobeRgb)
        plan.curve = Curve::AdobeRgb;
    else if (kind == FileKind::Jpeg || target == ColorTarget::Srgb)
        plan.curve = Curve::Srgb;
    return plan;
}

const uint16_t* srgbDecodingCurve()
{
    static const std::unique_ptr<uint16_t[]> table = makeCurve(
        [](double x) { return x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4); });
    return table.get();
}

const uint16_t* adobeRgbDecodingCurve()
{
    static const std::unique_ptr<uint16_t[]> table = makeCurve([](double x) { return std::pow(x, 2.19921875); });
    return table.get();
}

std::array<uint16_t, 256> narrowDecodingTable(const ColorPlan& plan)
{
    const uint16_t* curve = decodingCurveOf(plan);
    std::array<uint16_t, 256> table {};
    for (int v = 0; v < 256; ++v)
        table[v] = curve ? curve[v * 257] : static_cast<uint16_t>(v * 257);
    return table;
}

void adobeToSrgb(uint16_t* rgb) { convertPixel<Primaries::AdobeToSrgb>(rgb); }
void srgbToAdobe(uint16_t* rgb) { convertPixel<Primaries::SrgbToAdobe>(rgb); }

const uint16_t* decodingCurveOf(const ColorPlan& plan)
{
    return plan.curve == Curve::Srgb       ? srgbDecodingCurve()
           : plan.curve == Curve::AdobeRgb ? adobeRgbDecodingCurve()
                                           : nullptr;
}

namespace {

void convertRowBy(uint16_t* row, size_t count, int32_t channels, const uint16_t* curve, Primaries primaries)
{
    switch (primaries) {
    case Primaries::None: convertRow<Primaries::None>(row, count, channels, curve); break;
    case Primaries::AdobeToSrgb: convertRow<Primaries::AdobeToSrgb>(row, count, channels, curve); break;
    case Primaries::SrgbToAdobe: convertRow<Primaries::SrgbToAdobe>(row, count, channels, curve); break;
    }
}

}  // namespace

void applyColorPlanToRow(uint16_t* row, size_t count, int32_t channels, const ColorPlan& plan)
{
    const uint16_t* curve = decodingCurveOf(plan);
    const Primaries primaries = channels == 3 ? plan.primaries : Primaries::None;
    if (curve || primaries != Primaries::None)
        convertRowBy(row, count, channels, curve, primaries);
}

void applyColorPlan(Image<uint16_t>& image, const ColorPlan& plan, int parts)
{
    if (image.empty())
        return;
    const uint16_t* curve = decodingCurveOf(plan);
    const Primaries primaries = image.channels() == 3 ? plan.primaries : Primaries::None;
    if (!curve && primaries == Primaries::None)
        return;
    const size_t count = image.rowElements();
    const int32_t channels = image.channels();
    runRowBands(parts, image.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y)
            convertRowBy(image.row(y), count, channels, curve, primaries);
    });
}

}  // namespace velimage
