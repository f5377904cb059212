#include "integration/PerPixelIntegration.h"

#include <algorithm>

#include "integration/FrameWarper.h"
#include "integration/SigmaClipping.h"

namespace velstack {

RowScratch::RowScratch(size_t entries)
    : m_rows(entries, nullptr), m_values(entries * 3), m_samples(entries), m_gaps(entries + 1)
{
}

namespace {

uint32_t meanOf(uint16_t* values, int32_t count, const MeanRule& rule)
{
    return rule.clipped ? sigmaClippedMean(values, count, rule.factor, rule.iterations) : plainMean(values, count);
}

// trunc(a·(1 − c) + b·c) in double precision.
uint32_t blend(uint32_t a, uint32_t b, double c)
{
    return static_cast<uint32_t>(static_cast<double>(a) * (1.0 - c) + static_cast<double>(b) * c);
}

}  // namespace

// Gives the row functions access to the scratch arrays without exposing them.
struct RowWork {
    static uint16_t* values(RowScratch& s) { return s.m_values.data(); }
    static GroundSample* samples(RowScratch& s) { return s.m_samples.data(); }
    static int32_t* gaps(RowScratch& s) { return s.m_gaps.data(); }
};

void bestPixelsRow(RowScratch& scratch, int32_t entries, int32_t width, int32_t y, const SkyWeight& sky,
                   int64_t factor, uint32_t* out)
{
    const uint16_t** rows = scratch.rows();
    const size_t stride = scratch.entries();
    uint16_t* values = RowWork::values(scratch);
    uint16_t* channel[3] = {values, values + stride, values + 2 * stride};
    const MeanRule rule{true, factor, MaxClippingIterations};
    for (int32_t x = 0; x < width; ++x) {
        int32_t count = 0;
        const size_t at = static_cast<size_t>(x) * 4;
        for (int32_t e = 0; e < entries; ++e) {
            const uint16_t* p = rows[e] + at;
            if (p[3] & CoveredFlag) {
                channel[0][count] = p[0];
                channel[1][count] = p[1];
                channel[2][count] = p[2];
                ++count;
            }
        }
        const double c = sky.at(x, y);
        uint32_t* pixel = out + static_cast<size_t>(x) * 3;
        for (int k = 0; k < 3; ++k) {
            if (c <= 0.0) {
                pixel[k] = plainMean(channel[k], count);
                continue;
            }
            // The plain mean first: clipping reorders the values, but their sum stays.
            const uint32_t plain = c < 1.0 ? plainMean(channel[k], count) : 0;
            const uint32_t clipped = meanOf(channel[k], count, rule);
            pixel[k] = c < 1.0 ? blend(plain, clipped, c) : clipped;
        }
    }
}

namespace {

// Per channel mean of the first `count` samples.
void sampleMeans(const GroundSample* samples, int32_t count, uint16_t* values, const MeanRule& rule, uint32_t mean[3])
{
    for (int k = 0; k < 3; ++k) {
        for (int32_t i = 0; i < count; ++i)
            values[i] = samples[i].rgb[k];
        mean[k] = meanOf(values, count, rule);
    }
}

}  // namespace

float freezeGroundRow(RowScratch& scratch, const int32_t* markers, int32_t entries, int32_t width, int32_t y,
                      const uint16_t* baseRow, const SkyWeight& sky, const MeanRule& rule, uint32_t* out,
                      float* weights)
{
    const uint16_t** rows = scratch.rows();
    uint16_t* values = RowWork::values(scratch);
    GroundSample* samples = RowWork::samples(scratch);
    int32_t* gaps = RowWork::gaps(scratch);
    const int32_t alignedShare = entries / 2 + 1;  // base and aligned entries when every frame was stored
    float maximum = 0.0f;
    for (int32_t x = 0; x < width; ++x) {
        int32_t count = 0;
        const size_t at = static_cast<size_t>(x) * 4;
        for (int32_t e = 0; e < entries; ++e) {
            const uint16_t* p = rows[e] + at;
            if (!(p[3] & CoveredFlag))
                continue;
            GroundSample& s = samples[count++];
            s.rgb[0] = p[0];
            s.rgb[1] = p[1];
            s.rgb[2] = p[2];
            s.marker = static_cast<uint16_t>(((p[3] & SkyFlag) ? SkyBit : 0) | markers[e]);
            s.key = brightnessKey(p[0], p[1], p[2]);
        }

        const double c = sky.at(x, y);
        uint32_t skyValue[3] = {0, 0, 0}, groundValue[3] = {0, 0, 0};
        double weight = 0.0;
        if (c > 0.0) {
            GroundSample* end = std::partition(samples, samples + count, [](const GroundSample& s) {
                return (s.marker & (AlignedBit | SkyBit)) == (AlignedBit | SkyBit);
            });
            const int32_t seen = static_cast<int32_t>(end - samples);
            sampleMeans(samples, seen, values, rule, skyValue);
            // A sky pixel that fewer aligned frames saw counts for less (the finishing pass fills it in).
            weight = seen == alignedShare ? c : c * seen / alignedShare;
        }
        if (c < 1.0) {
            const uint16_t* base = baseRow + static_cast<size_t>(x) * 3;
            const int32_t chosen = selectGround(samples, count, entries, brightnessKey(base[0], base[1], base[2]), gaps);
            sampleMeans(samples, chosen, values, rule, groundValue);
        }

        uint32_t* pixel = out + static_cast<size_t>(x) * 3;
        for (int k = 0; k < 3; ++k)
            pixel[k] = c >= 1.0 ? skyValue[k] : c <= 0.0 ? groundValue[k] : blend(groundValue[k], skyValue[k], c);
        const float w = static_cast<float>(weight);
        weights[x] = w;
        maximum = std::max(maximum, w);
    }
    return maximum;
}

}  // namespace velstack
