#include "tools/common/messages.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qvr {

std::string failureLine(const std::string& tool, const std::string& input, const std::string& step,
                        const std::string& reason) {
    return tool + ": " + input + ": " + step + ": " + reason + "\n";
}

std::string systemReason(int error) { return std::strerror(error); }

std::string inputProblem(const std::string& path, bool seekable) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return systemReason(errno);
    if (S_ISDIR(info.st_mode)) return systemReason(EISDIR);
    if (::access(path.c_str(), R_OK) != 0) return systemReason(errno);
    if (seekable && !S_ISREG(info.st_mode)) return "not a regular file (a QVR file is read with seeks)";
    return "";
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat first {
    }, second{};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

}  // namespace qvr
