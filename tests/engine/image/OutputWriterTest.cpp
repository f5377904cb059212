#include <gtest/gtest.h>

#include "image/ImageFiles.h"
#include "image/OutputWriter.h"
#include "integration/AccumulationArithmetic.h"
#include "support/TempDir.h"

using namespace velimage;

namespace {

// 3 × 2 finished image (16-bit scale) with a distinct value per sample.
void finished(AccumulationImage& image)
{
    image.allocate(3, 2, 3);
    velstack::clearAccumulation(image);
    for (size_t i = 0; i < image.elementCount(); ++i)
        image.data()[i] = static_cast<uint32_t>(1000 * (i + 1));
    image.setNormalized(true);
}

}  // namespace

TEST(OutputWriter, TiffFromRawIsTurnedUprightWithOrientationOne)
{
    veltest::TempDir dir;
    AccumulationImage image;
    finished(image);
    MetadataList metadata;
    metadata.setShort(tags::Orientation, 6);
    metadata.setShort(tags::ColorSpace, 65535);
    ASSERT_TRUE(writeOutput(image, dir.wfile("out.TIF"), metadata, true, 1));

    uint16_t orientation = 0;
    ASSERT_TRUE(metadata.findShort(tags::Orientation, orientation));
    EXPECT_EQ(orientation, 1);
    auto read = loadImage(dir.wfile("out.TIF"), loaderColorSetting(2), 1);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->width(), 2);
    ASSERT_EQ(read->height(), 3);
    // Turned 90° clockwise: output (x, y) shows source (y, H − 1 − x).
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 2; ++x)
            for (int32_t c = 0; c < 3; ++c)
                EXPECT_EQ(read->row(y)[x * 3 + c], image.row(1 - x)[y * 3 + c]) << x << "," << y;
    ASSERT_TRUE(read->metadata());
    ASSERT_TRUE(read->metadata()->findShort(tags::Orientation, orientation));
    EXPECT_EQ(orientation, 1);
}

TEST(OutputWriter, NonRawInputKeepsItsGeometryAndMetadata)
{
    veltest::TempDir dir;
    AccumulationImage image;
    finished(image);
    MetadataList metadata;
    metadata.setShort(tags::Orientation, 6);
    ASSERT_TRUE(writeOutput(image, dir.wfile("out.tiff"), metadata, false, 1));
    uint16_t orientation = 0;
    ASSERT_TRUE(metadata.findShort(tags::Orientation, orientation));
    EXPECT_EQ(orientation, 6);
    auto read = loadImage(dir.wfile("out.tiff"), loaderColorSetting(2), 1);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->width(), 3);
    EXPECT_EQ(read->row(1)[8], 18000);
}

TEST(OutputWriter, JpegIsEightBitAndUnknownEndingsFail)
{
    veltest::TempDir dir;
    AccumulationImage image;
    image.allocate(16, 8, 3);
    velstack::clearAccumulation(image);
    std::fill_n(image.data(), image.elementCount(), 70000u);  // clamps to white
    MetadataList metadata;
    ASSERT_TRUE(writeOutput(image, dir.wfile("out.jpg"), metadata, false, 0));
    auto read = loadImage(dir.wfile("out.jpg"), 1, 1);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->width(), 16);
    EXPECT_EQ(read->height(), 8);
    EXPECT_GE(read->data()[0], 254 * 257);

    EXPECT_FALSE(writeOutput(image, dir.wfile("out.png"), metadata, false, 0));
    velstack::setWeights(image, 0.0f);
    image.setNormalized(false);
    EXPECT_FALSE(writeOutput(image, dir.wfile("empty.tif"), metadata, false, 0));
    EXPECT_EQ(dir.entryCount(), 1);
}
