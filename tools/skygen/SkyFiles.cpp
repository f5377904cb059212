#include "SkyFiles.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <nlohmann/json.hpp>

namespace velsky {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path)
{
    throw std::runtime_error(what + ": " + path);
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jpegErrorExit(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }

// Returns false when libjpeg failed; the jump lands here, with only plain buffers alive.
bool compressJpeg(FILE* file, const RgbImage16& image, const std::vector<uint8_t>& lut, std::vector<uint8_t>& row,
                  int quality)
{
    jpeg_compress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegErrorExit;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(image.width);
    info.image_height = static_cast<JDIMENSION>(image.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        const uint16_t* in = &image.samples[size_t(info.next_scanline) * image.width * 3];
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = lut[in[i]];
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&info, &pointer, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

bool compressPng(FILE* file, int width, int height, const std::vector<uint8_t>& rgb)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(&rgb[size_t(y) * width * 3]));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

std::string numbered(const char* stem, int index, int digits, const char* extension)
{
    char name[64];
    std::snprintf(name, sizeof name, "%s_%0*d%s", stem, digits, index, extension);
    return name;
}

}  // namespace

void writeTiff16(const std::string& path, const RgbImage16& image)
{
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.c_str(), "w"));
    if (!tiff)
        fail("cannot create", path);
    TIFF* t = tiff.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(image.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(image.height));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(3));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(16));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(16));
    const size_t rowSamples = size_t(image.width) * 3;
    for (int y = 0; y < image.height; ++y) {
        auto* row = const_cast<uint16_t*>(&image.samples[y * rowSamples]);
        if (TIFFWriteScanline(t, row, uint32_t(y), 0) < 0)
            fail("cannot write", path);
    }
    if (!TIFFFlush(t))
        fail("cannot write", path);
}

void writeJpeg(const std::string& path, const RgbImage16& image, int quality)
{
    std::vector<uint8_t> lut(65536);
    for (size_t v = 0; v < lut.size(); ++v)
        lut[v] = static_cast<uint8_t>(255.0 * std::pow(double(v) / 65535.0, 1.0 / 2.2) + 0.5);
    std::vector<uint8_t> row(size_t(image.width) * 3);
    FileHandle file(std::fopen(path.c_str(), "wb"));
    if (!file)
        fail("cannot create", path);
    if (!compressJpeg(file.get(), image, lut, row, quality) || std::fflush(file.get()) != 0)
        fail("cannot write", path);
}

void writePngRgb(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb)
{
    if (rgb.size() != size_t(width) * height * 3)
        fail("mask size does not match", path);
    FileHandle file(std::fopen(path.c_str(), "wb"));
    if (!file)
        fail("cannot create", path);
    if (!compressPng(file.get(), width, height, rgb) || std::fflush(file.get()) != 0)
        fail("cannot write", path);
}

SeriesFiles writeSeries(const SkyGenerator& generator, const std::string& folder)
{
    const auto& o = generator.options();
    std::filesystem::create_directories(folder);
    const std::string prefix = folder + "/";
    SeriesFiles files;
    nlohmann::json truth;
    truth["generator"] = "velostar-skygen";
    truth["seed"] = o.seed;
    truth["width"] = o.width;
    truth["height"] = o.height;
    truth["base"] = o.baseFrame;
    truth["pole"] = {o.poleX, o.poleY};
    truth["rotationPerFrameDeg"] = o.rotationPerFrameDeg;
    truth["k1"] = o.k1;
    truth["distortionCentre"] = {0.5 * (o.width - 1), 0.5 * (o.height - 1)};
    truth["distortionRadius"] = 0.5 * std::hypot(double(o.width), double(o.height));
    truth["psf"] = {
        {"kind", o.psf == PointSpread::Moffat ? "moffat" : "gaussian"}, {"fwhm", o.fwhmPx}, {"beta", o.moffatBeta}};
    truth["pedestal"] = o.pedestal;

    const int digits = o.frames > 999 ? 4 : 3;
    nlohmann::json frames = nlohmann::json::array();
    for (int i = 0; i < o.frames; ++i) {
        const std::string name = numbered("frame", i, digits, o.jpeg ? ".jpg" : ".tif");
        const RgbImage16 image = generator.renderFrame(i);
        if (o.jpeg)
            writeJpeg(prefix + name, image);
        else
            writeTiff16(prefix + name, image);
        files.frames.push_back(name);
        const auto shift = generator.frameShift(i);
        const auto transform = generator.frameToBase(i).m;
        frames.push_back({{"file", name},
                          {"rotationDeg", generator.frameRotationRad(i) * 180.0 / 3.14159265358979323846},
                          {"shift", {shift[0], shift[1]}},
                          {"transform", transform},
                          {"satellite", i == o.satelliteFrame}});
    }
    truth["frames"] = frames;

    for (int i = 0; i < o.darkFrames; ++i) {
        files.darks.push_back(numbered("dark", i, 2, ".tif"));
        writeTiff16(prefix + files.darks.back(), generator.renderDark(i));
    }
    for (int i = 0; i < o.flatFrames; ++i) {
        files.flats.push_back(numbered("flat", i, 2, ".tif"));
        writeTiff16(prefix + files.flats.back(), generator.renderFlat(i));
    }
    truth["darks"] = files.darks;
    truth["flats"] = files.flats;
    if (o.foreground) {
        files.mask = "mask.png";
        writePngRgb(prefix + files.mask, o.width, o.height, generator.maskRgb());
        truth["mask"] = files.mask;
    } else {
        truth["mask"] = nullptr;
    }
    writeTiff16(prefix + files.baseSky, generator.renderBaseSky());
    truth["baseSky"] = files.baseSky;

    nlohmann::json hot = nlohmann::json::array();
    for (const auto& pixel : generator.hotPixels())
        hot.push_back({pixel.x, pixel.y});
    truth["hotPixels"] = hot;
    nlohmann::json lights = nlohmann::json::array();
    for (const auto& light : generator.groundLights())
        lights.push_back({light.x, light.y});
    truth["groundLights"] = lights;

    // Stars as the base frame sees them (undistorted base pixels), brightest first.
    const Affine skyToBase = generator.skyToFrame(o.baseFrame);
    std::vector<const SkyStar*> visible;
    for (const auto& star : generator.stars()) {
        double x, y;
        skyToBase.apply(star.x, star.y, x, y);
        if (x >= 0 && y >= 0 && x < o.width && y < o.height && !generator.isGround(int(x), int(y)))
            visible.push_back(&star);
    }
    std::stable_sort(visible.begin(), visible.end(),
                     [](const SkyStar* a, const SkyStar* b) { return a->flux > b->flux; });
    nlohmann::json stars = nlohmann::json::array();
    for (const SkyStar* star : visible) {
        double x, y;
        skyToBase.apply(star->x, star->y, x, y);
        stars.push_back({{"x", x}, {"y", y}, {"flux", star->flux}});
    }
    truth["stars"] = stars;

    std::ofstream out(prefix + files.truth);
    out << truth.dump(1) << '\n';
    out.flush();
    if (!out)
        fail("cannot write", prefix + files.truth);
    return files;
}

}  // namespace velsky
