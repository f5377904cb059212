#include "RemainingTime.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "TextTable.h"

namespace velapp {

namespace {

constexpr int kSampleWindowSeconds = 31;
constexpr int kSampleSpacingSeconds = 2;
constexpr int kSteadyBandSeconds = 5;

}  // namespace

std::string formatDuration(int seconds, bool withHours)
{
    seconds = std::max(seconds, 0);
    char buffer[32];
    if (withHours || seconds >= 3600)
        std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    else
        std::snprintf(buffer, sizeof buffer, "%02d:%02d", seconds / 60, seconds % 60);
    return buffer;
}

int RemainingTimeEstimate::update(int elapsedSeconds, int value, int range)
{
    int64_t estimate = 0;
    if (m_samples.empty()) {
        m_samples.emplace_back(value, elapsedSeconds);
    } else {
        const auto [oldValue, oldTime] = m_samples.front();
        // Progress never runs backwards; a stalled gauge divides by one instead of zero.
        const int64_t done = value > oldValue ? value - oldValue : 1;
        estimate = std::max<int64_t>(0, int64_t(range) - value) * std::max(0, elapsedSeconds - oldTime) / done;
        if (elapsedSeconds - oldTime >= kSampleWindowSeconds && m_samples.size() >= 2)
            m_samples.pop_front();
        const auto [newValue, newTime] = m_samples.back();
        if (newValue < value && newTime + kSampleSpacingSeconds <= elapsedSeconds)
            m_samples.emplace_back(value, elapsedSeconds);
        if (estimate > 60)
            estimate = (estimate + 9) / 10 * 10;
    }
    estimate = std::min<int64_t>(estimate, INT32_MAX);
    if (m_last < estimate && estimate < int64_t(m_last) + kSteadyBandSeconds)
        estimate = m_last;
    m_last = static_cast<int>(estimate);
    return m_last;
}

void TimeText::restart()
{
    m_lastShownSecond = 0;
    m_estimate.clearSamples();
}

std::optional<std::string> TimeText::tick(int elapsedSeconds, int value, int range, bool running)
{
    const bool finished = value == range;
    if (elapsedSeconds == m_lastShownSecond && !finished && running)
        return std::nullopt;
    m_lastShownSecond = elapsedSeconds;
    // The estimate needs some history before it means anything.
    if (!finished && running && elapsedSeconds >= 10 && value >= 5 && int64_t(value) * 33 >= range) {
        const int remaining = m_estimate.update(elapsedSeconds, value, range);
        const bool hours = elapsedSeconds >= 3600 || remaining >= 3600;
        std::string line = fillPlaceholder(text(txt::ElapsedRemaining), "(E)", formatDuration(elapsedSeconds, hours));
        return fillPlaceholder(std::move(line), "(R)", formatDuration(remaining, hours));
    }
    m_estimate.update(elapsedSeconds, value, range);
    return fillPlaceholder(text(txt::Elapsed), "(E)", formatDuration(elapsedSeconds));
}

}  // namespace velapp
