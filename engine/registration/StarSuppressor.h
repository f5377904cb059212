#pragma once

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>

#include "registration/StarDetector.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velreg {

inline void markNotStar(StarDetector::Planes& planes, int32_t x, int32_t y)
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

// Rows of the suppression bands: the frame's rows split into `bands` runs of ⌈height / bands⌉.
// A band's rows but its first and last `radius` can be suppressed without touching another band.
struct SuppressionBand {
    int32_t top;
    int32_t bottom;
};

inline SuppressionBand suppressionBand(int32_t band, int32_t bands, int32_t height)
{
    const int32_t rows = (height + bands - 1) / bands;
    const int32_t top = std::min(band * rows, height);
    return {top, std::min(top + rows, height)};
}

// Keeps, among the candidate pixels (clear bits), only those that no clear neighbour within the
// radius beats: a pixel is compared with its clear neighbours row by row from the top, left to
// right; the first neighbour that beats it clears it, and every neighbour it beats is cleared.
class StarSuppressor {
public:
    StarSuppressor(StarDetector::Planes& planes, int32_t radius) : m_planes(planes), m_radius(radius) {}

    // Every clear pixel of rows [begin, end) against its clear neighbours within the radius.
    void rows(int32_t begin, int32_t end)
    {
        for (int32_t y = begin; y < end; ++y)
            forEachClear(m_planes, y, 0, m_planes.width - 1, [&](int32_t x) {
                window(x, y);
                return true;
            });
    }

    // Declares that this suppressor goes through the rows from `row` on in order, with nothing
    // else suppressing them meanwhile. A pixel that survived its window has cleared every pixel
    // in it, and one that lost is cleared itself, so the rows it has already been through hold no
    // clear pixel in the window of a later one that is still clear: their words need no reading.
    void settleFrom(int32_t row) { m_settledTop = row; }

private:
    // What the neighbour must beat: the pixel's luminance, then its ratio, then its distance from the
    // frame centre (a neighbour strictly nearer wins).
    struct Contender {
        uint8_t luminance;
        uint32_t ratio;
        int64_t centreDistance;
    };

    int64_t centreDistance(int32_t x, int32_t y) const
    {
        const int64_t dx = x - m_planes.width / 2;
        const int64_t dy = y - m_planes.height / 2;
        return dx * dx + dy * dy;
    }

    // Written without branches: which way a comparison goes is as good as random in sky noise.
    bool beats(int32_t nx, int32_t ny, const Contender& pixel) const
    {
        const size_t n = static_cast<size_t>(ny) * m_planes.width + nx;
        const uint8_t luminance = m_planes.luminance[n];
        const uint32_t ratio = m_planes.ratio[n];
        const bool nearer = centreDistance(nx, ny) < pixel.centreDistance;
        return (luminance > pixel.luminance) |
               ((luminance == pixel.luminance) & ((ratio > pixel.ratio) | ((ratio == pixel.ratio) & nearer)));
    }

    void window(int32_t x, int32_t y)
    {
#if defined(__SSE2__)
        if (2 * m_radius + 1 <= 64 && m_planes.width >= 64) {
            narrowWindow(x, y);
            return;
        }
#endif
        wideWindow(x, y);
    }

#if defined(__SSE2__)
    // Bits of the `span` ≤ 64 luminances from `luminance` that are above (`brighter`) or equal to
    // (`equal`) the pixel's, sixteen at a time. Reads up to 64 bytes, which the caller keeps inside
    // the plane.
    static void compareLuminance(const uint8_t* luminance, int32_t span, uint8_t pixel, uint64_t& brighter,
                                 uint64_t& equal)
    {
        const __m128i level = _mm_set1_epi8(static_cast<char>(pixel));
        const __m128i zero = _mm_setzero_si128();
        brighter = 0;
        equal = 0;
        for (int32_t c = 0; c < span; c += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luminance + c));
            const uint32_t notAbove = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(v, level), zero)));
            const uint32_t same = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, level)));
            brighter |= uint64_t{~notAbove & 0xffffu} << c;
            equal |= uint64_t{same} << c;
        }
    }

    // The window as one bit span per row (it is at most 64 pixels wide): the clear pixels that beat
    // the pixel are those brighter, and among the equally bright those the tie rules favour; the
    // first of them in the scan ends it, and every clear pixel before it loses. Every window row lies
    // above the frame's last row (clear pixels keep the margin), so the 64-byte reads stay inside it.
    void narrowWindow(int32_t x, int32_t y)
    {
        const int32_t y0 = std::max(y - m_radius, 0);
        const int32_t y1 = std::min(y + m_radius, m_planes.height - 1);
        const int32_t x0 = std::max(x - m_radius, 0);
        const int32_t x1 = std::min(x + m_radius, m_planes.width - 1);
        const int32_t span = x1 - x0 + 1;
        const uint64_t spanMask = span == 64 ? ~uint64_t{0} : (uint64_t{1} << span) - 1;
        const int32_t word = x0 >> 6;
        const int32_t shift = x0 & 63;
        const bool twoWords = shift != 0 && word + 1 < m_planes.wordsPerRow;
        const size_t p = static_cast<size_t>(y) * m_planes.width + x;
        const Contender pixel{m_planes.luminance[p], m_planes.ratio[p], centreDistance(x, y)};
        uint64_t* const bits = m_planes.notStar.data();
        const int32_t settledBegin = std::max(y0, m_settledTop);
        for (int32_t ny = y0; ny <= y1; ++ny) {
            if (ny == settledBegin && ny < y)
                ny = y;
            uint64_t* row = bits + static_cast<size_t>(ny) * m_planes.wordsPerRow + word;
            uint64_t clear = ~row[0] >> shift;
            if (twoWords)
                clear |= ~row[1] << (64 - shift);
            clear &= spanMask;
            if (ny == y)
                clear &= ~(uint64_t{1} << (x - x0));
            if (!clear)
                continue;
            const size_t rowStart = static_cast<size_t>(ny) * m_planes.width;
            uint64_t brighter, equal;
            compareLuminance(m_planes.luminance.data() + rowStart + x0, span, pixel.luminance, brighter, equal);
            // Only the first winner counts, so the equally bright pixels after the first brighter
            // one need no look, and the look stops at the first of them that wins.
            uint64_t winners = brighter & clear;
            uint64_t ties = equal & clear;
            if (winners)
                ties &= (winners & (~winners + 1)) - 1;
            for (; ties; ties &= ties - 1) {
                const int32_t bit = std::countr_zero(ties);
                const uint32_t ratio = m_planes.ratio[rowStart + x0 + bit];
                const bool nearer = centreDistance(x0 + bit, ny) < pixel.centreDistance;
                if ((ratio > pixel.ratio) | ((ratio == pixel.ratio) & nearer)) {
                    winners |= uint64_t{1} << bit;
                    break;
                }
            }
            const uint64_t losers = winners ? clear & ((winners & (~winners + 1)) - 1) : clear;
            row[0] |= losers << shift;
            if (twoWords)
                row[1] |= losers >> (64 - shift);
            if (winners) {
                markNotStar(m_planes, x, y);
                return;
            }
        }
    }
#endif

    // The window's clear pixels, row by row from the top, each row's words read once: the only bits
    // set during a word's walk are those of pixels already visited.
    void wideWindow(int32_t x, int32_t y)
    {
        const int32_t y0 = std::max(y - m_radius, 0);
        const int32_t y1 = std::min(y + m_radius, m_planes.height - 1);
        const int32_t x0 = std::max(x - m_radius, 0);
        const int32_t x1 = std::min(x + m_radius, m_planes.width - 1);
        const int32_t firstWord = x0 >> 6;
        const int32_t lastWord = x1 >> 6;
        const uint64_t firstMask = ~uint64_t{0} << (x0 & 63);
        const uint64_t lastMask = (x1 & 63) == 63 ? ~uint64_t{0} : (uint64_t{1} << ((x1 & 63) + 1)) - 1;
        const size_t p = static_cast<size_t>(y) * m_planes.width + x;
        const Contender pixel{m_planes.luminance[p], m_planes.ratio[p], centreDistance(x, y)};
        uint64_t* const bits = m_planes.notStar.data();
        const int32_t settledBegin = std::max(y0, m_settledTop);
        for (int32_t ny = y0; ny <= y1; ++ny) {
            if (ny == settledBegin && ny < y)
                ny = y;
            uint64_t* row = bits + static_cast<size_t>(ny) * m_planes.wordsPerRow;
            for (int32_t word = firstWord; word <= lastWord; ++word) {
                uint64_t clear = ~row[word];
                if (word == firstWord)
                    clear &= firstMask;
                if (word == lastWord)
                    clear &= lastMask;
                if (ny == y && word == (x >> 6))
                    clear &= ~(uint64_t{1} << (x & 63));
                // All of the word's clear pixels at once; those before the first that beats the
                // pixel lose to it.
                uint64_t winners = 0;
                for (uint64_t rest = clear; rest; rest &= rest - 1) {
                    const int32_t bit = std::countr_zero(rest);
                    winners |= uint64_t{beats((word << 6) + bit, ny, pixel)} << bit;
                }
                if (winners) {
                    row[word] |= clear & ((winners & (~winners + 1)) - 1);
                    markNotStar(m_planes, x, y);
                    return;
                }
                row[word] |= clear;
            }
        }
    }

    StarDetector::Planes& m_planes;
    int32_t m_radius;
    int32_t m_settledTop = INT32_MAX;  // rows from here up to the current one are settled
};

}  // namespace velreg
