// velostar-skygen: writes a synthetic night-sky series with its ground truth.
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>

#include <CLI/CLI.hpp>

#include "SkyFiles.h"
#include "SkyGenerator.h"

int main(int argc, char** argv)
{
    velsky::SkyOptions o;
    std::string folder;
    bool quiet = false;
    CLI::App app{"Writes a synthetic night-sky series (frames, darks, flats, mask) and its ground truth (truth.json)."};
    app.add_option("-o,--out", folder, "Output folder")->required();
    app.add_option("--width", o.width, "Frame width in pixels")->capture_default_str()->check(CLI::Range(16, 60000));
    app.add_option("--height", o.height, "Frame height in pixels")->capture_default_str()->check(CLI::Range(16, 60000));
    app.add_option("-n,--frames", o.frames, "Number of light frames")
        ->capture_default_str()
        ->check(CLI::Range(1, 10000));
    app.add_option("--base", o.baseFrame, "Frame that the truth transforms map into")->capture_default_str();
    app.add_option("--seed", o.seed, "Random seed (same seed, same files)")->capture_default_str();
    app.add_option("--threads", o.threads, "Render threads (0 = all)")->capture_default_str();
    app.add_option("--stars-per-mp", o.starsPerMegapixel, "Star density per megapixel")->capture_default_str();
    app.add_option("--fwhm", o.fwhmPx, "Star FWHM in pixels")->capture_default_str();
    std::map<std::string, velsky::PointSpread> psfKinds{{"gaussian", velsky::PointSpread::Gaussian},
                                                        {"moffat", velsky::PointSpread::Moffat}};
    app.add_option("--psf", o.psf, "Point spread: gaussian or moffat")->transform(CLI::CheckedTransformer(psfKinds));
    app.add_option("--rotation", o.rotationPerFrameDeg, "Sky rotation per frame in degrees")->capture_default_str();
    app.add_option("--jitter", o.jitterPx, "Random shift per frame, pixels")->capture_default_str();
    app.add_option("--sky", o.skyLevel, "Sky glow level, ADU")->capture_default_str();
    app.add_option("--pollution", o.pollution, "Light-pollution gradient strength")->capture_default_str();
    app.add_option("--pollution-power", o.pollutionPower, "Shape of that gradient: 1 linear, 2 quadratic")
        ->capture_default_str();
    app.add_option("--vignetting", o.vignetting, "Light loss at the corners (0..0.9)")->capture_default_str();
    app.add_option("--read-noise", o.readNoise, "Read noise, ADU")->capture_default_str();
    app.add_option("--hot-per-mp", o.hotPixelsPerMegapixel, "Hot pixels per megapixel")->capture_default_str();
    app.add_flag("--coloured-hot", o.colouredHotPixels, "Each hot pixel lights one channel only");
    app.add_flag("--foreground", o.foreground, "Static ground with an irregular horizon, and mask.png");
    app.add_option("--ground-lights", o.groundLights, "Lit windows on the ground (with --foreground)")
        ->capture_default_str();
    app.add_option("--satellite", o.satelliteFrame, "Frame with a satellite trail (-1 = none)")->capture_default_str();
    app.add_option("--clouds", o.clouds, "Cover of clouds drifting across the sky (0 to 1)")->capture_default_str();
    app.add_option("--k1", o.k1, "Radial lens distortion")->capture_default_str();
    app.add_option("--darks", o.darkFrames, "Number of dark frames")->capture_default_str();
    app.add_option("--flats", o.flatFrames, "Number of flat frames")->capture_default_str();
    app.add_flag("--jpeg", o.jpeg, "Write the light frames as 8-bit JPEG");
    app.add_flag("-q,--quiet", quiet, "Print nothing on success");
    CLI11_PARSE(app, argc, argv);

    try {
        const auto start = std::chrono::steady_clock::now();
        const velsky::SkyGenerator generator(o);
        const auto files = velsky::writeSeries(generator, folder);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!quiet)
            std::printf("%zu frames, %zu darks, %zu flats of %dx%d written to %s in %.1f s (truth: %s/%s)\n",
                        files.frames.size(), files.darks.size(), files.flats.size(), o.width, o.height, folder.c_str(),
                        seconds, folder.c_str(), files.truth.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velostar-skygen: %s\n", error.what());
        return 1;
    }
    return 0;
}
