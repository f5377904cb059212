#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <wx/image.h>
#include <wx/init.h>

#include "DecoderProcess.h"
#include "DngWriter.h"
#include "PreviewLoading.h"
#include "SkyFiles.h"
#include "support/RawDecodeChecks.h"
#include "support/TempDir.h"

using veltest::writeBytes;

namespace {

class PreviewLoading : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static wxInitializer initializer;
        if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) {
            wxImage::AddHandler(new wxJPEGHandler);
            wxImage::AddHandler(new wxTIFFHandler);
            wxImage::AddHandler(new wxPNGHandler);
        }
    }

    PreviewLoadResult load(const std::string& name, int limit = 0, const std::string& mask = {}) const
    {
        return loadPreview(wxString::FromUTF8(dir.file(name)), limit,
                           mask.empty() ? wxString() : wxString::FromUTF8(dir.file(mask)));
    }

    veltest::TempDir dir;
};

// Three upright bands, red, grey and blue, in linear light.
velsky::RgbImage16 bandedImage(int width, int height)
{
    const uint16_t bands[3][3] = {{40000, 8000, 8000}, {8000, 8000, 8000}, {8000, 8000, 40000}};
    velsky::RgbImage16 image{width, height, std::vector<uint16_t>(size_t(width) * height * 3)};
    for (size_t i = 0; i < image.samples.size(); ++i)
        image.samples[i] = bands[(i / 3 % width) * 3 / width][i % 3];
    return image;
}

std::string dngBytes(int width, int height)
{
    veldng::DngFrame frame;
    frame.width = width;
    frame.height = height;
    frame.mosaic = veldng::mosaicOf(bandedImage(width, height).samples.data(), width, height);
    const std::vector<uint8_t> bytes = veldng::encodeDng(frame);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST_F(PreviewLoading, DecodesRawAtFullSizeWithCameraColoursOnTheSrgbCurve)
{
    ASSERT_TRUE(writeBytes(dir.file("frame.dng"), dngBytes(120, 80)));
    const PreviewLoadResult result = load("frame.dng", 60);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.fullSize, wxSize(120, 80));
    ASSERT_EQ(result.image.GetSize(), wxSize(60, 40));
    // Linear 8000 / 65535 is 98 on the sRGB curve and 40000 is 205; brightening or another
    // curve moves them far more than the band edges' demosaicing does.
    const wxImage& image = result.image;
    EXPECT_NEAR(image.GetRed(10, 20), 205, 3);
    EXPECT_NEAR(image.GetBlue(10, 20), 98, 3);
    EXPECT_NEAR(image.GetGreen(30, 20), 98, 3);
    EXPECT_NEAR(image.GetRed(50, 20), 98, 3);
    EXPECT_NEAR(image.GetBlue(50, 20), 205, 3);
}

TEST_F(PreviewLoading, RawThroughTheDecodingProgramIsExactlyTheInProcessDecode)
{
    ASSERT_FALSE(velraw::decoderProgramPath().empty()) << "velostar-rawdecode is not beside the tests";
    const std::string dng = dngBytes(120, 80);
    ASSERT_TRUE(writeBytes(dir.file("frame.dng"), dng));
    const PreviewLoadResult child = load("frame.dng");
    const PreviewLoadResult here = decodeRawPreview(reinterpret_cast<const unsigned char*>(dng.data()), dng.size(), 0);
    ASSERT_TRUE(child.ok && here.ok);
    ASSERT_EQ(child.image.GetSize(), here.image.GetSize());
    EXPECT_EQ(std::memcmp(child.image.GetData(), here.image.GetData(), 120 * 80 * 3), 0);
}

TEST_F(PreviewLoading, ReducesTiffAndJpegByTheLongerSideKeepingTheFullSize)
{
    struct Case {
        std::string name;
        wxSize full;
        int limit;
        wxSize shown;
    } const cases[] = {{"wide.tif", {600, 400}, 300, {300, 200}}, {"tall.jpg", {400, 600}, 300, {200, 300}},
                       {"odd.tif", {601, 401}, 300, {300, 200}},  {"upper.TIF", {600, 400}, 300, {300, 200}},
                       {"small.jpg", {600, 400}, 600, {600, 400}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const velsky::RgbImage16 image = bandedImage(c.full.x, c.full.y);
        if (c.name.ends_with(".jpg"))
            velsky::writeJpeg(dir.file(c.name), image);
        else
            velsky::writeTiff16(dir.file(c.name), image);
        const PreviewLoadResult result = load(c.name, c.limit);
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(result.fullSize, c.full);
        EXPECT_EQ(result.image.GetSize(), c.shown);
    }
}

TEST_F(PreviewLoading, TakesLongTiffAndJpegEndingsAsRaw)
{
    for (const char* name : {"frame.tiff", "frame.jpeg"}) {
        velsky::writeTiff16(dir.file(name), bandedImage(60, 40));
        EXPECT_FALSE(load(name).ok) << name;
    }
    ASSERT_TRUE(writeBytes(dir.file("frame.tiff"), dngBytes(60, 40)));
    EXPECT_TRUE(load("frame.tiff").ok);
}

TEST_F(PreviewLoading, FailsCleanlyOnFilesItCannotRead)
{
    const std::string dng = dngBytes(60, 40);
    ASSERT_EQ(::mkdir(dir.file("folder.dng").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe.dng").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe.jpg").c_str(), 0600), 0);
    ASSERT_TRUE(writeBytes(dir.file("empty.dng"), ""));
    ASSERT_TRUE(writeBytes(dir.file("truncated.dng"), dng.substr(0, dng.size() / 3)));
    ASSERT_TRUE(writeBytes(dir.file("garbage.cr2"), std::string(5000, 'Z')));
    ASSERT_TRUE(writeBytes(dir.file("text.jpg"), "not an image at all"));
    // A frame with zeros after it still loads; past the file limit the same frame is refused
    // unread (sparse files, so nothing large is written).
    ASSERT_TRUE(writeBytes(dir.file("padded.dng"), dng));
    std::filesystem::resize_file(dir.file("padded.dng"), dng.size() + (1 << 20));
    ASSERT_TRUE(load("padded.dng").ok);
    ASSERT_TRUE(writeBytes(dir.file("huge.dng"), dng));
    std::filesystem::resize_file(dir.file("huge.dng"), kMaxRawPreviewFileBytes + 1);
    // Headers declaring just over the pixel limit, which a decoder would allocate for: a JPEG
    // frame of 12000 x 9000 after an APP0 segment, a TIFF of 11000 x 10000.
    using namespace std::string_literals;
    ASSERT_TRUE(writeBytes(dir.file("huge.jpg"), "\xFF\xD8\xFF\xE0\0\4\0\0\xFF\xC0\0\x11\x08\x23\x28\x2E\xE0\3"
                                                 "\1\x11\0\2\x11\1\3\x11\1\xFF\xD9"s));
    ASSERT_TRUE(writeBytes(dir.file("huge.tif"), "II*\0\x08\0\0\0\2\0\0\1\4\0\1\0\0\0\xF8\x2A\0\0"
                                                 "\1\1\4\0\1\0\0\0\x10\x27\0\0\0\0\0\0"s));
    std::vector<std::string> names = {"missing.dng", "folder.dng", "pipe.dng", "pipe.jpg", "empty.dng", "truncated.dng",
                                      "garbage.cr2", "text.jpg", "huge.dng", "huge.jpg", "huge.tif"};
    // And files that crash LibRaw.
    for (const auto& file : veltest::crashingRawFiles()) {
        ASSERT_TRUE(writeBytes(dir.file(file.name), file.bytes));
        names.push_back(file.name);
    }
    for (const std::string& name : names) {
        const PreviewLoadResult result = load(name, 100);
        EXPECT_FALSE(result.ok) << name;
        EXPECT_FALSE(result.image.IsOk()) << name;
    }
}

TEST_F(PreviewLoading, LoadsTheMaskPngAndDropsOnlyTheMaskWhenItFails)
{
    velsky::writeTiff16(dir.file("frame.tif"), bandedImage(60, 40));
    velsky::writePngRgb(dir.file("mask.png"), 30, 20, std::vector<uint8_t>(30 * 20 * 3, 255));
    ASSERT_TRUE(writeBytes(dir.file("broken.png"), "\x89PNG\r\n\x1a\n broken"));
    const PreviewLoadResult withMask = load("frame.tif", 0, "mask.png");
    ASSERT_TRUE(withMask.ok);
    EXPECT_EQ(withMask.mask.IsOk() ? withMask.mask.GetSize() : wxSize(), wxSize(30, 20));
    for (const char* mask : {"broken.png", "missing.png"}) {
        const PreviewLoadResult result = load("frame.tif", 0, mask);
        EXPECT_EQ(result.fullSize, wxSize(60, 40)) << mask;
        EXPECT_FALSE(result.mask.IsOk()) << mask;
    }
}

TEST_F(PreviewLoading, AbandonsARawDecodeWhenAStopIsRequested)
{
    const std::string dng = dngBytes(60, 40);
    const auto* bytes = reinterpret_cast<const unsigned char*>(dng.data());
    int polls = 0;
    ASSERT_TRUE(decodeRawPreview(bytes, dng.size(), 0, [&] { return ++polls < 0; }).ok);
    // LibRaw polls between its steps, so a stop asked for mid-way ends the decode there.
    ASSERT_GT(polls, 3);
    int laterPolls = 0;
    EXPECT_FALSE(decodeRawPreview(bytes, dng.size(), 0, [&] { return ++laterPolls >= polls / 2; }).ok);
    EXPECT_EQ(laterPolls, polls / 2);

    // A decoding program that hangs is left as soon as a stop is asked for.
    ASSERT_TRUE(veltest::writeScript(dir.file("decoder"), "exec sleep 60"));
    const veltest::DecoderProgramOverride hanging(dir.file("decoder"));
    ASSERT_TRUE(writeBytes(dir.file("frame.dng"), dng));
    std::atomic<int> waits{0};
    auto stopped = std::async(std::launch::async, [&] {
        return loadPreview(wxString::FromUTF8(dir.file("frame.dng")), 0, {}, [&] { return ++waits >= 3; });
    });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the stop was not seen";
    EXPECT_FALSE(stopped.get().ok);
}
