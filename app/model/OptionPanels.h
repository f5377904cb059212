#pragma once

#include <string>
#include <vector>

#include "OptionContext.h"

// The option panels under the parameter tree without their widgets: which panel a selection
// shows, each control's label, tooltip, state and what changing it does. UI thread only.
namespace velapp {

enum class Panel {
    StarOptions,
    VignettingOptions,
    Composition,
    ComputingOptions,
    EffectOptions,
    SkyRegion,
    ReducePollution,
    EnhanceStars,
    Distortion,
    TimeLapse,
};

// Window identifiers of the panels' controls.
namespace ctl {
enum : int {
    ResetMask = 45,
    UnifyExposure = 47,
    Homogenize = 48,
    Selective = 49,
    Linear = 50,
    MotionEffect = 51,
    Accumulation = 52,
    SelectBestPixels = 53,
    FreezeGround = 54,
    AlignOnly = 55,
    Sigma = 56,
    PollutionStrength = 57,
    EnhanceStrength = 58,
    Tele = 59,
    Complex = 60,
    AlignStars = 61,
    Trails = 62,
    DeepSky = 63,
    Uneven = 64,
    Aggressive = 65,
    BoundaryLine = 66,
    Gradient = 67,
    IrregularMask = 68,
    AuxiliaryHighlight = 69,
    TimeLapseFrames = 70,
    EstimateMask = 71,
};
}  // namespace ctl

inline constexpr int kSliderPositions = 5;  // 0..4
inline constexpr int kMinTimeLapseFrames = 2;
inline constexpr int kMaxTimeLapseFrames = 30;

// Panels to show for a selection, in the order they stand under the tree; all others are hidden.
std::vector<Panel> panelsFor(const Selection& selection, const RunSettings& settings);
int panelTitle(Panel panel);
bool panelEnabled(Panel panel, const OptionContext& context);

// Check boxes and radio buttons: value 1 when checked. Sliders and the spin: their position.
struct ControlState {
    bool enabled = true;
    bool shown = true;
    int value = 0;
};
ControlState controlState(int control, const OptionContext& context);

// Applies a check box (value 0/1), a chosen radio button (value ignored), a slider position, the
// spin's value or a button press.
Change changeControl(int control, int value, OptionContext& context);

int controlLabel(int control);    // 0 for controls without a label of their own
int controlTooltip(int control);  // 0 for none; the sigma slider's tooltip is sigmaTooltip()
std::string sigmaTooltip(int sigmaIndex);

// Text colour of the frame-count spin: a warning red when the windows would not fit the star
// files, grey while time-lapse is off or does not apply.
enum class SpinColour { WindowText, Red, GreyText };
SpinColour timeLapseColour(const OptionContext& context);

// Note under the tree for the selection; 0 hides it.
int noteText(const Selection& selection, const SkyRegionState& sky);

}  // namespace velapp
