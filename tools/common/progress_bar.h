// A one-line progress bar on stderr for long conversions, fed by the codec's
// progress reports. It draws only when stderr is a terminal.
#pragma once

#include <cstdint>
#include <string>

namespace qvr {

class ProgressBar {
public:
    // `passes`: how many times the codec will count from 1 to the row count
    // (2 for images with an alpha plane).
    ProgressBar(std::string label, int32_t passes, bool enabled);
    ~ProgressBar();

    // The codec's progress(done, total), as a StreamBinding report callback.
    static void report(void* self, int32_t done, int32_t total);
    // Erases the bar, so that the next line starts clean.
    void clear();

private:
    void update(int32_t done, int32_t total);

    std::string label_;
    int32_t passes_;
    int32_t finishedPasses_ = 0;
    int lastPercent_ = -1;
    bool enabled_;
    bool drawn_ = false;
};

// True when stderr is a terminal.
bool stderrIsTerminal();

}  // namespace qvr
