#pragma once

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Velostar.h"

// Test double of the engine interface for the programs' tests: records every configuration call
// as text, in order ("setSigma(2)", "setStarBound(0, 0.5, 1, 0.25)"). run() does nothing.
class RecordingEngine final : public Velostar {
public:
    std::vector<std::string> calls;
    std::vector<VelostarFrameReport> reports;
    const uint8_t* maskPointer = nullptr;

    void setBaseImage(const wchar_t* p) override { record("setBaseImage", narrow(p)); }
    void addStarImage(const wchar_t* p) override { record("addStarImage", narrow(p)); }
    void addNoiseImage(const wchar_t* p) override { record("addNoiseImage", narrow(p)); }
    void addVignettingImage(const wchar_t* p) override { record("addVignettingImage", narrow(p)); }
    void setOutputFile(const wchar_t* p) override { record("setOutputFile", narrow(p)); }
    void setUnifyExposure(bool on) override { record("setUnifyExposure", on); }
    void setHomogenizeVignetting(bool on) override { record("setHomogenizeVignetting", on); }
    void setCompositionMode(int mode) override { record("setCompositionMode", mode); }
    void setIntegrationMode(int mode) override { record("setIntegrationMode", mode); }
    void setColorSpace(int space) override { record("setColorSpace", space); }
    void setTrailsMotionEffect(bool on) override { record("setTrailsMotionEffect", on); }
    void setAutoBrightness(bool on) override { record("setAutoBrightness", on); }
    void setHDR(bool on) override { record("setHDR", on); }
    void setRemoveHotPixels(bool on) override { record("setRemoveHotPixels", on); }
    void setFreezeGroundSelective(bool on) override { record("setFreezeGroundSelective", on); }
    void setDumpAsLinear(bool on) override { record("setDumpAsLinear", on); }
    void clearReducePollution() override { calls.push_back("clearReducePollution()"); }
    void setReducePollution(int kind, int strength) override { record("setReducePollution", kind, strength); }
    void setAggressiveSuppression(bool on) override { record("setAggressiveSuppression", on); }
    void setMergePixels(bool on) override { record("setMergePixels", on); }
    void setTimeLapseFrames(unsigned int frames) override { record("setTimeLapseFrames", frames); }
    void setEnhanceStars(float factor) override { record("setEnhanceStars", factor); }
    void setDistortionCorrection(int mode) override { record("setDistortionCorrection", mode); }
    void setSigma(float sigma) override { record("setSigma", sigma); }
    void setStarBound(float x0, float y0, float x1, float y1) override { record("setStarBound", x0, y0, x1, y1); }
    void setGradientRegion(float x0, float y0, float x1, float y1, float e) override
    {
        record("setGradientRegion", x0, y0, x1, y1, e);
    }
    void setMask(const uint8_t* rgb, int width, int height) override
    {
        maskPointer = rgb;
        record("setMask", width, height);
    }
    int getTotalSteps() override { return 0; }
    void setProgressCallback(void*, VelostarProgressCallback) override {}
    int run() override { return VELOSTAR_UNKNOWN_ERROR; }
    void cancel() override {}
    int getFrameReportCount() override { return static_cast<int>(reports.size()); }
    bool getFrameReport(int index, VelostarFrameReport* report) override
    {
        if (index < 0 || index >= getFrameReportCount())
            return false;
        *report = reports[index];
        return true;
    }
    // What estimateSkyMask() and getSkyMask() give back.
    int estimateResult = VELOSTAR_UNKNOWN_ERROR;
    int skyMaskKind = VELOSTAR_MASK_NONE;
    std::vector<uint16_t> skyMask;
    int skyMaskWidth = 0;

    void setAutoSkyMask(bool on) override { record("setAutoSkyMask", on); }
    int estimateSkyMask() override
    {
        calls.push_back("estimateSkyMask()");
        return estimateResult;
    }
    int getSkyMask(const uint16_t** pixels, int* width, int* height) override
    {
        if (skyMaskKind == VELOSTAR_MASK_NONE || skyMaskWidth <= 0)
            return VELOSTAR_MASK_NONE;
        *pixels = skyMask.data();
        *width = skyMaskWidth;
        *height = static_cast<int>(skyMask.size()) / skyMaskWidth;
        return skyMaskKind;
    }

private:
    // Test paths are ASCII.
    static std::string narrow(const wchar_t* wide)
    {
        std::string text;
        for (const wchar_t* c = wide; c && *c; ++c)
            text.push_back(static_cast<char>(*c));
        return text;
    }

    template <typename... Args>
    void record(const char* name, const Args&... args)
    {
        std::ostringstream text;
        text << name << '(';
        const char* separator = "";
        ((text << separator << value(args), separator = ", "), ...);
        text << ')';
        calls.push_back(text.str());
    }
    static std::string value(bool v) { return v ? "true" : "false"; }
    static std::string value(const std::string& v) { return v; }
    template <typename T>
    static std::string value(const T& v)
    {
        std::ostringstream text;
        text << v;
        return text.str();
    }
};

// The calls of a run with every option set, in the order the desktop program makes them (the
// command line keeps it): each call once per argument text given for it; every name must be given.
inline std::vector<std::string> inDesktopOrder(const std::map<std::string, std::vector<std::string>>& arguments)
{
    static const char* const order[] = {
        "setBaseImage", "addStarImage", "addNoiseImage", "addVignettingImage", "setUnifyExposure",
        "setHomogenizeVignetting", "setOutputFile", "setCompositionMode", "setIntegrationMode",
        "setFreezeGroundSelective", "setDumpAsLinear", "setTrailsMotionEffect", "setSigma", "setAutoBrightness",
        "setHDR", "setRemoveHotPixels", "setMergePixels", "setTimeLapseFrames", "setReducePollution",
        "setAggressiveSuppression", "setEnhanceStars", "setDistortionCorrection", "setColorSpace", "setStarBound"};
    std::vector<std::string> calls;
    for (const char* name : order)
        for (const std::string& argument : arguments.at(name))
            calls.push_back(std::string(name) + "(" + argument + ")");
    return calls;
}
