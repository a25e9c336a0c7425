// Progress on stderr for long conversions, fed by the codec's and the PNG
// reader's progress reports: one line, redrawn in place, cut to the
// terminal's width. It draws only when stderr is a terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace qvr {

class BatchProgress;

class ProgressBar {
public:
    // `passes`: how many times the reports will count from 1 to their total
    // (reading a PNG is one; encoding is one more, two with an alpha plane).
    // The bar only moves forward: each finished pass stays counted, and the
    // fraction shown never falls.
    ProgressBar(std::string label, int32_t passes, bool enabled);
    // A bar that hands its fraction to job `job` of a batch instead of drawing.
    ProgressBar(BatchProgress* batch, size_t job, int32_t passes);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // A progress(done, total) callback for the codec's bindings and readPng.
    static void report(void* self, int32_t done, int32_t total);
    // Erases the bar, so that the next line starts clean.
    void clear();
    // Changes how many passes the reports will make in all, once that is known.
    void expectPasses(int32_t passes) { passes_ = passes > 0 ? passes : 1; }

private:
    void update(int32_t done, int32_t total);

    std::string label_;
    int32_t passes_;
    int32_t finishedPasses_ = 0;
    double shown_ = 0;
    int lastPercent_ = -1;
    bool enabled_;
    bool drawn_ = false;
    BatchProgress* batch_ = nullptr;
    size_t job_ = 0;
};

// One display for a whole batch: the share of all its files' work that is
// done, and how many files are finished. Safe to use from several threads.
class BatchProgress {
public:
    BatchProgress(size_t files, bool enabled);
    ~BatchProgress();

    void setFraction(size_t job, double fraction);
    void fileFinished(size_t job);
    // Prints text on stdout or stderr with the bar out of the way.
    void print(std::FILE* stream, const std::string& text);
    bool enabled() const { return enabled_; }

private:
    void drawLocked();

    std::mutex mutex_;
    std::vector<double> fractions_;
    double sum_ = 0;
    size_t finished_ = 0;
    size_t drawnFinished_ = 0;
    int lastPercent_ = -1;
    bool enabled_;
    bool drawn_ = false;
};

// True when stderr is a terminal.
bool stderrIsTerminal();

// The line a bar draws for `fraction` done with `label`, no wider than
// `columns` - 1 characters (so that the terminal never wraps it).
std::string progressLine(double fraction, const std::string& label, int columns);

}  // namespace qvr
