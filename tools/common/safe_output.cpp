#include "tools/common/safe_output.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

#include "tools/common/messages.h"

namespace qvr {
namespace {

constexpr int MAX_LINK_DEPTH = 40;  // as the kernel allows when it follows links itself
constexpr mode_t NEW_FILE_MODE = 0666;

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
        struct sigaction action{};
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

// ---- paths ----

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links to the file they finally name (which may not exist
// yet). Returns "" and sets `target`, or the reason.
std::string followLinks(const std::string& path, std::string& target) {
    target = path;
    for (int depth = 0; depth < MAX_LINK_DEPTH; ++depth) {
        struct stat info{};
        if (::lstat(target.c_str(), &info) != 0) {
            if (errno == ENOENT) return "";
            return systemReason(errno);
        }
        if (!S_ISLNK(info.st_mode)) return "";
        char link[PATH_MAX];
        const ssize_t n = ::readlink(target.c_str(), link, sizeof link - 1);
        if (n < 0) return systemReason(errno);
        link[n] = '\0';
        target = link[0] == '/' ? std::string(link) : folderOf(target) + "/" + link;
    }
    return systemReason(ELOOP);
}

mode_t currentUmask() {
    static const mode_t mask = [] {  // umask can only be read by setting it
        const mode_t m = ::umask(022);
        ::umask(m);
        return m;
    }();
    return mask;
}

}  // namespace

SafeOutput::~SafeOutput() { abandon(); }

std::string SafeOutput::open(const std::string& path) {
    abandon();
    if (path.empty()) return systemReason(ENOENT);
    std::string problem = followLinks(path, target_);
    if (!problem.empty()) return problem;
    struct stat info{};
    mode_t mode = NEW_FILE_MODE & ~currentUmask();
    if (::stat(target_.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return systemReason(EISDIR);
        if (!S_ISREG(info.st_mode)) {  // a device, pipe or socket: written in place
            fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
            return fd_ < 0 ? systemReason(errno) : "";
        }
        if (::access(target_.c_str(), W_OK) != 0) return systemReason(errno);  // no rename around it
        mode = info.st_mode & 07777;
    } else if (errno != ENOENT) {
        return systemReason(errno);
    }
    const std::string folder = folderOf(target_);
    struct stat folderInfo{};
    if (::stat(folder.c_str(), &folderInfo) != 0) return systemReason(errno);
    if (!S_ISDIR(folderInfo.st_mode)) return systemReason(ENOTDIR);
    std::string pattern = folder + "/." + nameOf(target_) + ".tmp-XXXXXX";
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) return systemReason(errno);
    temp_ = pattern;
    cleanupSlot_ = rememberTemporary(temp_);
    if (::fchmod(fd_, mode) != 0) {
        const int error = errno;
        abandon();
        return systemReason(error);
    }
    return "";
}

std::string SafeOutput::write(const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return systemReason(errno);
        if (n == 0) return systemReason(ENOSPC);
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return "";
}

std::string SafeOutput::commit() {
    if (fd_ < 0) return systemReason(EBADF);
    int error = 0;
    if (!temp_.empty() && ::fsync(fd_) != 0) error = errno;
    if (::close(fd_) != 0 && error == 0) error = errno;
    fd_ = -1;
    if (error == 0 && !temp_.empty() && ::rename(temp_.c_str(), target_.c_str()) != 0) error = errno;
    if (error != 0) {
        abandon();
        return systemReason(error);
    }
    forgetTemporary(cleanupSlot_);
    cleanupSlot_ = -1;
    if (!temp_.empty()) {  // the new name on the disk too
        const int folder = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
    }
    temp_.clear();
    return "";
}

void SafeOutput::abandon() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
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
