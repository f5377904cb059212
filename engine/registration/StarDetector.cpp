#include "registration/StarDetector.h"

#include <algorithm>
#include <array>
#include <bit>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "parallel/JobBatch.h"
#include "parallel/ProcessPool.h"
#include "registration/CalRatioImageJob.h"
#include "registration/RegionPredicate.h"
#include "registration/StarExtractor.h"
#include "registration/StarSuppressor.h"
#include "parallel/VectorClones.h"

namespace velreg {
namespace {

using velimage::Image16;

// Star positions are 16-bit.
constexpr int32_t kMaxFrameSide = 32767;

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
        for (int32_t y = begin; y < end; ++y)
            detectionLuminanceRow(frame.row(y), frame.channels(), width, gain16,
                                  luminance.data() + static_cast<size_t>(y) * width);
    });
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

}  // namespace

#if defined(__x86_64__) && defined(__GNUC__)
// The luminance of three-channel rows, 32 pixels at a time for the pixels below width & ~31: the three
// channels are gathered out of the interleaved samples by two permutations each and the sums taken in
// 32-bit lanes, even and odd pixels apart. The unit gain is gain 16: (sum · 16) >> 14 = sum >> 10.
// Returns how many pixels it did.
// GCC 12 takes the "undefined" pass-through operands inside its own 512-bit shift and minimum
// intrinsics for uninitialised reads here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f,avx512bw"))) int32_t luminanceBlocksAvx512(const uint16_t* source, int32_t width,
                                                                         uint32_t gain16, uint8_t* target)
{
    alignas(64) static const auto indices = [] {
        // [channel][step][lane]: step 0 picks from the first two vectors, step 1 adds the third.
        std::array<std::array<std::array<uint16_t, 32>, 2>, 3> index{};
        for (int32_t c = 0; c < 3; ++c)
            for (int32_t j = 0; j < 32; ++j) {
                const int32_t at = 3 * j + c;
                index[c][0][j] = static_cast<uint16_t>(at < 64 ? at : 0);
                index[c][1][j] = static_cast<uint16_t>(at < 64 ? j : 32 + at - 64);
            }
        return index;
    }();
    __m512i first[3], second[3];
    for (int32_t c = 0; c < 3; ++c) {
        first[c] = _mm512_loadu_si512(indices[c][0].data());
        second[c] = _mm512_loadu_si512(indices[c][1].data());
    }
    const __m512i gain = _mm512_set1_epi32(static_cast<int32_t>(gain16));
    const __m512i lowHalves = _mm512_set1_epi32(0xFFFF), cut = _mm512_set1_epi32(255);
    int32_t x = 0;
    for (; x + 32 <= width; x += 32) {
        const uint16_t* p = source + 3 * static_cast<size_t>(x);
        const __m512i a = _mm512_loadu_si512(p), b = _mm512_loadu_si512(p + 32), c = _mm512_loadu_si512(p + 64);
        __m512i channel[3];
        for (int32_t k = 0; k < 3; ++k)
            channel[k] = _mm512_permutex2var_epi16(_mm512_permutex2var_epi16(a, first[k], b), second[k], c);
        // Even pixels in the low halves of the 32-bit lanes, odd ones in the high halves.
        __m512i sum[2];
        for (int32_t odd = 0; odd < 2; ++odd) {
            __m512i wide[3];
            for (int32_t k = 0; k < 3; ++k)
                wide[k] = odd ? _mm512_srli_epi32(channel[k], 16) : _mm512_and_si512(channel[k], lowHalves);
            const __m512i total = _mm512_add_epi32(_mm512_add_epi32(wide[0], wide[2]), _mm512_slli_epi32(wide[1], 1));
            sum[odd] = _mm512_min_epu32(_mm512_srli_epi32(_mm512_mullo_epi32(total, gain), 14), cut);
        }
        _mm512_mask_cvtepi16_storeu_epi8(target + x, static_cast<__mmask32>(~0u),
                                         _mm512_or_si512(sum[0], _mm512_slli_epi32(sum[1], 16)));
    }
    return x;
}
#pragma GCC diagnostic pop
#endif

void detectionLuminanceRow(const uint16_t* source, int32_t channels, int32_t width, uint32_t gain16, uint8_t* target)
{
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool wide = __builtin_cpu_supports("avx512bw");
    if (wide && channels == 3 && gain16 <= kMaxNarrowGain16) {
        const int32_t done = luminanceBlocksAvx512(source, width, gain16, target);
        source += 3 * static_cast<size_t>(done);
        target += done;
        width -= done;
    }
#endif
    if (gain16 == kUnitGain16)
        luminanceRow(source, channels, width, target);
    else if (gain16 <= kMaxNarrowGain16)
        gainedLuminanceRow(source, channels, width, gain16, target);
    else
        wideGainedLuminanceRow(source, channels, width, gain16, target);
}

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
    Planes& planes = m_planes;
    planes.width = width;
    planes.height = height;
    // A plane made beforehand (while the frame was decoded) is borrowed for this detection only.
    struct Borrowed {
        PlaneBuffer<uint8_t>* given;
        PlaneBuffer<uint8_t>& own;
        ~Borrowed()
        {
            if (given)
                std::swap(*given, own);
        }
    } borrowed{m_givenLuminance && m_givenLuminance->size() == static_cast<size_t>(width) * height ? m_givenLuminance
                                                                                                     : nullptr,
               planes.luminance};
    if (borrowed.given)
        std::swap(*borrowed.given, planes.luminance);
    else
        makeLuminance(frame, planes.luminance, m_gain16);
    planes.wordsPerRow = (width + 63) / 64;
    if (m_gain16 == kUnitGain16)
        fillAbsoluteFloors(width, height, planes.floors);
    else
        fillLocalSkyFloors(planes.luminance, width, height, planes.floors);
    planes.ratio.resize(static_cast<size_t>(width) * height);
    planes.notStar.resize(static_cast<size_t>(planes.wordsPerRow) * height);

    // One job per suppression band: each measures its rows, suppresses them as soon as their window
    // is measured and takes their stars, while the rows are still in the cache.
    const int32_t bands = velthread::partCount();
    const int32_t suppressionRadius = std::min(r1 + 1, margin - 1);
    const DetectionLevel& rules = detectionLevel(level);
    const size_t reserve = std::max<size_t>(100, stars.capacity() / 2);
    std::vector<CalRatioImageJob<Predicate>> jobs;
    jobs.reserve(static_cast<size_t>(bands));
    for (int32_t band = 0; band < bands; ++band) {
        const SuppressionBand rows = suppressionBand(band, bands, height);
        jobs.emplace_back(r0, r1, margin, suppressionRadius, rows.top, rows.bottom, planes, predicate, rules, reserve);
    }
    velthread::runJobBatch(jobs);
    suppressSeams(planes, suppressionRadius, bands);

    // The seam rows' stars, now settled, around each band's own, in row order.
    const size_t before = stars.size();
    StarExtractor extractor(planes, r0, r1, margin, rules);
    for (int32_t band = 0; band < bands; ++band) {
        const SuppressionBand rows = suppressionBand(band, bands, height);
        if (rows.top + suppressionRadius < rows.bottom - suppressionRadius) {
            extractor.rows(rows.top, rows.top + suppressionRadius, stars);
            const StarList& own = jobs[static_cast<size_t>(band)].stars();
            stars.insert(stars.end(), own.begin(), own.end());
            extractor.rows(rows.bottom - suppressionRadius, rows.bottom, stars);
        } else {
            extractor.rows(rows.top, rows.bottom, stars);
        }
    }
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
                    int32_t attempt, uint32_t luminanceGain16, PlaneBuffer<uint8_t>* luminance)
{
    // Reused by every detection on this thread: the planes are frame-sized, and fresh ones cost
    // hundreds of thousands of page faults per frame.
    thread_local StarDetector detector;
    detector.setLuminanceGain(luminanceGain16);
    detector.setLuminancePlane(luminance);
    if (skyMask && !skyMask->empty() && skyMask->width() == frame.width() && skyMask->height() == frame.height())
        return detector.detect(frame, stars, *skyMask, attempt);
    if (line && line->isSet())
        return detector.detect(frame, stars, *line, attempt);
    return detector.detect(frame, stars, attempt);
}

}  // namespace velreg
