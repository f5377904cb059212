#pragma once

#include <string>

#include "RunSettings.h"

// What the progress dialog writes into its log for each engine report and at the end of a run.
namespace velapp {

// The part of an engine path after its last "/", "\" or ":"; the whole path when there is none
// or when the path ends in one; empty for a null path.
std::wstring fileNamePartOf(const wchar_t* path);

struct LogLine {
    std::string text;     // appended as it is; empty for reports that show nothing
    bool failed = false;  // a "FAILED" stage end
};

// The log text of one progress report. Opening reports of per-file stages end in " ... " so that
// the closing report's "done" or "FAILED" follows on the same line. `name` is UTF-8.
LogLine progressLogLine(int stage, int detail, const std::string& name);

// The value the progress dialog ends with.
enum EndCode : int { EndNone = 0, EndCancelled = 1, EndFailed = 2, EndSucceeded = 3 };

struct FinishReport {
    std::string text;  // appended to the log
    int endCode = EndFailed;
    bool bell = true;
};

// The closing message for the engine's result code.
FinishReport finishReport(int result, const RunSettings& settings, int failCount);

// The folder of `path`, without the trailing separator ("/" for a file in the root).
std::wstring folderOf(const std::wstring& path);

}  // namespace velapp
