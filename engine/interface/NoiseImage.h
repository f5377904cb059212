#pragma once

#include <cstdint>
#include <vector>

#include "image/Image.h"
#include "parallel/Job.h"

namespace velrun {

// The run's noise (dark) image: noise frames summed, averaged, given a hot-pixel threshold T and
// marked, then subtracted from every star frame with its hot pixels patched. Built and used on
// the pipeline's thread; the pixel passes run on the pool.
class NoiseImage {
public:
    static constexpr uint32_t kMaxThreshold = 8192;

    // Adds a noise frame; false (nothing changed) for a frame without 3 channels or of another
    // size than the first one added.
    bool add(const velimage::Image16& frame);
    // Averages the frames added so far, sets T and marks the hot pixels. False when no frame was added.
    bool analyze();

    bool ready() const { return m_ready; }
    int32_t frameCount() const { return m_count; }
    uint32_t threshold() const { return m_threshold; }
    const velimage::Image16& image() const { return m_noise; }

    // Subtracts the noise image from a frame of its size and patches the frame's hot pixels;
    // false, frame unchanged, for a frame that does not match or before the analysis.
    bool subtract(velimage::Image16& frame) const;

    // The subtraction's parts, for callers that meet the rows one at a time. A sample the
    // subtraction patches: its place and whether its noise sample is 0 (a dead pixel).
    struct PatchSite {
        int32_t x, y, channel;
        bool dead;
    };
    // The frame can be corrected (analysed, same size, three channels).
    bool fits(const velimage::Image16& frame) const;
    // Subtracts row y of the frame and appends the samples of the row to patch, in order. Each patch
    // is fitted on the subtracted rows y − 2 … y + 2 before any patch lands there, and the patches are
    // written in the order found.
    void subtractRow(velimage::Image16& frame, int32_t y, std::vector<PatchSite>& sites) const;

private:
    velimage::Image<uint32_t> m_sum;
    velimage::Image16 m_noise;
    int32_t m_count = 0;
    uint32_t m_threshold = kMaxThreshold;
    bool m_ready = false;
    bool m_patchDead = false;  // few enough noise samples are 0 to patch their pixels
};

// T = the 0.99998 quantile of all samples plus 1, at most 8192.
uint32_t noiseThreshold(const velimage::Image16& noise);

// Neighbour suppression over rows [first, end) of 1 … height − 2: a sample above T with a
// neighbour (same channel) above both T and itself is lowered to T, so that of a cluster only the
// brightest sample stays hot. Every job judges against the samples as they were before the batch
// (it only collects what to lower; lowerCollected applies it), so bands neither race nor depend
// on the split.
class RemoveNoiseNeighborJob : public velthread::Job {
public:
    RemoveNoiseNeighborJob(int32_t first, int32_t end, const velimage::Image16& noise, uint32_t threshold)
        : m_first(first), m_end(end), m_noise(noise), m_threshold(threshold) {}

    void run() override;
    void lowerCollected(velimage::Image16& noise) const;

private:
    int32_t m_first;
    int32_t m_end;
    const velimage::Image16& m_noise;
    uint32_t m_threshold;
    std::vector<size_t> m_lowered;  // element indices
};

// Runs the neighbour suppression as one batch of RemoveNoiseNeighborJobs, one per pool thread.
void suppressNoiseNeighbors(velimage::Image16& noise, uint32_t threshold);

// Writes the ring fit into the 8 neighbours of every sample above T (2 pixels from the border at
// least) and raises the pixel's other channels to T + 1: a hot pixel is hot in every channel.
void markHotPixels(velimage::Image16& noise, uint32_t threshold);

}  // namespace velrun
