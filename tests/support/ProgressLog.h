#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "Velostar.h"

namespace veltest {

// (stage, detail, steps done) of one progress record.
using Step = std::tuple<int32_t, int32_t, int32_t>;

// Collects progress records; `onRecord` may act on one (cancel, for example).
struct ProgressLog {
    std::mutex mutex;
    std::vector<Step> steps;
    std::vector<std::wstring> paths;
    std::function<void(const ProgressRecord&)> onRecord;

    static void callback(void* user, const ProgressRecord* record)
    {
        auto* log = static_cast<ProgressLog*>(user);
        {
            std::lock_guard<std::mutex> lock(log->mutex);
            log->steps.emplace_back(record->stage, record->detail, record->stepsDone);
            log->paths.emplace_back(record->path ? record->path : L"");
        }
        if (log->onRecord)
            log->onRecord(*record);
    }
    bool contains(int32_t stage, int32_t detail)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const Step& s : steps)
            if (std::get<0>(s) == stage && std::get<1>(s) == detail)
                return true;
        return false;
    }
};

}  // namespace veltest
