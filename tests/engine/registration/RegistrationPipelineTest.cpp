#include <gtest/gtest.h>

#include <cmath>

#include "StarField.h"
#include "parallel/ProcessPool.h"
#include "registration/AffineFit.h"
#include "registration/Alignment.h"
#include "registration/DistortionGrid.h"
#include "registration/RadialDistortion.h"
#include "registration/StarDetector.h"
#include "registration/StarIdentity.h"
#include "registration/StarPattern.h"

using regtest::Point;
using velreg::MatrixF;

namespace {

constexpr int32_t kWidth = 2000;
constexpr int32_t kHeight = 1400;

struct RenderedPair {
    velimage::Image16 reference;
    velimage::Image16 frame;
};

// Reference sky and a frame of the same sky; `toReference` maps frame pixels to reference pixels.
void render(RenderedPair& pair, const regtest::PointMap& toFrame, uint32_t seed)
{
    const auto sky = regtest::randomStars(900, -150, -150, kWidth + 150, kHeight + 150, 14, seed);
    regtest::renderStars(pair.reference, kWidth, kHeight, sky, 2600, 1.3);
    regtest::renderStars(pair.frame, kWidth, kHeight, regtest::mapStars(sky, toFrame), 2600, 1.3);
}

velreg::StarPattern patternOf(const velimage::Image16& image, int32_t limit, int32_t grid)
{
    velreg::StarList stars;
    velreg::detectStars(image, stars, nullptr, nullptr, 0);
    return velreg::buildStarPattern(stars, image.width(), image.height(), limit, grid);
}

// Root-mean-square distance between the fitted and the true frame-to-reference map over a grid of
// frame points.
template <typename Fitted>
double rmsError(const Fitted& fitted, const regtest::PointMap& toReference)
{
    double sum = 0;
    int32_t count = 0;
    for (int32_t y = 0; y < kHeight; y += 50)
        for (int32_t x = 0; x < kWidth; x += 50) {
            const Point truth = toReference({double(x), double(y)});
            const Point got = fitted(float(x), float(y));
            sum += (got.x - truth.x) * (got.x - truth.x) + (got.y - truth.y) * (got.y - truth.y);
            ++count;
        }
    return std::sqrt(sum / count);
}

}  // namespace

TEST(RegistrationPipeline, RotationAboutAPoleAndShiftAreRecoveredToATenthOfAPixel)
{
    velthread::ProcessPoolScope scope(2);
    // The sky turns by 0.4 degrees about a pole far above the frame, and the camera shifted.
    const Point pole{kWidth * 0.4, -9000};
    const auto toFrame = regtest::rotationAbout(pole, 0.4, {-23.5, 17.25});
    const auto toReference = [&](Point p) {
        const auto back = regtest::rotationAbout(pole, -0.4, {0, 0});
        return back({p.x + 23.5, p.y - 17.25});
    };
    RenderedPair images;
    render(images, toFrame, 51);
    velreg::StarPattern reference = patternOf(images.reference, velreg::kPatternStars, velreg::kPatternGrid);
    velreg::assignStarIdentities(reference);
    const velreg::StarPattern frame = patternOf(images.frame, velreg::kPatternStars, velreg::kPatternGrid);
    ASSERT_GE(reference.chosenCount(), 300);

    MatrixF transform;
    ASSERT_TRUE(velreg::alignPatterns(frame, reference, transform));
    const double error = rmsError(
        [&](float x, float y) {
            float u, v;
            velreg::applyAffine(transform, x, y, u, v);
            return Point{u, v};
        },
        toReference);
    EXPECT_LT(error, 0.1);

    velreg::RadialModel radial;
    ASSERT_TRUE(velreg::alignRadial(frame, reference, radial));
    const double radialError = rmsError(
        [&](float x, float y) {
            float u, v;
            velreg::applyRadialModel(radial, kWidth, kHeight, x, y, u, v);
            return Point{u, v};
        },
        toReference);
    EXPECT_LT(radialError, 0.15);  // two more parameters fitted to the same whole-pixel stars
}

TEST(RegistrationPipeline, GridModelFollowsIdentitiesFromFrameToFrame)
{
    velthread::ProcessPoolScope scope(2);
    const Point pole{kWidth * 0.5, -12000};
    const auto toFrame = regtest::rotationAbout(pole, 0.25, {12, -7});
    RenderedPair images;
    render(images, toFrame, 52);
    velreg::StarPattern reference = patternOf(images.reference, velreg::kGridPatternStars, velreg::kGridPatternGrid);
    velreg::assignStarIdentities(reference);
    velreg::StarPattern frame = patternOf(images.frame, velreg::kGridPatternStars, velreg::kGridPatternGrid);

    // The previous pattern is the reference here: identities pass to the frame's stars.
    ASSERT_TRUE(velreg::alignWithIdentities(frame, reference));
    const auto withIdentity = std::count_if(frame.descriptors.begin(), frame.descriptors.end(),
                                            [](const auto& d) { return d.identity > 0; });
    EXPECT_GE(withIdentity, frame.chosenCount() * 3 / 4);

    MatrixF transform;
    velreg::DistortionGrid grid;
    grid.reset();
    ASSERT_TRUE(velreg::estimateDistortionGrid(frame, reference, transform, grid));
    // No distortion: the grid holds only the whole-pixel noise of the star positions, averaged.
    double sum = 0, worst = 0;
    int32_t count = 0;
    for (int32_t i = 0; i < grid.rows; ++i)
        for (int32_t j = 0; j < grid.columns; ++j) {
            const double length = std::hypot(grid.node(j, i).dx, grid.node(j, i).dy);
            sum += length * length;
            ++count;
            if (j * grid.cellWidth > 0.05 * kWidth && j * grid.cellWidth < 0.95 * kWidth &&
                i * grid.cellHeight > 0.05 * kHeight && i * grid.cellHeight < 0.95 * kHeight)
                worst = std::max(worst, length);
        }
    EXPECT_LT(std::sqrt(sum / count), 0.2);
    EXPECT_LT(worst, 1.0);
}

TEST(RegistrationPipeline, UnrelatedOrEmptyFramesAreNotAligned)
{
    velimage::Image16 black;
    black.allocate(600, 400, 3);
    std::fill(black.data(), black.data() + black.elementCount(), 0);
    const velreg::StarPattern empty = patternOf(black, 300, 8);
    EXPECT_TRUE(empty.empty());
    RenderedPair images;
    render(images, regtest::rotationAbout({0, 0}, 0, {0, 0}), 53);
    const velreg::StarPattern reference = patternOf(images.reference, 300, 8);
    MatrixF transform;
    EXPECT_FALSE(velreg::alignPatterns(empty, reference, transform));
    velreg::RadialModel radial;
    EXPECT_FALSE(velreg::alignRadial(empty, reference, radial));
    velreg::DistortionGrid grid;
    velreg::StarPattern none;
    EXPECT_FALSE(velreg::estimateDistortionGrid(none, reference, transform, grid));
    // A different sky does not align.
    RenderedPair other;
    render(other, regtest::rotationAbout({0, 0}, 0, {0, 0}), 54);
    const velreg::StarPattern stranger = patternOf(other.reference, 300, 8);
    EXPECT_FALSE(velreg::alignPatterns(stranger, reference, transform));
}
