#include "skymask/SkyMaskEstimate.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parallel/ProcessPool.h"
#include "parallel/SideBySide.h"
#include "parallel/ScratchArena.h"

namespace velmask {

namespace {

// A seed needs one comparison to disagree by this much more than the other, in units of the
// other plus the series' typical frame difference.
constexpr float SeedRatio = 1.5f;
// A ground seed needs its change to clear this many typical changes: a false one grows through the
// smooth sky as far as the next star, and static detail in the sky (8-bit bands, fixed patterns)
// is faint next to the horizon and the ground's texture.
constexpr float GroundFloor = 3.0f;
// High-pass radius (plane pixels): vignetting, glow gradients and thin cloud are smooth and
// fixed in neither frame of reference, so they must not count as detail.
constexpr int32_t DetailRadius = 3;
// Less star motion than this (plane pixels, anywhere in the frame) cannot tell the two apart.
constexpr double MinimumMotion = 1.0;
// A patch of ground needs this many seeds, and one for every GroundSeedArea pixels: a lone static
// dot in the sky (a hot pixel left in) is no landscape, and a patch that grew from a few chance
// seeds where the stars hardly move (near the pole) is not either. The ground's seeds line its
// horizon, one or more a column.
constexpr int32_t MinimumGroundSeeds = 4;
constexpr int64_t GroundSeedArea = 400;
constexpr int32_t DotSize = 2 * DetailRadius + 2;
constexpr int32_t Buckets = 1024;

constexpr int8_t Ground = GroundLabel;
constexpr int8_t Sky = SkyLabel;

// The working memory of the estimate in hand (ScratchArena: a run's kept frame block spares it
// the faults of fresh pages). Estimates of two engines take turns, so that each one's planes come
// from its own arena and are all given back before it ends.
std::mutex g_scratchTurn;
std::atomic<velmem::ScratchArena*> g_scratch{nullptr};
// Smaller stores come from the heap: they are few, and the heap has pages for them at hand.
constexpr size_t MinimumScratchBytes = size_t{64} << 10;
// Planes of the estimate's size its arena holds: all that it makes, and some.
constexpr size_t ScratchPlanes = 28;

class ScratchTurn {
public:
    // An arena of `bytes` (none in builds that check every block on its own).
    explicit ScratchTurn(size_t bytes) : m_turn(g_scratchTurn), m_arena(velmem::SplitsSpareBlocks ? bytes : 0)
    {
        g_scratch.store(&m_arena, std::memory_order_release);
    }
    ~ScratchTurn() { g_scratch.store(nullptr, std::memory_order_release); }
    ScratchTurn(const ScratchTurn&) = delete;
    ScratchTurn& operator=(const ScratchTurn&) = delete;

private:
    std::lock_guard<std::mutex> m_turn;
    velmem::ScratchArena m_arena;
};

// Leaves new elements unset: each plane and sample store is written whole by the pass that makes
// it, on the pool, and zeroing it first on one thread would cost about as much as that pass.
// Large stores come from the estimate's arena while there is one and it has room.
template <typename T>
struct Unset : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = Unset<U>;
    };
    Unset() = default;
    template <typename U>
    Unset(const Unset<U>&) noexcept
    {
    }
    T* allocate(size_t count)
    {
        if (count >= MinimumScratchBytes / sizeof(T))
            if (velmem::ScratchArena* arena = g_scratch.load(std::memory_order_acquire))
                if (void* memory = arena->take(count * sizeof(T)))
                    return static_cast<T*>(memory);
        return std::allocator<T>::allocate(count);
    }
    void deallocate(T* memory, size_t count) noexcept
    {
        if (velmem::ScratchArena* arena = g_scratch.load(std::memory_order_acquire); arena && arena->holds(memory))
            return;
        std::allocator<T>::deallocate(memory, count);
    }
    template <typename U>
    void construct(U* at) noexcept
    {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args)
    {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

struct FloatPlane {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<float, Unset<float>> values;

    FloatPlane() = default;
    FloatPlane(int32_t w, int32_t h) : width(w), height(h), values(static_cast<size_t>(w) * h) {}
    float* row(int32_t y) { return values.data() + static_cast<size_t>(y) * width; }
    const float* row(int32_t y) const { return values.data() + static_cast<size_t>(y) * width; }
};

// Row bands for a pass whose work gathers in a few rows (those the horizon crosses): several
// bands a thread, so that one thread does not get all of them. Each row's result is its own.
template <typename F>
void unevenRows(int32_t count, F&& body)
{
    constexpr int32_t BandsPerThread = 8;
    velthread::ThreadPool* pool = velthread::processPool();
    if (!pool) {
        velthread::parallelRows(count, body);
        return;
    }
    pool->parallelFor(body, std::min(count, pool->threadCount() * BandsPerThread), count);
}

// A pass over the index of every pixel of a w × h plane, in row bands on the pool.
template <typename F>
void eachPixel(int32_t w, int32_t h, F&& body)
{
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        for (size_t i = static_cast<size_t>(begin) * w; i < static_cast<size_t>(end) * w; ++i)
            body(i);
    });
}

// Frame plane position of a base plane pixel; `far`: the frame moves far enough to test the ground.
struct PlaneMap {
    double m[6];
    bool far = true;
};

bool invert(const double a[6], double out[6])
{
    const double det = a[0] * a[4] - a[1] * a[3];
    if (!std::isfinite(det) || std::fabs(det) < 1e-9)
        return false;
    out[0] = a[4] / det;
    out[1] = -a[1] / det;
    out[3] = -a[3] / det;
    out[4] = a[0] / det;
    out[2] = -(out[0] * a[2] + out[1] * a[5]);
    out[5] = -(out[3] * a[2] + out[4] * a[5]);
    return true;
}

// Plane pixel (u, v) stands for the frame pixel at the centre of its block, f·u + (f − 1) / 2.
PlaneMap planeMapOf(const double inverse[6], int32_t factor)
{
    const double f = factor, o = 0.5 * (factor - 1);
    PlaneMap map;
    map.m[0] = inverse[0];
    map.m[1] = inverse[1];
    map.m[2] = (inverse[0] * o + inverse[1] * o + inverse[2] - o) / f;
    map.m[3] = inverse[3];
    map.m[4] = inverse[4];
    map.m[5] = (inverse[3] * o + inverse[4] * o + inverse[5] - o) / f;
    return map;
}

// Largest distance a plane corner travels under the map.
double motionOf(const PlaneMap& map, int32_t width, int32_t height)
{
    double largest = 0.0;
    for (const double x : {0.0, width - 1.0})
        for (const double y : {0.0, height - 1.0}) {
            const double qx = map.m[0] * x + map.m[1] * y + map.m[2], qy = map.m[3] * x + map.m[4] * y + map.m[5];
            largest = std::max(largest, std::hypot(qx - x, qy - y));
        }
    return largest;
}

// Row y of the mean over the (2r + 1)² window clipped to the w × h plane `in`: the rows first
// (into `down`, w values), then along the row, each as a run of whole-row additions (they
// vectorise) with the clipped ends apart.
// The clipped ends of a row's mean along x (the first and last r pixels), from the row's means
// down the window.
void clippedEnds(const float* down, int32_t w, int32_t r, float* dst)
{
    const int32_t first = std::min(r, w), last = std::max(first, w - r);
    const auto clipped = [&](int32_t x) {
        const int32_t left = std::max(0, x - r), right = std::min(w - 1, x + r);
        float sum = 0.0f;
        for (int32_t k = left; k <= right; ++k)
            sum += down[k];
        dst[x] = sum / static_cast<float>(right - left + 1);
    };
    for (int32_t x = 0; x < first; ++x)
        clipped(x);
    for (int32_t x = last; x < w; ++x)
        clipped(x);
}

void meanRow(const float* in, int32_t w, int32_t h, int32_t r, int32_t y, float* down, float* dst)
{
    const size_t width = static_cast<size_t>(w);
    const int32_t top = std::max(0, y - r), bottom = std::min(h - 1, y + r);
    std::copy_n(in + static_cast<size_t>(top) * width, w, down);
    for (int32_t k = top + 1; k <= bottom; ++k) {
        const float* src = in + static_cast<size_t>(k) * width;
        for (int32_t x = 0; x < w; ++x)
            down[x] += src[x];
    }
    const float downScale = 1.0f / static_cast<float>(bottom - top + 1);
    for (int32_t x = 0; x < w; ++x)
        down[x] *= downScale;
    const int32_t first = std::min(r, w), last = std::max(first, w - r);  // [first, last): whole windows
    if (last > first) {
        std::copy_n(down, last - first, dst + first);
        for (int32_t k = 1; k <= 2 * r; ++k) {
            const float* shifted = down + k;
            for (int32_t x = first; x < last; ++x)
                dst[x] += shifted[x - r];
        }
        const float scale = 1.0f / static_cast<float>(2 * r + 1);
        for (int32_t x = first; x < last; ++x)
            dst[x] *= scale;
    }
    clippedEnds(down, w, r, dst);
}

// meanRow for a row whose window lies whole inside the plane's rows, with the radius known: each
// pixel's sums in one go, the same additions in the same order.
template <int32_t R>
void wholeMeanRow(const float* in, int32_t w, int32_t y, float* down, float* dst)
{
    const size_t width = static_cast<size_t>(w);
    const float* rows[2 * R + 1];
    for (int32_t k = 0; k <= 2 * R; ++k)
        rows[k] = in + static_cast<size_t>(y - R + k) * width;
    const float scale = 1.0f / static_cast<float>(2 * R + 1);
    for (size_t x = 0; x < width; ++x) {
        float sum = rows[0][x];
        for (int32_t k = 1; k <= 2 * R; ++k)
            sum += rows[k][x];
        down[x] = sum * scale;
    }
    for (int32_t x = R; x < w - R; ++x) {
        float sum = down[x - R];
        for (int32_t k = 1; k <= 2 * R; ++k)
            sum += down[x - R + k];
        dst[x] = sum * scale;
    }
    clippedEnds(down, w, R, dst);
}

template <int32_t R>
void meanRowOf(const float* in, int32_t w, int32_t h, int32_t y, float* down, float* dst)
{
    if (y >= R && y + R < h && w > 2 * R)
        wholeMeanRow<R>(in, w, y, down, dst);
    else
        meanRow(in, w, h, R, y, down, dst);
}

// Each plane's 3 × 3 mean less its local mean, all planes in one pass. The 3 × 3 mean spreads a
// star that fits in one block over its neighbours, so that resampling it after a shift of a
// fraction of a block gives back what the base shows instead of a dimmer star (which would read
// as ground).
std::vector<FloatPlane> detailOf(const std::vector<const LuminancePlane*>& planes)
{
    const int32_t w = planes.front()->width, h = planes.front()->height;
    std::vector<FloatPlane> detail;
    detail.reserve(planes.size());
    for (size_t k = 0; k < planes.size(); ++k)
        detail.emplace_back(w, h);
    velthread::parallelRows(static_cast<int32_t>(planes.size()) * h, [&](int32_t begin, int32_t end) {
        std::vector<float> down(static_cast<size_t>(w)), smooth(static_cast<size_t>(w));
        for (int32_t item = begin; item < end; ++item) {
            const int32_t k = item / h, y = item % h;
            const float* in = planes[static_cast<size_t>(k)]->values.data();
            float* out = detail[static_cast<size_t>(k)].row(y);
            meanRowOf<1>(in, w, h, y, down.data(), out);
            meanRowOf<DetailRadius>(in, w, h, y, down.data(), smooth.data());
            for (int32_t x = 0; x < w; ++x)
                out[x] -= smooth[static_cast<size_t>(x)];
        }
    });
    return detail;
}

// Per-pixel median of the planes as shot: the ground as it is, the sky without its stars, a
// satellite or a passing cloud. Row y's values are sorted across the planes by an odd-even
// transposition network, whole rows at a time, so that the compare-exchanges run along x;
// `rows` holds one row a plane.
void cameraMedianRow(const std::vector<const LuminancePlane*>& planes, int32_t y, float* rows, float* out)
{
    const size_t n = planes.size(), width = static_cast<size_t>(planes.front()->width);
    const size_t at = static_cast<size_t>(y) * width;
    for (size_t k = 0; k < n; ++k)
        std::copy_n(planes[k]->values.data() + at, width, rows + k * width);
    for (size_t round = 0; round < n; ++round)
        for (size_t k = round % 2; k + 1 < n; k += 2) {
            float* a = rows + k * width;
            float* b = a + width;
            for (size_t x = 0; x < width; ++x) {
                const float low = std::min(a[x], b[x]), high = std::max(a[x], b[x]);
                a[x] = low;
                b[x] = high;
            }
        }
    std::copy_n(rows + (n / 2) * width, width, out);
}

// The 3 × 3 mean of the camera median: the brightness the growth steps over. Each band takes the
// median of its rows and one beyond on either side into a store of its own.
FloatPlane brightnessOf(const std::vector<const LuminancePlane*>& planes)
{
    const int32_t w = planes.front()->width, h = planes.front()->height;
    const size_t width = static_cast<size_t>(w);
    FloatPlane out(w, h);
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        const int32_t first = std::max(0, begin - 1), last = std::min(h, end + 1);
        std::vector<float> rows(planes.size() * width), median(static_cast<size_t>(last - first) * width), down(width);
        for (int32_t y = first; y < last; ++y)
            cameraMedianRow(planes, y, rows.data(), median.data() + static_cast<size_t>(y - first) * width);
        for (int32_t y = begin; y < end; ++y)
            meanRowOf<1>(median.data(), w, last - first, y - first, down.data(), out.row(y));
    });
    return out;
}

// Index of the pixel nearest a position inside the plane, halves rounded up as lround has it.
// (A 32-bit conversion: one instruction, where an unsigned 64-bit one takes a branch and several.)
uint32_t nearest(double q)
{
    const int32_t whole = static_cast<int32_t>(q);
    return static_cast<uint32_t>(q - static_cast<double>(whole) >= 0.5 ? whole + 1 : whole);
}

float bilinear(const FloatPlane& plane, double x, double y)
{
    const int32_t x0 = static_cast<int32_t>(x), y0 = static_cast<int32_t>(y);
    const int32_t x1 = std::min(x0 + 1, plane.width - 1), y1 = std::min(y0 + 1, plane.height - 1);
    const float fx = static_cast<float>(x - x0), fy = static_cast<float>(y - y0);
    const float* a = plane.row(y0);
    const float* b = plane.row(y1);
    const float top = a[x0] + (a[x1] - a[x0]) * fx, bottom = b[x0] + (b[x1] - b[x0]) * fx;
    return top + (bottom - top) * fy;
}

// A mean without the largest value once there are enough: one frame with a satellite or a
// cloud edge does not decide a pixel.
float trimmedMean(double sum, float largest, int32_t count)
{
    if (count <= 0)
        return -1.0f;
    if (count >= 4)
        return static_cast<float>((sum - largest) / (count - 1));
    return static_cast<float>(sum / count);
}

// One row of an aligned comparison from its totals: the trimmed mean where enough samples came,
// and the smallest far sample beside it; -1 where too few came.
void finishAlignedRow(const double* sums, const float* largest, const float* smallest, const int32_t* counts,
                      int32_t required, size_t width, float* aligned, float* least)
{
    for (size_t x = 0; x < width; ++x) {
        aligned[x] = counts[x] >= required ? trimmedMean(sums[x], largest[x], counts[x]) : -1.0f;
        least[x] = aligned[x] >= 0.0f ? smallest[x] : -1.0f;
    }
}

// How much each pixel's detail changes from the base in the frames as shot (`camera`) and
// after star alignment (`aligned`, −1 where fewer than the required frames cover it), and
// `least`, the smallest aligned change among the frames that move far (PlaneMap::far; −1 where
// `aligned` is): ground stays away from the base in every moving frame, while the sky beside the
// horizon does so only in the frames whose motion brings the ground over it.
// Round one keeps each aligned sample (its change, −1 outside the frame, and the plane index of
// its nearest source pixel), so that round two, which leaves some of them out, only adds up again.
struct AlignedSamples {
    FloatPlane change;
    std::vector<uint32_t, Unset<uint32_t>> source;
};

struct Comparison {
    FloatPlane camera, aligned, least;
    std::vector<AlignedSamples> samples;
};

// One base row's running totals over the aligned frames, pixel by pixel.
struct RowTotals {
    double* sums;
    float* largest;
    float* smallest;
    int32_t* counts;
};

// Frame `other`'s samples along base row y from pixel `begin` on, under `map`: each one's change
// from the base and source pixel (−1 and 0 outside the frame), and the row's totals.
void sampleRow(const FloatPlane& other, const PlaneMap& map, const float* reference, int32_t y, int32_t begin,
               float* change, uint32_t* source, const RowTotals& totals)
{
    const int32_t w = other.width, h = other.height;
    const double* m = map.m;
    const double across = m[1] * y, down = m[4] * y;
    for (int32_t x = begin; x < w; ++x) {
        const double qx = m[0] * x + across + m[2], qy = m[3] * x + down + m[5];
        if (!(qx >= 0.0 && qy >= 0.0 && qx <= w - 1.0 && qy <= h - 1.0)) {
            change[x] = -1.0f;
            source[x] = 0;
            continue;
        }
        const float e = std::fabs(bilinear(other, qx, qy) - reference[x]);
        change[x] = e;
        source[x] = nearest(qy) * static_cast<uint32_t>(w) + nearest(qx);
        if (map.far)
            totals.smallest[x] = totals.smallest[x] < 0.0f ? e : std::min(totals.smallest[x], e);
        totals.sums[x] += e;
        totals.largest[x] = std::max(totals.largest[x], e);
        ++totals.counts[x];
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
// Four 64-bit lane masks as four 32-bit ones (their low halves).
__attribute__((target("avx2"))) inline __m128i narrow(__m256d mask)
{
    return _mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(_mm256_castpd_si256(mask), _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7)));
}

// sampleRow four pixels at a time with gathered corners; the same operations in the same order
// (no fused multiply-adds), so the same results. Returns how many pixels it did.
__attribute__((target("avx2"))) int32_t sampleRowAvx2(const FloatPlane& other, const PlaneMap& map,
                                                      const float* reference, int32_t y, float* change,
                                                      uint32_t* source, const RowTotals& totals)
{
    const int32_t w = other.width, h = other.height;
    const double* m = map.m;
    const __m256d m0 = _mm256_set1_pd(m[0]), m2 = _mm256_set1_pd(m[2]), m3 = _mm256_set1_pd(m[3]),
                  m5 = _mm256_set1_pd(m[5]);
    const __m256d across = _mm256_set1_pd(m[1] * y), down = _mm256_set1_pd(m[4] * y);
    const __m256d zero = _mm256_setzero_pd(), half = _mm256_set1_pd(0.5);
    const __m256d lastColumn = _mm256_set1_pd(w - 1.0), lastRow = _mm256_set1_pd(h - 1.0);
    const __m256d steps = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
    const __m128i one = _mm_set1_epi32(1), rightmost = _mm_set1_epi32(w - 1), lowest = _mm_set1_epi32(h - 1);
    const __m128i width = _mm_set1_epi32(w);
    const __m128 signBit = _mm_set1_ps(-0.0f), minusOne = _mm_set1_ps(-1.0f);
    const float* plane = other.values.data();
    int32_t x = 0;
    for (; x + 4 <= w; x += 4) {
        const __m256d xs = _mm256_add_pd(_mm256_set1_pd(x), steps);
        const __m256d qx = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m0, xs), across), m2);
        const __m256d qy = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m3, xs), down), m5);
        const __m256d inside = _mm256_and_pd(
            _mm256_and_pd(_mm256_cmp_pd(qx, zero, _CMP_GE_OQ), _mm256_cmp_pd(qy, zero, _CMP_GE_OQ)),
            _mm256_and_pd(_mm256_cmp_pd(qx, lastColumn, _CMP_LE_OQ), _mm256_cmp_pd(qy, lastRow, _CMP_LE_OQ)));
        if (_mm256_movemask_pd(inside) == 0) {
            _mm_storeu_ps(change + x, minusOne);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(source + x), _mm_setzero_si128());
            continue;
        }
        // Lanes outside the frame read pixel (0, 0) and are dropped.
        const __m256d sx = _mm256_and_pd(qx, inside), sy = _mm256_and_pd(qy, inside);
        const __m128i x0 = _mm256_cvttpd_epi32(sx), y0 = _mm256_cvttpd_epi32(sy);
        const __m256d dx = _mm256_sub_pd(sx, _mm256_cvtepi32_pd(x0)), dy = _mm256_sub_pd(sy, _mm256_cvtepi32_pd(y0));
        const __m128 fx = _mm256_cvtpd_ps(dx), fy = _mm256_cvtpd_ps(dy);
        const __m128i x1 = _mm_min_epi32(_mm_add_epi32(x0, one), rightmost);
        const __m128i y1 = _mm_min_epi32(_mm_add_epi32(y0, one), lowest);
        const __m128i upper = _mm_mullo_epi32(y0, width), lower = _mm_mullo_epi32(y1, width);
        const __m128 a0 = _mm_i32gather_ps(plane, _mm_add_epi32(upper, x0), 4);
        const __m128 a1 = _mm_i32gather_ps(plane, _mm_add_epi32(upper, x1), 4);
        const __m128 b0 = _mm_i32gather_ps(plane, _mm_add_epi32(lower, x0), 4);
        const __m128 b1 = _mm_i32gather_ps(plane, _mm_add_epi32(lower, x1), 4);
        const __m128 top = _mm_add_ps(a0, _mm_mul_ps(_mm_sub_ps(a1, a0), fx));
        const __m128 bottom = _mm_add_ps(b0, _mm_mul_ps(_mm_sub_ps(b1, b0), fx));
        const __m128 value = _mm_add_ps(top, _mm_mul_ps(_mm_sub_ps(bottom, top), fy));
        const __m128 e = _mm_andnot_ps(signBit, _mm_sub_ps(value, _mm_loadu_ps(reference + x)));
        const __m128i in = narrow(inside);
        const __m128 inFloat = _mm_castsi128_ps(in);
        // nearest(): whole + 1 where the fraction is half or more (a true mask is −1).
        const __m128i nx = _mm_sub_epi32(x0, narrow(_mm256_cmp_pd(dx, half, _CMP_GE_OQ)));
        const __m128i ny = _mm_sub_epi32(y0, narrow(_mm256_cmp_pd(dy, half, _CMP_GE_OQ)));
        _mm_storeu_ps(change + x, _mm_blendv_ps(minusOne, e, inFloat));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(source + x),
                         _mm_and_si128(_mm_add_epi32(_mm_mullo_epi32(ny, width), nx), in));
        if (map.far) {
            const __m128 smallest = _mm_loadu_ps(totals.smallest + x);
            const __m128 first = _mm_cmplt_ps(smallest, _mm_setzero_ps());
            const __m128 updated = _mm_blendv_ps(_mm_min_ps(e, smallest), e, first);
            _mm_storeu_ps(totals.smallest + x, _mm_blendv_ps(smallest, updated, inFloat));
        }
        // Adding +0 leaves a sum of non-negative values as it is.
        const __m256d wide = _mm256_and_pd(_mm256_cvtps_pd(e), inside);
        _mm256_storeu_pd(totals.sums + x, _mm256_add_pd(_mm256_loadu_pd(totals.sums + x), wide));
        const __m128 largest = _mm_loadu_ps(totals.largest + x);
        _mm_storeu_ps(totals.largest + x, _mm_blendv_ps(largest, _mm_max_ps(e, largest), inFloat));
        __m128i* counts = reinterpret_cast<__m128i*>(totals.counts + x);
        _mm_storeu_si128(counts, _mm_sub_epi32(_mm_loadu_si128(counts), in));
    }
    return x;
}

// sampleRowAvx2 eight pixels at a time with the lanes picked by mask registers; the same
// operations in the same order, so the same results. (The compiler's own headers leave the
// unused upper lanes of some conversions unset, which it then warns about.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f,avx512vl"))) int32_t sampleRowAvx512(const FloatPlane& other, const PlaneMap& map,
                                                                     const float* reference, int32_t y, float* change,
                                                                     uint32_t* source, const RowTotals& totals)
{
    const int32_t w = other.width, h = other.height;
    const double* m = map.m;
    const __m512d m0 = _mm512_set1_pd(m[0]), m2 = _mm512_set1_pd(m[2]), m3 = _mm512_set1_pd(m[3]),
                  m5 = _mm512_set1_pd(m[5]);
    const __m512d across = _mm512_set1_pd(m[1] * y), down = _mm512_set1_pd(m[4] * y);
    const __m512d zero = _mm512_setzero_pd(), half = _mm512_set1_pd(0.5);
    const __m512d lastColumn = _mm512_set1_pd(w - 1.0), lastRow = _mm512_set1_pd(h - 1.0);
    const __m512d steps = _mm512_setr_pd(0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0);
    const __m256i one = _mm256_set1_epi32(1), rightmost = _mm256_set1_epi32(w - 1), lowest = _mm256_set1_epi32(h - 1);
    const __m256i width = _mm256_set1_epi32(w);
    const __m256 signBit = _mm256_set1_ps(-0.0f), minusOne = _mm256_set1_ps(-1.0f);
    const float* plane = other.values.data();
    int32_t x = 0;
    for (; x + 8 <= w; x += 8) {
        const __m512d xs = _mm512_add_pd(_mm512_set1_pd(x), steps);
        const __m512d qx = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(m0, xs), across), m2);
        const __m512d qy = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(m3, xs), down), m5);
        const __mmask8 inside = _mm512_cmp_pd_mask(qx, zero, _CMP_GE_OQ) & _mm512_cmp_pd_mask(qy, zero, _CMP_GE_OQ) &
                                _mm512_cmp_pd_mask(qx, lastColumn, _CMP_LE_OQ) &
                                _mm512_cmp_pd_mask(qy, lastRow, _CMP_LE_OQ);
        if (inside == 0) {
            _mm256_storeu_ps(change + x, minusOne);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(source + x), _mm256_setzero_si256());
            continue;
        }
        // Lanes outside the frame read pixel (0, 0) and are dropped.
        const __m512d sx = _mm512_maskz_mov_pd(inside, qx), sy = _mm512_maskz_mov_pd(inside, qy);
        const __m256i x0 = _mm512_cvttpd_epi32(sx), y0 = _mm512_cvttpd_epi32(sy);
        const __m512d dx = _mm512_sub_pd(sx, _mm512_cvtepi32_pd(x0)), dy = _mm512_sub_pd(sy, _mm512_cvtepi32_pd(y0));
        const __m256 fx = _mm512_cvtpd_ps(dx), fy = _mm512_cvtpd_ps(dy);
        const __m256i x1 = _mm256_min_epi32(_mm256_add_epi32(x0, one), rightmost);
        const __m256i y1 = _mm256_min_epi32(_mm256_add_epi32(y0, one), lowest);
        const __m256i upper = _mm256_mullo_epi32(y0, width), lower = _mm256_mullo_epi32(y1, width);
        const __m256 a0 = _mm256_i32gather_ps(plane, _mm256_add_epi32(upper, x0), 4);
        const __m256 a1 = _mm256_i32gather_ps(plane, _mm256_add_epi32(upper, x1), 4);
        const __m256 b0 = _mm256_i32gather_ps(plane, _mm256_add_epi32(lower, x0), 4);
        const __m256 b1 = _mm256_i32gather_ps(plane, _mm256_add_epi32(lower, x1), 4);
        const __m256 top = _mm256_add_ps(a0, _mm256_mul_ps(_mm256_sub_ps(a1, a0), fx));
        const __m256 bottom = _mm256_add_ps(b0, _mm256_mul_ps(_mm256_sub_ps(b1, b0), fx));
        const __m256 value = _mm256_add_ps(top, _mm256_mul_ps(_mm256_sub_ps(bottom, top), fy));
        const __m256 e = _mm256_andnot_ps(signBit, _mm256_sub_ps(value, _mm256_loadu_ps(reference + x)));
        // nearest(): whole + 1 where the fraction is half or more.
        const __m256i nx = _mm256_mask_add_epi32(x0, _mm512_cmp_pd_mask(dx, half, _CMP_GE_OQ), x0, one);
        const __m256i ny = _mm256_mask_add_epi32(y0, _mm512_cmp_pd_mask(dy, half, _CMP_GE_OQ), y0, one);
        _mm256_storeu_ps(change + x, _mm256_mask_blend_ps(inside, minusOne, e));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(source + x),
                            _mm256_maskz_mov_epi32(inside, _mm256_add_epi32(_mm256_mullo_epi32(ny, width), nx)));
        if (map.far) {
            const __m256 smallest = _mm256_loadu_ps(totals.smallest + x);
            const __mmask8 first = _mm256_cmp_ps_mask(smallest, _mm256_setzero_ps(), _CMP_LT_OQ);
            const __m256 updated = _mm256_mask_blend_ps(first, _mm256_min_ps(e, smallest), e);
            _mm256_storeu_ps(totals.smallest + x, _mm256_mask_blend_ps(inside, smallest, updated));
        }
        // Adding +0 leaves a sum of non-negative values as it is.
        const __m512d wide = _mm512_maskz_mov_pd(inside, _mm512_cvtps_pd(e));
        _mm512_storeu_pd(totals.sums + x, _mm512_add_pd(_mm512_loadu_pd(totals.sums + x), wide));
        const __m256 largest = _mm256_loadu_ps(totals.largest + x);
        _mm256_storeu_ps(totals.largest + x, _mm256_mask_blend_ps(inside, largest, _mm256_max_ps(e, largest)));
        __m256i* counts = reinterpret_cast<__m256i*>(totals.counts + x);
        _mm256_storeu_si256(counts, _mm256_mask_add_epi32(_mm256_loadu_si256(counts), inside, _mm256_loadu_si256(counts), one));
    }
    return x;
}
#pragma GCC diagnostic pop
#endif

// sampleRow, eight or four pixels at a time where the processor can.
void sampleFrameRow(const FloatPlane& other, const PlaneMap& map, const float* reference, int32_t y, float* change,
                    uint32_t* source, const RowTotals& totals)
{
    int32_t done = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx512)
        done = sampleRowAvx512(other, map, reference, y, change, source, totals);
    else if (avx2)
        done = sampleRowAvx2(other, map, reference, y, change, source, totals);
#endif
    sampleRow(other, map, reference, y, done, change, source, totals);
}

// The comparison of round one: every aligned sample counts, and `aligned` needs half of the
// frames (at least three) to cover a pixel.
Comparison compareFrames(const FloatPlane& base, const std::vector<FloatPlane>& others, const std::vector<PlaneMap>& maps)
{
    const int32_t w = base.width, h = base.height;
    const size_t n = others.size(), width = static_cast<size_t>(w);
    Comparison out{FloatPlane(w, h), FloatPlane(w, h), FloatPlane(w, h), std::vector<AlignedSamples>(n)};
    for (AlignedSamples& samples : out.samples) {
        samples.change = FloatPlane(w, h);
        samples.source.resize(samples.change.values.size());
    }
    const int32_t required = std::max<int32_t>(3, static_cast<int32_t>(n / 2));
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        std::vector<double> sums(width), alignedSums(width);
        std::vector<float> largest(width), alignedLargest(width), smallest(width);
        std::vector<int32_t> counts(width);
        for (int32_t y = begin; y < end; ++y) {
            const float* reference = base.row(y);
            // As shot: frame by frame along the row (vectorises), each pixel's frames in order.
            std::fill(sums.begin(), sums.end(), 0.0);
            std::fill(largest.begin(), largest.end(), 0.0f);
            for (size_t k = 0; k < n; ++k) {
                const float* other = others[k].row(y);
                for (size_t x = 0; x < width; ++x) {
                    const float d = std::fabs(other[x] - reference[x]);
                    sums[x] += d;
                    largest[x] = std::max(largest[x], d);
                }
            }
            float* camera = out.camera.row(y);
            for (size_t x = 0; x < width; ++x)
                camera[x] = trimmedMean(sums[x], largest[x], static_cast<int32_t>(n));
            // Aligned: frame by frame along the row as well (each pixel's frames in order), so that
            // each frame's map and rows stay at hand.
            std::fill(alignedSums.begin(), alignedSums.end(), 0.0);
            std::fill(alignedLargest.begin(), alignedLargest.end(), 0.0f);
            std::fill(smallest.begin(), smallest.end(), -1.0f);
            std::fill(counts.begin(), counts.end(), 0);
            const RowTotals totals{alignedSums.data(), alignedLargest.data(), smallest.data(), counts.data()};
            for (size_t k = 0; k < n; ++k)
                sampleFrameRow(others[k], maps[k], reference, y, out.samples[k].change.row(y),
                               out.samples[k].source.data() + static_cast<size_t>(y) * width, totals);
            // A few aligned samples (a corner that most frames miss) are too few to compare.
            finishAlignedRow(alignedSums.data(), alignedLargest.data(), smallest.data(), counts.data(), required, width,
                             out.aligned.row(y), out.least.row(y));
        }
    });
    return out;
}

// The plane rows that base row y's samples come from, under every map: each map's source row is
// linear along the base row, so its ends bound it.
std::pair<int32_t, int32_t> sourceRows(const std::vector<PlaneMap>& maps, int32_t w, int32_t h, int32_t y)
{
    double lowest = h - 1.0, highest = 0.0;
    for (const PlaneMap& map : maps)
        for (const double x : {0.0, w - 1.0}) {
            const double qy = map.m[3] * x + map.m[4] * y + map.m[5];
            lowest = std::min(lowest, qy);
            highest = std::max(highest, qy);
        }
    const int32_t top = static_cast<int32_t>(std::clamp(std::floor(lowest), 0.0, h - 1.0));
    const int32_t bottom = static_cast<int32_t>(std::clamp(std::ceil(highest), 0.0, h - 1.0));
    return {top, std::max(top, bottom)};
}

// The comparison of round two from round one's samples: those whose source pixel is labelled
// ground are left out, and two samples are enough. Each pixel's frames are taken in order, as
// round one took them, so that where no sample is left out its result stands; `camera` is round
// one's. A row whose samples all come from rows without ground (the sky well above the horizon)
// takes round one's result where round one had one; one whose samples all come from ground rows
// has none.
Comparison compareFramesWithout(const std::vector<PlaneMap>& maps, const std::vector<int8_t>& labels,
                                const Comparison& first)
{
    const int32_t w = first.camera.width, h = first.camera.height;
    const size_t n = first.samples.size(), width = static_cast<size_t>(w);
    Comparison out{FloatPlane(), FloatPlane(w, h), FloatPlane(w, h), {}};
    constexpr int32_t Required = 2;
    const int8_t* const label = labels.data();
    // Ground pixels in the rows above each row.
    std::vector<int64_t> groundAbove(static_cast<size_t>(h) + 1, 0);
    for (int32_t y = 0; y < h; ++y)
        groundAbove[static_cast<size_t>(y) + 1] =
            groundAbove[static_cast<size_t>(y)] + std::count(label + y * width, label + (y + 1) * width, Ground);
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        std::vector<double> sums(width);
        std::vector<float> largest(width), smallest(width);
        std::vector<int32_t> counts(width);
        for (int32_t y = begin; y < end; ++y) {
            const size_t at = static_cast<size_t>(y) * width;
            const auto [top, bottom] = sourceRows(maps, w, h, y);
            const int64_t ground = groundAbove[static_cast<size_t>(bottom) + 1] - groundAbove[static_cast<size_t>(top)];
            const float* const firstAligned = first.aligned.row(y);
            if (ground == 0 && std::all_of(firstAligned, firstAligned + w, [](float a) { return a >= 0.0f; })) {
                std::copy_n(firstAligned, w, out.aligned.row(y));
                std::copy_n(first.least.row(y), w, out.least.row(y));
                continue;
            }
            if (ground == static_cast<int64_t>(bottom - top + 1) * w) {
                std::fill_n(out.aligned.row(y), w, -1.0f);
                std::fill_n(out.least.row(y), w, -1.0f);
                continue;
            }
            std::fill(sums.begin(), sums.end(), 0.0);
            std::fill(largest.begin(), largest.end(), 0.0f);
            std::fill(smallest.begin(), smallest.end(), -1.0f);
            std::fill(counts.begin(), counts.end(), 0);
            for (size_t k = 0; k < n; ++k) {
                const float* change = first.samples[k].change.row(y);
                const uint32_t* source = first.samples[k].source.data() + at;
                const bool far = maps[k].far;
                for (size_t x = 0; x < width; ++x) {
                    const float e = change[x];
                    if (e < 0.0f || label[source[x]] == Ground)
                        continue;
                    if (far)
                        smallest[x] = smallest[x] < 0.0f ? e : std::min(smallest[x], e);
                    sums[x] += e;
                    largest[x] = std::max(largest[x], e);
                    ++counts[x];
                }
            }
            finishAlignedRow(sums.data(), largest.data(), smallest.data(), counts.data(), Required, width,
                             out.aligned.row(y), out.least.row(y));
        }
    });
    return out;
}

float medianOf(std::vector<float> values)
{
    if (values.empty())
        return 0.0f;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Median of every 4th value: the series' typical change, as cheap as the plane is large.
float typicalOf(const FloatPlane& camera)
{
    std::vector<float> values;
    values.reserve(camera.values.size() / 4 + 1);
    for (size_t i = 0; i < camera.values.size(); i += 4)
        values.push_back(camera.values[i]);
    return medianOf(std::move(values));
}

// The strength of rows [first, last) into `out`: 2 / −2 clear sky / ground, 1 / −1 either, 0
// neither. Without branches, so that it runs along the row in vectors.
void seedStrength(const FloatPlane& camera, const FloatPlane& aligned, const FloatPlane& least, float typical,
                  int32_t first, int32_t last, int8_t* out)
{
    const float* c = camera.row(first);
    const float* a = aligned.row(first);
    const float* g = least.row(first);
    for (size_t i = 0; i < static_cast<size_t>(last - first) * static_cast<size_t>(camera.width); ++i) {
        const float scale = SeedRatio * (std::min(c[i], a[i]) + typical);
        const float groundScale = SeedRatio * (std::min(c[i], g[i]) + GroundFloor * typical);
        const float skyMargin = c[i] - a[i], groundMargin = g[i] - c[i];
        const bool covered = a[i] >= 0.0f, sky = covered && skyMargin > scale;
        const bool ground = covered && !sky && g[i] >= 0.0f && groundMargin > groundScale;
        const int8_t skyStrength = skyMargin > 3.0f * scale ? 2 : 1;
        const int8_t groundStrength = groundMargin > 3.0f * groundScale ? -2 : -1;
        out[i] = sky ? skyStrength : ground ? groundStrength : 0;
    }
}

// Sky where the detail follows the stars, ground where it stays with the camera in every moving
// frame (`least`: the smallest aligned change), 0 elsewhere. A
// seed needs a neighbour of its kind unless it is three times as clear: chance agreement of a
// few samples near the border makes single seeds, a star or a lit window makes a cluster.
// `finish(y, row)` is called with each row of seeds once it is made, on the band's thread.
template <typename Finish>
std::vector<int8_t> seedsOf(const FloatPlane& camera, const FloatPlane& aligned, const FloatPlane& least, float typical,
                            Finish&& finish)
{
    const int32_t w = camera.width, h = camera.height;
    const size_t width = static_cast<size_t>(w);
    std::vector<int8_t> seeds(camera.values.size());
    // Each band takes the strength of its rows and one beyond on either side into a store of its own.
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        const int32_t first = std::max(0, begin - 1), last = std::min(h, end + 1);
        std::vector<int8_t> strength(static_cast<size_t>(last - first) * width);
        seedStrength(camera, aligned, least, typical, first, last, strength.data());
        const auto strengthRow = [&](int32_t y) { return strength.data() + static_cast<size_t>(y - first) * width; };
        // The rule for one pixel, neighbours clipped to the plane (the border rows and columns).
        const auto clipped = [&](int32_t x, int32_t y) {
            const int8_t own = strengthRow(y)[x];
            if (own == 0)
                return;
            bool kept = own == 2 || own == -2;
            for (int32_t dy = -1; dy <= 1 && !kept; ++dy)
                for (int32_t dx = -1; dx <= 1 && !kept; ++dx) {
                    const int32_t nx = x + dx, ny = y + dy;
                    if ((dx || dy) && nx >= 0 && ny >= 0 && nx < w && ny < h)
                        kept = (strengthRow(ny)[nx] > 0) == (own > 0) && strengthRow(ny)[nx] != 0;
                }
            if (kept)
                seeds[static_cast<size_t>(y) * width + x] = own > 0 ? Sky : Ground;
        };
        for (int32_t y = begin; y < end; ++y) {
            if (y == 0 || y == h - 1 || w < 3) {
                for (int32_t x = 0; x < w; ++x)
                    clipped(x, y);
                finish(y, seeds.data() + static_cast<size_t>(y) * width);
                continue;
            }
            clipped(0, y);
            // Inside: whether any of the 8 neighbours is a sky seed or a ground seed, along the row.
            const int8_t* above = strengthRow(y - 1);
            const int8_t* row = above + width;
            const int8_t* below = row + width;
            int8_t* out = seeds.data() + static_cast<size_t>(y) * width;
            for (int32_t x = 1; x + 1 < w; ++x) {
                const int8_t own = row[x];
                const bool skyAround = (above[x - 1] > 0) | (above[x] > 0) | (above[x + 1] > 0) | (row[x - 1] > 0) |
                                       (row[x + 1] > 0) | (below[x - 1] > 0) | (below[x] > 0) | (below[x + 1] > 0);
                const bool groundAround = (above[x - 1] < 0) | (above[x] < 0) | (above[x + 1] < 0) |
                                          (row[x - 1] < 0) | (row[x + 1] < 0) | (below[x - 1] < 0) |
                                          (below[x] < 0) | (below[x + 1] < 0);
                const bool strong = own == 2 || own == -2;
                const bool sky = own > 0 && (strong || skyAround), ground = own < 0 && (strong || groundAround);
                out[x] = sky ? Sky : ground ? Ground : 0;
            }
            clipped(w - 1, y);
            finish(y, out);
        }
    });
    return seeds;
}

std::vector<int8_t> seedsOf(const FloatPlane& camera, const FloatPlane& aligned, const FloatPlane& least, float typical)
{
    return seedsOf(camera, aligned, least, typical, [](int32_t, int8_t*) {});
}

// Cost of a step between 4-neighbours of the brightness plane: a little, and much more across an
// edge, growing with its square in units of the plane's typical step. Kept per pixel for the step
// to the right and the one down (NoStep past the plane's border), as both rounds grow over it.
constexpr uint16_t NoStep = UINT16_MAX;

struct StepCosts {
    std::vector<uint16_t> right;
    std::vector<uint16_t> down;
};

StepCosts stepCostsOf(const FloatPlane& brightness, float unit)
{
    const int32_t w = brightness.width, h = brightness.height;
    StepCosts costs;
    costs.right.resize(brightness.values.size());
    costs.down.resize(brightness.values.size());
    const auto cost = [unit](float a, float b) {
        const float r = std::fabs(a - b) / unit;
        const float c = 2.0f + r * r;
        return c < Buckets - 1 ? static_cast<uint16_t>(c) : static_cast<uint16_t>(Buckets - 1);
    };
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const float* row = brightness.row(y);
            uint16_t* right = costs.right.data() + static_cast<size_t>(y) * w;
            uint16_t* down = costs.down.data() + static_cast<size_t>(y) * w;
            for (int32_t x = 0; x + 1 < w; ++x)
                right[x] = cost(row[x], row[x + 1]);
            right[w - 1] = NoStep;
            if (y + 1 < h) {
                const float* below = brightness.row(y + 1);
                for (int32_t x = 0; x < w; ++x)
                    down[x] = cost(row[x], below[x]);
            } else {
                std::fill_n(down, w, NoStep);
            }
        }
    });
    return costs;
}

// How far the brightness spreads within the ringing distance of each pixel (largest less
// smallest), and whether the pixel is brighter than the middle of that span.
struct Range {
    FloatPlane spread;
    std::vector<uint8_t, Unset<uint8_t>> aboveMiddle;
};

// Over the (2r + 1)² window clipped to the plane, separably: each band takes the row steps of its
// rows and r beyond into a store of its own, then the column steps, each a run of whole-row steps.
Range rangeOf(const FloatPlane& in, int32_t r)
{
    const int32_t w = in.width, h = in.height;
    const size_t width = static_cast<size_t>(w);
    Range range{FloatPlane(w, h), {}};
    range.aboveMiddle.resize(in.values.size());
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        const int32_t first = std::max(0, begin - r), last = std::min(h, end + r);
        std::vector<float> rowLow(static_cast<size_t>(last - first) * width), rowHigh(rowLow.size());
        for (int32_t y = first; y < last; ++y) {
            const float* src = in.row(y);
            float* lo = rowLow.data() + static_cast<size_t>(y - first) * width;
            float* hi = rowHigh.data() + static_cast<size_t>(y - first) * width;
            std::copy_n(src, w, lo);
            std::copy_n(src, w, hi);
            // Pixel x meets x − k and x + k at each step k; past the ends, the end pixels (already met).
            for (int32_t k = 1; k <= r && k < w; ++k) {
                for (int32_t x = k; x < w; ++x) {
                    lo[x] = std::min(lo[x], src[x - k]);
                    hi[x] = std::max(hi[x], src[x - k]);
                }
                for (int32_t x = 0; x + k < w; ++x) {
                    lo[x] = std::min(lo[x], src[x + k]);
                    hi[x] = std::max(hi[x], src[x + k]);
                }
            }
        }
        std::vector<float> lo(width), hi(width);
        for (int32_t y = begin; y < end; ++y) {
            std::copy_n(rowLow.data() + static_cast<size_t>(y - first) * width, w, lo.data());
            std::copy_n(rowHigh.data() + static_cast<size_t>(y - first) * width, w, hi.data());
            for (int32_t k = std::max(0, y - r); k <= std::min(h - 1, y + r); ++k) {
                const float* a = rowLow.data() + static_cast<size_t>(k - first) * width;
                const float* b = rowHigh.data() + static_cast<size_t>(k - first) * width;
                for (size_t x = 0; x < width; ++x) {
                    lo[x] = std::min(lo[x], a[x]);
                    hi[x] = std::max(hi[x], b[x]);
                }
            }
            const float* value = in.row(y);
            float* spread = range.spread.row(y);
            uint8_t* above = range.aboveMiddle.data() + static_cast<size_t>(y) * width;
            for (size_t x = 0; x < width; ++x) {
                spread[x] = hi[x] - lo[x];
                above[x] = value[x] > 0.5f * (hi[x] + lo[x]);
            }
        }
    });
    return range;
}

// Typical brightness (of the frames' camera median) under the sky seeds and under the ground seeds.
struct Levels {
    float sky = 0.0f;
    float ground = 0.0f;

    bool known() const { return sky != ground; }
    // Nearer the ground's level than the sky's.
    bool groundLike(float value) const { return std::fabs(value - ground) < std::fabs(value - sky); }
};

Levels levelsOf(const std::vector<int8_t>& seeds, const FloatPlane& brightness)
{
    std::vector<float> skyLevels, groundLevels;
    for (size_t i = 0; i < seeds.size(); ++i)
        if (seeds[i] == Sky)
            skyLevels.push_back(brightness.values[i]);
        else if (seeds[i] == Ground)
            groundLevels.push_back(brightness.values[i]);
    if (skyLevels.empty() || groundLevels.empty())
        return {};
    return {medianOf(std::move(skyLevels)), medianOf(std::move(groundLevels))};
}

// The high-pass detail of a static edge rings on both its sides, so the sky just beside the
// horizon reads as ground; grown from there, the ground runs into the sky as far as the next star.
// Where a seed has an edge as strong as half the sky/ground contrast within the ringing distance,
// a ground seed on the sky's side of it (brighter or darker, as the sky is to the ground) is dropped.
struct RingingTest {
    const Range& range;
    float contrast;
    bool skyBrighter;

    RingingTest(const Range& r, const Levels& levels)
        : range(r), contrast(std::fabs(levels.sky - levels.ground)), skyBrighter(levels.sky > levels.ground)
    {
    }

    // Whether ground seed i is such ringing.
    bool rings(size_t i) const
    {
        if (!(contrast > 0.0f))
            return false;
        if (range.spread.values[i] < 0.5f * contrast)
            return false;
        return (range.aboveMiddle[i] != 0) == skyBrighter;
    }
};

void dropRingingGround(std::vector<int8_t>& seeds, const FloatPlane& brightness, const Range& range, const Levels& levels)
{
    const RingingTest test(range, levels);
    if (!(test.contrast > 0.0f))
        return;
    eachPixel(brightness.width, brightness.height, [&](size_t i) {
        if (seeds[i] == Ground && test.rings(i))
            seeds[i] = 0;
    });
}

// A pixel reached at a cost with a label: a seed, or a pixel on the seam between the two halves
// of the growth that the other half reaches more cheaply.
struct Reached {
    uint32_t at;
    uint32_t cost;
    int8_t label;
};

// Grows labels by the cheapest path over the step costs within rows [top, bottom) of the plane
// (Dijkstra with a ring of buckets), from what `ring` holds at cost 0 and from `starts` in order
// of cost; a start counts where it is cheaper than what its pixel has. Every step costs 2 at least
// and less than Buckets, so the ring holds all that is queued once each start joins it at its own
// cost. The ring is left empty, its buckets' storage kept for the next growth.
void growPart(const StepCosts& steps, int32_t w, int32_t top, int32_t bottom, const std::vector<Reached>& starts,
              int8_t* labels, uint32_t* cost, std::vector<std::vector<uint32_t>>& ring)
{
    size_t queued = ring.front().size(), next = 0;
    const uint16_t* const right = steps.right.data();
    const uint16_t* const down = steps.down.data();
    const size_t width = static_cast<size_t>(w);
    const size_t first = static_cast<size_t>(top) * width, end = static_cast<size_t>(bottom) * width;
    const auto relax = [&](size_t at, size_t to, uint16_t step, uint32_t value) {
        const uint32_t reached = value + step;
        if (reached < cost[to]) {
            cost[to] = reached;
            labels[to] = labels[at];
            ring[reached % Buckets].push_back(static_cast<uint32_t>(to));
            ++queued;
        }
    };
    std::vector<uint32_t> current;
    uint32_t value = queued > 0 || starts.empty() ? 0 : starts.front().cost;
    for (;; ++value) {
        if (queued == 0) {
            if (next == starts.size())
                break;
            value = std::max(value, starts[next].cost);
        }
        std::vector<uint32_t>& bucket = ring[value % Buckets];
        for (; next < starts.size() && starts[next].cost == value; ++next) {
            const Reached& start = starts[next];
            if (start.cost < cost[start.at]) {
                cost[start.at] = start.cost;
                labels[start.at] = start.label;
                bucket.push_back(start.at);
                ++queued;
            }
        }
        current.swap(bucket);
        queued -= current.size();
        // What was reached more cheaply since it was queued is dropped; nothing in this bucket
        // changes while it is walked.
        for (const uint32_t entry : current) {
            const size_t at = entry;
            if (cost[at] != value)
                continue;
            // Left, right, up, down: the order decides ties, and with them the labels.
            if (at > first && right[at - 1] != NoStep)
                relax(at, at - 1, right[at - 1], value);
            if (right[at] != NoStep)
                relax(at, at + 1, right[at], value);
            if (at >= first + width)
                relax(at, at - width, down[at - width], value);
            if (at + width < end)
                relax(at, at + width, down[at], value);
        }
        current.clear();
    }
    ring.front().swap(current);
}

// Grows the seeds by the cheapest path over the step costs. The fronts meet at the strongest edge
// between sky and ground, the horizon, and a front that slipped across it where it is faint does
// not get far on the other side.
// The upper and lower halves grow at once, each from its own seeds; then each seam pixel that the
// other half reaches more cheaply grows again from there, until neither does. The costs are those
// of the whole plane grown at once (a cheapest path that crosses the seam is found in pieces);
// where two paths cost the same, the label may be the other's. Always two halves, whatever the
// thread count, so the result does not depend on it.
std::vector<int8_t> growSeeds(const StepCosts& steps, int32_t w, const std::vector<int8_t>& seeds)
{
    const int32_t h = w > 0 ? static_cast<int32_t>(seeds.size() / static_cast<size_t>(w)) : 0;
    const int32_t seam = h >= 4 ? h / 2 : h;
    const size_t width = static_cast<size_t>(w);
    std::vector<int8_t> labels(seeds.size());
    std::vector<uint32_t, Unset<uint32_t>> cost(seeds.size());
    std::vector<Reached> starts[2];
    std::vector<std::vector<uint32_t>> rings[2] = {std::vector<std::vector<uint32_t>>(Buckets),
                                                   std::vector<std::vector<uint32_t>>(Buckets)};
    const int32_t top[2] = {0, seam}, bottom[2] = {seam, h};
    // Each half starts unreached but for its seeds, queued at cost 0 in the order of their pixels;
    // a seed with seeds all about it reaches nothing, so it is not queued.
    const auto startPart = [&](int part) {
        const int8_t* const seed = seeds.data();
        std::vector<uint32_t>& queue = rings[part].front();
        for (int32_t y = top[part]; y < bottom[part]; ++y) {
            const size_t row = static_cast<size_t>(y) * width;
            const bool above = y > top[part], below = y + 1 < bottom[part];
            for (int32_t x = 0; x < w; ++x) {
                const size_t at = row + static_cast<size_t>(x);
                labels[at] = seed[at];
                cost[at] = seed[at] != 0 ? 0 : UINT32_MAX;
                const bool enclosed = (x == 0 || seed[at - 1] != 0) && (x + 1 == w || seed[at + 1] != 0) &&
                                      (!above || seed[at - width] != 0) && (!below || seed[at + width] != 0);
                if (seed[at] != 0 && !enclosed)
                    queue.push_back(static_cast<uint32_t>(at));
            }
        }
    };
    const auto growPartFrom = [&](int part) {
        growPart(steps, w, top[part], bottom[part], starts[part], labels.data(), cost.data(), rings[part]);
    };
    velthread::bothAtOnce([&] { startPart(0); growPartFrom(0); }, [&] { startPart(1); growPartFrom(1); });
    while (seam < h) {
        starts[0].clear();
        starts[1].clear();
        for (int32_t x = 0; x < w; ++x) {
            const size_t a = (seam - 1) * width + x, b = a + width;
            const uint32_t step = steps.down[a];
            if (cost[a] != UINT32_MAX && cost[a] + step < cost[b])
                starts[1].push_back({static_cast<uint32_t>(b), cost[a] + step, labels[a]});
            else if (cost[b] != UINT32_MAX && cost[b] + step < cost[a])
                starts[0].push_back({static_cast<uint32_t>(a), cost[b] + step, labels[b]});
        }
        if (starts[0].empty() && starts[1].empty())
            break;
        for (std::vector<Reached>& part : starts)
            std::stable_sort(part.begin(), part.end(), [](const Reached& p, const Reached& q) { return p.cost < q.cost; });
        velthread::bothAtOnce([&] { growPartFrom(0); }, [&] { growPartFrom(1); });
    }
    return labels;
}

// A row's run of one label: pixels [begin, end) of row y.
struct Run {
    int32_t y, begin, end;
};

// A 4-connected patch of one label: its size, its seed count, the extent of its seeds and the
// sum of its brightness.
struct Patch {
    int64_t size = 0;
    int32_t seeds = 0;
    int32_t left = INT32_MAX, right = -1, top = INT32_MAX, bottom = -1;
    double brightness = 0.0;

    // All its seeds in one dot (a hot pixel, a lone star, a static spot of that size).
    bool dot() const { return right - left <= DotSize && bottom - top <= DotSize; }
};

// The patches of one label, found as runs along the rows joined where they touch the row above
// (far cheaper than a walk pixel by pixel). `patches` is in the order of each patch's first pixel
// (row by row); `runPatch` gives each run's patch.
struct Patches {
    std::vector<Run> runs;
    std::vector<uint32_t> runPatch;
    std::vector<Patch> patches;
};

uint32_t rootOf(std::vector<uint32_t>& parent, uint32_t i)
{
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

Patches patchesOf(const std::vector<int8_t>& labels, const std::vector<int8_t>& seeds, int32_t w, int32_t h,
                  int8_t label, const FloatPlane* brightness)
{
    Patches out;
    std::vector<Run>& runs = out.runs;
    std::vector<uint32_t> parent;
    size_t above = 0, aboveEnd = 0;  // the runs of the row above
    for (int32_t y = 0; y < h; ++y) {
        const int8_t* row = labels.data() + static_cast<size_t>(y) * w;
        const size_t rowStart = runs.size();
        for (int32_t x = 0; x < w;) {
            if (row[x] != label) {
                ++x;
                continue;
            }
            const int32_t begin = x;
            while (x < w && row[x] == label)
                ++x;
            const uint32_t index = static_cast<uint32_t>(runs.size());
            runs.push_back({y, begin, x});
            parent.push_back(index);
            while (above < aboveEnd && runs[above].end <= begin)
                ++above;
            // The smaller index becomes the root, so that each patch's root is its first run.
            for (size_t q = above; q < aboveEnd && runs[q].begin < x; ++q) {
                const uint32_t a = rootOf(parent, static_cast<uint32_t>(q)), b = rootOf(parent, index);
                parent[std::max(a, b)] = std::min(a, b);
            }
        }
        above = rowStart;
        aboveEnd = runs.size();
    }
    out.runPatch.resize(runs.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        const uint32_t root = rootOf(parent, static_cast<uint32_t>(i));
        if (root == i) {
            out.runPatch[i] = static_cast<uint32_t>(out.patches.size());
            out.patches.emplace_back();
        } else {
            out.runPatch[i] = out.runPatch[root];
        }
        Patch& patch = out.patches[out.runPatch[i]];
        const Run& run = runs[i];
        const size_t at = static_cast<size_t>(run.y) * w;
        patch.size += run.end - run.begin;
        const int8_t* seed = seeds.data() + at;
        int32_t first = -1, last = -1;
        for (int32_t x = run.begin; x < run.end; ++x)
            if (seed[x] == label) {
                if (first < 0)
                    first = x;
                last = x;
                ++patch.seeds;
            }
        if (first >= 0) {
            patch.left = std::min(patch.left, first);
            patch.right = std::max(patch.right, last);
            patch.top = std::min(patch.top, run.y);
            patch.bottom = std::max(patch.bottom, run.y);
        }
        if (brightness) {
            const float* value = brightness->row(run.y);
            double sum = patch.brightness;
            for (int32_t x = run.begin; x < run.end; ++x)
                sum += value[x];
            patch.brightness = sum;
        }
    }
    return out;
}

// Sets the pixels of every patch that `turned` picks to `label`.
template <typename Pick>
void turnPatches(std::vector<int8_t>& labels, int32_t w, const Patches& found, int8_t label, Pick&& turned)
{
    for (size_t i = 0; i < found.runs.size(); ++i)
        if (turned(found.runPatch[i])) {
            const Run& run = found.runs[i];
            std::fill(labels.begin() + static_cast<ptrdiff_t>(run.y) * w + run.begin,
                      labels.begin() + static_cast<ptrdiff_t>(run.y) * w + run.end, label);
        }
}

// Ground patches with too few seeds for their size, or only a dot of them, become sky; then
// sky patches grown from a dot alone or as dark as the ground (chance seeds inside the ground)
// become ground, unless that is all the sky there is.
void dropStrayPatches(std::vector<int8_t>& labels, const std::vector<int8_t>& seeds, int32_t w, int32_t h,
                      const FloatPlane& brightness, const Levels& levels)
{
    const Patches ground = patchesOf(labels, seeds, w, h, Ground, nullptr);
    std::vector<uint8_t> turned(ground.patches.size());
    for (size_t k = 0; k < ground.patches.size(); ++k) {
        const Patch& patch = ground.patches[k];
        const int64_t needed = std::max<int64_t>(MinimumGroundSeeds, patch.size / GroundSeedArea);
        turned[k] = patch.dot() || patch.seeds < needed;
    }
    turnPatches(labels, w, ground, Sky, [&](uint32_t k) { return turned[k] != 0; });
    const Patches sky = patchesOf(labels, seeds, w, h, Sky, &brightness);
    turned.assign(sky.patches.size(), 0);
    size_t most = SIZE_MAX;
    int32_t mostSeeds = 0;
    for (size_t k = 0; k < sky.patches.size(); ++k) {
        const Patch& patch = sky.patches[k];
        const bool dark = levels.known() && levels.groundLike(static_cast<float>(patch.brightness / patch.size));
        if (patch.dot() || dark) {
            turned[k] = 1;
            if (patch.seeds > mostSeeds) {
                mostSeeds = patch.seeds;
                most = k;
            }
        } else if (patch.seeds > mostSeeds) {
            mostSeeds = patch.seeds;
            most = SIZE_MAX;
        }
    }
    if (most != SIZE_MAX)
        turned[most] = 0;
    turnPatches(labels, w, sky, Ground, [&](uint32_t k) { return turned[k] != 0; });
}

// Steps (4-connected) from every pixel to the nearest change of label, up to `limit`; farther
// pixels get limit + 1. Over the whole grid the steps are the distance along x plus along y to
// the nearest such pixel, so each axis is done apart: along each row, then down each column,
// both ways (rows, then column bands, on the pool).
// `finished(steps, y, begin, end)` is called with each row's steps as soon as pixels [begin, end)
// of it are final.
template <typename Finished>
std::vector<int32_t> boundaryDistance(const std::vector<int8_t>& labels, int32_t w, int32_t h, int32_t limit,
                                      Finished&& finished)
{
    const int32_t beyond = limit + 1;
    const size_t width = static_cast<size_t>(w);
    std::vector<int32_t> steps(labels.size());
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const int8_t* row = labels.data() + static_cast<size_t>(y) * width;
            const int8_t* above = y > 0 ? row - width : nullptr;
            const int8_t* below = y + 1 < h ? row + width : nullptr;
            int32_t* out = steps.data() + static_cast<size_t>(y) * width;
            int32_t d = beyond;
            for (int32_t x = 0; x < w; ++x) {
                const int8_t own = row[x];
                const bool edge = (x + 1 < w && row[x + 1] != own) || (x > 0 && row[x - 1] != own) ||
                                  (below && below[x] != own) || (above && above[x] != own);
                d = edge ? 0 : std::min(d + 1, beyond);
                out[x] = d;
            }
            d = beyond;
            for (int32_t x = w - 1; x >= 0; --x) {
                d = out[x] == 0 ? 0 : std::min(d + 1, beyond);
                out[x] = std::min(out[x], d);
            }
        }
    });
    velthread::parallelRows(w, [&](int32_t begin, int32_t end) {
        for (int32_t y = 1; y < h; ++y) {
            int32_t* row = steps.data() + static_cast<size_t>(y) * width;
            const int32_t* above = row - width;
            for (int32_t x = begin; x < end; ++x)
                row[x] = std::min(row[x], std::min(above[x] + 1, beyond));
        }
        finished(steps.data() + static_cast<size_t>(h - 1) * width, h - 1, begin, end);
        for (int32_t y = h - 2; y >= 0; --y) {
            int32_t* row = steps.data() + static_cast<size_t>(y) * width;
            const int32_t* below = row + width;
            for (int32_t x = begin; x < end; ++x)
                row[x] = std::min(row[x], std::min(below[x] + 1, beyond));
            finished(row, y, begin, end);
        }
    });
    return steps;
}

// Typical step between neighbours of the brightness plane: the unit of the growth's edge costs.
// Equal neighbours do not count: 8-bit frames turn the smooth sky glow into flat bands, and a unit
// of almost nothing would make every band's edge a horizon.
float edgeStep(const FloatPlane& brightness)
{
    std::vector<float> steps;
    steps.reserve(brightness.values.size() / 4 + 1);
    for (int32_t y = 0; y < brightness.height; y += 2) {
        const float* row = brightness.row(y);
        for (int32_t x = 1; x < brightness.width; x += 2) {
            const float step = std::fabs(row[x] - row[x - 1]);
            if (step > 1e-3f)
                steps.push_back(step);
        }
    }
    return std::max(0.25f, medianOf(std::move(steps)));
}

void fill(velimage::Image16& mask, uint16_t value) { std::fill_n(mask.data(), mask.elementCount(), value); }

// The full-size mask is written once and read much later: stores that bypass the caches save
// reading each line in before it is written (nearly half the time of a plain fill or copy).
// Each band ends with finishStreaming(), which makes its stores visible before the band is done.
void streamFill(uint16_t* out, uint16_t value, size_t count)
{
#if defined(__SSE2__)
    size_t x = 0;
    for (; x < count && reinterpret_cast<uintptr_t>(out + x) % 16 != 0; ++x)
        out[x] = value;
    const __m128i values = _mm_set1_epi16(static_cast<short>(value));
    for (; x + 8 <= count; x += 8)
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + x), values);
    for (; x < count; ++x)
        out[x] = value;
#else
    std::fill_n(out, count, value);
#endif
}

void streamCopy(const uint16_t* in, size_t count, uint16_t* out)
{
#if defined(__SSE2__)
    size_t x = 0;
    for (; x < count && reinterpret_cast<uintptr_t>(out + x) % 16 != 0; ++x)
        out[x] = in[x];
    for (; x + 8 <= count; x += 8)
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + x), _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x)));
    for (; x < count; ++x)
        out[x] = in[x];
#else
    std::copy_n(in, count, out);
#endif
}

void finishStreaming()
{
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// A mask value from the smoothed labels (0 ground .. 65535 sky): its soft edge lies on the sky's
// side of the half-way line, and every pixel on the ground's side is 0. The run counts every
// non-zero value as sky when it aligns the frames, and ground taken for sky there would be blurred.
uint16_t maskValue(float smooth)
{
    return smooth <= 32767.5f ? uint16_t{0} : static_cast<uint16_t>(2.0f * smooth - 65535.0f + 0.5f);
}

// The sharp mask's value for a mask value: sky wherever it is not 0.
uint16_t sharpValue(uint16_t value) { return value != 0 ? uint16_t{65535} : uint16_t{0}; }

void sharpRow(const uint16_t* values, int32_t width, uint16_t* out)
{
    for (int32_t x = 0; x < width; ++x)
        out[x] = sharpValue(values[x]);
}

// The labels as 0 .. 65535 at the frame's size: a 3 × 3 mean, then bilinear between block
// centres. Each band widens the two plane rows it blends to the frame's width once, so that each
// frame row is one blend of two of them.
void writeSoftMask(const std::vector<int8_t>& labels, int32_t w, int32_t h, int32_t factor, velimage::Image16* mask,
                   velimage::Image16* twin)
{
    velimage::Image16& drawn = mask ? *mask : *twin;
    // Rows inside the plane whose labels and their neighbours' are all of one kind (most of it):
    // their mean is that of any such row, made once (`skyRow`; all ground is 0).
    const std::vector<int8_t> rowKind = rowLabels(labels, w, h);
    const auto plain = [&](int32_t y) {
        const int8_t kind = rowKind[static_cast<size_t>(y)];
        return y > 0 && y + 1 < h && w > 2 && kind != 0 && rowKind[static_cast<size_t>(y - 1)] == kind &&
               rowKind[static_cast<size_t>(y + 1)] == kind;
    };
    std::vector<float> skyRow(static_cast<size_t>(w));
    {
        const std::vector<float> skyRows(3 * static_cast<size_t>(w), 65535.0f);
        std::vector<float> down(static_cast<size_t>(w));
        meanRowOf<1>(skyRows.data(), w, 3, 1, down.data(), skyRow.data());
    }
    // The labels as 0 / 65535, each band's rows and one beyond on either side in a store of its
    // own, and their 3 × 3 mean.
    FloatPlane soft(w, h);
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        const int32_t first = std::max(0, begin - 1), last = std::min(h, end + 1);
        const size_t width = static_cast<size_t>(w);
        std::vector<float> sky(static_cast<size_t>(last - first) * width), down(width);
        const int8_t* label = labels.data() + static_cast<size_t>(first) * width;
        for (size_t i = 0; i < sky.size(); ++i)
            sky[i] = label[i] == Sky ? 65535.0f : 0.0f;
        for (int32_t y = begin; y < end; ++y) {
            if (!plain(y))
                meanRowOf<1>(sky.data(), w, last - first, y - first, down.data(), soft.row(y));
            else if (rowKind[static_cast<size_t>(y)] == Ground)
                std::fill_n(soft.row(y), w, 0.0f);
            else
                std::copy(skyRow.begin(), skyRow.end(), soft.row(y));
        }
    });
    const double o = 0.5 * (factor - 1);
    const int32_t width = drawn.width();
    std::vector<int32_t> left(static_cast<size_t>(width)), right(static_cast<size_t>(width));
    std::vector<float> share(static_cast<size_t>(width));
    for (int32_t x = 0; x < width; ++x) {
        const double u = std::clamp((x - o) / factor, 0.0, w - 1.0);
        left[static_cast<size_t>(x)] = static_cast<int32_t>(u);
        right[static_cast<size_t>(x)] = std::min(left[static_cast<size_t>(x)] + 1, w - 1);
        share[static_cast<size_t>(x)] = static_cast<float>(u - left[static_cast<size_t>(x)]);
    }
    // The frame columns of each plane column (those whose left neighbour it is), in order: where
    // it and the next are alike (most of a row) their blend is the value itself.
    std::vector<int32_t> columnsFrom(static_cast<size_t>(w) + 1, width);
    for (int32_t x = width - 1; x >= 0; --x)
        columnsFrom[static_cast<size_t>(left[static_cast<size_t>(x)])] = x;
    for (int32_t u = w - 1; u >= 0; --u)
        columnsFrom[static_cast<size_t>(u)] = std::min(columnsFrom[static_cast<size_t>(u)], columnsFrom[static_cast<size_t>(u) + 1]);
    const auto widen = [&](int32_t v, float* out) {
        const float* in = soft.row(v);
        for (int32_t u = 0; u < w; ++u) {
            const size_t first = static_cast<size_t>(columnsFrom[static_cast<size_t>(u)]);
            const size_t end = static_cast<size_t>(columnsFrom[static_cast<size_t>(u) + 1]);
            const float a = in[u], b = in[std::min(u + 1, w - 1)];
            if (a == b) {
                std::fill(out + first, out + end, a);
                continue;
            }
            for (size_t x = first; x < end; ++x)
                out[x] = a + (b - a) * share[x];
        }
    };
    // Away from the horizon a plane row and the next are alike (all sky, all ground): their
    // blend is the same for any share, so it is made once and copied to each frame row.
    // Where they are all sky or all ground as well (most of the frame), their rows are filled
    // as one block.
    std::vector<uint8_t> sameBelow(static_cast<size_t>(h));
    std::vector<int8_t> uniform(static_cast<size_t>(h), -1);  // 0 all ground, 1 all sky
    const auto uniformOf = [&](const float* row) -> int8_t {
        if ((row[0] == 0.0f || row[0] == 65535.0f) && std::all_of(row, row + w, [&](float value) { return value == row[0]; }))
            return row[0] == 0.0f ? 0 : 1;
        return -1;
    };
    const int8_t skyUniform = uniformOf(skyRow.data());
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        for (int32_t v = begin; v < end; ++v) {
            const float* row = soft.row(v);
            const int32_t below = std::min(v + 1, h - 1);
            if (plain(v)) {
                const int8_t kind = rowKind[static_cast<size_t>(v)];
                sameBelow[static_cast<size_t>(v)] =
                    plain(below) && rowKind[static_cast<size_t>(below)] == kind ? 1 : std::equal(row, row + w, soft.row(below));
                uniform[static_cast<size_t>(v)] = kind == Ground ? 0 : skyUniform;
                continue;
            }
            sameBelow[static_cast<size_t>(v)] = std::equal(row, row + w, soft.row(below));
            uniform[static_cast<size_t>(v)] = uniformOf(row);
        }
    });
    const auto planeRow = [&](int32_t y) { return static_cast<int32_t>(std::clamp((y - o) / factor, 0.0, h - 1.0)); };
    const auto filled = [&](int32_t y) {
        const size_t v = static_cast<size_t>(planeRow(y));
        return sameBelow[v] ? uniform[v] : -1;
    };
    unevenRows(drawn.height(), [&](int32_t begin, int32_t end) {
        std::vector<float> upper(static_cast<size_t>(width)), lower(static_cast<size_t>(width));
        std::vector<uint16_t> same(static_cast<size_t>(width)), blend(static_cast<size_t>(width));
        // The sharp mask's rows of `same` and `base`, made with them, and a blended one.
        std::vector<uint16_t> sameSharp(twin ? static_cast<size_t>(width) : 0), baseSharp(sameSharp.size());
        std::vector<uint16_t> blendSharp(sameSharp.size());
        // Across the horizon's plane rows most columns still agree above and below: their blend
        // is the upper value for any share, made once per plane row (`base`), and only the runs
        // of columns that differ (`differ`) are blended frame row by frame row.
        std::vector<uint16_t> base(static_cast<size_t>(width));
        std::vector<std::pair<int32_t, int32_t>> differ;
        int32_t upperRow = -1, lowerRow = -1, sameRow = -1, baseRow = -1;
        for (int32_t y = begin; y < end; ++y) {
            if (const int8_t kind = filled(y); kind >= 0) {
                int32_t last = y;
                while (last + 1 < end && filled(last + 1) == kind)
                    ++last;
                const size_t count = static_cast<size_t>(last - y + 1) * drawn.rowElements();
                if (mask)
                    streamFill(mask->row(y), kind ? 65535 : 0, count);
                if (twin)
                    streamFill(twin->row(y), kind ? 65535 : 0, count);
                y = last;
                continue;
            }
            const double v = std::clamp((y - o) / factor, 0.0, h - 1.0);
            const int32_t top = static_cast<int32_t>(v), bottom = std::min(top + 1, h - 1);
            const float fy = static_cast<float>(v - top);
            if (sameBelow[static_cast<size_t>(top)]) {
                if (sameRow != top) {
                    widen(top, upper.data());
                    upperRow = top;
                    for (size_t x = 0; x < static_cast<size_t>(width); ++x)
                        same[x] = maskValue(upper[x]);
                    if (twin)
                        sharpRow(same.data(), width, sameSharp.data());
                    sameRow = top;
                }
                if (mask)
                    streamCopy(same.data(), static_cast<size_t>(width), mask->row(y));
                if (twin)
                    streamCopy(sameSharp.data(), static_cast<size_t>(width), twin->row(y));
                continue;
            }
            if (top != upperRow) {
                if (top == lowerRow) {
                    upper.swap(lower);
                    std::swap(upperRow, lowerRow);
                } else {
                    widen(top, upper.data());
                    upperRow = top;
                }
            }
            if (bottom != lowerRow) {
                widen(bottom, lower.data());
                lowerRow = bottom;
            }
            const float* a = upper.data();
            const float* b = lower.data();
            if (baseRow != top) {
                differ.clear();
                for (int32_t x = 0; x < width; ++x) {
                    base[static_cast<size_t>(x)] = maskValue(a[x]);
                    if (a[x] != b[x]) {
                        if (differ.empty() || differ.back().second != x)
                            differ.emplace_back(x, x + 1);
                        else
                            ++differ.back().second;
                    }
                }
                if (twin)
                    sharpRow(base.data(), width, baseSharp.data());
                baseRow = top;
            }
            // Only the runs that differ change from one frame row to the next.
            if (mask) {
                uint16_t* out = blend.data();
                std::copy(base.begin(), base.end(), out);
                for (const auto& [first, end] : differ)
                    for (int32_t x = first; x < end; ++x)
                        out[x] = maskValue(a[x] + (b[x] - a[x]) * fy);
                streamCopy(out, static_cast<size_t>(width), mask->row(y));
            }
            if (twin) {
                uint16_t* out = blendSharp.data();
                std::copy(baseSharp.begin(), baseSharp.end(), out);
                for (const auto& [first, end] : differ)
                    for (int32_t x = first; x < end; ++x)
                        out[x] = sharpValue(maskValue(a[x] + (b[x] - a[x]) * fy));
                streamCopy(out, static_cast<size_t>(width), twin->row(y));
            }
        }
        finishStreaming();
    });
}

// Round one's sky seeds are sound on its sky side beyond the horizon's high-pass ringing (a star
// seen following the sky). Where round one let the ground grow far into the sky, they are the
// only sky seeds near its horizon: without them the ground front runs up to the next star.
bool keepsSkySeed(int8_t label, int8_t firstSeed, int32_t distance)
{
    return label == Sky && firstSeed == Sky && distance > DetailRadius + 1;
}

// Round two's seeds: the star-aligned comparison again without the samples that came from round
// one's ground or from beside it (where its high-pass ringing lies). Near round one's horizon its
// labels may be wrong by up to twice the motion (its ground front ran into the sky), so only what
// the cleaned comparison says counts there, and right next to it nothing but round one's clear sky
// seeds (keepsSkySeed); farther in, round one's label stands where too few samples were left
// (inside the ground, at the border) if the pixel's brightness is nearer that label's seeds than
// the other's: a ground patch that round one grew far into the sky is as bright as the sky.
std::vector<int8_t> roundTwoSeeds(const std::vector<PlaneMap>& maps, const Comparison& first,
                                  const std::vector<int8_t>& labels, const std::vector<int8_t>& firstSeeds,
                                  float typical, double nearMotion,
                                  double farMotion, const FloatPlane& brightness, const Range& range,
                                  const Levels& levels)
{
    const int32_t w = first.camera.width, h = first.camera.height;
    const int32_t reach = static_cast<int32_t>(std::ceil(2.0 * farMotion)) + DetailRadius + 2;
    const int32_t near = DetailRadius + 2 + static_cast<int32_t>(std::ceil(nearMotion));
    std::vector<int8_t> sources(labels.size());
    const std::vector<int32_t> distance =
        boundaryDistance(labels, w, h, reach, [&](const int32_t* d, int32_t y, int32_t begin, int32_t end) {
        const size_t at = static_cast<size_t>(y) * w;
        for (int32_t x = begin; x < end; ++x)
            sources[at + x] = d[x] <= DetailRadius + 1 ? Ground : labels[at + x];
    });
    const Comparison second = compareFramesWithout(maps, sources, first);
    // The cleaned seeds become round two's in place, each from its own pixel alone, row by row as
    // they are made.
    const RingingTest ringing(range, levels);
    return seedsOf(first.camera, second.aligned, second.least, typical, [&](int32_t y, int8_t* row) {
        const size_t at = static_cast<size_t>(y) * w;
        for (int32_t x = 0; x < w; ++x) {
            const size_t i = at + x;
            const int8_t cleaned = row[x];
            if (distance[i] <= near)
                row[x] = keepsSkySeed(labels[i], firstSeeds[i], distance[i]) ? Sky : 0;
            else if (second.aligned.values[i] >= 0.0f)
                row[x] = cleaned == Ground && ringing.rings(i) ? 0 : cleaned;
            else if (distance[i] > reach &&
                     (!levels.known() || levels.groundLike(brightness.values[i]) == (labels[i] == Ground)))
                row[x] = labels[i];
            else
                row[x] = 0;
        }
    });
}

}  // namespace

SkyEstimate estimateSkyLabels(const std::vector<SkySample>& samples, SkyLabels& estimate)
{
    const ScratchTurn scratch(samples.empty() ? 0 : ScratchPlanes * samples.front().plane.values.size() * sizeof(float));
    // Many short passes with a little serial work between them.
    const velthread::ThreadPool::StayReady ready(velthread::processPool());
    estimate = SkyLabels{};
    // Every way out without an estimate leaves no labels: all ground.
    const auto allGround = [] { return SkyEstimate::NoStarMotion; };
    if (samples.empty() || samples.front().plane.empty())
        return allGround();
    const LuminancePlane& base = samples.front().plane;
    const int32_t w = base.width, h = base.height, factor = base.factor;

    std::vector<const LuminancePlane*> planes{&base};
    std::vector<PlaneMap> maps;
    std::vector<double> motions;
    for (size_t i = 1; i < samples.size(); ++i) {
        const SkySample& sample = samples[i];
        double inverse[6];
        if (!sample.aligned || sample.plane.width != w || sample.plane.height != h || !invert(sample.toBase, inverse))
            continue;
        planes.push_back(&sample.plane);
        maps.push_back(planeMapOf(inverse, factor));
        motions.push_back(motionOf(maps.back(), w, h));
    }
    // The ground is tested by the frames that move at least half as far as the farthest: a
    // frame that barely moves changes textured ground little more than the sky.
    const double farthest = motions.empty() ? 0.0 : *std::max_element(motions.begin(), motions.end());
    for (size_t k = 0; k < maps.size(); ++k)
        maps[k].far = motions[k] >= std::max(MinimumMotion, 0.5 * farthest);
    std::sort(motions.begin(), motions.end());
    if (maps.empty() || motions.back() < MinimumMotion)
        return allGround();
    // Closer to the horizon than the second smallest motion, too few samples stay in round two.
    const double nearMotion = motions[std::min<size_t>(1, motions.size() - 1)];
    // The trimmed mean drops the largest: the second largest motion is how far sky and ground mix.
    const double farMotion = motions[motions.size() >= 2 ? motions.size() - 2 : 0];

    std::vector<FloatPlane> detail = detailOf(planes);
    const FloatPlane baseDetail = std::move(detail.front());
    detail.erase(detail.begin());
    const FloatPlane brightness = brightnessOf(planes);
    // Round one: seeds from every sample, grown. Round two (roundTwoSeeds) corrects the seeds
    // that the ground's motion planted in the sky just above the horizon.
    float unit = 0.0f;
    Comparison first;
    velthread::besideEachOther([&] { unit = edgeStep(brightness); },
                               [&] { first = compareFrames(baseDetail, detail, maps); });
    const FloatPlane& camera = first.camera;
    float cameraTypical = 0.0f;
    StepCosts steps;
    velthread::besideEachOther([&] { cameraTypical = typicalOf(camera); },
                               [&] { steps = stepCostsOf(brightness, unit); });
    // Changes finer than the smooth brightness's typical step cannot be told from the bands of
    // 8-bit frames, where the series' typical change is almost nothing.
    const float typical = std::max(cameraTypical, unit);
    std::vector<int8_t> seeds = seedsOf(camera, first.aligned, first.least, typical);
    Levels levels;
    Range range;
    velthread::besideEachOther([&] { levels = levelsOf(seeds, brightness); },
                               [&] { range = rangeOf(brightness, DetailRadius + 1); });
    dropRingingGround(seeds, brightness, range, levels);
    if (std::find(seeds.begin(), seeds.end(), Sky) == seeds.end())
        return allGround();
    std::vector<int8_t> labels(seeds.size(), Sky);
    if (std::find(seeds.begin(), seeds.end(), Ground) != seeds.end()) {
        labels = growSeeds(steps, w, seeds);
        dropStrayPatches(labels, seeds, w, h, brightness, levels);
        const std::vector<int8_t> second =
            roundTwoSeeds(maps, first, labels, seeds, typical, nearMotion, farMotion, brightness,
                          range, levels);
        // Seeds that leave the sky without one keep round one's answer.
        if (std::find(second.begin(), second.end(), Sky) != second.end()) {
            seeds = second;
            labels = growSeeds(steps, w, seeds);
            dropStrayPatches(labels, seeds, w, h, brightness, levels);
        }
    }
    const LuminancePlane& fine = samples.front().fine;
    if (std::vector<int8_t> refined = refineHorizon(labels, base, fine); !refined.empty())
        estimate = SkyLabels{std::move(refined), fine.width, fine.height, fine.factor};
    else
        estimate = SkyLabels{std::move(labels), w, h, factor};
    return SkyEstimate::Estimated;
}

void drawSkyMask(const SkyLabels& estimate, int32_t width, int32_t height, velimage::Image16* soft,
                 velimage::Image16* sharp)
{
    // Its smoothed labels.
    const ScratchTurn scratch(2 * estimate.labels.size() * sizeof(float));
    const velthread::ThreadPool::StayReady ready(velthread::processPool());
    for (velimage::Image16* mask : {soft, sharp})
        if (mask)
            mask->allocate(std::max(width, 1), std::max(height, 1), 1);
    if (!soft && !sharp)
        return;
    if (estimate.labels.empty() ||
        estimate.labels.size() != static_cast<size_t>(estimate.width) * estimate.height) {
        for (velimage::Image16* mask : {soft, sharp})
            if (mask)
                fill(*mask, 0);
        return;
    }
    writeSoftMask(estimate.labels, estimate.width, estimate.height, estimate.factor, soft, sharp);
}

SkyEstimate estimateSkyMask(const std::vector<SkySample>& samples, int32_t width, int32_t height,
                            velimage::Image16& mask, velimage::Image16* twin)
{
    SkyLabels estimate;
    const SkyEstimate outcome = estimateSkyLabels(samples, estimate);
    drawSkyMask(estimate, width, height, &mask, twin);
    return outcome;
}

}  // namespace velmask
