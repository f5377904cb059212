#include "ProgressView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "Velostar.h"
#include "WideText.h"

namespace velcli {

namespace {

struct StageText {
    int stage;
    const char* text;
    bool continues;  // the closing word follows on the same line
};

// Texts of the opening codes; "(F)" is the file name part of the reported path.
constexpr StageText kStageTexts[] = {
    {1, "Loading (F)", true},
    {3, "Prefetch (F)", false},
    {4, "[Building noise image]", false},
    {5, "Noise image ready", false},
    {6, "Analyzing noises", true},
    {8, "[Building vignetting image]", false},
    {9, "Vignetting image ready", false},
    {10, "Analyzing vignetting", true},
    {12, "Adjusting exposure", true},
    {14, "[Analysis & composition]", false},
    {16, "Preparing mask", true},
    {18, "Reducing noise", true},
    {20, "Removing dynamic hot pixels", true},
    {22, "Correcting vignetting", true},
    {24, "Preparing base image", true},
    {26, "Analyzing image", true},
    {28, "Composing", true},
    {30, "[Integration]", false},
    {32, "Writing temporary files", true},
    {34, "Computing and integrating", true},
    {36, "[Post processing]", false},
    {38, "Normalizing", true},
    {40, "Merging pixels", true},
    {42, "Enhancing star light", true},
    {44, "Correcting gamma", true},
    {46, "Adjusting brightness", true},
    {48, "Adjusting contrast", true},
    {50, "Adjusting dynamic range", true},
    {52, "Reducing light pollution", true},
    {54, "[Output]", false},
    {56, "Writing (F)", true},
    {VELOSTAR_STAGE_SKY_ESTIMATE, "Estimating sky mask", true},
};

const StageText* findStage(int stage)
{
    for (const auto& entry : kStageTexts)
        if (entry.stage == stage)
            return &entry;
    return nullptr;
}

std::string fillName(const char* text, const std::string& name)
{
    std::string out = text;
    const size_t at = out.find("(F)");
    if (at != std::string::npos)
        out.replace(at, 3, name);
    return out;
}

}  // namespace

void ProgressLog::flush(std::vector<std::string>& completed)
{
    if (m_pending.empty())
        return;
    while (!m_pending.empty() && m_pending.back() == ' ')
        m_pending.pop_back();
    completed.push_back(std::move(m_pending));
    m_pending.clear();
}

void ProgressLog::add(int stage, int detail, const std::string& name, std::vector<std::string>& completed)
{
    if (stage == 0 || stage == 15 || stage == 31 || stage == 37 || stage == 55)
        return;
    // Opening codes, plus the closing codes 5 and 9 that have a text of their own.
    if (const StageText* entry = findStage(stage)) {
        flush(completed);
        if (entry->continues) {
            m_pending = fillName(entry->text, name) + " ... ";
        } else {
            m_pending = fillName(entry->text, name);
            flush(completed);
        }
        return;
    }
    const char* word = nullptr;
    if (stage == 27 && detail == 3)
        word = "TOO FEW STARS";
    else if (stage == VELOSTAR_STAGE_SKY_ESTIMATE + 1 && detail == VELOSTAR_DETAIL_NO_STAR_MOTION)
        word = "NO STAR SEEN MOVING";
    else if (detail == 1)
        word = "done";
    else if (detail == 2)
        word = "FAILED", ++m_failCount;
    else if (detail == 4)
        word = "Cancelled.";
    if (!word)
        return;
    m_pending += word;
    flush(completed);
}

ProgressView::ProgressView(std::ostream& out, ProgressStyle style, int totalSteps, int terminalWidth)
    : m_out(out),
      m_style(style),
      m_total(std::max(totalSteps, 1)),
      m_width(std::max(terminalWidth, 20)),
      m_start(std::chrono::steady_clock::now()),
      m_lastDraw(m_start)
{
}

ProgressStyle ProgressView::styleFor(bool quiet, int fileDescriptor)
{
    if (quiet)
        return ProgressStyle::Quiet;
    return ::isatty(fileDescriptor) ? ProgressStyle::Bar : ProgressStyle::Lines;
}

int ProgressView::terminalWidth(int fileDescriptor)
{
    winsize size{};
    if (::ioctl(fileDescriptor, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

int ProgressView::elapsedSeconds() const
{
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_start).count());
}

void ProgressView::onRecord(const ProgressRecord& record)
{
    if (m_style == ProgressStyle::Quiet)
        return;
    m_done = std::clamp(record.stepsDone, 0, m_total);
    const std::string name = record.path ? fileNamePart(narrow(record.path)) : std::string();
    std::vector<std::string> completed;
    m_log.add(record.stage, record.detail, name, completed);
    if (m_style == ProgressStyle::Lines) {
        for (const auto& line : completed)
            m_out << line << '\n';
        if (!completed.empty())
            m_out.flush();
        return;
    }
    // On a terminal only the lines worth keeping stay above the bar.
    for (const auto& line : completed)
        if (line.find("FAILED") != std::string::npos || line.find("TOO FEW STARS") != std::string::npos ||
            line.find("Cancelled.") != std::string::npos)
            m_out << "\r\033[K" << line << '\n';
    drawBar(record.stage != 0);
}

void ProgressView::drawBar(bool force)
{
    const auto now = std::chrono::steady_clock::now();
    if (!force && m_drawn && now - m_lastDraw < std::chrono::milliseconds(100))
        return;
    m_lastDraw = now;
    m_drawn = true;
    const int elapsed = elapsedSeconds();
    std::string time = formatDuration(elapsed) + " elapsed";
    if (m_done > 0 && m_done < m_total && elapsed >= 3) {
        const long long remaining = static_cast<long long>(elapsed) * (m_total - m_done) / m_done;
        time += ", " + formatDuration(static_cast<int>(std::min<long long>(remaining, 359999))) + " remaining";
    }
    // A steady bar sized by the terminal; the stage text is cut at the right edge if need be.
    const int barWidth = std::clamp(m_width / 4, 10, 30);
    const int filled = static_cast<int>(static_cast<long long>(barWidth) * m_done / m_total);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(100LL * m_done / m_total));
    std::string line;
    line.reserve(128);
    line += '[';
    line.append(filled, '#');
    line.append(barWidth - filled, '.');
    line += "] ";
    line += percent;
    line += "  ";
    line += time;
    line += "  ";
    line += m_log.pending();
    if (static_cast<int>(line.size()) > m_width - 1)
        line.resize(m_width - 1);
    m_out << "\r\033[K" << line << std::flush;
}

void ProgressView::finish()
{
    if (m_style == ProgressStyle::Quiet)
        return;
    std::vector<std::string> completed;
    m_log.flush(completed);
    if (m_style == ProgressStyle::Bar) {
        drawBar(true);
        m_out << '\n';
    } else {
        for (const auto& line : completed)
            m_out << line << '\n';
    }
    m_out.flush();
}

std::string formatDuration(int seconds)
{
    seconds = std::max(seconds, 0);
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    else
        std::snprintf(text, sizeof text, "%02d:%02d", seconds / 60, seconds % 60);
    return text;
}

std::string resultText(int result, bool skyRegion)
{
    switch (result) {
        case VELOSTAR_OK:
            return "Completed successfully!";
        case VELOSTAR_WRITE_FAILED:
            return "Writting output failed!";
        case VELOSTAR_TOO_FEW_STARS:
            return skyRegion ? "Failed. Maybe improper sky mask." : "Failed. Maybe improper exposure.";
        case VELOSTAR_CANCELLED:
            return "Cancelled.";
        case VELOSTAR_NO_STAR_IMAGES:
            return "Please add star image(s).";
        case VELOSTAR_NO_OUTPUT:
            return "Please assign output file.";
        case VELOSTAR_BASE_UNREADABLE:
            return "Loading base image failed. Unsupported file format or invalid file.\n"
                   "Velostar only supports RAW(of some cameras), JPEG, and uncompressed TIFF.";
        case VELOSTAR_OUT_OF_MEMORY:
            return "Insufficient memory!";
        default:
            return "Unknown error!";
    }
}

}  // namespace velcli
