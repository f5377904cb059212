#include "corrections/ExposureUnification.h"

#include <algorithm>
#include <vector>

#include "parallel/ProcessPool.h"

namespace veltone {

namespace {

// One bin per luminance value for 16-bit frames; sums of many frames are coarsened by a power of
// two until they fit.
constexpr uint64_t kMaxBins = uint64_t{1} << 20;

template <typename T>
uint64_t luminance(const T* p)
{
    return (306 * static_cast<uint64_t>(p[0]) + 601 * static_cast<uint64_t>(p[1]) + 117 * static_cast<uint64_t>(p[2])) >> 10;
}

template <typename T>
uint64_t largestLuminance(const velimage::Image<T>& image)
{
    const int32_t parts = velthread::partCount();
    std::vector<uint64_t> largest(static_cast<size_t>(parts), 0);
    const int32_t width = image.width();
    velthread::ThreadPool* pool = velthread::processPool();
    const auto body = [&](int32_t part, int32_t begin, int32_t end) {
        uint64_t top = 0;
        for (int32_t y = begin; y < end; ++y) {
            const T* row = image.row(y);
            for (int32_t x = 0; x < width; ++x)
                top = std::max(top, luminance(row + 3 * x));
        }
        largest[static_cast<size_t>(part)] = top;
    };
    if (pool)
        pool->parallelFor(body, parts, image.height());
    else
        body(0, 0, image.height());
    return *std::max_element(largest.begin(), largest.end());
}

// Mean of the bins between the 0.35 and 0.65 quantiles. A quantile is the first bin at which the
// cumulative count reaches that share of the pixels. A bin of width 2^shift stands for each of its
// values, weighted by its count.
double middleMean(const std::vector<uint64_t>& histogram, uint64_t total, int32_t shift)
{
    if (total == 0)
        return 0.0;
    const auto quantile = [&](double share) {
        const double target = share * static_cast<double>(total);
        uint64_t cumulative = 0;
        for (size_t bin = 0; bin < histogram.size(); ++bin) {
            cumulative += histogram[bin];
            if (cumulative > 0 && static_cast<double>(cumulative) >= target)
                return bin;
        }
        return histogram.size() - 1;
    };
    const size_t a = quantile(0.35), b = quantile(0.65);
    const double width = static_cast<double>(uint64_t{1} << shift);
    double weighted = 0.0, count = 0.0;
    for (size_t bin = a; bin <= b; ++bin) {
        const double h = static_cast<double>(histogram[bin]);
        // Σ i over the bin's values i = bin·w … bin·w + w − 1.
        weighted += h * (static_cast<double>(bin) * width * width + width * (width - 1.0) / 2.0);
        count += h * width;
    }
    return count > 0.0 ? weighted / count : 0.0;
}

template <typename T>
double brightness(const velimage::Image<T>& image)
{
    if (image.empty() || image.channels() != 3)
        return 0.0;
    // 16-bit samples never give a luminance above 65535: no pass needed to find the largest.
    const uint64_t top = sizeof(T) == 2 ? 65535u : largestLuminance(image);
    int32_t shift = 0;
    while ((top >> shift) >= kMaxBins)
        ++shift;
    const size_t bins = static_cast<size_t>((top >> shift) + 1);
    const int32_t parts = velthread::partCount();
    std::vector<std::vector<uint64_t>> histograms(static_cast<size_t>(parts), std::vector<uint64_t>(bins, 0));
    const int32_t width = image.width();
    velthread::ThreadPool* pool = velthread::processPool();
    const auto body = [&](int32_t part, int32_t begin, int32_t end) {
        std::vector<uint64_t>& h = histograms[static_cast<size_t>(part)];
        for (int32_t y = begin; y < end; ++y) {
            const T* row = image.row(y);
            for (int32_t x = 0; x < width; ++x)
                ++h[static_cast<size_t>(luminance(row + 3 * x) >> shift)];
        }
    };
    if (pool)
        pool->parallelFor(body, parts, image.height());
    else
        body(0, 0, image.height());
    std::vector<uint64_t>& merged = histograms.front();
    for (size_t part = 1; part < histograms.size(); ++part)
        for (size_t bin = 0; bin < bins; ++bin)
            merged[bin] += histograms[part][bin];
    return middleMean(merged, static_cast<uint64_t>(width) * image.height(), shift);
}

}  // namespace

double exposureMeasure(const velimage::Image16& image) { return brightness(image); }

double exposureMeasure(const velimage::AccumulationImage& image)
{
    const double weight = image.maxWeight();
    return weight > 0.0 ? brightness(image) / weight : 0.0;
}

uint64_t exposureFactor(double reference, double frame)
{
    if (!(reference > 0.0) || !(frame > 0.0))
        return 0;
    return static_cast<uint64_t>(65536.0 * reference / frame);
}

void scaleExposure(velimage::Image16& image, uint64_t factor)
{
    const size_t rowElements = image.rowElements();
    velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint16_t* row = image.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                row[i] = static_cast<uint16_t>(std::min<uint64_t>(65535u, (row[i] * factor) >> 16));
        }
    });
}

}  // namespace veltone
