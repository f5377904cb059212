#include "corrections/FinalToneConversion.h"

#include <memory>

#include "corrections/ToneTable.h"
#include "parallel/ProcessPool.h"

namespace veltone {

namespace {

inline uint32_t toSixteenBitScale(uint32_t value)
{
    return static_cast<uint32_t>((static_cast<uint64_t>(value) + 128) >> 8);
}

}  // namespace

void finalToneConversion(AccumulationImage& image, ToneState& state, int colorSpace, velimage::MetadataList& metadata)
{
    ensureWorkingScale(image, state);
    std::unique_ptr<ToneTable> table;
    uint16_t tag = ColorSpaceTagSrgb;
    if (colorSpace == 2) {
        tag = ColorSpaceTagLinear;
    } else if (colorSpace == 1) {
        tag = ColorSpaceTagAdobeRgb;
        table = std::make_unique<ToneTable>(ToneCurve::AdobeRgb);
    } else {
        table = std::make_unique<ToneTable>(ToneCurve::Srgb);
    }
    metadata.setShort(velimage::tags::ColorSpace, tag);

    const ToneTable* curve = table.get();
    const size_t rowElements = image.rowElements();
    velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* row = image.row(y);
            if (curve)
                for (size_t i = 0; i < rowElements; ++i)
                    row[i] = toSixteenBitScale((*curve)[row[i]]);
            else
                for (size_t i = 0; i < rowElements; ++i)
                    row[i] = toSixteenBitScale(row[i]);
        }
    });
    state.workingScale = false;
}

}  // namespace veltone
