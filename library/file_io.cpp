#include "library/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

constexpr int MAX_LINK_DEPTH = 40;  // as many as the kernel follows itself

// Follows symbolic links to the file they finally name, which may not exist
// yet. 0 and `target` set, or the errno value.
int followLinks(const std::string& path, std::string& target) {
    target = path;
    for (int depth = 0; depth < MAX_LINK_DEPTH; ++depth) {
        struct stat info {};
        if (::lstat(target.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(info.st_mode)) return 0;
        char link[PATH_MAX];
        const ssize_t n = ::readlink(target.c_str(), link, sizeof link - 1);
        if (n < 0) return errno;
        link[n] = '\0';
        target = link[0] == '/' ? std::string(link) : folderOf(target) + "/" + link;
    }
    return ELOOP;
}

// `.NAME.tmp-XXXXXX` in `folder`, NAME cut so that the name stays within the
// folder's limit (a 250-byte NAME would otherwise pass 255 bytes).
std::string temporaryPattern(const std::string& folder, const std::string& name) {
    static constexpr char SUFFIX[] = ".tmp-XXXXXX";
    const long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    const size_t nameMax = limit > 0 ? static_cast<size_t>(limit) : 255;
    const size_t taken = 1 + (sizeof SUFFIX - 1);  // the dot and the suffix
    const size_t room = nameMax > taken ? nameMax - taken : 1;
    return folder + "/." + name.substr(0, room) + SUFFIX;
}

// Gives the new file the old one's owner and group where the writer may: the
// owner (root only), else the group when the writer belongs to it. A group
// that could not be kept gets no more access than others had; the set-ID bits
// go with an owner or group that could not be kept.
mode_t keepOwnerAndGroup(int fd, const struct stat& old) {
    mode_t mode = old.st_mode & 07777;
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    struct stat now {};
    const bool known = ::fstat(fd, &now) == 0;
    if (!known || now.st_uid != old.st_uid) mode &= ~static_cast<mode_t>(S_ISUID);
    if (!known || now.st_gid != old.st_gid) mode = (mode & ~static_cast<mode_t>(S_ISGID | 0070)) | ((mode & 07) << 3);
    return mode;
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

int FileReplacement::open(const char* path) {
    abandon();
    if (path == nullptr || path[0] == '\0') return ENOENT;
    int error = followLinks(path, target_);
    if (error != 0) return error;
    struct stat existing {};
    const bool exists = ::stat(target_.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT) return errno;
    if (exists && S_ISDIR(existing.st_mode)) return EISDIR;
    if (exists && !S_ISREG(existing.st_mode)) {  // a device, pipe or socket: written in place
        fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
        return fd_ < 0 ? errno : 0;
    }
    if (exists && ::access(target_.c_str(), W_OK) != 0) return errno;  // read-only stays so
    const std::string folder = folderOf(target_);
    struct stat folderInfo {};
    if (::stat(folder.c_str(), &folderInfo) != 0) return errno;
    if (!S_ISDIR(folderInfo.st_mode)) return ENOTDIR;

    std::string pattern = temporaryPattern(folder, nameOf(target_));
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) return errno;
    temporary_ = pattern;
    const mode_t mode = exists ? keepOwnerAndGroup(fd_, existing) : (0666 & ~currentUmask());
    if (::fchmod(fd_, mode) != 0) {
        error = errno;
        abandon();
        return error;
    }
    return 0;
}

int FileReplacement::write(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int FileReplacement::commit() {
    if (fd_ < 0) return EBADF;
    int error = 0;
    if (!temporary_.empty() && ::fsync(fd_) != 0) error = errno;
    if (::close(fd_) != 0 && error == 0) error = errno;
    fd_ = -1;
    if (error == 0 && !temporary_.empty() && ::rename(temporary_.c_str(), target_.c_str()) != 0) error = errno;
    if (error != 0) {
        abandon();
        return error;
    }
    if (!temporary_.empty()) {  // the new name on the disk too
        const int folder = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
    }
    temporary_.clear();
    return 0;
}

void FileReplacement::abandon() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

qvr_error replaceFile(const char* path, const uint8_t* bytes, size_t size) {
    FileReplacement file;
    if (file.open(path) != 0) return QVR_ERROR_OPEN;
    if (file.write(bytes, size) != 0 || file.commit() != 0) return QVR_ERROR_WRITE;
    return QVR_OK;
}

}  // namespace qvr
