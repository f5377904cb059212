#include "registration/StarDetector.h"

#include <algorithm>
#include <bit>

#include "parallel/JobBatch.h"
#include "parallel/ProcessPool.h"
#include "registration/CalRatioImageJob.h"
#include "registration/RegionPredicate.h"

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

void markNotStar(StarDetector::Planes& planes, int32_t x, int32_t y)
{
    planes.notStar[static_cast<size_t>(y) * planes.wordsPerRow + (x >> 6)] |= uint64_t{1} << (x & 63);
}

// Calls visit(x) for every clear pixel of row y in [x0, x1], left to right, re-reading each word so
// that bits set during the walk are honoured.
template <typename Visit>
bool forEachClear(const StarDetector::Planes& planes, int32_t y, int32_t x0, int32_t x1, Visit visit)
{
    const uint64_t* row = planes.notStar.data() + static_cast<size_t>(y) * planes.wordsPerRow;
    for (int32_t word = x0 >> 6; word <= (x1 >> 6); ++word) {
        uint64_t clear = ~row[word];
        const int32_t base = word << 6;
        if (base < x0)
            clear &= ~uint64_t{0} << (x0 - base);
        if (x1 - base < 63)
            clear &= (uint64_t{1} << (x1 - base + 1)) - 1;
        while (clear) {
            const int32_t x = base + std::countr_zero(clear);
            clear &= clear - 1;
            if (!visit(x))
                return false;
        }
    }
    return true;
}

void makeLuminance(const Image16& frame, PlaneBuffer<uint8_t>& luminance, uint32_t gain16)
{
    const int32_t width = frame.width();
    const int32_t channels = frame.channels();
    luminance.resize(static_cast<size_t>(width) * frame.height());
    velthread::parallelRows(frame.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* source = frame.row(y);
            uint8_t* target = luminance.data() + static_cast<size_t>(y) * width;
            if (gain16 != kUnitGain16) {
                const uint32_t scale = channels >= 3 ? 1u : 4u;
                for (int32_t x = 0; x < width; ++x, source += channels) {
                    const uint32_t sum = channels >= 3 ? uint32_t{source[0]} + 2u * source[1] + source[2] : source[0];
                    target[x] = static_cast<uint8_t>(std::min<uint64_t>(255u, (uint64_t{sum} * scale * gain16) >> 14));
                }
            } else if (channels >= 3) {
                for (int32_t x = 0; x < width; ++x, source += channels)
                    target[x] = static_cast<uint8_t>((uint32_t{source[0]} + 2u * source[1] + source[2]) >> 10);
            } else {
                // A single plane counts as grey: R = G = B.
                for (int32_t x = 0; x < width; ++x, source += channels)
                    target[x] = static_cast<uint8_t>((4u * source[0]) >> 10);
            }
        }
    });
}

class Suppressor {
public:
    Suppressor(StarDetector::Planes& planes, int32_t radius) : m_planes(planes), m_radius(radius) {}

    // Every clear pixel of rows [begin, end) against its clear neighbours within the radius.
    void rows(int32_t begin, int32_t end)
    {
        for (int32_t y = begin; y < end; ++y)
            forEachClear(m_planes, y, 0, m_planes.width - 1, [&](int32_t x) {
                window(x, y);
                return true;
            });
    }

private:
    // The neighbour beats the pixel by luminance, then ratio, then by being strictly nearer the centre.
    bool beats(int32_t nx, int32_t ny, int32_t x, int32_t y) const
    {
        const size_t n = static_cast<size_t>(ny) * m_planes.width + nx;
        const size_t p = static_cast<size_t>(y) * m_planes.width + x;
        if (m_planes.luminance[n] != m_planes.luminance[p])
            return m_planes.luminance[n] > m_planes.luminance[p];
        if (m_planes.ratio[n] != m_planes.ratio[p])
            return m_planes.ratio[n] > m_planes.ratio[p];
        return centreDistance(nx, ny) < centreDistance(x, y);
    }

    int64_t centreDistance(int32_t x, int32_t y) const
    {
        const int64_t dx = x - m_planes.width / 2;
        const int64_t dy = y - m_planes.height / 2;
        return dx * dx + dy * dy;
    }

    void window(int32_t x, int32_t y)
    {
        const int32_t y0 = std::max(y - m_radius, 0);
        const int32_t y1 = std::min(y + m_radius, m_planes.height - 1);
        const int32_t x0 = std::max(x - m_radius, 0);
        const int32_t x1 = std::min(x + m_radius, m_planes.width - 1);
        for (int32_t ny = y0; ny <= y1; ++ny) {
            const bool survived = forEachClear(m_planes, ny, x0, x1, [&](int32_t nx) {
                if (nx == x && ny == y)
                    return true;
                if (beats(nx, ny, x, y)) {
                    markNotStar(m_planes, x, y);
                    return false;
                }
                markNotStar(m_planes, nx, ny);
                return true;
            });
            if (!survived)
                return;
        }
    }

    StarDetector::Planes& m_planes;
    int32_t m_radius;
};

// Bands in parallel without their first and last `radius` rows, so that no two workers touch the
// same pixels; then the left-out seam rows here, band by band from the top.
void suppress(StarDetector::Planes& planes, int32_t radius)
{
    const int32_t height = planes.height;
    const int32_t bands = velthread::partCount();
    const int32_t bandRows = (height + bands - 1) / bands;
    Suppressor suppressor(planes, radius);
    velthread::parallelRows(bands, [&](int32_t begin, int32_t end) {
        Suppressor local(planes, radius);
        for (int32_t band = begin; band < end; ++band) {
            const int32_t top = std::min(band * bandRows, height);
            const int32_t bottom = std::min(top + bandRows, height);
            if (top + radius < bottom - radius)
                local.rows(top + radius, bottom - radius);
        }
    });
    for (int32_t band = 0; band < bands; ++band) {
        const int32_t top = std::min(band * bandRows, height);
        const int32_t bottom = std::min(top + bandRows, height);
        if (top + radius < bottom - radius) {
            suppressor.rows(top, top + radius);
            suppressor.rows(bottom - radius, bottom);
        } else {
            suppressor.rows(top, bottom);
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

void extract(const StarDetector::Planes& planes, int32_t margin, const DetectionLevel& level, StarList& stars)
{
    const int32_t parts = velthread::partCount();
    std::vector<StarList> lists(static_cast<size_t>(parts));
    const size_t reserve = std::max<size_t>(100, stars.capacity() / 2);
    velthread::parallelRows(planes.height, [&](int32_t part, int32_t begin, int32_t end) {
        StarList& list = lists[static_cast<size_t>(part)];
        list.reserve(reserve);
        for (int32_t y = std::max(begin, margin); y < std::min(end, planes.height - margin); ++y)
            forEachClear(planes, y, margin, planes.width - margin - 1, [&](int32_t x) {
                const size_t p = static_cast<size_t>(y) * planes.width + x;
                const int64_t boxSum = static_cast<int64_t>(planes.integral.squareSum(x, y, level.boxRadius));
                if (planes.ratio[p] > thresholdFor(level, boxSum) || planes.contrast[p] > kStrongContrast)
                    list.push_back(Star{static_cast<int16_t>(x), static_cast<int16_t>(y),
                                        static_cast<int32_t>(planes.ratio[p])});
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
    const size_t pixels = static_cast<size_t>(width) * height;
    planes.ratio.resize(pixels);
    planes.contrast.resize(pixels);
    planes.wordsPerRow = (width + 63) / 64;
    planes.notStar.resize(static_cast<size_t>(planes.wordsPerRow) * height);
    planes.integral.build(planes.luminance.data(), width, height);

    const int32_t parts = velthread::partCount();
    std::vector<CalRatioImageJob<Predicate>> jobs;
    jobs.reserve(static_cast<size_t>(parts));
    for (int32_t part = 0; part < parts; ++part) {
        int32_t first, end;
        velthread::bandOf(part, parts, height, first, end);
        jobs.emplace_back(r0, r1, margin, first, end, planes, predicate);
    }
    velthread::runJobBatch(jobs);

    suppress(planes, std::min(r1 + 1, margin - 1));

    const size_t before = stars.size();
    extract(planes, margin, table, stars);
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
