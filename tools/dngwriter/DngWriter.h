#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veldng {

// A Bayer-mosaic frame (RGGB, 16 bits per sample) and the capture data written with it.
struct DngFrame {
    int width = 0;   // even, at least 22 (smaller frames are not taken as RAW by decoders)
    int height = 0;  // even, at least 22
    std::vector<uint16_t> mosaic;  // width × height samples, rows from the top
    std::string make = "Velostar";
    std::string model = "Synthetic Sensor";
    uint16_t orientation = 1;       // TIFF orientation code
    uint16_t iso = 100;
    // Written as a LONG when set; some makers put sensitivities above 65535 there, with iso 65535.
    uint32_t recommendedExposureIndex = 0;
    double exposureSeconds = 1.0 / 125.0;  // 0: not written
    double exposureBias = 0.0;
    bool writeExposureBias = false;
    std::string dateTimeOriginal;   // "YYYY:MM:DD HH:MM:SS"; empty: no time stamp at all
};

// Samples an interleaved RGB image (3 × 16 bits per pixel) through an RGGB colour filter.
std::vector<uint16_t> mosaicOf(const uint16_t* rgb, int width, int height);

// A minimal valid uncompressed DNG of the frame: camera colours equal linear sRGB, white at
// 65535, neutral white balance.
std::vector<uint8_t> encodeDng(const DngFrame& frame);
bool writeDng(const DngFrame& frame, const std::string& path);

}  // namespace veldng
