#pragma once

#include <string>
#include <vector>

#include "SkyGenerator.h"

namespace velsky {

// Writers for the generated series. Each throws std::runtime_error naming the file on failure.
void writeTiff16(const std::string& path, const RgbImage16& image);
// 8-bit JPEG with a display gamma, as a camera would write it.
void writeJpeg(const std::string& path, const RgbImage16& image, int quality = 92);
void writePngRgb(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

// What writeSeries put into the folder (names relative to it).
struct SeriesFiles {
    std::vector<std::string> frames, darks, flats;
    std::string mask;  // empty without foreground
    std::string baseSky = "base_sky.tif";
    std::string truth = "truth.json";
};

// Renders and writes the whole series into `folder` (created if missing): frame_NNN.tif (or .jpg),
// dark_NN.tif, flat_NN.tif, mask.png, base_sky.tif and truth.json. truth.json holds the options
// (size, seed, pole, rotation, k1 with its centre and normalising radius, psf, pedestal), "base" (the
// frame the transforms map into), per frame {"file", "rotationDeg", "shift", "transform": [a..f]
// mapping undistorted frame pixels to undistorted base pixels, "satellite"}, "darks", "flats",
// "mask" (or null), "baseSky", "hotPixels" [[x, y]...], "groundLights" [[x, y]...] and "stars" [{"x", "y", "flux"}] in undistorted
// base pixels, brightest first, only those inside the base frame and above the ground.
SeriesFiles writeSeries(const SkyGenerator& generator, const std::string& folder);

}  // namespace velsky
