#include "SkySeries.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>

#include "SkyFiles.h"
#include "image/ImageFiles.h"
#include "support/ProgressLog.h"

namespace e2e {

SkySeries::SkySeries(const velsky::SkyOptions& options) : generator(options)
{
    for (int i = 0; i < options.frames; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "frame_%03d.tif", i);
        files.push_back(dir.file(name));
        velsky::writeTiff16(files.back(), generator.renderFrame(i));
    }
    for (int i = 0; i < options.darkFrames; ++i) {
        darks.push_back(dir.file("dark_" + std::to_string(i) + ".tif"));
        velsky::writeTiff16(darks.back(), generator.renderDark(i));
    }
    for (int i = 0; i < options.flatFrames; ++i) {
        flats.push_back(dir.file("flat_" + std::to_string(i) + ".tif"));
        velsky::writeTiff16(flats.back(), generator.renderFlat(i));
    }
}

bool RunOutcome::has(int32_t stage, int32_t detail) const
{
    return std::find(stages.begin(), stages.end(), std::make_pair(stage, detail)) != stages.end();
}

RunOutcome runEngine(const std::vector<std::string>& files, const std::string& output,
                     const std::function<void(Velostar&)>& configure)
{
    std::unique_ptr<Velostar, void (*)(Velostar*)> engine(Velostar::create(), Velostar::destroy);
    veltest::ProgressLog log;
    engine->setBaseImage(veltest::widen(files.front()).c_str());
    for (size_t i = 1; i < files.size(); ++i)
        engine->addStarImage(veltest::widen(files[i]).c_str());
    engine->setOutputFile(veltest::widen(output).c_str());
    if (configure)
        configure(*engine);
    engine->setProgressCallback(&log, &veltest::ProgressLog::callback);
    RunOutcome outcome;
    outcome.result = engine->run();
    outcome.reports.resize(static_cast<size_t>(engine->getFrameReportCount()));
    outcome.files.resize(outcome.reports.size());
    for (size_t i = 0; i < outcome.reports.size(); ++i) {
        engine->getFrameReport(static_cast<int>(i), &outcome.reports[i]);
        // The engine owns the names; they go with it.
        outcome.files[i] = outcome.reports[i].file ? outcome.reports[i].file : L"";
        outcome.reports[i].file = outcome.files[i].c_str();
    }
    for (const veltest::Step& step : log.steps)
        outcome.stages.emplace_back(std::get<0>(step), std::get<1>(step));
    return outcome;
}

std::unique_ptr<velimage::Image16> loadTiff(const std::string& path, int colorSetting)
{
    return velimage::loadImage(veltest::widen(path), colorSetting, 1);
}

double starWidth(const velimage::Image16& image, double x, double y, int32_t radius)
{
    const int32_t cx = static_cast<int32_t>(std::lround(x)), cy = static_cast<int32_t>(std::lround(y));
    if (cx - radius < 0 || cy - radius < 0 || cx + radius >= image.width() || cy + radius >= image.height())
        return -1.0;
    const auto at = [&](int32_t px, int32_t py) { return static_cast<double>(image.row(py)[px * image.channels() + 1]); };
    std::vector<double> edge;
    for (int32_t d = -radius; d <= radius; ++d) {
        edge.push_back(at(cx + d, cy - radius));
        edge.push_back(at(cx + d, cy + radius));
        edge.push_back(at(cx - radius, cy + d));
        edge.push_back(at(cx + radius, cy + d));
    }
    std::nth_element(edge.begin(), edge.begin() + edge.size() / 2, edge.end());
    const double sky = edge[edge.size() / 2];
    double sum = 0, sx = 0, sy = 0;
    for (int32_t py = cy - radius; py <= cy + radius; ++py)
        for (int32_t px = cx - radius; px <= cx + radius; ++px) {
            const double v = std::max(0.0, at(px, py) - sky);
            sum += v;
            sx += v * px;
            sy += v * py;
        }
    if (sum <= 0)
        return -1.0;
    const double mx = sx / sum, my = sy / sum;
    double second = 0;
    for (int32_t py = cy - radius; py <= cy + radius; ++py)
        for (int32_t px = cx - radius; px <= cx + radius; ++px) {
            const double v = std::max(0.0, at(px, py) - sky);
            second += v * ((px - mx) * (px - mx) + (py - my) * (py - my));
        }
    return std::sqrt(second / sum);
}

std::vector<Spot> measurableStars(const SkySeries& series, const velimage::Image16& image, double minPeak,
                                  double maxPeak, int32_t margin, size_t count)
{
    const int base = series.generator.options().baseFrame;
    std::vector<velsky::SkyStar> stars = series.generator.stars();
    std::sort(stars.begin(), stars.end(), [](const auto& a, const auto& b) { return a.flux > b.flux; });
    std::vector<Spot> spots;
    for (const velsky::SkyStar& star : stars) {
        double x, y;
        series.generator.skyToFramePixel(base, star.x, star.y, x, y);
        const int32_t cx = static_cast<int32_t>(std::lround(x)), cy = static_cast<int32_t>(std::lround(y));
        if (cx < margin || cy < margin || cx >= image.width() - margin || cy >= image.height() - margin)
            continue;
        const double peak = image.row(cy)[cx * image.channels() + 1];
        const double sky = image.row(cy - 6)[cx * image.channels() + 1];
        if (peak - sky <= minPeak || peak - sky >= maxPeak)
            continue;
        // A neighbour within the measuring window would widen the star.
        bool crowded = false;
        for (const Spot& s : spots)
            crowded = crowded || std::hypot(s.x - x, s.y - y) < 14.0;
        if (crowded)
            continue;
        spots.push_back({x, y});
        if (spots.size() == count)
            break;
    }
    return spots;
}

}  // namespace e2e
