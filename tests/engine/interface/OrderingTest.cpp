#include <gtest/gtest.h>

#include "FrameList.h"
#include "MaskRegions.h"
#include "TimeLapse.h"

using velrun::buildFrameList;
using velrun::FrameEntry;

namespace {

std::vector<std::wstring> names(const std::vector<FrameEntry>& frames)
{
    std::vector<std::wstring> out;
    for (const FrameEntry& e : frames)
        out.emplace_back(e.name);
    return out;
}

}  // namespace

TEST(FrameList, AlignStarsWalksOutwardFromTheReferenceByName)
{
    const std::vector<const wchar_t*> paths{L"/n/d", L"/z/a", L"/n/c", L"/a/b", L"/n/f", L"/n/e"};
    EXPECT_EQ(names(buildFrameList(paths, false, false)),
              (std::vector<std::wstring>{L"d", L"c", L"b", L"a", L"e", L"f"}));
    EXPECT_EQ(buildFrameList(paths, false, false).front().path, paths[0]);
}

TEST(FrameList, TrailsFollowNamesAndTheMotionEffectReversesThem)
{
    const std::vector<const wchar_t*> paths{L"/n/c", L"/n/a", L"/n/b"};
    EXPECT_EQ(names(buildFrameList(paths, true, false)), (std::vector<std::wstring>{L"a", L"b", L"c"}));
    EXPECT_EQ(names(buildFrameList(paths, true, true)), (std::vector<std::wstring>{L"c", L"b", L"a"}));
}

TEST(FrameList, NamesCompareAsUtf16CodeUnits)
{
    // U+1F600 is a surrogate pair (0xD83D ...) in UTF-16, so it sorts before U+FF5E there,
    // though its UTF-32 value is larger.
    const std::wstring emoji = L"/n/\U0001F600";
    const std::wstring tilde = L"/n/\uFF5E";
    std::vector<const wchar_t*> paths{tilde.c_str(), emoji.c_str()};
    velrun::sortByFileName(paths);
    EXPECT_EQ(paths[0], emoji.c_str());
}

TEST(TimeLapse, OutputNamesArePaddedByTheFrameCount)
{
    using velrun::timeLapseOutputPath;
    EXPECT_EQ(timeLapseOutputPath(L"/d/result.jpg", 1, 150), L"/d/result001.jpg");
    EXPECT_EQ(timeLapseOutputPath(L"/d/out", 3, 10), L"/d/out03.tif");
    EXPECT_EQ(timeLapseOutputPath(L"C:\\my.dir\\out", 12, 99), L"C:\\my.dir\\out12.tif");
    EXPECT_EQ(timeLapseOutputPath(L"o.tif", 7, 1000), L"o0007.tif");
    EXPECT_EQ(timeLapseOutputPath(L"o.tif", 7, 10000), L"o00007.tif");
}

TEST(TimeLapse, WindowPutsItsMiddleFrameFirst)
{
    const std::vector<const wchar_t*> sorted{L"0", L"1", L"2", L"3", L"4", L"5"};
    const auto window = velrun::timeLapseWindow(sorted, 2, 4);
    EXPECT_EQ(window, (std::vector<const wchar_t*>{sorted[4], sorted[3], sorted[2], sorted[5]}));
}

TEST(MaskRegions, FractionalLinesTurnWithTheRotation)
{
    const float line[4] = {0.1f, 0.5f, 0.8f, -0.1f};
    int32_t px[4];
    velrun::lineToPixels(line, 0, 1000, 500, px);
    EXPECT_EQ((std::vector<int32_t>(px, px + 4)), (std::vector<int32_t>{100, 250, 800, -49}));
    velrun::lineToPixels(line, 1, 1000, 500, px);  // (y0, 1 - x0, h, -w)
    EXPECT_EQ((std::vector<int32_t>(px, px + 4)), (std::vector<int32_t>{500, 450, -99, -399}));
    velrun::lineToPixels(line, 2, 1000, 500, px);  // (1 - x0, 1 - y0, -w, -h)
    EXPECT_EQ((std::vector<int32_t>(px, px + 4)), (std::vector<int32_t>{900, 250, -799, 50}));

    EngineSettings s;
    s.gradientExtentFraction = 0.25f;
    int32_t bound[4], gradient[4], extent = 0;
    velrun::regionsForFrame(s, 3, 1000, 500, bound, gradient, extent);
    EXPECT_EQ(extent, 250);  // rotated frames measure the extent across their width
    EXPECT_EQ(velrun::rotationFromOrientation(6), 1);
    EXPECT_EQ(velrun::rotationFromOrientation(1), 0);
}
