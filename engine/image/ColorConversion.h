#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/Image.h"
#include "image/Metadata.h"

namespace velimage {

// Brings decoded JPEG and TIFF samples into the engine's linear working data: a decoding curve
// for the file's colour space, then a primaries conversion towards the target space.
enum class ColorTarget { Srgb, AdobeRgb, Linear };
enum class FileKind { Jpeg, Tiff };

// Loader colour setting 1 sRGB, 2 Adobe RGB, 3 linear (anything else: sRGB).
ColorTarget colorTargetOf(int loaderColorSetting);

struct ColorPlan {
    enum class Curve { None, Srgb, AdobeRgb } curve = Curve::None;
    enum class Primaries { None, AdobeToSrgb, SrgbToAdobe } primaries = Primaries::None;
};

// What to do for a file of this kind whose metadata carries (or lacks) ColorSpace 40961.
ColorPlan colorPlanFor(FileKind kind, const MetadataList* metadata, ColorTarget target);

// Applies the plan in place (the primaries only to 3-channel images), in row bands over `parts`
// parts of the process pool.
void applyColorPlan(Image<uint16_t>& image, const ColorPlan& plan, int parts);

// The same for one row of `count` samples, for readers that convert each row as they read it.
void applyColorPlanToRow(uint16_t* row, size_t count, int32_t channels, const ColorPlan& plan);

// The 65536-entry decoding tables: entry i = trunc(curve(i / 65535) · 65535 + 0.5).
const uint16_t* srgbDecodingCurve();
const uint16_t* adobeRgbDecodingCurve();

// The plan's 16-bit decoding curve, or null when it has none.
const uint16_t* decodingCurveOf(const ColorPlan& plan);

// The plan's decoding curve for 8-bit samples widened to 16 bits: entry v = curve(v·257), or
// v·257 without a curve.
std::array<uint16_t, 256> narrowDecodingTable(const ColorPlan& plan);

// One pixel's primaries conversion in 1/1024 fixed point, clamped to 0..65535; green is kept.
void adobeToSrgb(uint16_t* rgb);
void srgbToAdobe(uint16_t* rgb);

}  // namespace velimage
