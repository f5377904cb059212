#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "DngWriter.h"
#include "Samples.h"
#include "image/ExifReader.h"
#include "image/ImageFiles.h"
#include "image/JpegReader.h"
#include "image/RawReader.h"
#include "image/TiffReader.h"
#include "support/TempDir.h"

using namespace velimage;
using veltest::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes tiffBytes()
{
    TempDir dir;
    TiffImage image;
    image.allocate(24, 16, 3);
    for (size_t i = 0; i < image.elementCount(); ++i)
        image.data()[i] = static_cast<uint16_t>(i * 977);
    image.ensureMetadata().setText(tags::Make, "Maker");
    image.ensureMetadata().setShort(tags::ISOSpeedRatings, 800);
    image.ensureMetadata().setShort(tags::ColorSpace, 1);
    if (!image.save(dir.wfile("t.tif")))
        return {};
    const std::string bytes = veltest::readBytes(dir.file("t.tif"));
    return Bytes(bytes.begin(), bytes.end());
}

Bytes dngBytes()
{
    veldng::DngFrame frame;
    frame.width = 32;
    frame.height = 24;
    frame.mosaic.assign(32 * 24, 9000);
    frame.dateTimeOriginal = "2022:01:01 00:00:00";
    return veldng::encodeDng(frame);
}

Bytes exifJpegBytes() { return veldng::withExifBlock(veltest::jpegBytes(48, 32, 3), veltest::exifTiff(false)); }

// Each decoder over bytes in memory; true when it produced an image.
bool decodeJpegBytes(const Bytes& bytes)
{
    JpegImage image;
    return decodeJpeg(bytes.data(), bytes.size(), image);
}
bool decodeTiffBytes(const Bytes& bytes) { return decodeTiff(bytes.data(), bytes.size()) != nullptr; }
bool decodeRawBytes(const Bytes& bytes)
{
    RawImage image;
    return decodeRaw(bytes.data(), bytes.size(), 1, 1.0, 1.0, false, image);
}

void putLittle32(Bytes& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t readLittle32(const Bytes& bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24;
}

// Offset of a directory entry's value field for `tag` in a little-endian TIFF's first directory.
size_t entryValueOffset(const Bytes& bytes, uint16_t tag)
{
    const size_t directory = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | size_t(bytes[7]) << 24;
    const size_t count = bytes[directory] | bytes[directory + 1] << 8;
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = directory + 2 + 12 * i;
        if ((bytes[entry] | bytes[entry + 1] << 8) == tag)
            return entry + 8;
    }
    return 0;
}

}  // namespace

TEST(HostileInput, TruncatedFilesFailCleanlyAtEveryCut)
{
    struct Kind {
        const char* name;
        Bytes bytes;
        bool (*decode)(const Bytes&);
    };
    const Kind kinds[] = {{"jpeg", exifJpegBytes(), decodeJpegBytes},
                          {"tiff", tiffBytes(), decodeTiffBytes},
                          {"raw", dngBytes(), decodeRawBytes}};
    for (const Kind& kind : kinds) {
        ASSERT_FALSE(kind.bytes.empty()) << kind.name;
        ASSERT_TRUE(kind.decode(kind.bytes)) << kind.name;
        // Every kind must fail while any pixel is missing; a JPEG that only lost its end marker,
        // or a TIFF that only lost trailing metadata, may still load.
        size_t mustFailBelow = kind.bytes.size();
        if (std::string(kind.name) == "jpeg") {
            mustFailBelow = kind.bytes.size() - 2;
            EXPECT_TRUE(kind.decode(Bytes(kind.bytes.begin(), kind.bytes.end() - 2))) << "end marker lost";
        } else if (std::string(kind.name) == "tiff")
            mustFailBelow = readLittle32(kind.bytes, entryValueOffset(kind.bytes, 273)) +
                            readLittle32(kind.bytes, entryValueOffset(kind.bytes, 279));
        const size_t step = std::max<size_t>(1, kind.bytes.size() / 400);
        for (size_t cut = 0; cut < kind.bytes.size(); cut += step) {
            const Bytes head(kind.bytes.begin(), kind.bytes.begin() + cut);
            const bool decoded = kind.decode(head);
            if (cut < mustFailBelow) {
                EXPECT_FALSE(decoded) << kind.name << " cut at " << cut;
            }
        }
    }
}

TEST(HostileInput, FlippedBytesNeverCrash)
{
    const Bytes sources[] = {exifJpegBytes(), tiffBytes(), dngBytes()};
    bool (*const decoders[])(const Bytes&) = {decodeJpegBytes, decodeTiffBytes, decodeRawBytes};
    uint32_t state = 2024;
    for (int kind = 0; kind < 3; ++kind) {
        // Fewer RAW rounds: each runs LibRaw's whole processing.
        const int rounds = kind == 2 ? 60 : 200;
        for (int round = 0; round < rounds; ++round) {
            Bytes bytes = sources[kind];
            for (int flips = 0; flips < 1 + round % 4; ++flips) {
                state = state * 1664525u + 1013904223u;
                const size_t at = (state >> 8) % std::min<size_t>(bytes.size(), 1024);  // headers and directories
                bytes[at] ^= static_cast<uint8_t>(1u << (state & 7));
            }
            decoders[kind](bytes);  // any outcome but a crash, hang or leak
        }
    }
}

TEST(HostileInput, HugeDeclaredDimensionsAreRefusedBeforeAllocating)
{
    Bytes tiff = tiffBytes();
    const size_t width = entryValueOffset(tiff, 256), height = entryValueOffset(tiff, 257);
    ASSERT_TRUE(width && height);
    putLittle32(tiff, width, 100000);
    putLittle32(tiff, height, 100000);
    EXPECT_FALSE(decodeTiffBytes(tiff));  // more pixels than the file holds
    putLittle32(tiff, width, 0xFFFFFFFFu);
    EXPECT_FALSE(decodeTiffBytes(tiff));

    // A JPEG header promising 65000 × 65000 pixels in a few hundred bytes.
    Bytes jpeg = veltest::jpegBytes(16, 16, 3);
    for (size_t i = 0; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {  // start of frame: length, precision, height, width
            jpeg[i + 5] = 0xFD;
            jpeg[i + 6] = 0xE8;
            jpeg[i + 7] = 0xFD;
            jpeg[i + 8] = 0xE8;
        }
    }
    EXPECT_FALSE(decodeJpegBytes(jpeg));

    Bytes dng = dngBytes();
    const size_t rawWidth = entryValueOffset(dng, 256), rawHeight = entryValueOffset(dng, 257);
    putLittle32(dng, rawWidth, 0x7FFFFFFF);
    putLittle32(dng, rawHeight, 0x7FFFFFFF);
    EXPECT_FALSE(decodeRawBytes(dng));
}

TEST(HostileInput, EmptyMissingAndDirectoryPathsGiveNoImage)
{
    TempDir dir;
    ASSERT_TRUE(veltest::writeBytes(dir.file("empty.jpg"), ""));
    ASSERT_TRUE(veltest::writeBytes(dir.file("empty.tif"), ""));
    ASSERT_TRUE(veltest::writeBytes(dir.file("empty.dng"), ""));
    std::filesystem::create_directory(dir.file("folder.jpg"));
    std::filesystem::create_directory(dir.file("folder.tif"));
    std::filesystem::create_directory(dir.file("folder.dng"));
    for (const char* name : {"empty.jpg", "empty.tif", "empty.dng", "folder.jpg", "folder.tif", "folder.dng",
                             "missing.jpg", "missing.tiff", "missing.nef", "missing/inside.tif"})
        EXPECT_FALSE(loadImage(dir.wfile(name), 1, 1)) << name;
    EXPECT_FALSE(decodeJpeg(nullptr, 0, *std::make_unique<JpegImage>()));
    EXPECT_FALSE(decodeTiff(nullptr, 0));
}

TEST(HostileInput, ReaderIsChosenByEndingRegardlessOfCase)
{
    TempDir dir;
    const Bytes jpeg = veltest::jpegBytes(24, 24, 3);
    const Bytes tiff = tiffBytes();
    for (const char* name : {"a.jpg", "b.JPG", "c.Jpg"})
        ASSERT_TRUE(veltest::writeBytes(dir.file(name), std::string(jpeg.begin(), jpeg.end())));
    for (const char* name : {"d.tif", "e.TIF", "f.Tiff", "g.tiff"})
        ASSERT_TRUE(veltest::writeBytes(dir.file(name), std::string(tiff.begin(), tiff.end())));
    for (const char* name : {"a.jpg", "b.JPG", "c.Jpg"}) {
        auto image = loadImage(dir.wfile(name), 1, 1);
        ASSERT_TRUE(image) << name;
        EXPECT_EQ(image->width(), 24);
    }
    for (const char* name : {"d.tif", "e.TIF", "f.Tiff", "g.tiff"}) {
        auto image = loadImage(dir.wfile(name), 1, 1);
        ASSERT_TRUE(image) << name;
        EXPECT_TRUE(dynamic_cast<TiffImage*>(image.get())) << name;
    }
    // A TIFF under a JPEG name goes to the JPEG reader and fails there.
    ASSERT_TRUE(veltest::writeBytes(dir.file("tiff.jpg"), std::string(tiff.begin(), tiff.end())));
    EXPECT_FALSE(loadImage(dir.wfile("tiff.jpg"), 1, 1));
}

// Inputs that once broke a reader, or came close, stay in the tree. Each goes through the same
// calls as its fuzz target; none may crash, hang or leak, and none of these is a valid image.
TEST(HostileInput, RegressionCorpusLoadsWithoutCrashing)
{
    const std::filesystem::path corpus = std::filesystem::path(VELOSTAR_TEST_SOURCE_DIR) / "tests/engine/image/corpus";
    ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
    int count = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus)) {
        if (!entry.is_regular_file())
            continue;
        const std::string bytes = veltest::readBytes(entry.path().string());
        const Bytes data(bytes.begin(), bytes.end());
        const std::string kind = entry.path().parent_path().filename().string();
        if (kind == "jpeg") {
            EXPECT_FALSE(decodeJpegBytes(data)) << entry.path();
            MetadataList list;
            readExifBlock(data.data(), data.size(), list);
        } else if (kind == "tiff") {
            EXPECT_FALSE(decodeTiffBytes(data)) << entry.path();
        } else if (kind == "raw") {
            EXPECT_FALSE(decodeRawBytes(data)) << entry.path();
        }
        ++count;
    }
    EXPECT_GT(count, 0);
}
