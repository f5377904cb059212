#include "MaskFile.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <png.h>

namespace velapp {

namespace {

// Larger masks are surely a mistake; the engine scales the mask to the base image anyway.
constexpr png_uint_32 kMaxSide = 65535;
constexpr uint64_t kMaxPixels = uint64_t(1) << 28;

struct PngImage {
    png_image image;
    PngImage()
    {
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
    }
    ~PngImage() { png_image_free(&image); }
    PngImage(const PngImage&) = delete;
    PngImage& operator=(const PngImage&) = delete;
};

}  // namespace

MaskImage loadMaskPng(const std::string& path)
{
    PngImage png;
    if (!png_image_begin_read_from_file(&png.image, path.c_str()))
        throw std::runtime_error(png.image.message[0] ? png.image.message : "cannot read the file");
    if (png.image.width == 0 || png.image.height == 0 || png.image.width > kMaxSide || png.image.height > kMaxSide ||
        uint64_t(png.image.width) * png.image.height > kMaxPixels)
        throw std::runtime_error("unsupported mask size " + std::to_string(png.image.width) + "x" +
                                 std::to_string(png.image.height));
    png.image.format = PNG_FORMAT_RGB;
    MaskImage mask;
    mask.width = static_cast<int32_t>(png.image.width);
    mask.height = static_cast<int32_t>(png.image.height);
    mask.rgb.resize(PNG_IMAGE_SIZE(png.image));
    const png_color black{0, 0, 0};
    if (!png_image_finish_read(&png.image, &black, mask.rgb.data(), 0, nullptr))
        throw std::runtime_error(png.image.message[0] ? png.image.message : "corrupt PNG data");
    return mask;
}

bool saveMaskPng(const std::string& path, const MaskImage& mask)
{
    if (!mask.valid())
        return false;
    PngImage png;
    png.image.width = static_cast<png_uint_32>(mask.width);
    png.image.height = static_cast<png_uint_32>(mask.height);
    png.image.format = PNG_FORMAT_RGB;
    // Written beside and renamed over, so that a failed write never leaves half a mask.
    const std::string part = path + ".part";
    if (png_image_write_to_file(&png.image, part.c_str(), 0, mask.rgb.data(), 0, nullptr) &&
        std::rename(part.c_str(), path.c_str()) == 0)
        return true;
    std::remove(part.c_str());
    return false;
}

}  // namespace velapp
