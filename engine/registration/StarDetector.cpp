#include "registration/StarDetector.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <bit>

#include "parallel/JobBatch.h"
#include "parallel/ProcessPool.h"
#include "registration/CalRatioImageJob.h"
#include "registration/RegionPredicate.h"
#include "registration/StarSuppressor.h"
#include "parallel/VectorClones.h"

namespace velreg {
namespace {

using velimage::Image16;

// Star positions are 16-bit.
constexpr int32_t kMaxFrameSide = 32767;

// One row of the detection table: box radius for the background mean, the two means and the ratio
// thresholds there (1024 = ratio 1).
struct DetectionLevel {
    int32_t boxRadius;
    int64_t lowMean;
    int64_t highMean;
    int64_t lowThreshold;
    int64_t highThreshold;
};

constexpr DetectionLevel kLevels[2] = {
    {3, 8, 32, 4096, 1741},  // 4.0 and 1.7
    {1, 8, 24, 2662, 1741},  // 2.6 and 1.7
};

// A contrast above this means the inner mean lies at least 32 levels above the ring mean.
constexpr int64_t kStrongContrast = 32767;

// (R + 2G + B) >> 10 per pixel; a single plane counts as grey (R = G = B).
VELOSTAR_VECTOR_CLONES
void luminanceRow(const uint16_t* source, int32_t channels, int32_t width, uint8_t* target)
{
    if (channels == 3) {
        for (int32_t x = 0; x < width; ++x)
            target[x] = static_cast<uint8_t>((uint32_t{source[3 * x]} + 2u * source[3 * x + 1] + source[3 * x + 2]) >> 10);
    } else if (channels >= 3) {
        for (int32_t x = 0; x < width; ++x, source += channels)
            target[x] = static_cast<uint8_t>((uint32_t{source[0]} + 2u * source[1] + source[2]) >> 10);
    } else {
        for (int32_t x = 0; x < width; ++x, source += channels)
            target[x] = static_cast<uint8_t>((4u * source[0]) >> 10);
    }
}

// The same luminance scaled by gain16 / 16 before it is cut to 8 bits (dark linear frames). A sum
// is at most 4 · 65535, so its product with a gain up to 2^14 sixteenths fits 32 bits and the loop
// runs in 32-bit lanes; larger gains take the 64-bit path.
constexpr uint32_t kMaxNarrowGain16 = 1u << 14;

VELOSTAR_VECTOR_CLONES
void gainedLuminanceRow(const uint16_t* source, int32_t channels, int32_t width, uint32_t gain16, uint8_t* target)
{
    if (channels == 3) {
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t sum = uint32_t{source[3 * x]} + 2u * source[3 * x + 1] + source[3 * x + 2];
            target[x] = static_cast<uint8_t>(std::min<uint32_t>(255u, (sum * gain16) >> 14));
        }
    } else if (channels >= 3) {
        for (int32_t x = 0; x < width; ++x, source += channels) {
            const uint32_t sum = uint32_t{source[0]} + 2u * source[1] + source[2];
            target[x] = static_cast<uint8_t>(std::min<uint32_t>(255u, (sum * gain16) >> 14));
        }
    } else {
        for (int32_t x = 0; x < width; ++x, source += channels)
            target[x] = static_cast<uint8_t>(std::min<uint32_t>(255u, (4u * source[0] * gain16) >> 14));
    }
}

void wideGainedLuminanceRow(const uint16_t* source, int32_t channels, int32_t width, uint32_t gain16, uint8_t* target)
{
    const uint32_t scale = channels >= 3 ? 1u : 4u;
    for (int32_t x = 0; x < width; ++x, source += channels) {
        const uint32_t sum = channels >= 3 ? uint32_t{source[0]} + 2u * source[1] + source[2] : source[0];
        target[x] = static_cast<uint8_t>(std::min<uint64_t>(255u, (uint64_t{sum} * scale * gain16) >> 14));
    }
}

void makeLuminance(const Image16& frame, PlaneBuffer<uint8_t>& luminance, uint32_t gain16)
{
    const int32_t width = frame.width();
    luminance.resize(static_cast<size_t>(width) * frame.height());
    velthread::parallelRows(frame.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint8_t* target = luminance.data() + static_cast<size_t>(y) * width;
            if (gain16 == kUnitGain16)
                luminanceRow(frame.row(y), frame.channels(), width, target);
            else if (gain16 <= kMaxNarrowGain16)
                gainedLuminanceRow(frame.row(y), frame.channels(), width, gain16, target);
            else
                wideGainedLuminanceRow(frame.row(y), frame.channels(), width, gain16, target);
        }
    });
}

// A gained frame's sky sits well above kMinStarLuminance, so the absolute floor would let every sky
// pixel brighter than its ring be a candidate (half the sky, and its noise found as stars). The floor
// there is the sky (median of a sparse sample) plus its noise (from the median absolute deviation).
// Dropping the dimmer candidates changes no brighter one's fate: the suppression lets a pixel lose
// only to a brighter or equally bright neighbour. Two noise levels would cost real faint stars.
uint8_t candidateFloor(const PlaneBuffer<uint8_t>& luminance, int32_t width, int32_t height)
{
    constexpr int32_t kStep = 32;
    std::array<uint32_t, 256> levels{};
    uint32_t count = 0;
    for (int32_t y = kStep / 2; y < height; y += kStep)
        for (int32_t x = kStep / 2; x < width; x += kStep, ++count)
            ++levels[luminance[static_cast<size_t>(y) * width + x]];
    if (count == 0)
        return kMinStarLuminance;
    const auto medianOf = [count](const std::array<uint32_t, 256>& histogram) {
        uint32_t seen = 0;
        for (int32_t v = 0; v < 256; ++v)
            if ((seen += histogram[static_cast<size_t>(v)]) > count / 2)
                return v;
        return 255;
    };
    const int32_t median = medianOf(levels);
    std::array<uint32_t, 256> deviations{};
    for (int32_t v = 0; v < 256; ++v)
        deviations[static_cast<size_t>(std::abs(v - median))] += levels[static_cast<size_t>(v)];
    // The noise of a normal sky is 1.4826 times the deviations' median; at least one level.
    const int32_t noise = std::max<int32_t>(1, (1483 * medianOf(deviations) + 999) / 1000);
    return static_cast<uint8_t>(std::clamp<int32_t>(median + noise, kMinStarLuminance, 255));
}

// The band-parallel part of the suppression runs inside the ratio jobs; here the left-out seam rows
// of every band, band by band from the top.
void suppressSeams(StarDetector::Planes& planes, int32_t radius, int32_t bands)
{
    StarSuppressor suppressor(planes, radius);
    for (int32_t band = 0; band < bands; ++band) {
        const SuppressionBand rows = suppressionBand(band, bands, planes.height);
        if (rows.top + radius < rows.bottom - radius) {
            suppressor.rows(rows.top, rows.top + radius);
            suppressor.rows(rows.bottom - radius, rows.bottom);
        } else {
            suppressor.rows(rows.top, rows.bottom);
        }
    }
}

int64_t thresholdFor(const DetectionLevel& level, int64_t boxSum)
{
    const int64_t area = int64_t{2 * level.boxRadius + 1} * (2 * level.boxRadius + 1);
    const int64_t low = area * level.lowMean;
    const int64_t high = area * level.highMean;
    if (boxSum < low)
        return level.lowThreshold;
    if (boxSum > high)
        return level.highThreshold;
    return level.lowThreshold + (boxSum - low) * (level.highThreshold - level.lowThreshold) / (high - low);
}

// Sums over the squares of radius 0 … reach centred on (x, y), each from the one inside it plus its
// border. Only the few pixels left after suppression need them, so no table is kept for the frame.
void squareSumsAround(const StarDetector::Planes& planes, int32_t x, int32_t y, int32_t reach, int64_t* sums)
{
    const uint8_t* centre = planes.luminance.data() + static_cast<size_t>(y) * planes.width + x;
    const ptrdiff_t stride = planes.width;
    int64_t sum = centre[0];
    sums[0] = sum;
    for (int32_t r = 1; r <= reach; ++r) {
        const uint8_t* top = centre - r * stride;
        const uint8_t* bottom = centre + r * stride;
        for (int32_t d = -r; d <= r; ++d)
            sum += top[d] + bottom[d];
        for (int32_t d = -r + 1; d <= r - 1; ++d)
            sum += centre[d * stride - r] + centre[d * stride + r];
        sums[r] = sum;
    }
}

// Largest inner mean minus ring mean (both in 1024ths) over the square radii r0 … r1.
int64_t contrastOf(const int64_t* sums, int32_t r0, int32_t r1)
{
    int64_t best = 0;
    for (int32_t k = r0; k <= r1; ++k) {
        const int64_t innerArea = int64_t{2 * k + 1} * (2 * k + 1);
        const int64_t ringArea = int64_t{2 * k + 7} * (2 * k + 7) - innerArea;
        const int64_t inner = sums[k];
        const int64_t ring = std::max<int64_t>(sums[k + 3] - inner, 1);
        best = std::max(best, 1024 * inner / innerArea - 1024 * ring / ringArea);
    }
    return best;
}

void extract(const StarDetector::Planes& planes, int32_t r0, int32_t r1, int32_t margin, const DetectionLevel& level,
             StarList& stars)
{
    const int32_t parts = velthread::partCount();
    std::vector<StarList> lists(static_cast<size_t>(parts));
    const size_t reserve = std::max<size_t>(100, stars.capacity() / 2);
    const int32_t reach = std::max(r1 + 3, level.boxRadius);
    velthread::parallelRows(planes.height, [&](int32_t part, int32_t begin, int32_t end) {
        StarList& list = lists[static_cast<size_t>(part)];
        list.reserve(reserve);
        std::vector<int64_t> sums(static_cast<size_t>(reach) + 1);
        for (int32_t y = std::max(begin, margin); y < std::min(end, planes.height - margin); ++y)
            forEachClear(planes, y, margin, planes.width - margin - 1, [&](int32_t x) {
                const uint32_t ratio = planes.ratio[static_cast<size_t>(y) * planes.width + x];
                squareSumsAround(planes, x, y, reach, sums.data());
                if (ratio > thresholdFor(level, sums[level.boxRadius]) || contrastOf(sums.data(), r0, r1) > kStrongContrast)
                    list.push_back(Star{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<int32_t>(ratio)});
                return true;
            });
    });
    for (const StarList& list : lists)
        stars.insert(stars.end(), list.begin(), list.end());
}

}  // namespace

void StarDetector::radiiFor(int32_t width, int32_t height, int32_t& r0, int32_t& r1, int32_t& margin)
{
    const int64_t w = std::max(width, 0);
    const int64_t h = std::max(height, 0);
    r0 = static_cast<int32_t>(std::max<int64_t>(1, 2 * w / 4900));
    r1 = static_cast<int32_t>(std::max<int64_t>(r0, 8 * w / 4900));
    margin = static_cast<int32_t>(std::max<int64_t>(std::min<int64_t>((w + h) / 400, 20), r1 + 4));
}

template <typename Predicate>
int32_t StarDetector::detectWith(const Image16& frame, StarList& stars, const Predicate& predicate, int32_t level)
{
    const int32_t width = frame.width();
    const int32_t height = frame.height();
    if (frame.empty() || frame.channels() < 1 || width > kMaxFrameSide || height > kMaxFrameSide)
        return 0;
    int32_t r0, r1, margin;
    radiiFor(width, height, r0, r1, margin);
    if (width <= 2 * margin || height <= 2 * margin)
        return 0;
    const DetectionLevel& table = kLevels[level <= 0 ? 0 : 1];

    Planes& planes = m_planes;
    planes.width = width;
    planes.height = height;
    makeLuminance(frame, planes.luminance, m_gain16);
    planes.minLuminance =
        m_gain16 == kUnitGain16 ? kMinStarLuminance : candidateFloor(planes.luminance, width, height);
    planes.ratio.resize(static_cast<size_t>(width) * height);
    planes.wordsPerRow = (width + 63) / 64;
    planes.notStar.resize(static_cast<size_t>(planes.wordsPerRow) * height);

    // One job per suppression band: each measures its rows and suppresses them as soon as their
    // window is measured, while the rows are still in the cache.
    const int32_t bands = velthread::partCount();
    const int32_t suppressionRadius = std::min(r1 + 1, margin - 1);
    std::vector<CalRatioImageJob<Predicate>> jobs;
    jobs.reserve(static_cast<size_t>(bands));
    for (int32_t band = 0; band < bands; ++band) {
        const SuppressionBand rows = suppressionBand(band, bands, height);
        jobs.emplace_back(r0, r1, margin, suppressionRadius, rows.top, rows.bottom, planes, predicate);
    }
    velthread::runJobBatch(jobs);
    suppressSeams(planes, suppressionRadius, bands);

    const size_t before = stars.size();
    extract(planes, r0, r1, margin, table, stars);
    return static_cast<int32_t>(stars.size() - before);
}

int32_t StarDetector::detect(const Image16& frame, StarList& stars, int32_t level)
{
    return detectWith(frame, stars, AlwaysPass<int>{}, level);
}

int32_t StarDetector::detect(const Image16& frame, StarList& stars, const Image16& skyMask, int32_t level)
{
    if (skyMask.empty() || skyMask.width() != frame.width() || skyMask.height() != frame.height() ||
        skyMask.channels() < 1)
        return detect(frame, stars, level);
    PassIfLargerThan<int, unsigned short> predicate{skyMask.data(), skyMask.width(), skyMask.channels()};
    return detectWith(frame, stars, predicate, level);
}

int32_t StarDetector::detect(const Image16& frame, StarList& stars, const StarBoundLine& line, int32_t level)
{
    if (!line.isSet())
        return detect(frame, stars, level);
    LeftOfArrow<int> predicate{line.x0, line.y0, line.dx, line.dy};
    return detectWith(frame, stars, predicate, level);
}

int32_t detectStars(const Image16& frame, StarList& stars, const Image16* skyMask, const StarBoundLine* line,
                    int32_t attempt, uint32_t luminanceGain16)
{
    // Reused by every detection on this thread: the planes are frame-sized, and fresh ones cost
    // hundreds of thousands of page faults per frame.
    thread_local StarDetector detector;
    detector.setLuminanceGain(luminanceGain16);
    if (skyMask && !skyMask->empty() && skyMask->width() == frame.width() && skyMask->height() == frame.height())
        return detector.detect(frame, stars, *skyMask, attempt);
    if (line && line->isSet())
        return detector.detect(frame, stars, *line, attempt);
    return detector.detect(frame, stars, attempt);
}

}  // namespace velreg
