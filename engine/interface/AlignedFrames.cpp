#include "AlignedFrames.h"

#include <algorithm>
#include <vector>

#include "StarAnalysis.h"
#include "VelostarImpl.h"
#include "corrections/FinalToneConversion.h"
#include "corrections/ToneTable.h"
#include "integration/FrameWarper.h"
#include "integration/SampleRounding.h"
#include "parallel/ProcessPool.h"

namespace velrun {

namespace {

// Plain sums of the aligned samples; the weights stay as they are.
void addSamples(velimage::AccumulationImage& acc, const velimage::Image16& aligned)
{
    if (acc.empty()) {
        acc.allocate(aligned.width(), aligned.height(), 3);
        acc.clear();
    }
    if (acc.width() != aligned.width() || acc.height() != aligned.height() || acc.channels() != aligned.channels())
        return;
    const size_t rowElements = aligned.rowElements();
    velthread::parallelRows(aligned.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* in = aligned.row(y);
            uint32_t* out = acc.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                out[i] += in[i];
        }
    });
}

// Linear frames keep their samples; otherwise the colour-space curve through a 16-bit table.
void applyOutputTone(velimage::Image16& image, const EngineSettings& settings)
{
    uint16_t tag = veltone::ColorSpaceTagLinear;
    if (!settings.dumpAsLinear) {
        const veltone::ToneCurve curve =
            settings.colorSpace == 1 ? veltone::ToneCurve::AdobeRgb : veltone::ToneCurve::Srgb;
        tag = settings.colorSpace == 1 ? veltone::ColorSpaceTagAdobeRgb : veltone::ColorSpaceTagSrgb;
        std::vector<uint16_t> table(65536);
        for (size_t i = 0; i < table.size(); ++i) {
            const float t = static_cast<float>(i) / 65535.0f;
            table[i] = static_cast<uint16_t>(
                std::min<uint32_t>(65535u, velstack::roundHalfUp(veltone::toneCurveValue(curve, t) * 65535.0f)));
        }
        const size_t rowElements = image.rowElements();
        velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
            for (int32_t y = begin; y < end; ++y) {
                uint16_t* row = image.row(y);
                for (size_t i = 0; i < rowElements; ++i)
                    row[i] = table[row[i]];
            }
        });
    }
    image.ensureMetadata().setShort(velimage::tags::ColorSpace, tag);
}

void copyPixels(const velimage::Image16& from, velimage::Image16& to)
{
    to.allocate(from.width(), from.height(), from.channels());
    std::copy_n(from.data(), from.elementCount(), to.data());
}

}  // namespace

bool writeAlignedFrame(RunContext& ctx, Frame& frame, const std::wstring& path)
{
    if (!frame.image || frame.image->empty())
        return false;
    const velimage::Image16& source = *frame.image;
    auto owned = std::make_unique<velimage::TiffImage>();
    velimage::Image16& aligned = *owned;
    if (frame.reference) {
        // Already in the accumulation image as its start.
        copyPixels(source, aligned);
    } else {
        const StarAnalysis* analysis = starAnalysisOf(frame.analysis.get());
        if (!analysis || !analysis->aligned)
            return false;
        const velimage::AccumulationImage& acc = ctx.accumulation;
        if (!acc.empty())
            aligned.allocate(acc.width(), acc.height(), 3);
        if (!velstack::warpForAlignOnly(source, analysis->warp.model(), aligned))
            return false;
        addSamples(ctx.accumulation, aligned);
    }
    aligned.copyMetadataFrom(source.metadata());
    applyOutputTone(aligned, ctx.settings);
    // Written on the saver's thread while the next frame is loaded and warped.
    return ctx.engine.saver().enqueue(path, std::move(owned));
}

}  // namespace velrun
