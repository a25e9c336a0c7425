#include "library/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <string>

namespace qvr {
namespace {

// Closes a descriptor on every path out of a function.
struct Descriptor {
    int fd;
    explicit Descriptor(int value) : fd(value) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    bool closeNow() {
        const int result = ::close(fd);
        fd = -1;
        return result == 0;
    }
};

// The process's umask, read without changing it (umask() would, for every thread).
mode_t currentUmask() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    mode_t mask = 022;
    if (status == nullptr) return mask;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        unsigned value;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
            mask = static_cast<mode_t>(value);
            break;
        }
    }
    std::fclose(status);
    return mask;
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

qvr_error readFilePrefix(const char* path, size_t limit, std::vector<uint8_t>& out) {
    out.clear();
    // Non-blocking, so that a FIFO is refused below instead of waiting for a writer.
    Descriptor file(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.fd < 0) return QVR_ERROR_OPEN;
    struct stat info;
    if (::fstat(file.fd, &info) != 0) return QVR_ERROR_READ;
    if (!S_ISREG(info.st_mode)) return QVR_ERROR_OPEN;
    const size_t size = static_cast<size_t>(info.st_size);
    out.resize(size < limit ? size : limit);
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::read(file.fd, out.data() + done, out.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return QVR_ERROR_READ;
        if (got == 0) break;  // the file shrank meanwhile: decoding sees the shorter data
        done += static_cast<size_t>(got);
    }
    out.resize(done);
    return QVR_OK;
}

qvr_error replaceFile(const char* path, const uint8_t* bytes, size_t size) {
    // A symbolic link keeps pointing where it did: the file it names is replaced.
    char* resolved = ::realpath(path, nullptr);
    const std::string target(resolved ? resolved : path);
    std::free(resolved);
    struct stat existing;
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) return QVR_ERROR_OPEN;  // a folder, a device, ...
    if (exists && ::access(target.c_str(), W_OK) != 0) return QVR_ERROR_OPEN;  // read-only stays so
    const mode_t mode = exists ? (existing.st_mode & 07777) : (0666 & ~currentUmask());

    std::string temporary = folderOf(target) + "/.qvr-XXXXXX";
    Descriptor file(::mkstemp(temporary.data()));
    if (file.fd < 0) return QVR_ERROR_OPEN;
    const bool written = writeAll(file.fd, bytes, size) && ::fchmod(file.fd, mode) == 0 &&
                         ::fsync(file.fd) == 0;
    if (!file.closeNow() || !written || std::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return QVR_ERROR_WRITE;
    }
    return QVR_OK;
}

}  // namespace qvr
