#include "SkyMaskStage.h"

#include <algorithm>

#include "corrections/SoftSkyMask.h"
#include "parallel/ProcessPool.h"

namespace velrun {

namespace {

// Display position of stored pixel (x, y) of a width × height frame shown turned by `rotation`
// (1 a quarter turn clockwise, 2 a half turn, 3 a quarter turn counter-clockwise).
void displayPosition(int32_t rotation, int32_t width, int32_t height, int32_t x, int32_t y, int32_t& dx, int32_t& dy)
{
    switch (rotation) {
    case 1: dx = height - 1 - y; dy = x; break;
    case 2: dx = width - 1 - x; dy = height - 1 - y; break;
    case 3: dx = y; dy = width - 1 - x; break;
    default: dx = x; dy = y; break;
    }
}

// Nearest bitmap pixel for every frame pixel; any painted colour counts, at its brightest channel.
void scaleMask(const EngineSettings& s, int32_t rotation, velimage::Image16& mask)
{
    const int32_t width = mask.width(), height = mask.height();
    const bool turned = rotation == 1 || rotation == 3;
    const int64_t shownWidth = turned ? height : width, shownHeight = turned ? width : height;
    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint16_t* out = mask.row(y);
            for (int32_t x = 0; x < width; ++x) {
                int32_t dx, dy;
                displayPosition(rotation, width, height, x, y, dx, dy);
                const int64_t bx = dx * static_cast<int64_t>(s.maskWidth) / shownWidth;
                const int64_t by = dy * static_cast<int64_t>(s.maskHeight) / shownHeight;
                const uint8_t* rgb = s.maskRgb + (by * s.maskWidth + bx) * 3;
                out[x] = static_cast<uint16_t>(std::max({rgb[0], rgb[1], rgb[2]}) * 257u);
            }
        }
    });
}

bool prepareSkyMask(RunContext& ctx, int32_t width, int32_t height, int32_t q, int32_t passes)
{
    const EngineSettings& s = ctx.settings;
    if (!s.usesPaintedMask() || width < 2 || height < 2)
        return false;
    auto mask = std::make_unique<velimage::Image16>();
    mask->allocate(width, height, 1);
    scaleMask(s, ctx.rotation, *mask);
    ctx.mask = std::move(mask);
    // q = 0: the soft mask made earlier in this engine's life is kept (trails).
    if (q <= 0)
        return ctx.softMask != nullptr;
    auto soft = std::make_unique<velimage::Image16>();
    if (!veltone::makeSoftSkyMask(*ctx.mask, q, passes, *soft))
        return false;
    ctx.softMask = std::move(soft);
    return true;
}

}  // namespace

void addSkyMaskStage(RunStages& stages) { stages.prepareSkyMask = prepareSkyMask; }

const velimage::Image16* finishingSoftMask(RunContext& ctx)
{
    const velimage::AccumulationImage& acc = ctx.accumulation;
    const auto fits = [&](const std::unique_ptr<velimage::Image16>& plane) {
        return plane && plane->channels() == 1 && plane->width() == acc.width() && plane->height() == acc.height();
    };
    if (fits(ctx.finishingSoftMask))
        return ctx.finishingSoftMask.get();
    const EngineSettings& s = ctx.settings;
    if (!fits(ctx.mask) || !(s.usesPaintedMask() || ctx.maskEstimated))
        return nullptr;
    // Finer than the q = 60 mask of star detection and integration: the finishing stages should
    // reach closer to the horizon. An estimated mask has the frame's size already.
    const int32_t passes = ctx.maskEstimated
                               ? 1
                               : std::min(ctx.mask->width() / s.maskWidth, ctx.mask->height() / s.maskHeight);
    auto soft = std::make_unique<velimage::Image16>();
    if (!veltone::makeSoftSkyMask(*ctx.mask, 20, passes, *soft))
        return nullptr;
    ctx.finishingSoftMask = std::move(soft);
    return ctx.finishingSoftMask.get();
}

void turnToDisplay(const velimage::Image16& mask, int32_t rotation, velimage::Image16& shown)
{
    const int32_t width = mask.width(), height = mask.height();
    const bool turned = rotation == 1 || rotation == 3;
    shown.allocate(turned ? height : width, turned ? width : height, 1);
    const int32_t shownWidth = shown.width();
    uint16_t* out = shown.data();
    if (rotation == 0 && mask.channels() == 1) {  // as stored: whole rows
        velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
            std::copy(mask.row(begin), mask.row(begin) + static_cast<size_t>(end - begin) * width, shown.row(begin));
        });
        return;
    }
    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* in = mask.row(y);
            for (int32_t x = 0; x < width; ++x) {
                int32_t dx, dy;
                displayPosition(rotation, width, height, x, y, dx, dy);
                out[static_cast<size_t>(dy) * shownWidth + dx] = in[x * mask.channels()];
            }
        }
    });
}

}  // namespace velrun
