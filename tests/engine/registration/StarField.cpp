#include "StarField.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace regtest {

std::vector<TrueStar> randomStars(int32_t count, double x0, double y0, double x1, double y1, double spacing,
                                  uint32_t seed, double minAmplitude, double maxAmplitude)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> ux(x0, x1), uy(y0, y1), amp(0.0, 1.0);
    std::vector<TrueStar> stars;
    const double spacing2 = spacing * spacing;
    for (int32_t attempt = 0; attempt < count * 50 && static_cast<int32_t>(stars.size()) < count; ++attempt) {
        TrueStar star{ux(random), uy(random), minAmplitude + (maxAmplitude - minAmplitude) * std::pow(amp(random), 2.0)};
        const bool crowded = std::any_of(stars.begin(), stars.end(), [&](const TrueStar& other) {
            return (other.x - star.x) * (other.x - star.x) + (other.y - star.y) * (other.y - star.y) < spacing2;
        });
        if (!crowded)
            stars.push_back(star);
    }
    return stars;
}

void renderStars(velimage::Image16& frame, int32_t width, int32_t height, const std::vector<TrueStar>& stars,
                 double background, double sigma)
{
    frame.allocate(width, height, 3);
    std::vector<double> plane(static_cast<size_t>(width) * height, background);
    const int32_t reach = static_cast<int32_t>(std::ceil(sigma * 5));
    for (const TrueStar& star : stars) {
        const int32_t cx = static_cast<int32_t>(std::lround(star.x));
        const int32_t cy = static_cast<int32_t>(std::lround(star.y));
        for (int32_t y = std::max(cy - reach, 0); y <= std::min(cy + reach, height - 1); ++y)
            for (int32_t x = std::max(cx - reach, 0); x <= std::min(cx + reach, width - 1); ++x) {
                const double dx = x - star.x, dy = y - star.y;
                plane[static_cast<size_t>(y) * width + x] +=
                    star.amplitude * std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma));
            }
    }
    for (int32_t y = 0; y < height; ++y) {
        uint16_t* row = frame.row(y);
        for (int32_t x = 0; x < width; ++x) {
            const double value = std::min(plane[static_cast<size_t>(y) * width + x], 65535.0);
            const auto sample = static_cast<uint16_t>(value);
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = sample;
        }
    }
}

std::vector<TrueStar> mapStars(const std::vector<TrueStar>& stars, const PointMap& map)
{
    std::vector<TrueStar> mapped;
    mapped.reserve(stars.size());
    for (const TrueStar& star : stars) {
        const Point p = map({star.x, star.y});
        mapped.push_back({p.x, p.y, star.amplitude});
    }
    return mapped;
}

PointMap rotationAbout(Point pole, double degrees, Point shift)
{
    const double angle = degrees * M_PI / 180.0;
    const double c = std::cos(angle), s = std::sin(angle);
    return [=](Point p) {
        const double x = p.x - pole.x, y = p.y - pole.y;
        return Point{c * x - s * y + pole.x + shift.x, s * x + c * y + pole.y + shift.y};
    };
}

velreg::StarList starList(const std::vector<TrueStar>& stars, int32_t width, int32_t height)
{
    velreg::StarList list;
    for (const TrueStar& star : stars) {
        const long x = std::lround(star.x), y = std::lround(star.y);
        if (x < 0 || y < 0 || x >= width || y >= height)
            continue;
        list.push_back({static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<int32_t>(star.amplitude)});
    }
    return list;
}

}  // namespace regtest
