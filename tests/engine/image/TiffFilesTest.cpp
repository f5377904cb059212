#include <gtest/gtest.h>
#include <tiffio.h>

#include <functional>
#include <vector>

#include "TiffBuilder.h"
#include "image/ColorConversion.h"
#include "image/ImageFiles.h"
#include "image/TiffLibrary.h"
#include "image/TiffReader.h"
#include "support/TempDir.h"

using namespace velimage;
using veltest::TempDir;

namespace {

// Writes a TIFF through libtiff directly, so that the reader meets files it did not write.
template <typename Sample>
bool writeRawTiff(const std::string& path, uint32_t width, uint32_t height, uint16_t samples,
                  const std::vector<Sample>& pixels, uint16_t compression = COMPRESSION_NONE,
                  uint16_t planar = PLANARCONFIG_CONTIG, const std::function<void(TIFF*)>& extra = {},
                  const char* mode = "w", uint32_t rowsPerStrip = 2)
{
    silenceTiffLibrary();
    TIFF* tiff = TIFFOpen(path.c_str(), mode);
    if (!tiff)
        return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, static_cast<int>(sizeof(Sample) * 8));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, planar);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    if (extra)
        extra(tiff);
    bool ok = true;
    if (planar == PLANARCONFIG_CONTIG) {
        for (uint32_t y = 0; y < height && ok; ++y) {
            std::vector<Sample> line(pixels.begin() + y * width * samples, pixels.begin() + (y + 1) * width * samples);
            ok = TIFFWriteScanline(tiff, line.data(), y, 0) >= 0;
        }
    } else {
        for (uint16_t s = 0; s < samples; ++s)
            for (uint32_t y = 0; y < height && ok; ++y) {
                std::vector<Sample> line(width);
                for (uint32_t x = 0; x < width; ++x)
                    line[x] = pixels[(y * width + x) * samples + s];
                ok = TIFFWriteScanline(tiff, line.data(), y, s) >= 0;
            }
    }
    ok = ok && TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    return ok;
}

std::vector<uint16_t> ramp16(size_t count)
{
    std::vector<uint16_t> values(count);
    for (size_t i = 0; i < count; ++i)
        values[i] = static_cast<uint16_t>(i * 2654435761u >> 7);
    return values;
}

uint32_t littleEndian32(const std::string& bytes, size_t at)
{
    return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
           static_cast<uint8_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

// A copy of a little-endian, single-strip TIFF whose strip is moved to the end of the file at an
// odd offset, as some writers leave them.
std::string withStripAtOddOffset(std::string bytes, size_t stripBytes)
{
    const size_t directory = littleEndian32(bytes, 4);
    const size_t entries = static_cast<uint8_t>(bytes[directory]) | static_cast<uint8_t>(bytes[directory + 1]) << 8;
    for (size_t e = 0; e < entries; ++e) {
        const size_t entry = directory + 2 + 12 * e;
        if (static_cast<uint8_t>(bytes[entry]) != 0x11 || static_cast<uint8_t>(bytes[entry + 1]) != 0x01)
            continue;  // not StripOffsets (273)
        const uint32_t offset = littleEndian32(bytes, entry + 8);
        const std::string strip = bytes.substr(offset, stripBytes);
        std::fill_n(bytes.begin() + offset, stripBytes, '\0');  // only the moved strip holds the samples
        if (bytes.size() % 2 == 0)
            bytes.push_back('\0');
        const auto moved = static_cast<uint32_t>(bytes.size());
        bytes += strip;
        for (int b = 0; b < 4; ++b)
            bytes[entry + 8 + b] = static_cast<char>(moved >> (8 * b));
    }
    return bytes;
}

}  // namespace

TEST(TiffFiles, SavedImageReadsBackWithSamplesAndMetadata)
{
    TempDir dir;
    TiffImage image;
    image.allocate(37, 11, 3);
    const std::vector<uint16_t> values = ramp16(image.elementCount());
    std::copy(values.begin(), values.end(), image.data());
    MetadataList& list = image.ensureMetadata();
    list.setText(tags::Make, "Maker");
    list.setText(tags::Model, "Model 7");
    list.setShort(tags::Orientation, 6);
    list.setFloat(tags::XResolution, 300.0f);
    list.setText(tags::Software, "Velostar 1.6.2");
    list.setText(tags::DateTime, "2024:01:02 03:04:05");
    list.setFloat(tags::ExposureTime, 0.25f);
    list.setFloat(tags::FNumber, 2.8f);
    list.setShort(tags::ISOSpeedRatings, 3200);
    list.setText(tags::DateTimeOriginal, "2024:01:02 03:04:05");
    list.setShort(tags::Flash, 16);
    list.setFloat(tags::ExposureBiasValue, -0.5f);
    list.setShort(tags::FocalLengthIn35mmFilm, 24);
    list.setText(tags::LensModel, "Lens 14mm");
    ASSERT_TRUE(image.save(dir.wfile("out.tif")));

    auto loaded = loadTiff(dir.wfile("out.tif"));
    ASSERT_TRUE(loaded);
    ASSERT_EQ(loaded->width(), 37);
    ASSERT_EQ(loaded->height(), 11);
    ASSERT_EQ(loaded->channels(), 3);
    EXPECT_TRUE(std::equal(values.begin(), values.end(), loaded->data()));
    ASSERT_TRUE(loaded->metadata());
    const MetadataList& back = *loaded->metadata();
    for (const MetadataEntry& entry : list.entries()) {
        if (entry.tag() == tags::Software)
            continue;  // written, but not one of the entries the reader collects
        const MetadataEntry* found = back.find(entry.tag());
        ASSERT_TRUE(found) << entry.tag();
        EXPECT_EQ(found->key, entry.key) << entry.tag();
        EXPECT_EQ(found->text, entry.text) << entry.tag();
        EXPECT_FLOAT_EQ(found->number, entry.number) << entry.tag();
        EXPECT_EQ(found->shortValue, entry.shortValue) << entry.tag();
    }
}

TEST(TiffFiles, ExifDirectoryOnlyWhenExifEntriesExistAndColorSpaceIsNormalised)
{
    TempDir dir;
    TiffImage image;
    image.allocate(4, 3, 3);
    image.clear();
    image.ensureMetadata().setText(tags::Make, "Maker");
    ASSERT_TRUE(image.save(dir.wfile("main.tif")));
    {
        TiffHandle tiff = openTiffFile(dir.file("main.tif"), "r");
        ASSERT_TRUE(tiff);
        uint64_t offset = 0;
        EXPECT_FALSE(TIFFGetField(tiff.get(), TIFFTAG_EXIFIFD, &offset));
        uint16_t bits = 0, photometric = 0, compression = 0;
        TIFFGetField(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetField(tiff.get(), TIFFTAG_COMPRESSION, &compression);
        EXPECT_EQ(bits, 16);
        EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
        EXPECT_EQ(compression, COMPRESSION_NONE);
    }
    image.ensureMetadata().setShort(tags::ColorSpace, 2);
    ASSERT_TRUE(image.save(dir.wfile("exif.tif")));
    auto loaded = loadTiff(dir.wfile("exif.tif"));
    ASSERT_TRUE(loaded && loaded->metadata());
    uint16_t space = 0;
    EXPECT_TRUE(loaded->metadata()->findShort(tags::ColorSpace, space));
    EXPECT_EQ(space, 65535);
    EXPECT_EQ(loaded->metadata()->find(tags::Make)->text, "Maker");
}

TEST(TiffFiles, SampleDepthsWidenOrKeepUpperBits)
{
    TempDir dir;
    ASSERT_TRUE(writeRawTiff<uint8_t>(dir.file("8.tif"), 2, 1, 3, {0, 1, 255, 128, 254, 7}));
    auto eight = loadTiff(dir.wfile("8.tif"));
    ASSERT_TRUE(eight);
    EXPECT_EQ(std::vector<uint16_t>(eight->data(), eight->data() + 6),
              (std::vector<uint16_t>{0, 257, 65535, 32896, 65278, 1799}));

    ASSERT_TRUE(writeRawTiff<uint32_t>(dir.file("32.tif"), 1, 1, 3, {0xFFFFFFFFu, 0x1234ABCDu, 0x0000FFFFu}));
    auto wide = loadTiff(dir.wfile("32.tif"));
    ASSERT_TRUE(wide);
    EXPECT_EQ(std::vector<uint16_t>(wide->data(), wide->data() + 3), (std::vector<uint16_t>{0xFFFF, 0x1234, 0}));

    ASSERT_TRUE(writeRawTiff<uint16_t>(dir.file("grey.tif"), 3, 2, 1, {1, 2, 3, 4, 5, 65535}));
    auto grey = loadTiff(dir.wfile("grey.tif"));
    ASSERT_TRUE(grey);
    EXPECT_EQ(grey->channels(), 1);
    EXPECT_EQ(grey->data()[5], 65535);
}

// Rows are read straight from the file's strips: neither byte order, strip height, a short last
// strip nor a strip at an odd offset may change a sample, with or without a decoding curve.
TEST(TiffFiles, ByteOrderAndStripLayoutKeepEverySample)
{
    TempDir dir;
    const uint32_t width = 7, height = 5;
    const std::vector<uint16_t> wide = ramp16(width * height * 3);
    std::vector<uint8_t> narrow(wide.size());
    std::vector<uint32_t> widest(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        narrow[i] = static_cast<uint8_t>(wide[i] >> 8);
        widest[i] = uint32_t{wide[i]} << 16 | 0xA5A5u;
    }
    for (int setting : {1, 3}) {  // sRGB applies the curve to these untagged files, linear does not
        for (uint32_t rowsPerStrip : {1u, 2u, 5u, 64u}) {
            for (const char* mode : {"wl", "wb"}) {
                SCOPED_TRACE(std::string(mode) + " rows per strip " + std::to_string(rowsPerStrip) + " setting " +
                             std::to_string(setting));
                const std::string suffix = std::string(mode) + ".tif";
                ASSERT_TRUE(writeRawTiff(dir.file("8" + suffix), width, height, 3, narrow, COMPRESSION_NONE,
                                         PLANARCONFIG_CONTIG, {}, mode, rowsPerStrip));
                ASSERT_TRUE(writeRawTiff(dir.file("16" + suffix), width, height, 3, wide, COMPRESSION_NONE,
                                         PLANARCONFIG_CONTIG, {}, mode, rowsPerStrip));
                ASSERT_TRUE(writeRawTiff(dir.file("32" + suffix), width, height, 3, widest, COMPRESSION_NONE,
                                         PLANARCONFIG_CONTIG, {}, mode, rowsPerStrip));
                const ColorPlan plan = colorPlanFor(FileKind::Tiff, nullptr, colorTargetOf(setting));
                const auto table = narrowDecodingTable(plan);
                const uint16_t* curve = decodingCurveOf(plan);
                for (int depth : {8, 16, 32}) {
                    auto loaded = loadImage(dir.wfile(std::to_string(depth) + suffix), setting, 1);
                    ASSERT_TRUE(loaded) << depth;
                    for (size_t i = 0; i < wide.size(); ++i) {
                        const uint16_t expected = depth == 8 ? table[narrow[i]] : curve ? curve[wide[i]] : wide[i];
                        ASSERT_EQ(loaded->data()[i], expected) << depth << " sample " << i;
                    }
                }
            }
        }
    }

    ASSERT_TRUE(writeRawTiff(dir.file("one.tif"), width, height, 3, wide, COMPRESSION_NONE, PLANARCONFIG_CONTIG, {},
                             "wl", height));
    ASSERT_TRUE(veltest::writeBytes(dir.file("odd.tif"), withStripAtOddOffset(veltest::readBytes(dir.file("one.tif")), wide.size() * 2)));
    auto odd = loadTiff(dir.wfile("odd.tif"));
    ASSERT_TRUE(odd);
    EXPECT_TRUE(std::equal(wide.begin(), wide.end(), odd->data()));
}

TEST(TiffFiles, RefusesCompressedPlanarTiledAndOtherDepths)
{
    TempDir dir;
    const std::vector<uint16_t> pixels = ramp16(8 * 4 * 3);
    ASSERT_TRUE(writeRawTiff(dir.file("lzw.tif"), 8, 4, 3, pixels, COMPRESSION_LZW));
    ASSERT_TRUE(writeRawTiff(dir.file("packbits.tif"), 8, 4, 3, pixels, COMPRESSION_PACKBITS));
    ASSERT_TRUE(writeRawTiff(dir.file("planar.tif"), 8, 4, 3, pixels, COMPRESSION_NONE, PLANARCONFIG_SEPARATE));
    ASSERT_TRUE(writeRawTiff(dir.file("float.tif"), 2, 2, 3, std::vector<uint32_t>(12, 0x3F800000u),
                             COMPRESSION_NONE, PLANARCONFIG_CONTIG,
                             [](TIFF* t) { TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP); }));
    for (const char* name : {"lzw.tif", "packbits.tif", "planar.tif", "float.tif"})
        EXPECT_FALSE(loadTiff(dir.wfile(name))) << name;

    // 4-bit samples: a depth the reader does not take.
    silenceTiffLibrary();
    TIFF* tiff = TIFFOpen(dir.file("4bit.tif").c_str(), "w");
    ASSERT_TRUE(tiff);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 4);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 2);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 4);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    uint8_t line[2] = {0x12, 0x34};
    TIFFWriteScanline(tiff, line, 0, 0);
    TIFFWriteScanline(tiff, line, 1, 0);
    TIFFClose(tiff);
    EXPECT_FALSE(loadTiff(dir.wfile("4bit.tif")));

    // The reference reader still accepts the uncompressed version of the same pixels.
    ASSERT_TRUE(writeRawTiff(dir.file("plain.tif"), 8, 4, 3, pixels));
    EXPECT_TRUE(loadTiff(dir.wfile("plain.tif")));
}

TEST(TiffFiles, InteroperabilityIndexResolvesUncalibratedColorSpace)
{
    TempDir dir;
    struct Case {
        const char* index;
        int colorSpace;  // -1: absent
        int expected;    // -1: absent
    };
    const Case cases[] = {{"R03", 65535, 2}, {"R98", 65535, 1}, {"R98", -1, 1}, {"R03", -1, -1}, {"R03", 1, 1}};
    for (const Case& c : cases) {
        // Main directory with one RGB pixel, EXIF directory, interoperability directory.
        const std::string path = dir.file("interop.tif");
        veldng::TiffDirectory interop, exif, main;
        interop.ascii(1, c.index);
        if (c.colorSpace >= 0)
            exif.shorts(40961, {static_cast<uint16_t>(c.colorSpace)});
        exif.pointer(40965, &interop);
        main.longs(256, {1});
        main.longs(257, {1});
        main.shorts(258, {16, 16, 16});
        main.shorts(262, {2});
        main.shorts(277, {3});
        main.longs(278, {1});
        main.strip({1, 0, 2, 0, 3, 0});
        main.pointer(34665, &exif);
        const std::vector<uint8_t> bytes = veldng::buildTiff(main);
        ASSERT_TRUE(veltest::writeBytes(path, std::string(bytes.begin(), bytes.end())));

        auto loaded = loadTiff(veltest::widen(path));
        ASSERT_TRUE(loaded) << c.index << " " << c.colorSpace;
        EXPECT_EQ(loaded->data()[2], 3);
        uint16_t space = 0;
        const bool present = loaded->metadata() && loaded->metadata()->findShort(tags::ColorSpace, space);
        EXPECT_EQ(present ? space : -1, c.expected) << c.index << " " << c.colorSpace;
    }
}

TEST(TiffFiles, LoadedSamplesEqualReadingThenColourDecoding)
{
    TempDir dir;
    for (int colorSpace : {-1, 1, 2, 65535}) {
        // 16-bit through our writer, 8-bit built by hand: both with the same EXIF ColorSpace.
        TiffImage wide;
        wide.allocate(19, 7, 3);
        const std::vector<uint16_t> values = ramp16(wide.elementCount());
        std::copy(values.begin(), values.end(), wide.data());
        if (colorSpace >= 0)
            wide.ensureMetadata().setShort(tags::ColorSpace, static_cast<uint16_t>(colorSpace));
        else
            wide.ensureMetadata().setText(tags::Make, "Maker");
        ASSERT_TRUE(wide.save(dir.wfile("wide.tif")));

        veldng::TiffDirectory exif, main;
        exif.shorts(40961, {static_cast<uint16_t>(colorSpace < 0 ? 7 : colorSpace)});
        main.longs(256, {5});
        main.longs(257, {2});
        main.shorts(258, {8, 8, 8});
        main.shorts(262, {2});
        main.shorts(277, {3});
        main.longs(278, {2});
        std::vector<uint8_t> narrowPixels(30);
        for (size_t i = 0; i < narrowPixels.size(); ++i)
            narrowPixels[i] = static_cast<uint8_t>(i * 9);
        main.strip(narrowPixels);
        main.pointer(34665, &exif);
        const std::vector<uint8_t> bytes = veldng::buildTiff(main);
        ASSERT_TRUE(veltest::writeBytes(dir.file("narrow.tif"), std::string(bytes.begin(), bytes.end())));

        for (const char* name : {"wide.tif", "narrow.tif"}) {
            for (int setting : {1, 2, 3}) {
                auto expected = loadTiff(dir.wfile(name));
                ASSERT_TRUE(expected);
                applyColorPlan(*expected, colorPlanFor(FileKind::Tiff, expected->metadata(), colorTargetOf(setting)), 1);
                auto loaded = loadImage(dir.wfile(name), setting, 1);
                ASSERT_TRUE(loaded);
                ASSERT_EQ(loaded->elementCount(), expected->elementCount());
                EXPECT_TRUE(std::equal(expected->data(), expected->data() + expected->elementCount(), loaded->data()))
                    << name << " colour space " << colorSpace << " setting " << setting;
            }
        }
    }
}
