#include "SkyMaskOutput.h"

#include "MaskFile.h"
#include "Velostar.h"

namespace velcli {

bool saveSkyMask(Velostar& engine, const std::string& path, std::string& error)
{
    const uint16_t* pixels = nullptr;
    int width = 0, height = 0;
    const int kind = engine.getSkyMask(&pixels, &width, &height);
    if (kind == VELOSTAR_MASK_NONE || !pixels || width <= 0 || height <= 0) {
        error = "--save-mask: the run made no sky mask, " + path + " not written";
        return false;
    }
    // The run integrates with the estimate's sharp form (sky wherever it is not ground): the file
    // is that mask, so that given back with --mask it stacks the same sky and ground.
    const bool sharp = kind == VELOSTAR_MASK_ESTIMATED;
    velapp::MaskImage mask;
    mask.width = width;
    mask.height = height;
    mask.rgb.resize(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i)
        mask.rgb[3 * i] = mask.rgb[3 * i + 1] = mask.rgb[3 * i + 2] =
            sharp ? (pixels[i] != 0 ? uint8_t{255} : uint8_t{0}) : static_cast<uint8_t>(pixels[i] >> 8);
    if (!velapp::saveMaskPng(path, mask)) {
        error = "--save-mask: cannot write " + path;
        return false;
    }
    return true;
}

std::string skyMaskWarning(Velostar& engine)
{
    if (engine.getSkyMask(nullptr, nullptr, nullptr) != VELOSTAR_MASK_NO_STAR_MOTION)
        return {};
    return "warning: --auto-mask saw no star move between the frames (no stars, or too little time between "
           "them): the sky mask is all ground and the run used no sky region";
}

}  // namespace velcli
