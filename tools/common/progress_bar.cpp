#include "tools/common/progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qvr {
namespace {

constexpr int BAR_WIDTH = 30;
constexpr int PERCENT_WIDTH = 6;  // " 100% "
constexpr int DEFAULT_COLUMNS = 80;
const char* const ERASE_LINE = "\r\033[K";

int terminalColumns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    if (const char* columns = std::getenv("COLUMNS")) {
        const int n = std::atoi(columns);
        if (n > 0) return n;
    }
    return DEFAULT_COLUMNS;
}

void drawLine(double fraction, const std::string& label) {
    std::fprintf(stderr, "\r%s\033[K", progressLine(fraction, label, terminalColumns()).c_str());
    std::fflush(stderr);
}

void eraseLine() {
    std::fputs(ERASE_LINE, stderr);
    std::fflush(stderr);
}

}  // namespace

bool stderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

std::string progressLine(double fraction, const std::string& label, int columns) {
    const int percent = static_cast<int>(fraction * 100);
    const int room = columns - 1;  // the last column would wrap on some terminals
    const int barWidth = room >= BAR_WIDTH + 2 + PERCENT_WIDTH ? BAR_WIDTH : 0;
    std::string line;
    if (barWidth > 0) {
        const int filled = static_cast<int>(fraction * barWidth);
        line.append("[").append(static_cast<size_t>(filled), '=');
        line.append(static_cast<size_t>(barWidth - filled), ' ').append("]");
    }
    char number[16];
    std::snprintf(number, sizeof number, " %3d%% ", percent);
    line += number;
    const int left = room - static_cast<int>(line.size());
    if (left <= 0) return line.substr(0, static_cast<size_t>(room > 0 ? room : 0));
    if (static_cast<int>(label.size()) <= left) return line.append(label);
    if (left <= 3) return line.append(label, label.size() - static_cast<size_t>(left));
    const size_t kept = static_cast<size_t>(left - 3);  // the name's end stays
    return line.append("...").append(label, label.size() - kept);
}

ProgressBar::ProgressBar(std::string label, int32_t passes, bool enabled)
    : label_(std::move(label)), passes_(passes > 0 ? passes : 1), enabled_(enabled) {}

ProgressBar::ProgressBar(BatchProgress* batch, size_t job, int32_t passes)
    : passes_(passes > 0 ? passes : 1), enabled_(batch && batch->enabled()), batch_(batch), job_(job) {}

ProgressBar::~ProgressBar() { clear(); }

void ProgressBar::report(void* self, int32_t done, int32_t total) {
    static_cast<ProgressBar*>(self)->update(done, total);
}

void ProgressBar::update(int32_t done, int32_t total) {
    if (!enabled_ || total <= 0) return;
    double fraction = std::min(1.0, (finishedPasses_ + static_cast<double>(done) / total) / passes_);
    if (done == total && finishedPasses_ < passes_) ++finishedPasses_;
    // More passes announced later, or a pass counted again, never move the bar back.
    if (fraction < shown_) fraction = shown_;
    shown_ = fraction;
    const int percent = static_cast<int>(fraction * 100);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    if (batch_) {
        batch_->setFraction(job_, fraction);
        return;
    }
    drawLine(fraction, label_);
    drawn_ = true;
}

void ProgressBar::clear() {
    if (!drawn_) return;
    eraseLine();
    drawn_ = false;
}

BatchProgress::BatchProgress(size_t files, bool enabled) : fractions_(files, 0.0), enabled_(enabled) {}

BatchProgress::~BatchProgress() {
    if (drawn_) eraseLine();
}

void BatchProgress::setFraction(size_t job, double fraction) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    sum_ += fraction - fractions_[job];
    fractions_[job] = fraction;
    drawLocked();
}

void BatchProgress::fileFinished(size_t job) {
    std::lock_guard<std::mutex> lock(mutex_);
    sum_ += 1.0 - fractions_[job];
    fractions_[job] = 1.0;
    ++finished_;
    if (enabled_) drawLocked();
}

void BatchProgress::print(std::FILE* stream, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (drawn_) eraseLine();
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
    if (drawn_) {
        lastPercent_ = -1;
        drawLocked();
    }
}

void BatchProgress::drawLocked() {
    const double fraction = fractions_.empty() ? 1.0 : sum_ / static_cast<double>(fractions_.size());
    const int percent = static_cast<int>(fraction * 100);
    if (percent == lastPercent_ && finished_ == drawnFinished_) return;
    lastPercent_ = percent;
    drawnFinished_ = finished_;
    drawLine(fraction, std::to_string(finished_) + " of " + std::to_string(fractions_.size()) + " files");
    drawn_ = true;
}

}  // namespace qvr
