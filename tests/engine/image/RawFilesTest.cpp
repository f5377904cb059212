#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "DecoderProcess.h"
#include "DngWriter.h"
#include "image/ImageFiles.h"
#include "image/RawReader.h"
#include "image/RawReply.h"
#include "support/RawDecodeChecks.h"
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

void expectSameFrame(const RawImage& a, const RawImage& b)
{
    ASSERT_EQ(a.width(), b.width());
    ASSERT_EQ(a.height(), b.height());
    ASSERT_EQ(a.channels(), b.channels());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.elementCount() * sizeof(uint16_t)), 0);
    ASSERT_TRUE(a.metadata() && b.metadata());
    const auto& left = a.metadata()->entries();
    const auto& right = b.metadata()->entries();
    ASSERT_EQ(left.size(), right.size());
    for (size_t i = 0; i < left.size(); ++i) {
        EXPECT_EQ(left[i].key, right[i].key) << i;
        EXPECT_EQ(left[i].text, right[i].text) << i;
        EXPECT_EQ(std::memcmp(&left[i].number, &right[i].number, sizeof(float)), 0) << i;
        EXPECT_EQ(left[i].shortValue, right[i].shortValue) << i;
    }
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

TEST(RawFiles, DecodingProgramGivesExactlyTheInProcessResult)
{
    ASSERT_FALSE(velraw::decoderProgramPath().empty()) << "velostar-rawdecode is not beside the tests";
    TempDir dir;
    veldng::DngFrame frame = testFrame();
    frame.orientation = 6;
    frame.writeExposureBias = true;
    frame.exposureBias = 0.3;
    frame.dateTimeOriginal = "2021:02:03 04:05:06";
    ASSERT_TRUE(veldng::writeDng(frame, dir.file("frame.dng")));
    const std::vector<uint8_t> bytes = veldng::encodeDng(frame);
    struct Case {
        int colorSetting;
        double gamma0, gamma1;
        bool applyOrientation;
    };
    // Gammas that no short decimal text holds exactly.
    for (const Case c : {Case{1, 1.0, 1.0, false}, Case{2, 1.0, 1.0, true}, Case{3, 2.2222222222222223, 4.5, false}}) {
        SCOPED_TRACE(c.colorSetting);
        RawImage child, here;
        ASSERT_TRUE(loadRaw(dir.wfile("frame.dng"), c.colorSetting, c.gamma0, c.gamma1, c.applyOrientation, child));
        ASSERT_TRUE(decodeRaw(bytes.data(), bytes.size(), c.colorSetting, c.gamma0, c.gamma1, c.applyOrientation, here));
        expectSameFrame(child, here);
    }
}

TEST(RawFiles, FilesThatCrashLibRawOnlyFailTheirLoad)
{
    TempDir dir;
    const int descriptors = veltest::openDescriptorCount();
    for (const auto& file : veltest::crashingRawFiles()) {
        ASSERT_TRUE(veltest::writeBytes(dir.file(file.name), file.bytes));
        EXPECT_FALSE(loadImage(dir.wfile(file.name), 1, 1)) << file.name;
    }
    EXPECT_TRUE(veltest::noChildProcesses());
    EXPECT_EQ(veltest::openDescriptorCount(), descriptors);
}

TEST(RawReply, ReadsBackWhatWasWrittenAndFailsAtEveryCut)
{
    auto decoded = decode(testFrame(), false);
    ASSERT_TRUE(decoded);
    decoded->ensureMetadata().setText(tags::LensModel, std::string("lens\0with a zero", 17));
    const int fd = ::memfd_create("reply", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(writeRawReply(fd, *decoded));
    std::string reply(static_cast<size_t>(::lseek(fd, 0, SEEK_CUR)), '\0');
    ASSERT_EQ(::pread(fd, reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
    ::close(fd);

    const auto readBack = [](const std::string& bytes, RawImage& image) {
        size_t at = 0;
        const velraw::ReplyReader read = [&](void* into, size_t count) {
            if (bytes.size() - at < count)
                return false;
            std::memcpy(into, bytes.data() + at, count);
            at += count;
            return true;
        };
        return readRawReply(read, image) && velraw::readReplyEnd(read);
    };
    RawImage whole;
    ASSERT_TRUE(readBack(reply, whole));
    expectSameFrame(whole, *decoded);
    for (size_t cut = 0; cut < reply.size(); cut += 1 + cut / 8) {
        RawImage partial;
        EXPECT_FALSE(readBack(reply.substr(0, cut), partial)) << cut;
    }
}
