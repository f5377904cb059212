#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "Diagnostics.h"
#include "FileMemory.h"
#include "diagnostics/DiagnosticRuns.h"
#include "image/JpegReader.h"
#include "image/JpegWriter.h"
#include "support/TempDir.h"

namespace {

// Runs the rest of a test inside `dir`, as the image self-check reads and writes there.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& dir) : m_previous(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir);
    }
    ~WorkingDirectory() { std::filesystem::current_path(m_previous); }

private:
    std::filesystem::path m_previous;
};

// Centroid of the samples above 128 in channel 0.
std::array<double, 2> brightCentre(const velimage::Image8& image)
{
    double sx = 0, sy = 0, n = 0;
    for (int32_t y = 0; y < image.height(); ++y)
        for (int32_t x = 0; x < image.width(); ++x)
            if (image.row(y)[x * 3] > 128) {
                sx += x;
                sy += y;
                n += 1;
            }
    return {n > 0 ? sx / n : -1, n > 0 ? sy / n : -1};
}

}  // namespace

TEST(Diagnostics, TheLibraryExportsAllThreeSelfChecks)
{
    const std::string library = std::string(VELOSTAR_TEST_BINARY_DIR) + "/lib/libvelostar.so";
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(handle) << dlerror();
    for (const char* name : {"_Z14testStarDetectv", "_Z18testImageTransformv", "_Z17testSigmaClippingv"})
        EXPECT_TRUE(dlsym(handle, name)) << name;
    dlclose(handle);
}

TEST(Diagnostics, StarCheckRecoversTheTwoDegreeTurn)
{
    testStarDetect();
    const veldiag::StarDetectOutcome outcome = veldiag::runStarDetect();
    EXPECT_GE(outcome.pairs, 5);
    ASSERT_TRUE(outcome.fitted);
    // The turned positions are rounded to whole pixels: the fit may be off by that, not more.
    const auto map = [](const float* m, double x, double y) {
        return std::array<double, 2>{m[0] * x + m[1] * y + m[2], m[3] * x + m[4] * y + m[5]};
    };
    for (const auto& [x, y] : {std::pair{100, 500}, {300, 200}, {400, 100}, {4000, 2000}, {1000, 2000}, {3000, 1000}}) {
        const auto fitted = map(outcome.transform, x, y), truth = map(outcome.expected, x, y);
        EXPECT_LT(std::hypot(fitted[0] - truth[0], fitted[1] - truth[1]), 0.75) << x << "," << y;
    }
}

TEST(Diagnostics, SigmaCheckClipsTheOutliersOfBothSets)
{
    testSigmaClipping();
    // 22 and 14 leave the first set (48 / 10), 32 the second (48 / 11); unclipped they give 7 and 6.
    const std::array<uint32_t, 2> means = veldiag::runSigmaClipping();
    EXPECT_EQ(means[0], 4u);
    EXPECT_EQ(means[1], 4u);
}

TEST(Diagnostics, ImageCheckTurnsAndShiftsTheJpegAndWritesNothingWithoutInput)
{
    const veltest::TempDir dir;
    const WorkingDirectory inside(dir.path());
    testImageTransform();
    EXPECT_FALSE(std::filesystem::exists("TestTransformOut.jpg"));

    velimage::Image8 input;
    input.allocate(200, 160, 3);
    std::fill_n(input.row(0), input.rowElements() * 160, uint8_t{20});
    for (int32_t y = 100; y < 110; ++y)
        for (int32_t x = 150; x < 160; ++x)
            std::fill_n(input.row(y) + x * 3, 3, uint8_t{250});
    FileMemory encoded;
    ASSERT_TRUE(velimage::compressJpeg8(input, 1 << 20, encoded));
    ASSERT_TRUE(encoded.saveToFile(L"TestTransform.jpg", true));
    testImageTransform();

    FileMemory written;
    ASSERT_TRUE(written.loadFromFile(L"TestTransformOut.jpg"));
    velimage::JpegImage output;
    ASSERT_TRUE(velimage::decodeJpeg(written.getContent(), written.getSize(), output));
    ASSERT_EQ(output.width(), 200);
    ASSERT_EQ(output.height(), 160);
    const double c = std::cos(0.034906585), s = std::sin(0.034906585);
    const double x = 154.5, y = 104.5;
    const std::array<double, 2> centre = brightCentre(output);
    EXPECT_NEAR(centre[0], c * x - s * y + 1, 0.3);
    EXPECT_NEAR(centre[1], s * x + c * y + 2, 0.3);
}
