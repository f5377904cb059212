#include "NoiseImage.h"

#include <algorithm>
#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "corrections/RingFit.h"
#include "parallel/JobBatch.h"
#include "parallel/ProcessPool.h"

namespace velrun {

namespace {

// With one or two dark frames the average is too noisy to subtract below this level; brighter
// samples (warm pixels) are subtracted anyway.
constexpr uint32_t kFewFramesLimit = 1792;
constexpr int32_t kFewFrames = 2;
// Noise samples of 0 mark dead pixels only when they are few.
constexpr int64_t kDeadPixelLimit = 200;

using PatchSite = NoiseImage::PatchSite;

#if defined(__x86_64__) && defined(__GNUC__)
// The subtraction of a row's samples [0, count & ~31), 32 at a time; `mark` gets the first sample
// of each block with samples to patch and their lanes (hot, or dead when `patchDead`). Returns how
// many samples it did. Patch sites are rare, so a block costs a few vector operations.
template <typename Mark>
__attribute__((target("avx512f,avx512bw"))) int32_t subtractBlocksAvx512(const uint16_t* noise, uint16_t* out,
                                                                        int32_t count, uint32_t threshold,
                                                                        bool subtractAll, bool patchDead, Mark&& mark)
{
    const __m512i hotLevel = _mm512_set1_epi16(static_cast<short>(threshold));
    const __m512i warmLevel = _mm512_set1_epi16(static_cast<short>(kFewFramesLimit));
    int32_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m512i m = _mm512_loadu_si512(noise + i), t = _mm512_loadu_si512(out + i);
        const __mmask32 hot = _mm512_cmpgt_epu16_mask(m, hotLevel);
        const __mmask32 subtracted = subtractAll ? ~__mmask32{0} : hot | _mm512_cmpgt_epu16_mask(m, warmLevel);
        const __m512i result = _mm512_mask_subs_epu16(t, subtracted, t, m);
        _mm512_storeu_si512(out + i, result);
        __mmask32 lanes = hot;
        if (patchDead) {
            const __m512i both = _mm512_or_si512(m, result);
            lanes |= _mm512_testn_epi16_mask(both, both);
        }
        if (lanes != 0)
            mark(i, static_cast<uint32_t>(lanes));
    }
    return i;
}
#endif

int64_t zeroSamples(const velimage::Image16& noise)
{
    const int32_t parts = velthread::partCount();
    std::vector<int64_t> zeros(static_cast<size_t>(parts), 0);
    const size_t rowElements = noise.rowElements();
    const auto body = [&](int32_t part, int32_t begin, int32_t end) {
        int64_t count = 0;
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* row = noise.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                count += row[i] == 0;
        }
        zeros[static_cast<size_t>(part)] = count;
    };
    if (velthread::ThreadPool* pool = velthread::processPool())
        pool->parallelFor(body, parts, noise.height());
    else
        body(0, 0, noise.height());
    int64_t total = 0;
    for (int64_t z : zeros)
        total += z;
    return total;
}

}  // namespace

bool NoiseImage::add(const velimage::Image16& frame)
{
    if (frame.empty() || frame.channels() != 3)
        return false;
    if (m_count == 0) {
        m_sum.allocate(frame.width(), frame.height(), 3);
        m_sum.clear();
        m_ready = false;
    } else if (frame.width() != m_sum.width() || frame.height() != m_sum.height()) {
        return false;
    }
    const size_t rowElements = frame.rowElements();
    velthread::parallelRows(frame.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* in = frame.row(y);
            uint32_t* sum = m_sum.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                sum[i] += in[i];
        }
    });
    ++m_count;
    return true;
}

bool NoiseImage::analyze()
{
    if (m_count == 0 || m_sum.empty())
        return false;
    m_noise.allocate(m_sum.width(), m_sum.height(), 3);
    const size_t rowElements = m_sum.rowElements();
    const uint32_t count = static_cast<uint32_t>(m_count);
    velthread::parallelRows(m_sum.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint32_t* sum = m_sum.row(y);
            uint16_t* out = m_noise.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                out[i] = static_cast<uint16_t>(sum[i] / count);
        }
    });
    m_sum.release();
    m_threshold = noiseThreshold(m_noise);
    suppressNoiseNeighbors(m_noise, m_threshold);
    markHotPixels(m_noise, m_threshold);
    m_patchDead = zeroSamples(m_noise) < kDeadPixelLimit;
    m_ready = true;
    return true;
}

uint32_t noiseThreshold(const velimage::Image16& noise)
{
    const int32_t parts = velthread::partCount();
    std::vector<std::array<uint64_t, 65536>> histograms(static_cast<size_t>(parts));
    for (auto& h : histograms)
        h.fill(0);
    const size_t rowElements = noise.rowElements();
    const auto body = [&](int32_t part, int32_t begin, int32_t end) {
        auto& h = histograms[static_cast<size_t>(part)];
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* row = noise.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                ++h[row[i]];
        }
    };
    if (velthread::ThreadPool* pool = velthread::processPool())
        pool->parallelFor(body, parts, noise.height());
    else
        body(0, 0, noise.height());
    for (size_t part = 1; part < histograms.size(); ++part)
        for (size_t v = 0; v < 65536; ++v)
            histograms[0][v] += histograms[part][v];

    // q: the first value at which the cumulative count reaches the share.
    const double target = 0.99998 * static_cast<double>(noise.elementCount());
    uint64_t cumulative = 0;
    uint32_t quantile = 65535;
    for (uint32_t v = 0; v < 65536; ++v) {
        cumulative += histograms[0][v];
        if (cumulative > 0 && static_cast<double>(cumulative) >= target) {
            quantile = v;
            break;
        }
    }
    return std::min(quantile + 1, NoiseImage::kMaxThreshold);
}

void RemoveNoiseNeighborJob::run()
{
    const int32_t width = m_noise.width();
    const size_t stride = m_noise.rowElements();
    const uint16_t* data = m_noise.data();
    for (int32_t y = m_first; y < m_end; ++y) {
        const uint16_t* row = data + static_cast<size_t>(y) * stride;
        for (int32_t x = 1; x < width - 1; ++x)
            for (int32_t c = 0; c < 3; ++c) {
                const uint32_t d = row[3 * x + c];
                if (d <= m_threshold)
                    continue;
                // d is above T, so a neighbour above d is above both.
                bool brighter = false;
                for (int32_t dy = -1; dy <= 1 && !brighter; ++dy) {
                    const uint16_t* near = row + static_cast<ptrdiff_t>(dy) * static_cast<ptrdiff_t>(stride);
                    for (int32_t dx = -1; dx <= 1; ++dx)
                        if ((dx != 0 || dy != 0) && near[3 * (x + dx) + c] > d) {
                            brighter = true;
                            break;
                        }
                }
                if (brighter)
                    m_lowered.push_back(static_cast<size_t>(y) * stride + 3 * static_cast<size_t>(x) + c);
            }
    }
}

void RemoveNoiseNeighborJob::lowerCollected(velimage::Image16& noise) const
{
    for (size_t index : m_lowered)
        noise.data()[index] = static_cast<uint16_t>(m_threshold);
}

void suppressNoiseNeighbors(velimage::Image16& noise, uint32_t threshold)
{
    const int32_t rows = noise.height() - 2;
    if (rows <= 0 || noise.width() < 3 || noise.channels() != 3)
        return;
    const int32_t parts = velthread::partCount();
    std::vector<RemoveNoiseNeighborJob> jobs;
    jobs.reserve(static_cast<size_t>(parts));
    for (int32_t part = 0; part < parts; ++part) {
        int32_t begin = 0, end = 0;
        velthread::bandOf(part, parts, rows, begin, end);
        jobs.emplace_back(begin + 1, end + 1, noise, threshold);
    }
    velthread::runJobBatch(jobs);
    for (const RemoveNoiseNeighborJob& job : jobs)
        job.lowerCollected(noise);
}

void markHotPixels(velimage::Image16& noise, uint32_t threshold)
{
    const veltone::RingFit& fit = veltone::RingFit::instance();
    const int32_t width = noise.width(), height = noise.height();
    const uint16_t raised = static_cast<uint16_t>(std::min<uint32_t>(threshold + 1, 65535));
    // In place and in row order: a later pixel's ring sees the marks before it.
    for (int32_t y = 2; y < height - 2; ++y)
        for (int32_t x = 2; x < width - 2; ++x) {
            uint16_t* p = noise.row(y) + 3 * x;
            if (p[0] <= threshold && p[1] <= threshold && p[2] <= threshold)
                continue;
            for (int32_t c = 0; c < 3; ++c)
                if (p[c] > threshold)
                    fit.patch(noise, x, y, c, true);
            for (int32_t c = 0; c < 3; ++c)
                if (p[c] <= threshold)
                    p[c] = raised;
        }
}

bool NoiseImage::fits(const velimage::Image16& frame) const
{
    return m_ready && !frame.empty() && frame.channels() == 3 && frame.width() == m_noise.width() &&
           frame.height() == m_noise.height();
}

void NoiseImage::subtractRow(velimage::Image16& frame, int32_t y, std::vector<PatchSite>& sites) const
{
    const int32_t width = frame.width(), height = frame.height();
    const uint32_t threshold = m_threshold;
    const bool subtractAll = m_count > kFewFrames;
    const uint16_t* noise = m_noise.row(y);
    uint16_t* out = frame.row(y);
    const bool inner = y >= 2 && y < height - 2;
    const int32_t count = 3 * width;
    // A sample to patch, in the order of the row; none within 2 of the border.
    const auto mark = [&](int32_t i) {
        const int32_t x = i / 3;
        if (inner && x >= 2 && x < width - 2)
            sites.push_back({x, y, i - 3 * x, noise[i] == 0});
    };
    int32_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool wide = __builtin_cpu_supports("avx512bw");
    if (wide) {
        const auto markLanes = [&](int32_t first, uint32_t lanes) {
            for (; inner && lanes != 0; lanes &= lanes - 1)
                mark(first + __builtin_ctz(lanes));
        };
        i = subtractBlocksAvx512(noise, out, count, threshold, subtractAll, inner && m_patchDead, markLanes);
    }
#endif
    for (; i < count; ++i) {
        const uint32_t m = noise[i], t = out[i];
        const bool hot = m > threshold;
        if (hot || subtractAll || m > kFewFramesLimit)
            out[i] = static_cast<uint16_t>(t > m ? t - m : 0);
        if (hot || (m == 0 && out[i] == 0 && m_patchDead))
            mark(i);
    }
}

bool NoiseImage::subtract(velimage::Image16& frame) const
{
    if (!fits(frame))
        return false;
    const int32_t parts = velthread::partCount();
    std::vector<std::vector<PatchSite>> sites(static_cast<size_t>(parts));
    const auto body = [&](int32_t part, int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y)
            subtractRow(frame, y, sites[static_cast<size_t>(part)]);
    };
    if (velthread::ThreadPool* pool = velthread::processPool())
        pool->parallelFor(body, parts, frame.height());
    else
        body(0, 0, frame.height());

    // Every fit reads the corrected frame before any patch lands; the patches are then written in
    // row order.
    const veltone::RingFit& fit = veltone::RingFit::instance();
    std::vector<PatchSite> order;
    std::vector<std::array<uint16_t, 9>> values;
    for (const std::vector<PatchSite>& band : sites)
        for (const PatchSite& site : band) {
            order.push_back(site);
            values.emplace_back();
            fit.fitInner(frame, site.x, site.y, site.channel, values.back().data());
        }
    for (size_t k = 0; k < order.size(); ++k)
        fit.writeInner(frame, order[k].x, order[k].y, order[k].channel, values[k].data());
    return true;
}

}  // namespace velrun
