#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <string>

#include "FileMemory.h"
#include "parallel/LargeBuffer.h"
#include "parallel/UniqueName.h"
#include "parallel/WholeFile.h"
#include "parallel/WidePath.h"
#include "support/TempDir.h"

using veltest::TempDir;

namespace {

void fill(FileMemory& memory, const std::string& text)
{
    memory.reserveContent(text.size());
    std::memcpy(memory.getContent(), text.data(), text.size());
    memory.truncate(text.size());  // reserve keeps a larger buffer and its size
}

}  // namespace

TEST(FileMemory, LoadsWholeFileWithSpareBytes)
{
    TempDir dir;
    ASSERT_TRUE(veltest::writeBytes(dir.file("a.bin"), std::string("hello\0world", 11)));
    FileMemory memory;
    ASSERT_TRUE(memory.loadFromFile(dir.wfile("a.bin").c_str(), 16));
    ASSERT_EQ(memory.getSize(), 11u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(memory.getContent()), 11), std::string("hello\0world", 11));
}

TEST(FileMemory, RefusesMissingFilesDirectoriesAndPipesWithoutWaiting)
{
    TempDir dir;
    FileMemory memory;
    ASSERT_EQ(::mkfifo(dir.file("pipe.jpg").c_str(), 0600), 0);
    EXPECT_FALSE(memory.loadFromFile(dir.wfile("pipe.jpg").c_str()));  // would block on open
    EXPECT_FALSE(memory.loadFromFile(dir.wfile("missing.jpg").c_str()));
    EXPECT_FALSE(memory.loadFromFile(veltest::widen(dir.path()).c_str()));
    EXPECT_FALSE(memory.loadFromFile(nullptr));
    EXPECT_EQ(memory.getSize(), 0u);
    EXPECT_EQ(memory.getContent(), nullptr);
}

TEST(FileMemory, EmptyFileLoadsAsZeroBytes)
{
    TempDir dir;
    ASSERT_TRUE(veltest::writeBytes(dir.file("empty"), ""));
    FileMemory memory;
    EXPECT_TRUE(memory.loadFromFile(dir.wfile("empty").c_str(), 4));
    EXPECT_EQ(memory.getSize(), 0u);
}

TEST(FileMemory, ReserveKeepsLargeEnoughBufferAndTruncateNeverGrows)
{
    FileMemory memory;
    memory.reserveContent(100);
    uint8_t* buffer = memory.getContent();
    memory.reserveContent(50);
    EXPECT_EQ(memory.getContent(), buffer);
    EXPECT_EQ(memory.getSize(), 100u);
    memory.truncate(40);
    EXPECT_EQ(memory.getSize(), 40u);
    memory.truncate(80);
    EXPECT_EQ(memory.getSize(), 40u);
    EXPECT_EQ(memory.getContent(), buffer);
}

TEST(FileMemory, TruncatedFrameSizedContentIsReleasedWhole)
{
    constexpr size_t kBytes = size_t{24} << 20;  // frame-sized: its block may be kept
    velmem::releaseSpareBlocks();
    {
        FileMemory memory;
        memory.reserveContent(kBytes);
        memory.truncate(10);
    }
    EXPECT_EQ(velmem::spareBytes(), kBytes);
    velmem::releaseSpareBlocks();
}

TEST(FileMemory, SaveWithoutOverwriteNumbersTheNewFile)
{
    TempDir dir;
    FileMemory memory;
    fill(memory, "first");
    ASSERT_TRUE(memory.saveToFile(dir.wfile("result.jpg").c_str(), false));
    fill(memory, "second");
    ASSERT_TRUE(memory.saveToFile(dir.wfile("result.jpg").c_str(), false));
    fill(memory, "third!");
    ASSERT_TRUE(memory.saveToFile(dir.wfile("result.jpg").c_str(), false));
    EXPECT_EQ(veltest::readBytes(dir.file("result.jpg")), "first");
    EXPECT_EQ(veltest::readBytes(dir.file("result(1).jpg")), "second");
    EXPECT_EQ(veltest::readBytes(dir.file("result(2).jpg")), "third!");

    fill(memory, "over");
    ASSERT_TRUE(memory.saveToFile(dir.wfile("result.jpg").c_str(), true));
    EXPECT_EQ(veltest::readBytes(dir.file("result.jpg")), "over");
}

TEST(FileMemory, SaveRefusesNoContentNoExtensionAndOverlongPaths)
{
    TempDir dir;
    FileMemory memory;
    EXPECT_FALSE(memory.saveToFile(dir.wfile("x.jpg").c_str(), true));  // no content yet
    fill(memory, "data");
    ASSERT_TRUE(memory.saveToFile(dir.wfile("noext").c_str(), false));
    EXPECT_FALSE(memory.saveToFile(dir.wfile("noext").c_str(), false));  // exists, no dot to number before

    const std::wstring longPath = dir.wfile(std::string(600, 'a') + ".jpg");
    EXPECT_FALSE(memory.saveToFile(longPath.c_str(), true));
    EXPECT_FALSE(memory.saveToFile(dir.wfile("no/such/folder.jpg").c_str(), true));
}

TEST(UniqueName, SkipsExistingNamesAndAdvancesTheCounter)
{
    TempDir dir;
    uint32_t counter = 42;
    const std::wstring output = dir.wfile("out.tif");
    const std::wstring first = velfile::uniqueName(output, L".tmp", counter);
    EXPECT_EQ(first, dir.wfile("Vel00042.tmp"));
    EXPECT_EQ(counter, 43u);
    ASSERT_TRUE(veltest::writeBytes(dir.file("Vel00043.tmp"), "x"));
    EXPECT_EQ(velfile::uniqueName(output, L".tmp", counter), dir.wfile("Vel00044.tmp"));
    EXPECT_EQ(counter, 45u);

    uint32_t big = 123456;
    EXPECT_EQ(velfile::uniqueName(L"C:\\night\\out.jpg", L".align.tif", big), L"C:\\night\\Vel123456.align.tif");
}

TEST(WholeFile, FailedWriteLeavesNoFile)
{
    TempDir dir;
    EXPECT_FALSE(velfile::writeWholeFile(dir.wfile("missing/x.tmp"), "abc", 3));
    EXPECT_TRUE(velfile::writeWholeFile(dir.wfile("x.tmp"), "abc", 3, true));
    EXPECT_EQ(veltest::readBytes(dir.file("x.tmp")), "abc");
}

TEST(WidePath, NamePartsAndUtf16Order)
{
    EXPECT_STREQ(velpath::fileNamePart(L"a/b\\c:d.jpg"), L"d.jpg");
    EXPECT_EQ(velpath::folderPart(L"a/b\\c:d.jpg"), L"a/b\\c:");
    EXPECT_EQ(velpath::folderPart(L"plain.jpg"), L"");
    EXPECT_TRUE(velpath::endsWithNoCase(L"IMG.TIFF", L".tiff"));
    EXPECT_FALSE(velpath::endsWithNoCase(L"tif", L".tif"));
    // U+1F600 (surrogates D83D..) sorts before U+FF5E in UTF-16 though it is larger as a code point.
    EXPECT_LT(velpath::compareUtf16(L"\U0001F600", L"\uFF5E"), 0);
    EXPECT_LT(velpath::compareUtf16(L"IMG_1", L"IMG_10"), 0);
    EXPECT_EQ(velpath::compareUtf16(L"same", L"same"), 0);
    EXPECT_EQ(velpath::fromUtf8(velpath::toUtf8(L"星空\U0001F600.tif")), L"星空\U0001F600.tif");
}
