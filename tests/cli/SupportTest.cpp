#include <gtest/gtest.h>

#include <cstring>

#include <png.h>

#include "FrameReport.h"
#include "MaskPng.h"
#include "support/RecordingEngine.h"
#include "WideText.h"
#include "support/TempDir.h"

namespace {

bool writePng(const std::string& path, uint32_t width, uint32_t height, uint32_t format, const std::vector<uint8_t>& bytes)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = format;
    return png_image_write_to_file(&image, path.c_str(), 0, bytes.data(), 0, nullptr) != 0;
}

}  // namespace

TEST(MaskPng, ReadsAnyPngLayoutAsRgb)
{
    veltest::TempDir dir;
    // Green sky over black ground, 3 × 2.
    const std::vector<uint8_t> rgb = {0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(writePng(dir.file("rgb.png"), 3, 2, PNG_FORMAT_RGB, rgb));
    auto mask = velcli::loadMaskPng(dir.file("rgb.png"));
    EXPECT_EQ(mask.width, 3);
    EXPECT_EQ(mask.height, 2);
    EXPECT_EQ(mask.rgb, rgb);

    // Grey with alpha: painted white is kept, transparent paint counts as black.
    const std::vector<uint8_t> greyAlpha = {255, 255, 255, 0};
    ASSERT_TRUE(writePng(dir.file("ga.png"), 2, 1, PNG_FORMAT_GA, greyAlpha));
    mask = velcli::loadMaskPng(dir.file("ga.png"));
    EXPECT_EQ(mask.rgb, (std::vector<uint8_t>{255, 255, 255, 0, 0, 0}));
}

TEST(MaskPng, BrokenFilesFailCleanly)
{
    veltest::TempDir dir;
    EXPECT_THROW(velcli::loadMaskPng(dir.file("missing.png")), std::runtime_error);
    ASSERT_TRUE(veltest::writeBytes(dir.file("text.png"), "not a png at all"));
    EXPECT_THROW(velcli::loadMaskPng(dir.file("text.png")), std::runtime_error);
    std::vector<uint8_t> rgb(64 * 64 * 3, 200);
    ASSERT_TRUE(writePng(dir.file("whole.png"), 64, 64, PNG_FORMAT_RGB, rgb));
    const std::string bytes = veltest::readBytes(dir.file("whole.png"));
    ASSERT_TRUE(veltest::writeBytes(dir.file("cut.png"), bytes.substr(0, bytes.size() / 2)));
    EXPECT_THROW(velcli::loadMaskPng(dir.file("cut.png")), std::runtime_error);
}

TEST(WideText, RoundTripsAndReplacesInvalidBytes)
{
    const std::string name = "/nacht/\xE6\x98\x9F \xD0\x96/\xF0\x9F\x8C\x8C.tif";
    const std::wstring wide = velcli::widen(name);
    EXPECT_EQ(wide, L"/nacht/\u661F \u0416/\U0001F30C.tif");
    EXPECT_EQ(velcli::narrow(wide.c_str()), name);
    EXPECT_EQ(velcli::widen("a\xFF" "b\xE6\x98"), L"a\uFFFDb\uFFFD\uFFFD");
    EXPECT_EQ(velcli::widen("\xC0\xAF"), L"\uFFFD\uFFFD");  // overlong '/' must not become a separator
    EXPECT_EQ(velcli::narrow(nullptr), "");
    EXPECT_EQ(velcli::fileNamePart("C:\\a/b:c.tif"), "c.tif");
    EXPECT_EQ(velcli::fileNamePart("plain.tif"), "plain.tif");
    EXPECT_EQ(velcli::fileNamePart("C:"), "C:");
}

TEST(FrameReport, ListsEveryFrameWithNullAndTheReasonForUnaligned)
{
    RecordingEngine engine;
    VelostarFrameReport base{L"/d/base.tif", true, true, true, 812, 40, 0, {1, 0, 0, 0, 1, 0}, nullptr};
    VelostarFrameReport lost{L"/d/cloud.tif", false, false, false, 3, 0, 0, {}, "too few stars found"};
    VelostarFrameReport moved{L"/d/\u661F.tif", false, true, true, 790, 40, 35, {0.99, 0.01, 4.5, -0.01, 0.99, 3.25},
                              nullptr};
    engine.reports = {base, lost, moved};
    const auto report = velcli::buildFrameReport(engine, 1);
    EXPECT_EQ(report["result"], 1);
    ASSERT_EQ(report["frames"].size(), 3u);
    EXPECT_EQ(report["frames"][0]["reference"], true);
    EXPECT_EQ(report["frames"][0]["stars"], 812);
    EXPECT_TRUE(report["frames"][1]["transform"].is_null());
    EXPECT_EQ(report["frames"][1]["used"], false);
    EXPECT_EQ(report["frames"][1]["reason"], "too few stars found");
    EXPECT_TRUE(report["frames"][2]["reason"].is_null());
    EXPECT_EQ(velcli::unalignedFrameLines(engine), std::vector<std::string>{"cloud.tif not aligned: too few stars found"});
    EXPECT_EQ(report["frames"][2]["file"], "/d/\xE6\x98\x9F.tif");
    EXPECT_EQ(report["frames"][2]["pairs"], 35);
    EXPECT_EQ(report["frames"][2]["patternStars"], 40);
    EXPECT_EQ(report["frames"][2]["transform"], nlohmann::json({0.99, 0.01, 4.5, -0.01, 0.99, 3.25}));

    veltest::TempDir dir;
    std::string error;
    EXPECT_TRUE(velcli::writeFrameReport(dir.file("r.json"), report, error));
    EXPECT_EQ(nlohmann::json::parse(veltest::readBytes(dir.file("r.json"))), report);
    EXPECT_FALSE(velcli::writeFrameReport(dir.file("no/such/dir/r.json"), report, error));
    EXPECT_NE(error.find("r.json"), std::string::npos);
}
