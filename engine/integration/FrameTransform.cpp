#include "integration/FrameTransform.h"

#include "registration/Alignment.h"
#include "registration/DistortionGrid.h"
#include "registration/RadialDistortion.h"

namespace velstack {

bool FrameTransform::useForward(velreg::MatrixF forward)
{
    velreg::MatrixF inverse;
    if (forward.rows() != 3 || forward.columns() != 3 || !velreg::invert(forward, inverse))
        return false;
    m_model.a = inverse.at(0, 0);
    m_model.b = inverse.at(0, 1);
    m_model.c = inverse.at(0, 2);
    m_model.d = inverse.at(1, 0);
    m_model.e = inverse.at(1, 1);
    m_model.f = inverse.at(1, 2);
    m_forward = std::move(forward);
    return true;
}

bool FrameTransform::obtain(int32_t distortionMode, velreg::StarPattern* framePattern,
                            const velreg::StarPattern& reference, int32_t width, int32_t height,
                            velreg::AlignStats* stats)
{
    // A fit that cannot be inverted is as useless as none.
    const auto singular = [stats] {
        if (stats)
            stats->failure = velreg::AlignFailure::FitFailed;
        return false;
    };
    m_model = WarpModel{};
    m_model.mode = -1;  // unusable until a branch below succeeds
    m_forward = velreg::MatrixF{};
    m_gridNodes.clear();
    if (!framePattern)
        return false;

    switch (distortionMode) {
    case 0: {
        velreg::MatrixF forward;
        if (!velreg::alignPatterns(*framePattern, reference, forward, stats))
            return false;
        if (!useForward(std::move(forward)))
            return singular();
        m_model.mode = 0;
        return true;
    }
    case 1: {
        velreg::RadialModel radial;
        if (!velreg::alignRadial(*framePattern, reference, radial, stats))
            return false;
        if (!useForward(std::move(radial.affine)))
            return singular();
        m_model.k1 = radial.k1;
        m_model.k2 = radial.k2;
        m_model.setCentre(width, height);
        m_model.mode = 1;
        return true;
    }
    case 2: {
        velreg::DistortionGrid grid;
        grid.reset(velreg::kDistortionGridNodes, velreg::kDistortionGridNodes);
        velreg::MatrixF forward;
        if (!velreg::estimateDistortionGrid(*framePattern, reference, forward, grid, stats))
            return false;
        if (!useForward(std::move(forward)))
            return singular();
        m_gridNodes.resize(grid.nodes.size() * 2);
        for (size_t i = 0; i < grid.nodes.size(); ++i) {
            m_gridNodes[2 * i] = grid.nodes[i].dx;
            m_gridNodes[2 * i + 1] = grid.nodes[i].dy;
        }
        m_model.grid = {m_gridNodes.data(), grid.rows, grid.columns, grid.cellWidth, grid.cellHeight};
        m_model.mode = 2;
        return m_model.usable();
    }
    default:
        return false;
    }
}

}  // namespace velstack
