#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "image/ImageTypes.h"
#include "support/TempDir.h"

using namespace velimage;

TEST(Image, AllocateWithSameSizeKeepsBufferAndContents)
{
    Image<uint16_t> image;
    image.allocate(4, 3, 3);
    image.data()[5] = 777;
    uint16_t* buffer = image.data();
    image.allocate(4, 3, 3);
    EXPECT_EQ(image.data(), buffer);
    EXPECT_EQ(image.data()[5], 777);
    image.allocate(3, 4, 3);
    EXPECT_EQ(image.width(), 3);
    EXPECT_EQ(image.height(), 4);
    EXPECT_EQ(image.row(1) - image.data(), 9);
}

TEST(Image, OverflowingOrNegativeSizesFailAsAllocationFailure)
{
    Image<uint64_t> image;
    EXPECT_THROW(image.allocate(0x7FFFFFFF, 0x7FFFFFFF, 4), std::bad_alloc);
    EXPECT_THROW(image.allocate(-1, 10, 3), std::bad_alloc);
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(image.width(), 0);
}

TEST(Image, ClearAndReleaseBehaveOnEmptyAndFullImages)
{
    Image<uint8_t> empty;
    empty.clear();  // no buffer: nothing happens
    EXPECT_TRUE(empty.empty());

    Image<uint32_t> image;
    image.allocate(5, 2, 3);
    image.ensureMetadata().setShort(tags::Orientation, 6);
    image.clear();
    for (size_t i = 0; i < image.elementCount(); ++i)
        ASSERT_EQ(image.data()[i], 0u);
    image.release();
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(image.metadata(), nullptr);
    EXPECT_EQ(image.width(), 0);
    EXPECT_EQ(image.height(), 0);
}

TEST(WeightedImage, ClearZeroesPixelsAndSetsWeightsToOne)
{
    AccumulationImage image;
    image.allocate(7, 3, 3);
    image.setMaxWeight(4.0f);
    image.setNormalized(true);
    image.clear();
    for (size_t i = 0; i < image.elementCount(); ++i)
        ASSERT_EQ(image.data()[i], 0u);
    for (int i = 0; i < 21; ++i)
        ASSERT_EQ(image.weights()[i], 1.0f);
    image.release();
    EXPECT_EQ(image.weights(), nullptr);
    EXPECT_EQ(image.maxWeight(), 0.0f);
    EXPECT_FALSE(image.normalized());
}

TEST(PostWeightedImage, SavesExactlyTheRawBuffer)
{
    veltest::TempDir dir;
    PostWeightedImage image;
    image.allocate(100, 50, 4);
    for (size_t i = 0; i < image.elementCount(); ++i)
        image.data()[i] = static_cast<uint16_t>(i * 7);
    ASSERT_TRUE(image.save(dir.wfile("frame.tmp")));
    const std::string bytes = veltest::readBytes(dir.file("frame.tmp"));
    ASSERT_EQ(bytes.size(), 40000u);
    EXPECT_EQ(std::memcmp(bytes.data(), image.data(), bytes.size()), 0);
    EXPECT_FALSE(image.save(dir.wfile("missing/frame.tmp")));
}

TEST(MetadataList, SettingReplacesByTagAndKeepsOrder)
{
    MetadataList list;
    list.setText(tags::Make, "Maker");
    list.setFloat(tags::ExposureTime, 30.0f);
    list.setShort(tags::ISOSpeedRatings, 1600);
    list.setFloat(tags::ExposureTime, 25.0f);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list.entries()[1].tag(), tags::ExposureTime);
    EXPECT_EQ(list.entries()[1].key, (33434u << 8) | 1u);
    float exposure = 0;
    EXPECT_TRUE(list.findFloat(tags::ExposureTime, exposure));
    EXPECT_EQ(exposure, 25.0f);
    uint16_t iso = 0;
    EXPECT_FALSE(list.findShort(tags::Make, iso));
    EXPECT_TRUE(list.findShort(tags::ISOSpeedRatings, iso));
    EXPECT_EQ(iso, 1600);

    Image<uint16_t> a, b;
    a.ensureMetadata() = list;
    b.copyMetadataFrom(a.metadata());
    a.release();
    ASSERT_NE(b.metadata(), nullptr);
    EXPECT_EQ(b.metadata()->size(), 3u);
}
