#pragma once

#include <cstdint>

#include "VelostarExport.h"

// What the progress callback receives. Lives on the engine's stack for the duration of the call.
struct ProgressRecord {
    int32_t stage;        // stage code: even opens a stage, the next odd code closes it
    const wchar_t* path;  // file being loaded or written, or null
    int32_t detail;       // 0 start, 1 success, 2 failure, 3 too few stars, 4 cancelled, 9 tick
    int32_t stepsDone;    // already clamped to the total
};

typedef void (*VelostarProgressCallback)(void* user, const ProgressRecord* record);

// One frame's registration result, for hosts that report per frame (command-line program).
// `transform` maps the frame's pixel (x, y) to the base frame's
// (t[0]·x + t[1]·y + t[2], t[3]·x + t[4]·y + t[5]); valid only when `aligned` is set.
struct VelostarFrameReport {
    const wchar_t* file;  // owned by the engine, valid until it is destroyed
    bool reference;
    bool aligned;
    bool used;            // composed into the result
    int32_t stars;
    int32_t patternStars;
    int32_t pairs;
    double transform[6];
    const char* reason;   // why the frame was not aligned, in plain words; null when it was (static text)
};

// The processing engine. Objects are made by create() and freed by destroy(); the virtual
// operations keep this order so that hosts built against it keep working. Everything except
// cancel() is called from one host thread; cancel() may come from any thread while run() executes.
class VELOSTAR_API Velostar {
public:
    Velostar() = default;
    Velostar(const Velostar&) = default;
    Velostar& operator=(const Velostar&) = default;
    virtual ~Velostar();

    virtual void setBaseImage(const wchar_t* path) = 0;
    virtual void addStarImage(const wchar_t* path) = 0;
    virtual void addNoiseImage(const wchar_t* path) = 0;
    virtual void addVignettingImage(const wchar_t* path) = 0;
    virtual void setOutputFile(const wchar_t* path) = 0;
    virtual void setUnifyExposure(bool on) = 0;
    virtual void setHomogenizeVignetting(bool on) = 0;
    virtual void setCompositionMode(int mode) = 0;
    virtual void setIntegrationMode(int mode) = 0;
    virtual void setColorSpace(int colorSpace) = 0;
    virtual void setTrailsMotionEffect(bool on) = 0;
    virtual void setAutoBrightness(bool on) = 0;
    virtual void setHDR(bool on) = 0;
    virtual void setRemoveHotPixels(bool on) = 0;
    virtual void setFreezeGroundSelective(bool on) = 0;
    virtual void setDumpAsLinear(bool on) = 0;
    virtual void clearReducePollution() = 0;
    virtual void setReducePollution(int kind, int strength) = 0;
    virtual void setAggressiveSuppression(bool on) = 0;
    virtual void setMergePixels(bool on) = 0;
    virtual void setTimeLapseFrames(unsigned int frames) = 0;
    virtual void setEnhanceStars(float factor) = 0;
    virtual void setDistortionCorrection(int mode) = 0;
    virtual void setSigma(float sigma) = 0;
    virtual void setStarBound(float x0, float y0, float x1, float y1) = 0;
    virtual void setGradientRegion(float x0, float y0, float x1, float y1, float extent) = 0;
    virtual void setMask(const uint8_t* rgb, int width, int height) = 0;
    virtual int getTotalSteps() = 0;
    virtual void setProgressCallback(void* user, VelostarProgressCallback callback) = 0;
    virtual int run() = 0;
    virtual void cancel() = 0;

    // Added after the required operations. Valid after run() returned; frames in processing
    // order of the last output. Returns false for an index out of range.
    virtual int getFrameReportCount() = 0;
    virtual bool getFrameReport(int index, VelostarFrameReport* report) = 0;

    // Added after the frame report: the sky mask estimated from the frames themselves (the ground
    // stays fixed in the camera while the stars turn). With setAutoSkyMask(true), run() estimates it
    // and uses it wherever a painted mask would be used, in place of one given by setMask: "Align
    // stars" runs estimate it from their own analysis walk, trails in a walk of their own first.
    // When no star is seen to move, the run goes on as without a region (and reports it, below).
    virtual void setAutoSkyMask(bool on) = 0;
    // The estimate alone, from the files and calibration set so far (no output needed): loads,
    // calibrates and registers the star images, writes nothing. Result code as run().
    virtual int estimateSkyMask() = 0;
    // The sky mask of the last run() or estimateSkyMask(): base image size in display orientation,
    // one value per pixel (0 ground .. 65535 sky), owned by the engine until the next run, estimate
    // or destroy. Returns a VelostarSkyMask kind; the pointers are left alone for VELOSTAR_MASK_NONE.
    virtual int getSkyMask(const uint16_t** pixels, int* width, int* height) = 0;

    static Velostar* create();
    static void destroy(Velostar* engine);
    static const char* getVersion();
    static const char* getAuthor();
};

// Result codes of run().
enum VelostarResult : int {
    VELOSTAR_OK = 1,
    VELOSTAR_WRITE_FAILED = 2,
    VELOSTAR_TOO_FEW_STARS = 3,
    VELOSTAR_CANCELLED = 4,
    VELOSTAR_NO_STAR_IMAGES = 5,
    VELOSTAR_NO_OUTPUT = 6,
    VELOSTAR_BASE_UNREADABLE = 7,
    VELOSTAR_OUT_OF_MEMORY = 8,
    VELOSTAR_UNKNOWN_ERROR = 10,
};

// Kinds of sky mask that getSkyMask() returns.
enum VelostarSkyMask : int {
    VELOSTAR_MASK_NONE = 0,             // the run had no sky mask
    VELOSTAR_MASK_PAINTED = 1,          // the mask given by setMask, scaled to the base image
    VELOSTAR_MASK_ESTIMATED = 2,        // estimated from the frames
    VELOSTAR_MASK_NO_STAR_MOTION = 3,   // estimate impossible (no star seen moving): all ground, not used
};

// Progress stage of the estimate (opening code; the closing code 59 carries detail 1 when it was
// made, 2 when it failed and VELOSTAR_DETAIL_NO_STAR_MOTION when no star was seen to move).
constexpr int32_t VELOSTAR_STAGE_SKY_ESTIMATE = 58;
constexpr int32_t VELOSTAR_DETAIL_NO_STAR_MOTION = 5;
