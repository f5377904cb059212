#include "PipelineHarness.h"

namespace veltest {

velthread::FrameDecoder fakeDecoder()
{
    return [](const std::wstring& path, int, int, velimage::RowSink*) -> std::unique_ptr<velimage::Image16> {
        if (path.find(L"bad") != std::wstring::npos)
            return nullptr;
        auto image = std::make_unique<velimage::Image16>();
        image->allocate(6, 4, 3);
        for (size_t i = 0; i < image->elementCount(); ++i)
            image->data()[i] = static_cast<uint16_t>(100 + i);
        image->ensureMetadata().setFloat(velimage::tags::ExposureTime, 2.0f);
        return image;
    };
}

velrun::RunStages FakeStages::stages()
{
    using namespace velrun;
    RunStages s;
    s.removeHotPixels = [](RunContext&, Frame&) {};
    s.analyzeFrame = [this](RunContext&, Frame& frame, int32_t) {
        if (frame.reference)
            references.push_back(frame.path);
        auto analysis = std::make_unique<FrameAnalysis>();
        analysis->stars = 20;
        analysis->patternStars = 20;
        return analysis;
    };
    s.alignFrame = [](RunContext&, Frame& frame) {
        frame.analysis->pairs = 12;
        frame.analysis->aligned = true;
        frame.analysis->transform[2] = 1.5;
        return true;
    };
    s.accumulateFrame = [](RunContext&, Frame&) { return true; };
    s.composeTrails = [](RunContext&, Frame&) { return true; };
    s.normalize = [](RunContext&) {};
    s.toneConvert = [](RunContext&) { return true; };
    s.writeOutput = [this](RunContext& ctx, const std::wstring& path) {
        written.push_back(path);
        float exposure = 0;
        ctx.metadata.findFloat(velimage::tags::ExposureTime, exposure);
        exposures.push_back(exposure);
        const velimage::MetadataEntry* entry = ctx.metadata.find(velimage::tags::Software);
        software.push_back(entry ? entry->text : "");
        return writeSucceeds;
    };
    return s;
}

}  // namespace veltest
