#include "integration/FrameWarper.h"

#include <algorithm>
#include <vector>

#include "integration/AccumulationArithmetic.h"
#include "integration/BilinearSampler.h"
#include "parallel/ProcessPool.h"

namespace velstack {

namespace {

// Calls visit(x, sourceX, sourceY) for every pixel of target row y. The affine terms of y are
// hoisted out of the loop; a·x + b·y + c keeps its evaluation order, so results match mapToSource.
template <int Mode, typename Visit>
inline void mapRowAs(const WarpModel& w, int32_t y, int32_t width, Visit& visit)
{
    const float fy = static_cast<float>(y);
    if constexpr (Mode == 1) {
        for (int32_t x = 0; x < width; ++x) {
            float sx, sy;
            mapRadial(w, static_cast<float>(x), fy, sx, sy);
            visit(x, sx, sy);
        }
    } else {
        // Locals, so that the compiler need not reload them after every store of the visitor.
        const float a = w.a, c = w.c, d = w.d, f = w.f;
        const float by = w.b * fy, ey = w.e * fy;
        for (int32_t x = 0; x < width; ++x) {
            const float fx = static_cast<float>(x);
            float sx = a * fx + by + c;
            float sy = d * fx + ey + f;
            if constexpr (Mode == 2) {
                float dx, dy;
                lookupDisplacement(w.grid, sx, sy, dx, dy);
                sx += dx;
                sy += dy;
            }
            visit(x, sx, sy);
        }
    }
}

template <typename Visit>
inline void mapRow(const WarpModel& w, int32_t y, int32_t width, Visit&& visit)
{
    switch (w.mode) {
    case 1: mapRowAs<1>(w, y, width, visit); break;
    case 2: mapRowAs<2>(w, y, width, visit); break;
    default: mapRowAs<0>(w, y, width, visit); break;
    }
}

struct SourceView {
    const uint16_t* pixels;
    int32_t width, height, stride;
};

#if defined(__SSE2__)
// Source cells of four consecutive target pixels.
struct CellLanes {
    alignas(16) float sx[4], sy[4], fx[4], fy[4];
    alignas(16) int32_t ix[4], iy[4];
};

// Row y under the plain affine model (mode 0), four target pixels per step: their source
// positions, cells and fractions in vector lanes, with the scalar operations in the same order,
// so every bit equals mapRowAs<0> and sampleBilinear. A group whose four pixels all lie inside
// the frame, with four-lane reads safe, goes to inside(x, cells); every other pixel to
// visit(x, sx, sy).
template <typename Inside, typename Visit>
void mapAffineRowByFour(const WarpModel& w, const SourceView& source, int32_t y, int32_t width, Inside& inside,
                        Visit& visit)
{
    const float fy = static_cast<float>(y);
    const float byScalar = w.b * fy, eyScalar = w.e * fy;
    const __m128 a = _mm_set1_ps(w.a), c = _mm_set1_ps(w.c), d = _mm_set1_ps(w.d), f = _mm_set1_ps(w.f);
    const __m128 by = _mm_set1_ps(byScalar), ey = _mm_set1_ps(eyScalar);
    const __m128 zero = _mm_setzero_ps();
    const __m128 lastX = _mm_set1_ps(static_cast<float>(source.width - 1));
    const __m128 lastY = _mm_set1_ps(static_cast<float>(source.height - 1));
    const __m128i widthLanes = _mm_set1_epi32(source.width), heightLanes = _mm_set1_epi32(source.height);
    const __m128i one = _mm_set1_epi32(1), two = _mm_set1_epi32(2);
    const bool wideStride = source.stride >= 4;
    CellLanes cells;
    int32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        const __m128 fx = _mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(x), _mm_setr_epi32(0, 1, 2, 3)));
        const __m128 sx = _mm_add_ps(_mm_add_ps(_mm_mul_ps(a, fx), by), c);
        const __m128 sy = _mm_add_ps(_mm_add_ps(_mm_mul_ps(d, fx), ey), f);
        _mm_store_ps(cells.sx, sx);
        _mm_store_ps(cells.sy, sy);
        // NaN fails every comparison, as in the scalar test.
        const __m128 within = _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(sx, zero), _mm_cmpge_ps(sy, zero)),
                                         _mm_and_ps(_mm_cmplt_ps(sx, lastX), _mm_cmplt_ps(sy, lastY)));
        bool all = _mm_movemask_ps(within) == 15;
        if (all) {
            const __m128i ix = _mm_cvttps_epi32(sx), iy = _mm_cvttps_epi32(sy);
            __m128i ok = _mm_and_si128(_mm_cmplt_epi32(_mm_add_epi32(ix, one), widthLanes),
                                       _mm_cmplt_epi32(_mm_add_epi32(iy, one), heightLanes));
            if (!wideStride)
                ok = _mm_and_si128(ok, _mm_or_si128(_mm_cmplt_epi32(_mm_add_epi32(ix, two), widthLanes),
                                                    _mm_cmplt_epi32(_mm_add_epi32(iy, two), heightLanes)));
            all = _mm_movemask_ps(_mm_castsi128_ps(ok)) == 15;
            _mm_store_si128(reinterpret_cast<__m128i*>(cells.ix), ix);
            _mm_store_si128(reinterpret_cast<__m128i*>(cells.iy), iy);
            _mm_store_ps(cells.fx, _mm_sub_ps(sx, _mm_cvtepi32_ps(ix)));
            _mm_store_ps(cells.fy, _mm_sub_ps(sy, _mm_cvtepi32_ps(iy)));
        }
        if (all) {
            inside(x, cells);
        } else {
            for (int j = 0; j < 4; ++j)
                visit(x + j, cells.sx[j], cells.sy[j]);
        }
    }
    const float fa = w.a, fc = w.c, fd = w.d, ff = w.f;
    for (; x < width; ++x) {
        const float fx = static_cast<float>(x);
        visit(x, fa * fx + byScalar + fc, fd * fx + eyScalar + ff);
    }
}
#endif

// Second-pass target row y: mode 0 four pixels at a time where SSE2 is there, else pixel by pixel.
// inside(x, cells) handles four pixels whose cells are all inside; visit(x, sx, sy) any pixel.
template <typename Inside, typename Visit>
inline void mapSecondPassRow(const WarpModel& w, const SourceView& source, int32_t y, int32_t width, Inside&& inside,
                             Visit&& visit)
{
#if defined(__SSE2__)
    if (w.mode == 0) {
        mapAffineRowByFour(w, source, y, width, inside, visit);
        return;
    }
#endif
    (void)inside;
    mapRow(w, y, width, visit);
}

SourceView viewOf(const velimage::Image<uint16_t>& frame)
{
    return {frame.data(), frame.width(), frame.height(), frame.channels()};
}

bool canWarp(const velimage::Image<uint16_t>& frame, const WarpModel& model)
{
    return !frame.empty() && frame.width() > 0 && frame.height() > 0 && model.usable();
}

// The per-frame accumulation, compiled once with and once without a region weight so that the
// plain loop carries no weighting code.
template <bool Weighted>
void accumulateRows(const SourceView& source, const WarpModel& model, AccumulationImage& target,
                    const GradientRamp* ramp, std::vector<float>& partMaximum)
{
    const int32_t width = target.width();
    velthread::parallelRows(target.height(), [&](int32_t part, int32_t begin, int32_t end) {
        float maximum = 0.0f;
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* sums = target.row(y);
            float* weights = target.weightRow(y);
            mapRow(model, y, width, [&](int32_t x, float sx, float sy) {
                uint32_t sample[3];
                float weight =
                    sampleBilinear<3>(source.pixels, source.width, source.height, 3, sx, sy, sample) ? 1.0f : 0.0f;
                if constexpr (Weighted) {
                    const float regionWeight = ramp->weightAt(x, y);
                    if (regionWeight < 1.0f) {
                        for (uint32_t& channel : sample)
                            channel = weighSample(channel, regionWeight);
                        weight = regionWeight == 0.0f ? 0.0f : weight * regionWeight;
                    }
                }
                uint32_t* sum = sums + static_cast<size_t>(x) * 3;
                sum[0] += sample[0];
                sum[1] += sample[1];
                sum[2] += sample[2];
                weights[x] += weight;
                maximum = std::max(maximum, weights[x]);
            });
        }
        partMaximum[static_cast<size_t>(part)] = std::max(partMaximum[static_cast<size_t>(part)], maximum);
    });
}

}  // namespace

bool accumulateFrame(const velimage::Image<uint16_t>& frame, const WarpModel& model, AccumulationImage& target,
                     const GradientRamp* ramp)
{
    if (!canWarp(frame, model) || frame.channels() != 3)
        return false;
    if (target.empty()) {
        target.allocate(frame.width(), frame.height(), 3);
        clearAccumulation(target);
    }
    if (target.channels() != 3 || !target.weights())
        return false;

    std::vector<float> partMaximum(static_cast<size_t>(velthread::partCount()), 0.0f);
    if (ramp)
        accumulateRows<true>(viewOf(frame), model, target, ramp, partMaximum);
    else
        accumulateRows<false>(viewOf(frame), model, target, nullptr, partMaximum);
    float maximum = target.maxWeight();
    for (float partMax : partMaximum)
        maximum = std::max(maximum, partMax);
    target.setMaxWeight(maximum);
    target.setNormalized(false);
    return true;
}

namespace {

// A target keeps its size (the base geometry) once it has one; a fresh one takes the frame's.
void prepareTarget(const velimage::Image<uint16_t>& frame, velimage::Image<uint16_t>& target, int32_t channels)
{
    if (target.empty())
        target.allocate(frame.width(), frame.height(), channels);
    else
        target.allocate(target.width(), target.height(), channels);
}

}  // namespace

bool warpForSecondPass(const velimage::Image<uint16_t>& frame, const WarpModel& model,
                       velimage::Image<uint16_t>& target, bool maskAttached)
{
    if (!canWarp(frame, model) || (maskAttached ? frame.channels() != 4 : frame.channels() < 3))
        return false;
    prepareTarget(frame, target, 4);

    const SourceView view = viewOf(frame);
    const int32_t width = target.width();
    velthread::parallelRows(target.height(), [&](int32_t begin, int32_t end) {
        // Copies held in registers: the pixel stores below could otherwise alias them.
        const SourceView source = view;
        const bool attached = maskAttached;
        for (int32_t y = begin; y < end; ++y) {
            uint16_t* out = target.row(y);
            if (!attached) {
                mapSecondPassRow(
                    model, source, y, width,
                    [&](int32_t x, const auto& cells) {
                        for (int j = 0; j < 4; ++j) {
                            uint16_t* pixel = out + static_cast<size_t>(x + j) * 4;
                            interpolateRgb16(source.pixels, source.width, source.stride, cells.ix[j], cells.iy[j],
                                             cells.fx[j], cells.fy[j], pixel);
                            pixel[3] = CoveredFlag | SkyFlag;
                        }
                    },
                    [&](int32_t x, float sx, float sy) {
                        uint16_t* pixel = out + static_cast<size_t>(x) * 4;
                        const bool covered = sampleBilinearRgb16(source.pixels, source.width, source.height,
                                                                 source.stride, sx, sy, pixel);
                        pixel[3] = static_cast<uint16_t>((covered ? CoveredFlag : 0) | SkyFlag);
                    });
                continue;
            }
            mapRow(model, y, width, [&](int32_t x, float sx, float sy) {
                uint16_t* pixel = out + static_cast<size_t>(x) * 4;
                uint32_t sample[4];
                const bool covered = sampleBilinear<4>(source.pixels, source.width, source.height, 4, sx, sy, sample);
                pixel[0] = static_cast<uint16_t>(sample[0]);
                pixel[1] = static_cast<uint16_t>(sample[1]);
                pixel[2] = static_cast<uint16_t>(sample[2]);
                pixel[3] = static_cast<uint16_t>((covered ? CoveredFlag : 0) | (sample[3] != 0 ? SkyFlag : 0));
            });
        }
    });
    return true;
}

bool warpForSecondPass(const velimage::Image<uint16_t>& frame, const velimage::Image<uint16_t>& mask,
                       const WarpModel& model, velimage::Image<uint16_t>& target)
{
    if (!canWarp(frame, model) || frame.channels() < 3 || mask.empty() || mask.channels() != 1 ||
        mask.width() != frame.width() || mask.height() != frame.height())
        return false;
    prepareTarget(frame, target, 4);

    const SourceView view = viewOf(frame);
    const uint16_t* sky = mask.data();
    const int32_t width = target.width();
    velthread::parallelRows(target.height(), [&](int32_t begin, int32_t end) {
        const SourceView source = view;  // in registers, as above
        for (int32_t y = begin; y < end; ++y) {
            uint16_t* out = target.row(y);
            mapSecondPassRow(
                model, source, y, width,
                [&](int32_t x, const auto& cells) {
                    for (int j = 0; j < 4; ++j) {
                        uint16_t* pixel = out + static_cast<size_t>(x + j) * 4;
                        interpolateRgb16(source.pixels, source.width, source.stride, cells.ix[j], cells.iy[j],
                                         cells.fx[j], cells.fy[j], pixel);
                        uint32_t skyValue;
                        sampleBilinear<1>(sky, source.width, source.height, 1, cells.sx[j], cells.sy[j], &skyValue);
                        pixel[3] = static_cast<uint16_t>(CoveredFlag | (skyValue != 0 ? SkyFlag : 0));
                    }
                },
                [&](int32_t x, float sx, float sy) {
                    uint32_t skyValue;
                    uint16_t* pixel = out + static_cast<size_t>(x) * 4;
                    const bool covered =
                        sampleBilinearRgb16(source.pixels, source.width, source.height, source.stride, sx, sy, pixel);
                    sampleBilinear<1>(sky, source.width, source.height, 1, sx, sy, &skyValue);
                    pixel[3] = static_cast<uint16_t>((covered ? CoveredFlag : 0) | (skyValue != 0 ? SkyFlag : 0));
                });
        }
    });
    return true;
}

bool warpForAlignOnly(const velimage::Image<uint16_t>& frame, const WarpModel& model,
                      velimage::Image<uint16_t>& target)
{
    if (!canWarp(frame, model) || frame.channels() < 3)
        return false;
    prepareTarget(frame, target, 3);

    const SourceView source = viewOf(frame);
    const int32_t width = target.width();
    velthread::parallelRows(target.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint16_t* out = target.row(y);
            mapRow(model, y, width, [&](int32_t x, float sx, float sy) {
                uint32_t sample[3];
                // Outside the frame the sampler already returns zeros.
                sampleBilinear<3>(source.pixels, source.width, source.height, source.stride, sx, sy, sample);
                uint16_t* pixel = out + static_cast<size_t>(x) * 3;
                pixel[0] = static_cast<uint16_t>(sample[0]);
                pixel[1] = static_cast<uint16_t>(sample[1]);
                pixel[2] = static_cast<uint16_t>(sample[2]);
            });
        }
    });
    return true;
}

}  // namespace velstack
