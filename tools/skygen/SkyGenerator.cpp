#include "SkyGenerator.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "SkyRandom.h"

namespace velsky {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Stream keys, so that each purpose draws from its own sequence.
enum Stream : uint64_t {
    ShiftStream = 1, StarStream, HotStream, SatelliteStream, HorizonStream, RowStream, LightStream
};

void check(bool condition, const char* what)
{
    if (!condition)
        throw std::invalid_argument(what);
}

// Runs body(y) for every row, split into contiguous bands over the given number of threads.
template <typename Body>
void forRows(int height, int threads, Body body)
{
    const int count = std::max(1, std::min(threads, height));
    if (count == 1) {
        for (int y = 0; y < height; ++y)
            body(y);
        return;
    }
    std::vector<std::thread> workers;
    workers.reserve(count);
    for (int part = 0; part < count; ++part) {
        const int begin = static_cast<int>(int64_t(height) * part / count);
        const int end = static_cast<int>(int64_t(height) * (part + 1) / count);
        workers.emplace_back([=, &body] {
            for (int y = begin; y < end; ++y)
                body(y);
        });
    }
    for (auto& worker : workers)
        worker.join();
}

uint16_t toSample(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= 65535.0)
        return 65535;
    return static_cast<uint16_t>(value + 0.5);
}

}  // namespace

Affine Affine::inverse() const
{
    const double det = m[0] * m[4] - m[1] * m[3];
    if (det == 0.0)
        throw std::domain_error("singular transform");
    Affine r;
    r.m[0] = m[4] / det;
    r.m[1] = -m[1] / det;
    r.m[3] = -m[3] / det;
    r.m[4] = m[0] / det;
    r.m[2] = -(r.m[0] * m[2] + r.m[1] * m[5]);
    r.m[5] = -(r.m[3] * m[2] + r.m[4] * m[5]);
    return r;
}

Affine Affine::after(const Affine& first) const
{
    Affine r;
    r.m[0] = m[0] * first.m[0] + m[1] * first.m[3];
    r.m[1] = m[0] * first.m[1] + m[1] * first.m[4];
    r.m[2] = m[0] * first.m[2] + m[1] * first.m[5] + m[2];
    r.m[3] = m[3] * first.m[0] + m[4] * first.m[3];
    r.m[4] = m[3] * first.m[1] + m[4] * first.m[4];
    r.m[5] = m[3] * first.m[2] + m[4] * first.m[5] + m[5];
    return r;
}

// A star as it lands in one frame, with its point spread ready for rendering.
struct SkyGenerator::Placed {
    double x, y;
    double radius;
    std::array<float, 3> peak;
};

SkyGenerator::SkyGenerator(const SkyOptions& options) : m_options(options)
{
    auto& o = m_options;
    check(o.width >= 16 && o.height >= 16 && o.width <= 60000 && o.height <= 60000, "image size out of range");
    check(o.frames >= 1 && o.frames <= 10000, "frame count out of range");
    check(o.baseFrame >= 0 && o.baseFrame < o.frames, "base frame out of range");
    check(o.fwhmPx > 0.3 && o.fwhmPx < 50.0, "fwhm out of range");
    check(o.moffatBeta > 1.0, "Moffat beta must exceed 1");
    check(o.starsPerMegapixel >= 0.0 && o.starsPerMegapixel <= 1e5, "star density out of range");
    check(o.darkFrames >= 0 && o.flatFrames >= 0, "negative calibration frame count");
    check(o.satelliteFrame < o.frames, "satellite frame out of range");
    check(std::fabs(o.k1) < 0.5, "k1 out of range");
    check(o.groundLights >= 0 && o.groundLights <= 10000, "ground light count out of range");
    check(o.clouds >= 0.0 && o.clouds <= 1.0, "cloud cover out of range");
    if (o.threads <= 0)
        o.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    if (o.poleX < 0.0 && o.poleY < 0.0) {
        o.poleX = 0.62 * o.width;
        o.poleY = -1.3 * o.height;
    }
    m_halfDiagonal = 0.5 * std::hypot(double(o.width), double(o.height));

    m_shifts.assign(o.frames, {0.0, 0.0});
    for (int i = 1; i < o.frames; ++i) {
        SkyRandom random(o.seed, ShiftStream, i);
        m_shifts[i] = {random.uniform(-o.jitterPx, o.jitterPx), random.uniform(-o.jitterPx, o.jitterPx)};
    }

    // Stars cover every frame's view of the sky, with room for the distortion's reach.
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    for (int i = 0; i < o.frames; ++i) {
        const Affine toSky = skyToFrame(i).inverse();
        for (double cy : {0.0, double(o.height)})
            for (double cx : {0.0, double(o.width)}) {
                double sx, sy;
                toSky.apply(cx, cy, sx, sy);
                minX = std::min(minX, sx), maxX = std::max(maxX, sx);
                minY = std::min(minY, sy), maxY = std::max(maxY, sy);
            }
    }
    const double margin = 20.0 + std::fabs(o.k1) * m_halfDiagonal * 1.5;
    minX -= margin, minY -= margin, maxX += margin, maxY += margin;
    const auto count = static_cast<size_t>(o.starsPerMegapixel * (maxX - minX) * (maxY - minY) / 1e6);
    SkyRandom random(o.seed, StarStream);
    // Star counts grow by about 10^0.3 per magnitude: many faint, few bright.
    const double steep = 0.3, top = std::pow(10.0, steep * o.magnitudeRange) - 1.0;
    m_stars.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        SkyStar star;
        star.x = random.uniform(minX, maxX);
        star.y = random.uniform(minY, maxY);
        const double magnitude = std::log10(1.0 + random.uniform() * top) / steep;
        star.flux = o.brightestFlux * std::pow(10.0, -0.4 * magnitude);
        const auto warmth = static_cast<float>(random.uniform());
        star.colour = {0.75f + 0.5f * warmth, 1.0f, 1.25f - 0.5f * warmth};
        m_stars.push_back(star);
    }

    SkyRandom hot(o.seed, HotStream);
    const auto hotCount = static_cast<size_t>(o.hotPixelsPerMegapixel * o.width * double(o.height) / 1e6);
    for (size_t i = 0; i < hotCount; ++i) {
        HotPixel pixel;
        pixel.x = static_cast<int>(hot.uniform() * o.width);
        pixel.y = static_cast<int>(hot.uniform() * o.height);
        pixel.level = static_cast<int>(hot.uniform(4000.0, 40000.0));
        if (o.colouredHotPixels)
            pixel.channel = std::min(2, static_cast<int>(hot.uniform() * 3));
        m_hotPixels.push_back(pixel);
    }

    SkyRandom satellite(o.seed, SatelliteStream);
    m_satellite = {0.0, satellite.uniform(0.1, 0.4) * o.height, double(o.width),
                   satellite.uniform(0.1, 0.4) * o.height};

    if (o.foreground) {
        buildHorizon();
        placeGroundLights();
    }
}

void SkyGenerator::placeGroundLights()
{
    const auto& o = m_options;
    SkyRandom random(o.seed, LightStream);
    for (int i = 0; i < o.groundLights; ++i) {
        GroundLight light;
        light.x = random.uniform(0.03, 0.97) * o.width;
        const int column = std::clamp(static_cast<int>(light.x), 0, o.width - 1);
        // Well below the ridge, so that no window touches the sky.
        const double top = m_horizon[column] + 12.0, bottom = o.height - 8.0;
        light.y = top < bottom ? random.uniform(top, bottom) : bottom;
        light.halfWidth = random.uniform(0.6, 2.2);
        light.halfHeight = random.uniform(0.6, 1.8);
        // Every third window is bright enough to clip.
        light.level = i % 3 == 0 ? random.uniform(120000.0, 250000.0) : random.uniform(10000.0, 40000.0);
        m_groundLights.push_back(light);
    }
}

float SkyGenerator::groundLightAt(int x, int y) const
{
    float sum = 0.0f;
    for (const auto& light : m_groundLights) {
        const double dx = std::fabs(x - light.x) - light.halfWidth, dy = std::fabs(y - light.y) - light.halfHeight;
        if (dx > 3.0 || dy > 3.0)
            continue;
        // A flat window with soft edges (the lens blurs it a little).
        const double fall = std::exp(-0.5 * (std::max(0.0, dx) * std::max(0.0, dx) + std::max(0.0, dy) * std::max(0.0, dy)) / 0.5);
        sum += static_cast<float>(light.level * fall);
    }
    return sum;
}

void SkyGenerator::buildHorizon()
{
    const auto& o = m_options;
    SkyRandom random(o.seed, HorizonStream);
    const double base = o.height * (1.0 - o.horizonShare);
    struct Wave {
        double amplitude, frequency, phase;
    };
    std::vector<Wave> waves;
    for (double share : {0.06, 0.035, 0.02, 0.009, 0.004})
        waves.push_back({share * o.height * random.uniform(0.6, 1.4), random.uniform(0.8, 1.6) / (share * 12.0),
                         random.uniform(0.0, 2.0 * kPi)});
    m_horizon.resize(o.width);
    double walk = 0.0;
    for (int x = 0; x < o.width; ++x) {
        double h = base;
        for (const auto& wave : waves)
            h += wave.amplitude * std::sin(2.0 * kPi * wave.frequency * x / o.width + wave.phase);
        walk = 0.9 * walk + random.uniform(-1.5, 1.5);
        m_horizon[x] = h + walk;
    }
    // A few trees: narrow spikes above the ridge.
    const int trees = 3 + static_cast<int>(random.uniform() * 5);
    for (int t = 0; t < trees; ++t) {
        const double centre = random.uniform() * o.width;
        const double halfWidth = random.uniform(0.004, 0.012) * o.width;
        const double rise = random.uniform(0.04, 0.09) * o.height;
        for (int x = std::max(0, int(centre - halfWidth)); x < std::min(o.width, int(centre + halfWidth) + 1); ++x)
            m_horizon[x] -= rise * (1.0 - std::fabs(x - centre) / halfWidth);
    }
    for (auto& h : m_horizon)
        h = std::clamp(h, 0.05 * o.height, 0.98 * o.height);
}

double SkyGenerator::frameRotationRad(int frame) const { return m_options.rotationPerFrameDeg * frame * kPi / 180.0; }

Affine SkyGenerator::skyToFrame(int frame) const
{
    const double angle = frameRotationRad(frame);
    const double c = std::cos(angle), s = std::sin(angle);
    const double px = m_options.poleX, py = m_options.poleY;
    Affine a;
    a.m = {c, -s, px - c * px + s * py + m_shifts[frame][0], s, c, py - s * px - c * py + m_shifts[frame][1]};
    return a;
}

Affine SkyGenerator::frameToBase(int frame) const
{
    return skyToFrame(m_options.baseFrame).after(skyToFrame(frame).inverse());
}

void SkyGenerator::distort(double x, double y, double& outX, double& outY) const
{
    const double cx = 0.5 * (m_options.width - 1), cy = 0.5 * (m_options.height - 1);
    const double dx = x - cx, dy = y - cy;
    const double factor = 1.0 + m_options.k1 * (dx * dx + dy * dy) / (m_halfDiagonal * m_halfDiagonal);
    outX = cx + dx * factor;
    outY = cy + dy * factor;
}

void SkyGenerator::skyToFramePixel(int frame, double x, double y, double& outX, double& outY) const
{
    double fx, fy;
    skyToFrame(frame).apply(x, y, fx, fy);
    distort(fx, fy, outX, outY);
}

bool SkyGenerator::isGround(int x, int y) const { return !m_horizon.empty() && y >= m_horizon[x]; }

double SkyGenerator::vignette(double x, double y) const
{
    const double dx = x - 0.5 * (m_options.width - 1), dy = y - 0.5 * (m_options.height - 1);
    const double r2 = (dx * dx + dy * dy) / (m_halfDiagonal * m_halfDiagonal);
    return 1.0 - m_options.vignetting * r2 * (0.6 + 0.4 * r2);
}

float SkyGenerator::groundLevel(int x, int y) const
{
    // Value noise on a coarse lattice: a dim landscape with some structure.
    constexpr int cell = 48;
    const int gx = x / cell, gy = y / cell;
    const double fx = double(x % cell) / cell, fy = double(y % cell) / cell;
    auto lattice = [&](int ix, int iy) {
        const uint64_t h = SkyRandom::mix(m_options.seed ^ (uint64_t(uint32_t(ix)) << 32) ^ uint32_t(iy) ^ 0x5EEDull);
        return double(h >> 11) * (1.0 / 9007199254740992.0);
    };
    const double top = lattice(gx, gy) * (1 - fx) + lattice(gx + 1, gy) * fx;
    const double bottom = lattice(gx, gy + 1) * (1 - fx) + lattice(gx + 1, gy + 1) * fx;
    return static_cast<float>(220.0 + 380.0 * (top * (1 - fy) + bottom * fy));
}

float SkyGenerator::cloudAt(int frame, int x, int y) const
{
    // Value noise on a coarse lattice, shifted by a twentieth of the width per frame (the wind),
    // turned into patches that dim the stars and glow with the town's light.
    const double cell = 0.2 * m_options.width;
    const double u = (x + 0.05 * m_options.width * frame) / cell, v = y / (0.6 * cell);
    const int gx = static_cast<int>(std::floor(u)), gy = static_cast<int>(std::floor(v));
    const double fx = u - gx, fy = v - gy;
    auto lattice = [&](int ix, int iy) {
        const uint64_t h = SkyRandom::mix(m_options.seed ^ (uint64_t(uint32_t(ix)) << 32) ^ uint32_t(iy) ^ 0xC10Dull);
        return double(h >> 11) * (1.0 / 9007199254740992.0);
    };
    const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    const double top = lattice(gx, gy) * (1 - sx) + lattice(gx + 1, gy) * sx;
    const double bottom = lattice(gx, gy + 1) * (1 - sx) + lattice(gx + 1, gy + 1) * sx;
    const double n = top * (1 - sy) + bottom * sy;
    const double cover = std::clamp((n - 0.5) / 0.25, 0.0, 1.0);
    return static_cast<float>(m_options.clouds * cover * cover * (3 - 2 * cover));
}

std::vector<SkyGenerator::Placed> SkyGenerator::placeStars(int frame) const
{
    const auto& o = m_options;
    const bool moffat = o.psf == PointSpread::Moffat;
    const double sigma = o.fwhmPx / 2.3548200450309493;
    const double alpha = o.fwhmPx / (2.0 * std::sqrt(std::pow(2.0, 1.0 / o.moffatBeta) - 1.0));
    const double peakPerFlux =
        moffat ? (o.moffatBeta - 1.0) / (kPi * alpha * alpha) : 1.0 / (2.0 * kPi * sigma * sigma);
    std::vector<Placed> placed;
    placed.reserve(m_stars.size());
    for (const auto& star : m_stars) {
        double x, y;
        skyToFramePixel(frame, star.x, star.y, x, y);
        const double peak = star.flux * peakPerFlux;
        // Stop where the profile falls below a quarter ADU.
        double radius = 1.5;
        if (peak > 0.25)
            radius = moffat ? alpha * std::sqrt(std::pow(peak / 0.25, 1.0 / o.moffatBeta) - 1.0)
                            : sigma * std::sqrt(2.0 * std::log(peak / 0.25));
        radius = std::clamp(radius, 1.5, moffat ? 60.0 : 40.0);
        if (x < -radius || y < -radius || x > o.width + radius || y > o.height + radius)
            continue;
        placed.push_back(
            {x, y, radius, {float(peak * star.colour[0]), float(peak * star.colour[1]), float(peak * star.colour[2])}});
    }
    std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) { return a.y < b.y; });
    return placed;
}

RgbImage16 SkyGenerator::renderFrame(int frame) const
{
    check(frame >= 0 && frame < m_options.frames, "frame index out of range");
    RgbImage16 image;
    render(image, Kind::Light, frame, 0, true);
    return image;
}

RgbImage16 SkyGenerator::renderBaseSky() const
{
    RgbImage16 image;
    render(image, Kind::Light, m_options.baseFrame, -1, false);
    return image;
}

RgbImage16 SkyGenerator::renderDark(int index) const
{
    RgbImage16 image;
    render(image, Kind::Dark, 0, index, true);
    return image;
}

RgbImage16 SkyGenerator::renderFlat(int index) const
{
    RgbImage16 image;
    render(image, Kind::Flat, 0, index, true);
    return image;
}

void SkyGenerator::render(RgbImage16& image, Kind kind, int frame, int index, bool noise) const
{
    const auto& o = m_options;
    const int width = o.width;
    image.width = width;
    image.height = o.height;
    image.samples.assign(size_t(width) * o.height * 3, 0);

    std::vector<Placed> placed;
    double maxRadius = 0.0;
    if (kind == Kind::Light) {
        placed = placeStars(frame);
        for (const auto& star : placed)
            maxRadius = std::max(maxRadius, star.radius);
    }
    const bool moffat = o.psf == PointSpread::Moffat;
    const double sigma = o.fwhmPx / 2.3548200450309493;
    const double alpha = o.fwhmPx / (2.0 * std::sqrt(std::pow(2.0, 1.0 / o.moffatBeta) - 1.0));
    const float inverseTwoSigma2 = float(1.0 / (2.0 * sigma * sigma));
    const float inverseAlpha2 = float(1.0 / (alpha * alpha));
    const float negativeBeta = float(-o.moffatBeta);
    const bool trail = kind == Kind::Light && noise && frame == o.satelliteFrame;
    const std::array<float, 3> naturalTint{0.8f, 1.0f, 1.15f}, pollutionTint{1.3f, 1.0f, 0.65f};
    const std::array<float, 3> groundTint{0.9f, 1.0f, 0.75f}, flatTint{0.95f, 1.0f, 0.9f};
    const std::array<float, 3> lightTint{1.2f, 1.0f, 0.6f};
    const uint64_t streamFrame = kind == Kind::Light ? uint64_t(frame) : (uint64_t(kind) << 32) + uint64_t(index);

    forRows(o.height, o.threads, [&](int y) {
        std::vector<float> row(size_t(width) * 3);
        const double vy = double(y) / o.height;
        for (int x = 0; x < width; ++x) {
            float* p = &row[size_t(x) * 3];
            if (kind == Kind::Dark) {
                p[0] = p[1] = p[2] = float(o.pedestal + 8.0);
            } else if (kind == Kind::Flat) {
                const float level = float(30000.0 * vignette(x, y));
                for (int c = 0; c < 3; ++c)
                    p[c] = level * flatTint[c];
            } else {
                // Light pollution brightens towards the lower left, where the town is.
                const double share = std::clamp(0.65 * vy + 0.35 * (1.0 - double(x) / width), 0.0, 1.0);
                const double glow = (o.pollutionPower == 2.0 ? share * share : std::pow(share, o.pollutionPower)) * o.pollution;
                for (int c = 0; c < 3; ++c)
                    p[c] = float(o.skyLevel * (naturalTint[c] + glow * pollutionTint[c]));
            }
        }
        if (kind == Kind::Light) {
            auto first = std::lower_bound(placed.begin(), placed.end(), y - maxRadius,
                                          [](const Placed& s, double value) { return s.y < value; });
            for (auto it = first; it != placed.end() && it->y <= y + maxRadius; ++it) {
                const double dy = y - it->y;
                if (std::fabs(dy) > it->radius)
                    continue;
                const double span = std::sqrt(it->radius * it->radius - dy * dy);
                const int x0 = std::max(0, int(std::ceil(it->x - span)));
                const int x1 = std::min(width - 1, int(std::floor(it->x + span)));
                for (int x = x0; x <= x1; ++x) {
                    const float dx = float(x - it->x);
                    const float r2 = dx * dx + float(dy * dy);
                    const float profile =
                        moffat ? std::pow(1.0f + r2 * inverseAlpha2, negativeBeta) : std::exp(-r2 * inverseTwoSigma2);
                    float* p = &row[size_t(x) * 3];
                    for (int c = 0; c < 3; ++c)
                        p[c] += profile * it->peak[c];
                }
            }
            if (trail) {
                const auto& s = m_satellite;
                const double slope = (s[3] - s[1]) / (s[2] - s[0]);
                const double norm = 1.0 / std::sqrt(1.0 + slope * slope);
                for (int x = 0; x < width; ++x) {
                    const double distance = std::fabs(y - (s[1] + slope * (x - s[0]))) * norm;
                    if (distance > 6.0)
                        continue;
                    const float light = float(20000.0 * std::exp(-distance * distance / (2.0 * 1.2 * 1.2)));
                    float* p = &row[size_t(x) * 3];
                    for (int c = 0; c < 3; ++c)
                        p[c] += light;
                }
            }
            if (o.clouds > 0.0)
                for (int x = 0; x < width; ++x) {
                    const float cloud = cloudAt(frame, x, y);
                    float* p = &row[size_t(x) * 3];
                    for (int c = 0; c < 3; ++c)
                        p[c] = p[c] * (1.0f - 0.8f * cloud) + cloud * 0.6f * float(o.skyLevel) * pollutionTint[c];
                }
            for (int x = 0; x < width; ++x) {
                float* p = &row[size_t(x) * 3];
                if (isGround(x, y)) {
                    const float level = groundLevel(x, y);
                    const float window = m_groundLights.empty() ? 0.0f : groundLightAt(x, y);
                    for (int c = 0; c < 3; ++c)  // lit faintly by the sky; windows glow warm
                        p[c] = level * groundTint[c] + 0.15f * float(o.skyLevel) + window * lightTint[c];
                }
                const float v = float(vignette(x, y));
                for (int c = 0; c < 3; ++c)
                    p[c] = p[c] * v + float(o.pedestal);
            }
        } else if (kind == Kind::Flat) {
            for (auto& value : row)
                value += float(o.pedestal);
        }

        uint16_t* out = &image.samples[size_t(y) * width * 3];
        if (noise) {
            SkyRandom random(o.seed, RowStream, streamFrame, uint64_t(y));
            const float read2 = float(o.readNoise * o.readNoise), pedestal = float(o.pedestal), gain = float(o.gain);
            for (size_t i = 0; i < row.size(); ++i) {
                const float signal = std::max(0.0f, row[i] - pedestal);
                out[i] = toSample(row[i] + random.normal() * std::sqrt(signal * gain + read2));
            }
        } else {
            for (size_t i = 0; i < row.size(); ++i)
                out[i] = toSample(row[i]);
        }
    });

    if (noise)
        for (const auto& hot : m_hotPixels) {
            uint16_t* p = &image.samples[(size_t(hot.y) * width + hot.x) * 3];
            for (int c = 0; c < 3; ++c)
                if (hot.channel < 0 || hot.channel == c)
                    p[c] = static_cast<uint16_t>(std::min(65535, int(p[c]) + hot.level));
        }
}

std::vector<uint8_t> SkyGenerator::maskRgb() const
{
    const auto& o = m_options;
    std::vector<uint8_t> rgb(size_t(o.width) * o.height * 3, 0);
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x)
            if (!isGround(x, y))
                rgb[(size_t(y) * o.width + x) * 3 + 1] = 255;
    return rgb;
}

}  // namespace velsky
