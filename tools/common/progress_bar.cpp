#include "tools/common/progress_bar.h"

#include <unistd.h>

#include <cstdio>

namespace qvr {
namespace {
constexpr int BAR_WIDTH = 30;
}

bool stderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

ProgressBar::ProgressBar(std::string label, int32_t passes, bool enabled)
    : label_(std::move(label)), passes_(passes > 0 ? passes : 1), enabled_(enabled) {}

ProgressBar::~ProgressBar() { clear(); }

void ProgressBar::report(void* self, int32_t done, int32_t total) {
    static_cast<ProgressBar*>(self)->update(done, total);
}

void ProgressBar::update(int32_t done, int32_t total) {
    if (!enabled_ || total <= 0) return;
    const double fraction = (finishedPasses_ + static_cast<double>(done) / total) / passes_;
    if (done == total && finishedPasses_ + 1 < passes_) ++finishedPasses_;
    const int percent = static_cast<int>(fraction * 100);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    const int filled = static_cast<int>(fraction * BAR_WIDTH);
    std::fprintf(stderr, "\r[%.*s%*s] %3d%% %s", filled, "==============================",
                 BAR_WIDTH - filled, "", percent, label_.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::clear() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r%*s\r", BAR_WIDTH + 8 + static_cast<int>(label_.size()), "");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace qvr
