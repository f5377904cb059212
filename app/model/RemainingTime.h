#pragma once

#include <deque>
#include <optional>
#include <string>
#include <utility>

// Elapsed and remaining time of a run, as the progress dialog shows them. UI thread only.
namespace velapp {

// "mm:ss", or "hh:mm:ss" from one hour on or when `withHours` is set.
std::string formatDuration(int seconds, bool withHours = false);

// Remaining seconds from the progress rate over the last half minute or so, rounded up to ten
// seconds above one minute, and steadied: a rise of less than five seconds keeps the last value.
class RemainingTimeEstimate {
public:
    int update(int elapsedSeconds, int value, int range);
    void clearSamples() { m_samples.clear(); }
    int lastEstimate() const { return m_last; }

private:
    std::deque<std::pair<int, int>> m_samples;  // (value, elapsed seconds), oldest first
    int m_last = 0;
};

// The dialog's time line, refreshed by a timer. tick() returns the new text, or nothing when the
// shown text stays as it is.
class TimeText {
public:
    std::optional<std::string> tick(int elapsedSeconds, int value, int range, bool running);
    void restart();

private:
    int m_lastShownSecond = 0;
    RemainingTimeEstimate m_estimate;
};

}  // namespace velapp
