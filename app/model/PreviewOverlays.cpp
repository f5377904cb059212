#include "PreviewOverlays.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "BrushMask.h"

namespace velapp {

namespace {

void halve(uint8_t* pixel)
{
    pixel[0] /= 2;
    pixel[1] /= 2;
    pixel[2] /= 2;
}

bool validView(const RgbView& view) { return view.pixels && view.width > 0 && view.height > 0; }

}  // namespace

void shadeBoundarySide(RgbView view, const std::array<float, 4>& line)
{
    if (!validView(view))
        return;
    const double sx = static_cast<double>(line[0]) * view.width;
    const double sy = static_cast<double>(line[1]) * view.height;
    const double dx = static_cast<double>(line[2]) * view.width - sx;
    const double dy = static_cast<double>(line[3]) * view.height - sy;
    if (dx == 0.0 && dy == 0.0)
        return;
    for (int32_t y = 0; y < view.height; ++y) {
        uint8_t* row = view.row(y);
        const double oy = y - sy;
        for (int32_t x = 0; x < view.width; ++x) {
            if (dx * oy - dy * (x - sx) >= 0.0)
                halve(row + x * 3);
        }
    }
}

void shadeGradient(RgbView view, const std::array<float, 5>& gradient)
{
    if (!validView(view))
        return;
    const double x0 = static_cast<double>(gradient[0]) * view.width;
    const double y0 = static_cast<double>(gradient[1]) * view.height;
    const double dx = static_cast<double>(gradient[2]) * view.width - x0;
    const double dy = static_cast<double>(gradient[3]) * view.height - y0;
    const double length = std::sqrt(dx * dx + dy * dy);
    const double height = static_cast<double>(gradient[4]) * view.height;
    if (!(length > 0.0) || !(height > 0.0))
        return;
    for (int32_t y = 0; y < view.height; ++y) {
        uint8_t* row = view.row(y);
        for (int32_t x = 0; x < view.width; ++x) {
            // Signed distance from the line, positive towards the sky.
            const double d = ((x - x0) * dy - (y - y0) * dx) / length;
            uint8_t* pixel = row + x * 3;
            if (d < 0.0) {
                halve(pixel);
            } else if (d <= height) {
                const int32_t t = static_cast<int32_t>(256.0 * d / height);
                for (int c = 0; c < 3; ++c)
                    pixel[c] = static_cast<uint8_t>(pixel[c] * t / 512 + pixel[c] / 2);
            }
        }
    }
}

void shadeBrushMask(RgbView view, const MaskImage& mask, const std::vector<uint8_t>* detailMarks)
{
    if (!validView(view) || !mask.valid())
        return;
    const bool highlight = detailMarks && detailMarks->size() == static_cast<size_t>(view.width) * view.height;
    for (int32_t y = 0; y < view.height; ++y) {
        uint8_t* row = view.row(y);
        const auto my = static_cast<int32_t>(static_cast<int64_t>(y) * mask.height / view.height);
        const bool innerRow = y > 0 && y < view.height - 1;
        const uint8_t* marks = highlight ? detailMarks->data() + static_cast<size_t>(y) * view.width : nullptr;
        for (int32_t x = 0; x < view.width; ++x) {
            uint8_t* p = row + x * 3;
            const auto mx = static_cast<int32_t>(static_cast<int64_t>(x) * mask.width / view.width);
            const bool painted = isPainted(mask, mx, my);
            if (marks && innerRow && x > 0 && x < view.width - 1 && marks[x]) {
                if (painted) {
                    p[0] /= 2;
                    p[1] = 255;
                    p[2] /= 2;
                } else {
                    p[0] /= 2;
                    p[1] /= 2;
                    p[2] = static_cast<uint8_t>(std::min(255, (2 * p[2] + 255) / 2));
                }
            } else if (painted) {
                p[1] = static_cast<uint8_t>(std::min(255, p[1] + 15));
            } else if ((x + y) % 16 == 0) {
                for (int c = 0; c < 3; ++c)
                    p[c] = static_cast<uint8_t>((p[c] + 85) * 3 / 4);
            }
        }
    }
}

namespace {

// Detail at (x, y) judged from its neighbours P = (x+1, y+1), Q = (x-1, y+1), R = (x+1, y-1).
bool hasDetail(const uint8_t* p, const uint8_t* q, const uint8_t* r)
{
    int brightest = 0;
    for (int c = 0; c < 3; ++c)
        brightest = std::max({brightest, int{p[c]}, int{q[c]}, int{r[c]}});
    if (brightest < 8)
        return false;
    static constexpr int kSteps[3] = {10, 6, 14};  // the eye sees green steps first, blue last
    if (brightest > 32) {
        for (int c = 0; c < 3; ++c) {
            if (std::abs(p[c] - q[c]) > kSteps[c] || std::abs(p[c] - r[c]) > kSteps[c])
                return true;
        }
    }
    // In dark parts a step counts when it is large against the darker side.
    for (int c = 0; c < 3; ++c) {
        if (2 * std::abs(p[c] - q[c]) > std::min(p[c], q[c]) || 2 * std::abs(p[c] - r[c]) > std::min(p[c], r[c]))
            return true;
    }
    return false;
}

}  // namespace

std::vector<uint8_t> detailMarks(const uint8_t* smoothedRgb, int32_t width, int32_t height)
{
    std::vector<uint8_t> marks(width > 0 && height > 0 ? static_cast<size_t>(width) * height : 0, 0);
    if (!smoothedRgb || width < 3 || height < 3)
        return marks;
    const size_t stride = static_cast<size_t>(width) * 3;
    for (int32_t y = 1; y < height - 1; ++y) {
        const uint8_t* above = smoothedRgb + (y - 1) * stride;
        const uint8_t* below = smoothedRgb + (y + 1) * stride;
        uint8_t* out = marks.data() + static_cast<size_t>(y) * width;
        for (int32_t x = 1; x < width - 1; ++x)
            out[x] = hasDetail(below + (x + 1) * 3, below + (x - 1) * 3, above + (x + 1) * 3) ? 1 : 0;
    }
    return marks;
}

}  // namespace velapp
