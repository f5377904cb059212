#include "DngWriter.h"

#include <cmath>
#include <fstream>
#include <stdexcept>

#include "TiffBuilder.h"

namespace veldng {

namespace {

std::pair<int32_t, int32_t> signedRational(double value)
{
    return {static_cast<int32_t>(std::lround(value * 10000.0)), 10000};
}

std::pair<uint32_t, uint32_t> exposureRational(double seconds)
{
    if (seconds >= 1.0)
        return {static_cast<uint32_t>(std::lround(seconds * 1000.0)), 1000};
    return {1000000u, static_cast<uint32_t>(std::lround(1000000.0 / seconds))};
}

}  // namespace

std::vector<uint16_t> mosaicOf(const uint16_t* rgb, int width, int height)
{
    std::vector<uint16_t> mosaic(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            // RGGB: red at even/even, blue at odd/odd, green elsewhere.
            const int channel = (y % 2 == 0) ? (x % 2 == 0 ? 0 : 1) : (x % 2 == 0 ? 1 : 2);
            const size_t pixel = static_cast<size_t>(y) * width + x;
            mosaic[pixel] = rgb[pixel * 3 + channel];
        }
    return mosaic;
}

std::vector<uint8_t> encodeDng(const DngFrame& frame)
{
    if (frame.width < 22 || frame.height < 22 || frame.width % 2 || frame.height % 2 ||
        frame.mosaic.size() != static_cast<size_t>(frame.width) * frame.height)
        throw std::invalid_argument("DNG frame size");

    TiffDirectory exif;
    if (frame.exposureSeconds > 0.0)
        exif.rationals(33434, {exposureRational(frame.exposureSeconds)});
    exif.shorts(34855, {frame.iso});
    if (frame.recommendedExposureIndex > 0)
        exif.longs(34866, {frame.recommendedExposureIndex});
    if (!frame.dateTimeOriginal.empty())
        exif.ascii(36867, frame.dateTimeOriginal);
    if (frame.writeExposureBias)
        exif.signedRationals(37380, {signedRational(frame.exposureBias)});

    TiffDirectory main;
    main.longs(254, {0});
    main.longs(256, {static_cast<uint32_t>(frame.width)});
    main.longs(257, {static_cast<uint32_t>(frame.height)});
    main.shorts(258, {16});
    main.shorts(259, {1});
    main.shorts(262, {32803});  // colour filter array
    main.ascii(271, frame.make);
    main.ascii(272, frame.model);
    main.shorts(274, {frame.orientation});
    main.shorts(277, {1});
    main.longs(278, {static_cast<uint32_t>(frame.height)});
    main.shorts(284, {1});
    if (!frame.dateTimeOriginal.empty())
        main.ascii(306, frame.dateTimeOriginal);
    main.shorts(33421, {2, 2});
    main.bytes(33422, {0, 1, 1, 2});
    main.pointer(34665, &exif);
    main.bytes(50706, {1, 4, 0, 0});
    main.bytes(50707, {1, 1, 0, 0});
    main.ascii(50708, frame.make + " " + frame.model);
    main.longs(50717, {65535});
    // XYZ (D65) to linear sRGB: the camera sees sRGB primaries.
    const double xyzToCamera[9] = {3.2406, -1.5372, -0.4986, -0.9689, 1.8758, 0.0415, 0.0557, -0.2040, 1.0570};
    std::vector<std::pair<int32_t, int32_t>> matrix;
    for (double value : xyzToCamera)
        matrix.push_back(signedRational(value));
    main.signedRationals(50721, matrix);
    main.rationals(50728, {{1, 1}, {1, 1}, {1, 1}});
    main.shorts(50778, {21});  // D65

    std::vector<uint8_t> pixels;
    pixels.reserve(frame.mosaic.size() * 2);
    for (uint16_t sample : frame.mosaic) {
        pixels.push_back(static_cast<uint8_t>(sample));
        pixels.push_back(static_cast<uint8_t>(sample >> 8));
    }
    main.strip(std::move(pixels));
    return buildTiff(main);
}

bool writeDng(const DngFrame& frame, const std::string& path)
{
    const std::vector<uint8_t> bytes = encodeDng(frame);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

}  // namespace veldng
