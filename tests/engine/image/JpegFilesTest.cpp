#include <gtest/gtest.h>

#include <cstdlib>

#include "DngWriter.h"
#include "Samples.h"
#include "image/ImageFiles.h"
#include "image/JpegReader.h"
#include "support/TempDir.h"

using namespace velimage;
using veltest::TempDir;

namespace {

std::string textOf(const MetadataList& list, uint16_t tag)
{
    const MetadataEntry* entry = list.find(tag);
    return entry ? entry->text : "(absent)";
}

}  // namespace

TEST(JpegFiles, ExifBlockEntriesAreReadInBothByteOrders)
{
    for (bool bigEndian : {false, true}) {
        const std::vector<uint8_t> file = veldng::withExifBlock(veltest::jpegBytes(40, 30, 3), veltest::exifTiff(bigEndian));
        JpegImage image;
        ASSERT_TRUE(decodeJpeg(file.data(), file.size(), image)) << bigEndian;
        ASSERT_TRUE(image.metadata());
        const MetadataList& list = *image.metadata();
        EXPECT_EQ(textOf(list, tags::Make), "Maker");
        EXPECT_EQ(textOf(list, tags::Model), "Body X");
        EXPECT_EQ(textOf(list, tags::DateTimeOriginal), "2024:03:04 21:00:00");
        EXPECT_EQ(textOf(list, tags::LensModel), "Wide 14");
        uint16_t value = 0;
        float number = 0.0f;
        EXPECT_TRUE(list.findShort(tags::Orientation, value) && value == 8);
        EXPECT_TRUE(list.findShort(tags::ISOSpeedRatings, value) && value == 6400);
        EXPECT_TRUE(list.findShort(tags::Flash, value) && value == 9);
        EXPECT_TRUE(list.findShort(tags::ColorSpace, value) && value == 1);
        EXPECT_TRUE(list.findShort(tags::FocalLengthIn35mmFilm, value) && value == 21);
        EXPECT_TRUE(list.findFloat(tags::XResolution, number));
        EXPECT_FLOAT_EQ(number, 72.0f);
        EXPECT_TRUE(list.findFloat(tags::ExposureTime, number));
        EXPECT_FLOAT_EQ(number, 0.004f);
        EXPECT_TRUE(list.findFloat(tags::FNumber, number));
        EXPECT_FLOAT_EQ(number, 2.8f);
        EXPECT_TRUE(list.findFloat(tags::ExposureBiasValue, number));
        EXPECT_NEAR(number, -2.0f / 3.0f, 1e-6);
        EXPECT_TRUE(list.findFloat(tags::FocalLength, number));
        EXPECT_FLOAT_EQ(number, 14.0f);
        EXPECT_EQ(list.size(), 14u);
    }
}

TEST(JpegFiles, WrittenImageDecodesCloseToItsPixelsAndWidensToSixteenBits)
{
    TempDir dir;
    Image8 grey;
    grey.allocate(33, 17, 1);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 33; ++x)
            grey.row(y)[x] = x < 16 ? 255 : 0;
    ASSERT_TRUE(writeJpeg8(grey, dir.wfile("grey.jpg")));
    auto wide = loadJpeg(dir.wfile("grey.jpg"), ColorTarget::Linear, 2);
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->channels(), 1);
    EXPECT_EQ(wide->width(), 33);
    EXPECT_EQ(wide->row(5)[2], 65535);  // 255 → 65535 (quality 99 keeps flat areas exact)
    EXPECT_EQ(wide->row(5)[30], 0);
    EXPECT_FALSE(wide->metadata() && !wide->metadata()->empty());

    Image8 colour;
    colour.allocate(64, 48, 3);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64 * 3; ++x)
            colour.row(y)[x] = static_cast<uint8_t>(x % 3 == 0 ? 200 : x % 3 == 1 ? 100 : 30);
    ASSERT_TRUE(writeJpeg8(colour, dir.wfile("colour.jpg")));
    JpegImage back;
    const std::string bytes = veltest::readBytes(dir.file("colour.jpg"));
    ASSERT_TRUE(decodeJpeg(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), back));
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(back.row(20)[30 * 3 + c], colour.row(20)[30 * 3 + c], 2) << c;
}

TEST(JpegFiles, WriterFailsWhenCompressedDataDoesNotFitTheBuffer)
{
    Image8 noise;
    noise.allocate(256, 256, 3);
    uint32_t state = 12345;
    for (size_t i = 0; i < noise.elementCount(); ++i) {
        state = state * 1664525u + 1013904223u;
        noise.data()[i] = static_cast<uint8_t>(state >> 24);
    }
    FileMemory memory;
    EXPECT_FALSE(compressJpeg8(noise, 20000, memory));
    ASSERT_TRUE(compressJpeg8(noise, 1 << 22, memory));
    EXPECT_GT(memory.getSize(), 20000u);
    EXPECT_LT(memory.getSize(), 1u << 22);
    // A lower quality takes its coarser tables: the same noise needs far fewer bytes.
    FileMemory coarse;
    ASSERT_TRUE(compressJpeg8(noise, 1 << 22, coarse, 50));
    EXPECT_LT(coarse.getSize() * 2, memory.getSize());

    TempDir dir;
    Image8 empty;
    EXPECT_FALSE(writeJpeg8(empty, dir.wfile("empty.jpg")));
    Image8 twoChannels;
    twoChannels.allocate(8, 8, 2);
    twoChannels.clear();
    EXPECT_FALSE(writeJpeg8(twoChannels, dir.wfile("two.jpg")));
    EXPECT_EQ(dir.entryCount(), 0);
    Image8 fine;
    fine.allocate(8, 8, 3);
    fine.clear();
    EXPECT_FALSE(writeJpeg8(fine, dir.wfile("missing-folder/out.jpg")));
}

TEST(JpegFiles, LoadedSamplesEqualWideningThenColourDecoding)
{
    TempDir dir;
    for (uint16_t colorSpace : {1, 2, 65535}) {
        const std::vector<uint8_t> file =
            veldng::withExifBlock(veltest::jpegBytes(37, 23, 3), veltest::exifTiff(false, colorSpace));
        ASSERT_TRUE(veltest::writeBytes(dir.file("c.jpg"), std::string(file.begin(), file.end())));
        for (int setting : {1, 2, 3}) {
            JpegImage narrow;
            ASSERT_TRUE(decodeJpeg(file.data(), file.size(), narrow));
            Image<uint16_t> expected;
            expected.allocate(narrow.width(), narrow.height(), narrow.channels());
            for (size_t i = 0; i < expected.elementCount(); ++i)
                expected.data()[i] = static_cast<uint16_t>(narrow.data()[i] * 257);
            applyColorPlan(expected, colorPlanFor(FileKind::Jpeg, narrow.metadata(), colorTargetOf(setting)), 1);

            auto loaded = loadImage(dir.wfile("c.jpg"), setting, 1);
            ASSERT_TRUE(loaded);
            ASSERT_EQ(loaded->elementCount(), expected.elementCount());
            EXPECT_TRUE(std::equal(expected.data(), expected.data() + expected.elementCount(), loaded->data()))
                << "colour space " << colorSpace << " setting " << setting;
            uint16_t space = 0;
            EXPECT_TRUE(loaded->metadata()->findShort(tags::ColorSpace, space) && space == colorSpace);
        }
    }
}
