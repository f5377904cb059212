#include <cmath>
#include <new>

#include "Diagnostics.h"
#include "FileMemory.h"
#include "diagnostics/DiagnosticRuns.h"
#include "image/JpegReader.h"
#include "image/JpegWriter.h"
#include "integration/AccumulationArithmetic.h"
#include "integration/FrameWarper.h"
#include "parallel/ProcessPool.h"

namespace veldiag {

namespace {

constexpr int kDiagnosticQuality = 95;

// The decoded samples in the 16-bit scale the warp and the 8-bit conversion work in.
void widen(const velimage::Image8& in, velimage::Image16& out)
{
    out.allocate(in.width(), in.height(), in.channels());
    const size_t rowElements = in.rowElements();
    velthread::parallelRows(in.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint8_t* source = in.row(y);
            uint16_t* target = out.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                target[i] = static_cast<uint16_t>(source[i] * 257u);
        }
    });
}

}  // namespace

bool runImageTransform(const std::wstring& input, const std::wstring& output)
{
    const velthread::ProcessPoolScope pool;
    velimage::JpegImage decoded;
    {
        FileMemory file;
        if (!file.loadFromFile(input.c_str()) ||
            !decodeJpeg(file.getContent(), static_cast<size_t>(file.getSize()), decoded) || decoded.empty())
            return false;
    }

    velimage::AccumulationImage accumulation;
    accumulation.allocate(decoded.width(), decoded.height(), 3);
    velstack::clearAccumulation(accumulation);
    if (decoded.channels() == 3) {
        const float angle = 0.034906585f;
        const float c = std::cos(angle), s = std::sin(angle);
        const float forward[9] = {c, -s, 1.0f, s, c, 2.0f, 0.0f, 0.0f, 1.0f};
        velstack::WarpModel model;
        if (model.setFromForward(forward)) {
            velimage::Image16 frame;
            widen(decoded, frame);
            decoded.release();
            velstack::accumulateFrame(frame, model, accumulation);
        }
    }
    velimage::Image8 converted;
    if (!velstack::toOutput8(accumulation, converted)) {
        // Nothing was warped (grey input or singular turn): the cleared image converts to black.
        converted.allocate(accumulation.width(), accumulation.height(), 3);
        std::fill_n(converted.row(0), converted.rowElements() * static_cast<size_t>(converted.height()), uint8_t{0});
    }
    FileMemory encoded;
    return velimage::compressJpeg8(converted, velimage::kJpegOutputCapacity, encoded, kDiagnosticQuality) &&
           encoded.saveToFile(output.c_str(), true);
}

}  // namespace veldiag

void testImageTransform()
{
    try {
        veldiag::runImageTransform(L"TestTransform.jpg", L"TestTransformOut.jpg");
    } catch (...) {
        // A self-check has nobody to tell; nothing is written.
    }
}
