#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SkyGenerator.h"
#include "support/TempDir.h"
#include "Velostar.h"
#include "image/Image.h"

namespace e2e {

// A generated series written as 16-bit TIFF frames; frame i is files[i], the base is files[0];
// the options' dark and flat frames follow in `darks` and `flats`.
struct SkySeries {
    explicit SkySeries(const velsky::SkyOptions& options);

    velsky::SkyGenerator generator;
    veltest::TempDir dir;
    std::vector<std::string> files;
    std::vector<std::string> darks;
    std::vector<std::string> flats;
};

// One engine run over `files` (the first is the base) into `output`, after `configure`.
struct RunOutcome {
    int result = 0;
    std::vector<VelostarFrameReport> reports;  // `file` points into `files`
    std::vector<std::wstring> files;
    std::vector<std::pair<int32_t, int32_t>> stages;  // (stage, detail) in order
    bool has(int32_t stage, int32_t detail) const;
};
RunOutcome runEngine(const std::vector<std::string>& files, const std::string& output,
                     const std::function<void(Velostar&)>& configure = {});

// `colorSetting` as the engine's loader uses it: 1 sRGB, 3 linear.
std::unique_ptr<velimage::Image16> loadTiff(const std::string& path, int colorSetting = 3);

// Root-mean-square radius of the star light about its centroid in channel 1, within `radius`
// pixels of (x, y), above the median of the window's edge. Negative when the window leaves the image.
double starWidth(const velimage::Image16& image, double x, double y, int32_t radius = 5);

// Base-frame positions of the brightest stars whose peak stays within (minPeak, maxPeak) above
// the sky in `image`, at least `margin` pixels inside, at most `count`.
struct Spot {
    double x, y;
};
std::vector<Spot> measurableStars(const SkySeries& series, const velimage::Image16& image, double minPeak,
                                  double maxPeak, int32_t margin, size_t count);

}  // namespace e2e
