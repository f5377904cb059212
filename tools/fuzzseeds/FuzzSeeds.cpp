// velostar-fuzzseeds DIR: writes DIR/jpeg, DIR/tiff, DIR/raw, DIR/rawreply and DIR/project with
// small valid inputs of every kind the readers take, as seeds for the fuzz targets.
#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "DngWriter.h"
#include "FileMemory.h"
#include "ProjectFile.h"
#include "TiffBuilder.h"
#include "image/ImageTypes.h"
#include "image/JpegWriter.h"
#include "image/RawReader.h"
#include "image/RawReply.h"
#include "image/TiffLibrary.h"
#include "parallel/WidePath.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool save(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

Bytes jpeg(int width, int height, int channels)
{
    velimage::Image<uint8_t> image;
    image.allocate(width, height, channels);
    for (size_t i = 0; i < image.elementCount(); ++i)
        image.data()[i] = static_cast<uint8_t>(i * 37);
    FileMemory memory;
    velimage::compressJpeg8(image, 1 << 20, memory);
    return Bytes(memory.getContent(), memory.getContent() + memory.getSize());
}

Bytes exifTiff(bool bigEndian)
{
    static veldng::TiffDirectory exif, interop;
    interop = veldng::TiffDirectory();
    interop.ascii(1, "R03");
    exif = veldng::TiffDirectory();
    exif.rationals(33434, {{1, 30}});
    exif.shorts(34855, {1600});
    exif.ascii(36867, "2024:01:01 22:00:00");
    exif.signedRationals(37380, {{-1, 3}});
    exif.shorts(40961, {65535});
    exif.ascii(42036, "Lens");
    exif.pointer(40965, &interop);
    veldng::TiffDirectory main;
    main.ascii(271, "Maker");
    main.shorts(274, {6});
    main.rationals(282, {{300, 1}});
    main.pointer(34665, &exif);
    return veldng::buildTiff(main, bigEndian);
}

// An 8-, 16- or 32-bit TIFF with metadata, written by libtiff.
bool writeTiff(const std::string& path, int bits, int samples)
{
    velimage::silenceTiffLibrary();
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (!tiff)
        return false;
    const uint32_t width = 6, height = 4;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 2);
    TIFFSetField(tiff, TIFFTAG_MAKE, "Maker");
    std::vector<uint8_t> line(width * samples * bits / 8);
    bool ok = true;
    for (uint32_t y = 0; y < height && ok; ++y) {
        for (size_t i = 0; i < line.size(); ++i)
            line[i] = static_cast<uint8_t>(i * 11 + y);
        ok = TIFFWriteScanline(tiff, line.data(), y, 0) >= 0;
    }
    ok = ok && TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    return ok;
}

veldng::DngFrame dngFrame(uint16_t orientation)
{
    veldng::DngFrame frame;
    frame.width = 24;
    frame.height = 22;
    frame.mosaic.resize(24 * 22);
    for (size_t i = 0; i < frame.mosaic.size(); ++i)
        frame.mosaic[i] = static_cast<uint16_t>(i * 97);
    frame.orientation = orientation;
    frame.dateTimeOriginal = "2024:01:01 22:00:00";
    frame.writeExposureBias = true;
    frame.exposureBias = 0.3;
    return frame;
}

// What the decoding program sends back for the DNG.
bool writeRawReply(const veldng::DngFrame& frame, const std::filesystem::path& path)
{
    const Bytes dng = veldng::encodeDng(frame);
    velimage::RawImage image;
    if (!velimage::decodeRaw(dng.data(), dng.size(), 1, 1.0, 1.0, false, image))
        return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && velimage::writeRawReply(fd, image);
    return fd >= 0 && ::close(fd) == 0 && written;
}

}  // namespace

// Projects as the program writes them, with every element, and as older versions wrote them.
bool writeProjects(const std::filesystem::path& folder)
{
    velapp::FileTreeModel files;
    files.setBase((folder / "img/base.cr2").wstring());
    files.addFiles(velapp::Category::Star, {(folder / "img/a.cr2").wstring(), L"/elsewhere/b.cr2"}, false);
    files.addFiles(velapp::Category::Noise, {(folder / "dark.tif").wstring()}, false);
    files.addFiles(velapp::Category::Vignetting, {(folder / "flat.tif").wstring()}, false);
    files.setOutput((folder / "out/result.tif").wstring());
    velapp::RunSettings settings;
    settings.starBound = {0.0f, 0.5f, 1.0f, 0.25f};
    settings.gradient = {0.1f, 0.2f, 0.9f, 0.3f, 0.4f};
    velapp::MaskImage mask;
    mask.width = 2;
    mask.height = 2;
    mask.rgb = {0, 255, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0};
    std::wstring maskFile;
    const std::string legacy = "<?xml version=\"1.0\"?><VelostarProject version=\"1.0\">"
                         "<HomogenetizeVignetting>true</HomogenetizeVignetting>"
                         "<DistrotionCorrection max=\"2\">1</DistrotionCorrection>"
                         "<GradientRegion><X1>0.1</X1><Y1>0.2</Y1><X2>0.9</X2><Y2>0.3</Y2><Height>0.2</Height>"
                         "</GradientRegion></VelostarProject>";
    return velapp::saveProject((folder / "full.vlp").wstring(), files, settings,
                               {velapp::SkyRegionMode::IrregularMask, &mask}, maskFile) &&
           std::filesystem::remove(folder / "full.mask.png") && save(folder / "legacy.vlp", Bytes(legacy.begin(), legacy.end()));
}

int main(int argc, char** argv)
{
    // An option is never taken for the output folder ("--help" once became one).
    if (argc != 2 || argv[1][0] == '-') {
        const bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
        std::fprintf(help ? stdout : stderr, "usage: velostar-fuzzseeds DIR\n");
        return help ? 0 : 64;
    }
    const std::filesystem::path root(argv[1]);
    for (const char* kind : {"jpeg", "tiff", "raw", "rawreply", "project"})
        std::filesystem::create_directories(root / kind);
    bool ok = save(root / "jpeg/rgb.jpg", jpeg(16, 16, 3)) && save(root / "jpeg/grey.jpg", jpeg(16, 8, 1)) &&
              save(root / "jpeg/exif-le.jpg", veldng::withExifBlock(jpeg(16, 16, 3), exifTiff(false))) &&
              save(root / "jpeg/exif-be.jpg", veldng::withExifBlock(jpeg(8, 8, 3), exifTiff(true)));
    for (int bits : {8, 16, 32})
        ok = ok && writeTiff((root / ("tiff/rgb" + std::to_string(bits) + ".tif")).string(), bits, 3);
    ok = ok && writeTiff((root / "tiff/grey16.tif").string(), 16, 1);
    velimage::TiffImage image;
    image.allocate(5, 3, 3);
    image.clear();
    image.ensureMetadata().setText(velimage::tags::Make, "Maker");
    image.ensureMetadata().setShort(velimage::tags::ISOSpeedRatings, 800);
    image.ensureMetadata().setFloat(velimage::tags::ExposureTime, 30.0f);
    ok = ok && image.save(velpath::fromUtf8((root / "tiff/exif16.tif").string()));
    ok = ok && veldng::writeDng(dngFrame(1), (root / "raw/plain.dng").string()) &&
         veldng::writeDng(dngFrame(6), (root / "raw/turned.dng").string()) &&
         writeRawReply(dngFrame(1), root / "rawreply/plain.reply") && writeProjects(root / "project");
    if (!ok) {
        std::fprintf(stderr, "velostar-fuzzseeds: could not write the seed files\n");
        return 1;
    }
    return 0;
}
