#pragma once

#include <cstdint>
#include <vector>

#include "image/Image.h"
#include "registration/CandidateFloor.h"
#include "registration/PlaneBuffer.h"
#include "registration/Star.h"

namespace velreg {

// Boundary line in pixels: start (x0, y0) and direction (dx, dy). Stars are looked for on the
// side above a line drawn left to right. A zero direction means "no line".
struct StarBoundLine {
    int32_t x0 = 0;
    int32_t y0 = 0;
    int32_t dx = 0;
    int32_t dy = 0;

    bool isSet() const { return dx != 0 || dy != 0; }
};

constexpr uint32_t kUnitGain16 = 16;

// Finds compact bright spots in a 16-bit frame (1, 3 or 4 channels; the first three are R, G, B).
// One detector per detection; it owns the working images of that detection. Call from one thread;
// the passes run on the process pool (or inline without one).
class StarDetector {
public:
    // Appends the stars found to `stars` in row order and returns how many were found. `level` is the
    // attempt number: 0 for the first try, 1 or more for the second table row (smaller box).
    int32_t detect(const velimage::Image16& frame, StarList& stars, int32_t level);
    // Only where channel 0 of `skyMask` is above zero; a mask of another size than the frame is ignored.
    int32_t detect(const velimage::Image16& frame, StarList& stars, const velimage::Image16& skyMask, int32_t level);
    // Only above the boundary line; an unset line restricts nothing.
    int32_t detect(const velimage::Image16& frame, StarList& stars, const StarBoundLine& line, int32_t level);

    // Scales the luminance before it is cut to 8 bits, in sixteenths (kUnitGain16 = 1). Dark
    // linear frames would otherwise leave most faint stars below the detection's first level.
    void setLuminanceGain(uint32_t gain16) { m_gain16 = gain16 == 0 ? kUnitGain16 : gain16; }
    // The frame's luminance at that gain, made beforehand (detectionLuminanceRow on every row), or
    // null to make it here. Borrowed during each detection, given back after it.
    void setLuminancePlane(PlaneBuffer<uint8_t>* luminance) { m_givenLuminance = luminance; }

    // Square radii and margin used for a frame of this size (also what detect() uses).
    static void radiiFor(int32_t width, int32_t height, int32_t& r0, int32_t& r1, int32_t& margin);

    // Working state, public for the ratio jobs.
    struct Planes {
        int32_t width = 0;
        int32_t height = 0;
        PlaneBuffer<uint8_t> luminance;
        PlaneBuffer<uint32_t> ratio;    // read only where the not-a-star bit is clear
        PlaneBuffer<uint64_t> notStar;  // one bit per pixel (set: not a star), rows of wordsPerRow words
        int32_t wordsPerRow = 0;
        CandidateFloors floors;  // candidates' least luminance
    };

private:
    template <typename Predicate>
    int32_t detectWith(const velimage::Image16& frame, StarList& stars, const Predicate& predicate, int32_t level);

    Planes m_planes;
    uint32_t m_gain16 = kUnitGain16;
    PlaneBuffer<uint8_t>* m_givenLuminance = nullptr;
};

// The run pipeline's choice: inside the sky mask when one is given and has the frame's size, else
// above the boundary line when it is set, else over the whole frame. Either pointer may be null.
int32_t detectStars(const velimage::Image16& frame, StarList& stars, const velimage::Image16* skyMask,
                    const StarBoundLine* line, int32_t attempt, uint32_t luminanceGain16 = kUnitGain16,
                    PlaneBuffer<uint8_t>* luminance = nullptr);

// One row of the detection's 8-bit luminance, (R + 2G + B) · gain16 / 16 >> 10 cut at 255 (a single
// plane counts as grey).
void detectionLuminanceRow(const uint16_t* source, int32_t channels, int32_t width, uint32_t gain16, uint8_t* target);

}  // namespace velreg
