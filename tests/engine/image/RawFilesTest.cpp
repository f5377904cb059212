#include <gtest/gtest.h>

#include <cmath>

#include "DngWriter.h"
#include "image/ImageFiles.h"
#include "image/RawReader.h"
#include "support/TempDir.h"

using namespace velimage;
using veltest::TempDir;

namespace {

// A grey frame with a brighter block in the top-left corner, so that turning is visible.
veldng::DngFrame testFrame(int width = 64, int height = 48)
{
    veldng::DngFrame frame;
    frame.width = width;
    frame.height = height;
    frame.mosaic.assign(static_cast<size_t>(width) * height, 8000);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            frame.mosaic[static_cast<size_t>(y) * width + x] = 40000;
    frame.iso = 1600;
    frame.exposureSeconds = 30.0;
    frame.dateTimeOriginal = "2023:08:12 23:45:01";
    return frame;
}

std::unique_ptr<RawImage> decode(const veldng::DngFrame& frame, bool applyOrientation, int colorSetting = 1)
{
    const std::vector<uint8_t> bytes = veldng::encodeDng(frame);
    auto image = std::make_unique<RawImage>();
    if (!decodeRaw(bytes.data(), bytes.size(), colorSetting, 1.0, 1.0, applyOrientation, *image))
        return nullptr;
    return image;
}

}  // namespace

TEST(RawFiles, DecodesLinearRgbWithCaptureMetadata)
{
    TempDir dir;
    veldng::DngFrame frame = testFrame();
    frame.writeExposureBias = true;
    frame.exposureBias = -0.7;
    ASSERT_TRUE(veldng::writeDng(frame, dir.file("frame.dng")));
    auto loaded = loadImage(dir.wfile("frame.dng"), 1, 1);
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(dynamic_cast<RawImage*>(loaded.get()));
    EXPECT_EQ(loaded->width(), 64);
    EXPECT_EQ(loaded->height(), 48);
    EXPECT_EQ(loaded->channels(), 3);
    // Linear output: the bright block stays about five times the background (40000 / 8000).
    const uint16_t* corner = loaded->row(2) + 2 * 3;
    const uint16_t* middle = loaded->row(30) + 40 * 3;
    ASSERT_GT(middle[1], 0);
    EXPECT_NEAR(static_cast<double>(corner[1]) / middle[1], 5.0, 0.5);

    const MetadataList& list = *loaded->metadata();
    EXPECT_EQ(list.find(tags::Make)->text, "Velostar");
    EXPECT_EQ(list.find(tags::Model)->text, "Synthetic Sensor");
    uint16_t iso = 0, orientation = 0;
    EXPECT_TRUE(list.findShort(tags::ISOSpeedRatings, iso));
    EXPECT_EQ(iso, 1600);
    float exposure = 0.0f, bias = 0.0f, resolution = 0.0f;
    EXPECT_TRUE(list.findFloat(tags::ExposureTime, exposure));
    EXPECT_FLOAT_EQ(exposure, 30.0f);
    EXPECT_TRUE(list.findFloat(tags::ExposureBiasValue, bias));
    EXPECT_NEAR(bias, -0.7f, 1e-4);
    EXPECT_TRUE(list.findFloat(tags::XResolution, resolution));
    EXPECT_EQ(resolution, 300.0f);
    EXPECT_TRUE(list.findShort(tags::Orientation, orientation));
    EXPECT_EQ(orientation, 1);
    ASSERT_TRUE(list.find(tags::DateTimeOriginal));
    EXPECT_EQ(list.find(tags::DateTimeOriginal)->text, "2023-08-12 23:45:01");
    EXPECT_EQ(list.find(tags::DateTime)->text, "2023-08-12 23:45:01");
}

TEST(RawFiles, OrientationIsKeptOrAppliedToPixels)
{
    veldng::DngFrame frame = testFrame();
    frame.orientation = 6;  // turned a quarter clockwise for display
    auto sensor = decode(frame, false);
    ASSERT_TRUE(sensor);
    uint16_t orientation = 0;
    EXPECT_TRUE(sensor->metadata()->findShort(tags::Orientation, orientation));
    EXPECT_EQ(orientation, 6);
    EXPECT_EQ(sensor->width(), 64);

    auto turned = decode(frame, true);
    ASSERT_TRUE(turned);
    EXPECT_TRUE(turned->metadata()->findShort(tags::Orientation, orientation));
    EXPECT_EQ(orientation, 1);
    EXPECT_EQ(turned->width(), 48);
    EXPECT_EQ(turned->height(), 64);
    // The bright top-left block moves to the top-right corner.
    EXPECT_GT(turned->row(2)[(48 - 3) * 3 + 1], turned->row(2)[2 * 3 + 1] * 3);

    frame.orientation = 8;
    auto left = decode(frame, false);
    ASSERT_TRUE(left);
    EXPECT_TRUE(left->metadata()->findShort(tags::Orientation, orientation));
    EXPECT_EQ(orientation, 8);
}

TEST(RawFiles, HugeIsoIsCappedAndMissingTimeStampLeavesNoDate)
{
    veldng::DngFrame frame = testFrame();
    frame.make = "Canon";  // a maker whose sensitivity above 65535 the decoder takes from the LONG tag
    frame.iso = 65535;
    frame.recommendedExposureIndex = 102400;
    frame.dateTimeOriginal.clear();
    auto image = decode(frame, false);
    ASSERT_TRUE(image);
    uint16_t iso = 0;
    EXPECT_TRUE(image->metadata()->findShort(tags::ISOSpeedRatings, iso));
    EXPECT_EQ(iso, 65535);
    EXPECT_FALSE(image->metadata()->find(tags::DateTime));
    EXPECT_FALSE(image->metadata()->find(tags::DateTimeOriginal));
}

TEST(RawFiles, JpegEndingGoesToRawReaderAndFailsThere)
{
    TempDir dir;
    Image8 pixels;
    pixels.allocate(32, 32, 3);
    pixels.clear();
    ASSERT_TRUE(writeJpeg8(pixels, dir.wfile("photo.jpeg")));
    ASSERT_TRUE(writeJpeg8(pixels, dir.wfile("photo.JPG")));
    EXPECT_FALSE(loadImage(dir.wfile("photo.jpeg"), 1, 1));
    EXPECT_TRUE(loadImage(dir.wfile("photo.JPG"), 1, 1));
    // And a real RAW file behind the .jpeg ending is decoded.
    ASSERT_TRUE(veldng::writeDng(testFrame(), dir.file("raw.jpeg")));
    EXPECT_TRUE(loadImage(dir.wfile("raw.jpeg"), 1, 1));
}
