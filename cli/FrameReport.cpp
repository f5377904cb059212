#include "FrameReport.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "Velostar.h"
#include "WideText.h"

namespace velcli {

nlohmann::json buildFrameReport(Velostar& engine, int result)
{
    nlohmann::json frames = nlohmann::json::array();
    const int count = engine.getFrameReportCount();
    for (int i = 0; i < count; ++i) {
        VelostarFrameReport frame{};
        if (!engine.getFrameReport(i, &frame))
            continue;
        nlohmann::json entry;
        entry["file"] = narrow(frame.file);
        entry["reference"] = frame.reference;
        entry["stars"] = frame.stars;
        entry["patternStars"] = frame.patternStars;
        entry["pairs"] = frame.pairs;
        if (frame.aligned)
            entry["transform"] = frame.transform;
        else
            entry["transform"] = nullptr;
        entry["used"] = frame.used;
        if (!frame.aligned && frame.reason)
            entry["reason"] = frame.reason;
        else
            entry["reason"] = nullptr;
        frames.push_back(std::move(entry));
    }
    return {{"result", result}, {"frames", std::move(frames)}};
}

std::vector<std::string> unalignedFrameLines(Velostar& engine)
{
    std::vector<std::string> lines;
    const int count = engine.getFrameReportCount();
    for (int i = 0; i < count; ++i) {
        VelostarFrameReport frame{};
        if (!engine.getFrameReport(i, &frame) || frame.reference || frame.aligned || !frame.reason)
            continue;
        lines.push_back(fileNamePart(narrow(frame.file)) + " not aligned: " + frame.reason);
    }
    return lines;
}

bool writeFrameReport(const std::string& path, const nlohmann::json& report, std::string& error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out)
        out << report.dump(2) << '\n';
    out.close();
    if (!out) {
        error = path + ": cannot write the report (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

}  // namespace velcli
