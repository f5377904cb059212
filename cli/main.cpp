// velostar-cli: runs the stacking engine from the command line.
#include <unistd.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "CancelWatcher.h"
#include "CliOptions.h"
#include "EngineConfig.h"
#include "FrameReport.h"
#include "InputCheck.h"
#include "MaskPng.h"
#include "ProgressView.h"
#include "SkyMaskOutput.h"
#include "Velostar.h"

namespace {

struct EngineDeleter {
    void operator()(Velostar* engine) const { Velostar::destroy(engine); }
};

void onProgress(void* user, const ProgressRecord* record)
{
    static_cast<velcli::ProgressView*>(user)->onRecord(*record);
}

int runEngine(const velcli::CliOptions& options)
{
    velcli::MaskImage mask;
    if (!options.mask.empty()) {
        try {
            mask = velcli::loadMaskPng(options.mask);
        } catch (const std::exception& error) {
            std::cerr << "velostar-cli: --mask " << options.mask << ": " << error.what() << '\n';
            return velcli::kUsageExit;
        }
    }
    std::unique_ptr<Velostar, EngineDeleter> engine(Velostar::create());
    if (!engine) {
        std::cerr << "velostar-cli: Insufficient memory!\n";
        return VELOSTAR_OUT_OF_MEMORY;
    }
    velcli::configureEngine(*engine, options, velcli::resolvePaths(options), options.mask.empty() ? nullptr : &mask);

    velcli::ProgressView view(std::cerr, velcli::ProgressView::styleFor(options.quiet, STDERR_FILENO),
                              engine->getTotalSteps(), velcli::ProgressView::terminalWidth(STDERR_FILENO));
    engine->setProgressCallback(&view, &onProgress);
    int result;
    {
        // The watcher cancels through the engine and is joined before the engine is released.
        velcli::CancelWatcher watcher([&engine] { engine->cancel(); });
        result = engine->run();
    }
    view.finish();

    int exitCode = result == VELOSTAR_OK ? 0 : result;
    if (!options.report.empty()) {
        std::string error;
        if (!velcli::writeFrameReport(options.report, velcli::buildFrameReport(*engine, result), error)) {
            std::cerr << "velostar-cli: " << error << '\n';
            if (exitCode == 0)
                exitCode = VELOSTAR_WRITE_FAILED;
        }
    }
    if (!options.saveMask.empty()) {
        std::string error;
        if (!velcli::saveSkyMask(*engine, options.saveMask, error)) {
            std::cerr << "velostar-cli: " << error << '\n';
            if (exitCode == 0)
                exitCode = VELOSTAR_WRITE_FAILED;
        }
    }
    if (!options.quiet) {
        for (const std::string& line : velcli::unalignedFrameLines(*engine))
            std::cerr << line << '\n';
        if (const std::string warning = velcli::skyMaskWarning(*engine); !warning.empty())
            std::cerr << "velostar-cli: " << warning << '\n';
    }
    if (result != VELOSTAR_OK) {
        std::cerr << "velostar-cli: " << velcli::resultText(result, options.hasSkyRegion()) << '\n';
    } else if (!options.quiet) {
        if (view.failCount() > 0)
            std::cerr << view.failCount() << " fail(s)\n";
        std::cerr << velcli::resultText(result, false) << " Output: " << options.output << '\n';
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    // Before any thread exists, so that only the watcher ever receives SIGINT and SIGTERM.
    velcli::CancelWatcher::blockSignals();
    try {
        velcli::CliOptions options;
        const auto parsed =
            velcli::parseCommandLine(argc, argv, options, std::string("velostar-cli ") + Velostar::getVersion());
        if (!parsed.run) {
            std::cout << parsed.out;
            if (!parsed.error.empty())
                std::cerr << parsed.error << '\n';
            return parsed.exitCode;
        }
        if (const std::string problem = velcli::checkFiles(options); !problem.empty()) {
            std::cerr << "velostar-cli: " << problem << '\n';
            return velcli::kUsageExit;
        }
        return runEngine(options);
    } catch (const std::bad_alloc&) {
        std::cerr << "velostar-cli: Insufficient memory!\n";
        return VELOSTAR_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        std::cerr << "velostar-cli: " << error.what() << '\n';
        return VELOSTAR_UNKNOWN_ERROR;
    }
}
