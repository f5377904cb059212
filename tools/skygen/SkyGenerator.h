#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velsky {

enum class PointSpread { Gaussian, Moffat };

// Everything that shapes a generated night-sky series. Sky coordinates are the undistorted pixel
// coordinates of frame 0; the truth transforms map into the chosen base frame.
struct SkyOptions {
    int width = 3000;
    int height = 2000;
    int frames = 12;
    int baseFrame = 0;
    uint64_t seed = 1;
    int threads = 0;  // 0 = one per hardware thread

    double starsPerMegapixel = 500.0;
    double magnitudeRange = 9.0;  // faintest star is 10^(-0.4 * range) of the brightest
    double brightestFlux = 3.0e6;  // total ADU of the brightest star
    PointSpread psf = PointSpread::Gaussian;
    double fwhmPx = 3.0;
    double moffatBeta = 3.0;

    double rotationPerFrameDeg = 0.125;  // sky rotation about the pole between frames
    double poleX = -1.0;  // pole; negative = default, above the frame
    double poleY = -1.0;
    double jitterPx = 1.5;  // random shift of each frame (frame 0 stays put)

    double skyLevel = 1800.0;  // ADU of the sky glow at the dark side
    double pollution = 1.2;  // extra glow at the polluted corner, as a share of skyLevel
    double pollutionPower = 2.0;  // how the glow grows towards that corner: 1 linear, 2 quadratic
    double vignetting = 0.35;  // light loss at the corners
    double pedestal = 256.0;  // black level of lights and darks
    double gain = 0.5;  // ADU per electron: shot-noise scale
    double readNoise = 6.0;  // ADU
    double hotPixelsPerMegapixel = 20.0;
    // Each hot pixel lights one channel, as one hot photosite of a colour sensor does, instead of all three.
    bool colouredHotPixels = false;

    bool foreground = false;  // static ground with an irregular horizon, plus mask.png
    double horizonShare = 0.3;  // mean share of the height taken by the ground
    int groundLights = 8;  // lit windows on the ground (with foreground): small, bright, some clipped
    int satelliteFrame = -1;  // frame with a satellite trail, -1 = none
    double clouds = 0.0;  // cover of the clouds drifting across the sky from frame to frame (0..1)
    double k1 = 0.0;  // radial distortion, radius normalised to the half diagonal

    int darkFrames = 0;
    int flatFrames = 0;
    bool jpeg = false;  // frames as 8-bit JPEG instead of 16-bit TIFF
};

// 2×3 affine map: (x, y) -> (m[0]·x + m[1]·y + m[2], m[3]·x + m[4]·y + m[5]).
struct Affine {
    std::array<double, 6> m{1, 0, 0, 0, 1, 0};
    void apply(double x, double y, double& outX, double& outY) const
    {
        outX = m[0] * x + m[1] * y + m[2];
        outY = m[3] * x + m[4] * y + m[5];
    }
    Affine inverse() const;
    Affine after(const Affine& first) const;  // this ∘ first
};

struct SkyStar {
    double x, y;  // sky coordinates
    double flux;  // total ADU before vignetting
    std::array<float, 3> colour;  // channel weights, green = 1
};

struct HotPixel {
    int x, y;
    int level;  // ADU added to every channel, or to `channel` alone
    int channel = -1;  // -1: all three channels
};

// A lit window on the ground: a small bright blob fixed in frame pixels.
struct GroundLight {
    double x, y;  // centre in frame pixels
    double halfWidth, halfHeight;  // pixels
    double level;  // ADU at the centre; above 65535 the blob clips
};

// Three-channel 16-bit image, interleaved, rows from the top.
struct RgbImage16 {
    int width = 0;
    int height = 0;
    std::vector<uint16_t> samples;
    uint16_t at(int x, int y, int channel) const { return samples[(size_t(y) * width + x) * 3 + channel]; }
};

// A deterministic synthetic night-sky series: the star field, the per-frame geometry and the
// renderers of light, dark and flat frames. Read-only after construction; the render functions
// may be called from any thread and split their rows over `threads` threads.
class SkyGenerator {
public:
    explicit SkyGenerator(const SkyOptions& options);

    const SkyOptions& options() const { return m_options; }
    const std::vector<SkyStar>& stars() const { return m_stars; }

    // Frame i pixel (undistorted) -> base frame pixel (undistorted): the truth transform.
    Affine frameToBase(int frame) const;
    Affine skyToFrame(int frame) const;
    double frameRotationRad(int frame) const;
    std::array<double, 2> frameShift(int frame) const { return m_shifts[frame]; }
    // Where a sky point lands in a frame's pixels, lens distortion included.
    void skyToFramePixel(int frame, double x, double y, double& outX, double& outY) const;
    void distort(double x, double y, double& outX, double& outY) const;

    bool isGround(int x, int y) const;
    double horizonRow(int x) const { return m_horizon.empty() ? 1e30 : m_horizon[x]; }
    const std::vector<HotPixel>& hotPixels() const { return m_hotPixels; }
    const std::vector<GroundLight>& groundLights() const { return m_groundLights; }
    // Start and end of the satellite trail in frame pixels.
    std::array<double, 4> satelliteLine() const { return m_satellite; }

    RgbImage16 renderFrame(int frame) const;
    // The base frame as the lens sees it, without noise, hot pixels or trail.
    RgbImage16 renderBaseSky() const;
    RgbImage16 renderDark(int index) const;
    RgbImage16 renderFlat(int index) const;
    // Sky painted green on black, base frame size.
    std::vector<uint8_t> maskRgb() const;

private:
    struct Placed;
    enum class Kind { Light, Dark, Flat };
    void render(RgbImage16& image, Kind kind, int frame, int index, bool noise) const;
    std::vector<Placed> placeStars(int frame) const;
    void buildHorizon();
    void placeGroundLights();
    float groundLightAt(int x, int y) const;
    double vignette(double x, double y) const;
    float groundLevel(int x, int y) const;
    float cloudAt(int frame, int x, int y) const;

    SkyOptions m_options;
    std::vector<SkyStar> m_stars;
    std::vector<std::array<double, 2>> m_shifts;
    std::vector<double> m_horizon;
    std::vector<HotPixel> m_hotPixels;
    std::vector<GroundLight> m_groundLights;
    std::array<double, 4> m_satellite{};
    double m_halfDiagonal;
};

}  // namespace velsky
