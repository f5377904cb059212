#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <wx/image.h>
#include <wx/init.h>

#include "DngWriter.h"
#include "PreviewLoading.h"
#include "SkyFiles.h"
#include "support/TempDir.h"

using veltest::TempDir;

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

    TempDir dir;
};

// Three upright bands, red, grey and blue, in linear light.
std::vector<uint16_t> bandedRgb(int width, int height)
{
    const uint16_t bands[3][3] = {{40000, 8000, 8000}, {8000, 8000, 8000}, {8000, 8000, 40000}};
    std::vector<uint16_t> rgb(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(size_t(y) * width + x) * 3 + c] = bands[x * 3 / width][c];
    return rgb;
}

std::vector<uint8_t> dngBytes(int width, int height)
{
    veldng::DngFrame frame;
    frame.width = width;
    frame.height = height;
    frame.mosaic = veldng::mosaicOf(bandedRgb(width, height).data(), width, height);
    return veldng::encodeDng(frame);
}

velsky::RgbImage16 skyImage(int width, int height)
{
    velsky::RgbImage16 image;
    image.width = width;
    image.height = height;
    image.samples = bandedRgb(width, height);
    return image;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    return veltest::writeBytes(path, std::string(bytes.begin(), bytes.end()));
}

wxString wxPath(const std::string& path) { return wxString::FromUTF8(path); }

PreviewLoadResult load(const std::string& path, int limit = 0, const std::string& mask = {})
{
    return loadPreview(wxPath(path), limit, mask.empty() ? wxString() : wxPath(mask));
}

}  // namespace

TEST_F(PreviewLoading, DecodesRawAtFullSizeWithCameraColoursOnTheSrgbCurve)
{
    const std::string path = dir.file("frame.dng");
    ASSERT_TRUE(writeFile(path, dngBytes(120, 80)));
    const PreviewLoadResult result = load(path, 60);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.fullSize, wxSize(120, 80));
    ASSERT_EQ(result.image.GetSize(), wxSize(60, 40));
    const wxImage& image = result.image;
    // Linear 8000 / 65535 is 98 on the sRGB curve; no brightening moves it, 40000 is 205. Mosaic
    // edges aside the bands come out exact, so the tolerance stays small.
    EXPECT_NEAR(image.GetGreen(30, 20), 98, 3);
    EXPECT_NEAR(image.GetRed(30, 20), 98, 3);
    EXPECT_NEAR(image.GetRed(10, 20), 205, 3);
    EXPECT_NEAR(image.GetBlue(10, 20), 98, 3);
    EXPECT_NEAR(image.GetBlue(50, 20), 205, 3);
    EXPECT_NEAR(image.GetRed(50, 20), 98, 3);
}

TEST_F(PreviewLoading, ReducesTiffAndJpegByTheLongerSideKeepingTheFullSize)
{
    struct Case {
        std::string name;
        int width, height, limit;
        wxSize shown;
    };
    const Case cases[] = {{"wide.tif", 600, 400, 300, wxSize(300, 200)},
                          {"tall.jpg", 400, 600, 300, wxSize(200, 300)},
                          {"odd.tif", 601, 401, 300, wxSize(300, 200)},
                          {"upper.TIF", 600, 400, 300, wxSize(300, 200)},
                          {"small.jpg", 600, 400, 600, wxSize(600, 400)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        if (c.name.find(".jpg") != std::string::npos)
            velsky::writeJpeg(path, skyImage(c.width, c.height));
        else
            velsky::writeTiff16(path, skyImage(c.width, c.height));
        const PreviewLoadResult result = load(path, c.limit);
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(result.fullSize, wxSize(c.width, c.height));
        EXPECT_EQ(result.image.GetSize(), c.shown);
    }
}

TEST_F(PreviewLoading, TakesLongTiffAndJpegEndingsAsRaw)
{
    for (const char* name : {"frame.tiff", "frame.jpeg"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        velsky::writeTiff16(path, skyImage(60, 40));
        EXPECT_FALSE(load(path).ok);
    }
    const std::string raw = dir.file("frame.tiff");
    ASSERT_TRUE(writeFile(raw, dngBytes(60, 40)));
    EXPECT_TRUE(load(raw).ok);
}

TEST_F(PreviewLoading, FailsCleanlyOnFilesItCannotRead)
{
    std::vector<uint8_t> dng = dngBytes(60, 40);
    std::vector<std::string> bad = {dir.file("missing.dng"), dir.file("folder.dng"), dir.file("pipe.dng"),
                                    dir.file("pipe.jpg"),    dir.file("empty.dng"),  dir.file("truncated.dng"),
                                    dir.file("garbage.cr2"), dir.file("huge.dng"),   dir.file("huge.jpg"),
                                    dir.file("huge.tif"),    dir.file("text.jpg")};
    ASSERT_EQ(::mkdir(dir.file("folder.dng").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe.dng").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe.jpg").c_str(), 0600), 0);
    ASSERT_TRUE(writeFile(dir.file("empty.dng"), {}));
    ASSERT_TRUE(writeFile(dir.file("truncated.dng"), std::vector<uint8_t>(dng.begin(), dng.begin() + dng.size() / 3)));
    ASSERT_TRUE(writeFile(dir.file("garbage.cr2"), std::vector<uint8_t>(5000, 0x5A)));
    ASSERT_TRUE(veltest::writeBytes(dir.file("text.jpg"), "not an image at all"));

    // A valid frame with zeros after it still loads; past the file limit the same frame is refused
    // unread (the file is sparse, so nothing large is written).
    ASSERT_TRUE(writeFile(dir.file("padded.dng"), dng));
    std::filesystem::resize_file(dir.file("padded.dng"), dng.size() + (1 << 20));
    ASSERT_TRUE(load(dir.file("padded.dng")).ok);
    ASSERT_TRUE(writeFile(dir.file("huge.dng"), dng));
    std::filesystem::resize_file(dir.file("huge.dng"), kMaxRawPreviewFileBytes + 1);

    // Headers declaring just over the pixel limit, which a decoder would allocate for.
    ASSERT_TRUE(writeFile(dir.file("huge.jpg"), {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xC0, 0x00,
                                                 0x11, 0x08, 0x23, 0x28, 0x2E, 0xE0, 0x03, 1, 0x11, 0, 2, 0x11,
                                                 1, 3, 0x11, 1, 0xFF, 0xD9}));  // 12000 x 9000
    ASSERT_TRUE(writeFile(dir.file("huge.tif"), {'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0, 0, 1, 4, 0, 1, 0, 0, 0, 0xF8, 0x2A,
                                                 0, 0, 1, 1, 4, 0, 1, 0, 0, 0, 0x10, 0x27, 0, 0, 0, 0, 0, 0}));
    for (const std::string& path : bad) {
        SCOPED_TRACE(path);
        const PreviewLoadResult result = load(path, 100);
        EXPECT_FALSE(result.ok);
        EXPECT_FALSE(result.image.IsOk());
    }
}

TEST_F(PreviewLoading, LoadsTheMaskPngAndDropsOnlyTheMaskWhenItFails)
{
    const std::string image = dir.file("frame.tif");
    velsky::writeTiff16(image, skyImage(60, 40));
    velsky::writePngRgb(dir.file("mask.png"), 30, 20, std::vector<uint8_t>(30 * 20 * 3, 255));
    ASSERT_TRUE(veltest::writeBytes(dir.file("broken.png"), "\x89PNG\r\n\x1a\n broken"));

    const PreviewLoadResult withMask = load(image, 0, dir.file("mask.png"));
    ASSERT_TRUE(withMask.ok);
    ASSERT_TRUE(withMask.mask.IsOk());
    EXPECT_EQ(withMask.mask.GetSize(), wxSize(30, 20));
    for (const char* mask : {"broken.png", "missing.png"}) {
        SCOPED_TRACE(mask);
        const PreviewLoadResult result = load(image, 0, dir.file(mask));
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.fullSize, wxSize(60, 40));
        EXPECT_FALSE(result.mask.IsOk());
    }
}

TEST_F(PreviewLoading, AbandonsARawDecodeWhenAStopIsRequested)
{
    const std::vector<uint8_t> dng = dngBytes(60, 40);
    int polls = 0;
    const PreviewLoadResult running = decodeRawPreview(dng.data(), dng.size(), 0, [&] { return ++polls < 0; });
    ASSERT_TRUE(running.ok);
    // LibRaw polls between its steps, so a stop asked for mid-way ends the decode there.
    ASSERT_GT(polls, 3);
    const int stopAt = polls / 2;
    int laterPolls = 0;
    EXPECT_FALSE(decodeRawPreview(dng.data(), dng.size(), 0, [&] { return ++laterPolls >= stopAt; }).ok);
    EXPECT_EQ(laterPolls, stopAt);
}
