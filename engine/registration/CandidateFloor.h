#pragma once

#include <cstdint>
#include <vector>

#include "registration/PlaneBuffer.h"

namespace velreg {

// Rows per block of the candidate floors: one floor per 64-pixel bit word of every block.
constexpr int32_t kFloorBlockRows = 16;

// The least luminance of a candidate pixel, per bit word (wordsPerRow = ⌈width / 64⌉) of every
// block of kFloorBlockRows rows, block by block from the top.
struct CandidateFloors {
    std::vector<uint8_t> words;
    int32_t wordsPerRow = 0;

    const uint8_t* row(int32_t y) const
    {
        return words.data() + static_cast<size_t>(y / kFloorBlockRows) * wordsPerRow;
    }
};

// kMinStarLuminance everywhere: an ungained frame's sky sits near the black level.
void fillAbsoluteFloors(int32_t width, int32_t height, CandidateFloors& floors);

// A gained frame's floors: the local sky level plus the sky's noise, never below the whole frame's
// median plus that noise nor below kMinStarLuminance.
void fillLocalSkyFloors(const PlaneBuffer<uint8_t>& luminance, int32_t width, int32_t height,
                        CandidateFloors& floors);

}  // namespace velreg
