#include "tools/common/safe_output.h"

#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>

#include "tools/common/messages.h"

namespace qvr {
namespace {

// ---- temporary files to remove when a signal ends the program ----
// The handler may only use async-signal-safe calls, so the names live in
// fixed slots that it reads without a lock.

constexpr int CLEANUP_SLOTS = 256;
struct CleanupSlot {
    std::atomic<bool> used{false};
    char path[PATH_MAX];
};
CleanupSlot cleanupSlots[CLEANUP_SLOTS];
std::once_flag handlersInstalled;

void removeTemporariesAndDie(int signal) {
    for (CleanupSlot& slot : cleanupSlots)
        if (slot.used.load()) ::unlink(slot.path);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void installHandlers() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
        action.sa_handler = removeTemporariesAndDie;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(signal, &action, nullptr);
    }
}

int rememberTemporary(const std::string& path) {
    std::call_once(handlersInstalled, installHandlers);
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < CLEANUP_SLOTS; ++i) {
        bool expected = false;
        if (!cleanupSlots[i].used.compare_exchange_strong(expected, true)) continue;
        std::memcpy(cleanupSlots[i].path, path.c_str(), path.size() + 1);
        return i;
    }
    return -1;  // more files at once than slots: an interrupt may leave this one
}

void forgetTemporary(int slot) {
    if (slot >= 0) cleanupSlots[slot].used.store(false);
}

}  // namespace

SafeOutput::~SafeOutput() { abandon(); }

std::string SafeOutput::open(const std::string& path) {
    abandon();
    const int error = file_.open(path.c_str());
    if (error != 0) return systemReason(error);
    if (!file_.temporary().empty()) cleanupSlot_ = rememberTemporary(file_.temporary());
    return "";
}

std::string SafeOutput::write(const void* data, size_t size) {
    const int error = file_.write(data, size);
    return error == 0 ? "" : systemReason(error);
}

std::string SafeOutput::commit() {
    const int error = file_.commit();
    forgetTemporary(cleanupSlot_);
    cleanupSlot_ = -1;
    return error == 0 ? "" : systemReason(error);
}

void SafeOutput::abandon() {
    file_.abandon();
    forgetTemporary(cleanupSlot_);
    cleanupSlot_ = -1;
}

std::string writeFileSafely(const std::string& path, const void* data, size_t size) {
    SafeOutput output;
    std::string problem = output.open(path);
    if (problem.empty()) problem = output.write(data, size);
    if (problem.empty()) problem = output.commit();
    return problem;
}

}  // namespace qvr
