#pragma once

#include <cstdint>
#include <vector>

#include "FileMemory.h"
#include "TiffBuilder.h"
#include "image/Image.h"
#include "image/JpegWriter.h"

// Input files the image-file tests build for themselves.
namespace veltest {

// An Exif TIFF structure with main-directory and EXIF-directory entries of every kind we read.
inline std::vector<uint8_t> exifTiff(bool bigEndian, uint16_t colorSpace = 1)
{
    static veldng::TiffDirectory exif;
    exif = veldng::TiffDirectory();
    exif.rationals(33434, {{1, 250}});
    exif.rationals(33437, {{28, 10}});
    exif.shorts(34855, {6400});
    exif.ascii(36867, "2024:03:04 21:00:00");
    exif.signedRationals(37380, {{-2, 3}});
    exif.shorts(37385, {9});
    exif.rationals(37386, {{14, 1}});
    exif.shorts(40961, {colorSpace});
    exif.shorts(41989, {21});
    exif.ascii(42036, "Wide 14");
    veldng::TiffDirectory main;
    main.ascii(271, "Maker");
    main.ascii(272, "Body X");
    main.shorts(274, {8});
    main.rationals(282, {{72, 1}});
    main.pointer(34665, &exif);
    return veldng::buildTiff(main, bigEndian);
}

// A small compressed test card: horizontal ramps in every channel.
inline std::vector<uint8_t> jpegBytes(int width, int height, int channels)
{
    velimage::Image<uint8_t> image;
    image.allocate(width, height, channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * channels; ++x)
            image.row(y)[x] = static_cast<uint8_t>((x * 7 + y * 3) & 0xFF);
    FileMemory memory;
    if (!velimage::compressJpeg8(image, 1 << 24, memory))
        return {};
    return std::vector<uint8_t>(memory.getContent(), memory.getContent() + memory.getSize());
}

}  // namespace veltest
