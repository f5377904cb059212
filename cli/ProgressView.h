#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

struct ProgressRecord;

namespace velcli {

// Builds the run log the way the desktop program's progress log reads: a stage's opening text,
// " ... " and its closing word on one line; phase headers on their own line.
class ProgressLog {
public:
    // Adds one engine report; appends every line it completed to `completed`.
    void add(int stage, int detail, const std::string& name, std::vector<std::string>& completed);
    // The line still waiting for its stage to close.
    const std::string& pending() const { return m_pending; }
    void flush(std::vector<std::string>& completed);
    int failCount() const { return m_failCount; }

private:
    std::string m_pending;
    int m_failCount = 0;
};

enum class ProgressStyle { Bar, Lines, Quiet };

// Shows a run's progress on stderr: a redrawn bar with stage text and remaining time on a
// terminal, one plain line per stage otherwise, nothing when quiet. Called on the run thread.
class ProgressView {
public:
    ProgressView(std::ostream& out, ProgressStyle style, int totalSteps, int terminalWidth = 80);
    void onRecord(const ProgressRecord& record);
    // Closes the bar line and prints a pending stage line.
    void finish();
    int failCount() const { return m_log.failCount(); }

    static ProgressStyle styleFor(bool quiet, int fileDescriptor);
    static int terminalWidth(int fileDescriptor);

private:
    void drawBar(bool force);
    int elapsedSeconds() const;

    std::ostream& m_out;
    ProgressStyle m_style;
    int m_total;
    int m_width;
    int m_done = 0;
    ProgressLog m_log;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
    bool m_drawn = false;
};

// "mm:ss", or "hh:mm:ss" from an hour on.
std::string formatDuration(int seconds);
// The closing message for a run result; `skyRegion` picks the hint of result 3.
std::string resultText(int result, bool skyRegion);

}  // namespace velcli
