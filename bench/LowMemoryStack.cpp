// Stacks a series as velostar-cli would, but with the engine told that only BUDGET MiB of physical
// memory are free, so that two-pass integration goes through temporary files. Run it under
// /usr/bin/time -v to see the peak memory that the file-backed path needs:
//   bench_LowMemoryStack BUDGET_MIB select|freeze OUTPUT.tif BASE.tif FRAME.tif ... [--mask MASK.png]
// Not a Google Benchmark program: one run, one figure.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "VelostarImpl.h"
#include "parallel/WidePath.h"
#if VELOSTAR_MASK_PNG
#include "MaskPng.h"
#endif

namespace {

void progress(void*, const ProgressRecord* record)
{
    // Stage openings of the second pass only, so that the log shows where the time goes.
    if (record->stage >= 30 && record->stage <= 35)
        std::fprintf(stderr, "stage %d detail %d step %d\n", record->stage, record->detail, record->stepsDone);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s BUDGET_MIB select|freeze OUTPUT.tif BASE.tif FRAME.tif ...\n", argv[0]);
        return 64;
    }
    const uint64_t budget = std::strtoull(argv[1], nullptr, 10) << 20;
    const std::string mode = argv[2];
    VelostarImpl engine;
    engine.setMemoryQuery([budget] { return budget; });
    engine.setOutputFile(velpath::fromUtf8(argv[3]).c_str());
    engine.setBaseImage(velpath::fromUtf8(argv[4]).c_str());
#if VELOSTAR_MASK_PNG
    velcli::MaskImage mask;
#endif
    for (int i = 5; i < argc; ++i) {
        if (std::string(argv[i]) == "--mask" && i + 1 < argc) {
#if VELOSTAR_MASK_PNG
            mask = velcli::loadMaskPng(argv[++i]);
            engine.setMask(mask.rgb.data(), mask.width, mask.height);
#else
            std::fprintf(stderr, "built without the mask reader\n");
            return 64;
#endif
            continue;
        }
        engine.addStarImage(velpath::fromUtf8(argv[i]).c_str());
    }
    engine.setIntegrationMode(mode == "freeze" ? 2 : 1);
    engine.setRemoveHotPixels(false);
    engine.getTotalSteps();
    engine.setProgressCallback(nullptr, progress);
    const int result = engine.run();
    std::fprintf(stderr, "result %d\n", result);
    return result == VELOSTAR_OK ? 0 : result;
}
