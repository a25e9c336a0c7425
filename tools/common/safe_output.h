// Writing a user's file so that a failure never loses what was there: the
// bytes go to a temporary file beside the target, which replaces the target
// only once it is complete and on the disk. Devices and pipes are written in
// place (there is nothing to keep and nothing may be unlinked); a symbolic link
// keeps pointing where it did and the file it names is replaced. Only the
// temporary files made here are ever removed, also when the program is
// interrupted.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace qvr {

class SafeOutput {
public:
    SafeOutput() = default;
    ~SafeOutput();  // abandons the output unless it was committed
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;

    // Checks `path` and opens where the bytes will go, without touching the
    // target. Returns "" or the reason ("Permission denied", ...).
    std::string open(const std::string& path);
    // The descriptor the bytes go to, open for reading and writing when it is
    // a temporary file; -1 before open().
    int descriptor() const { return fd_; }
    // Writes all of `data` at the descriptor's position; "" or the reason.
    std::string write(const void* data, size_t size);
    // Puts the file in place: flushed to the disk, then renamed over the
    // target. "" or the reason; on failure the target is as it was.
    std::string commit();
    // Removes the temporary file, if one was made; the target stays as it was.
    void abandon();

private:
    std::string target_;  // where the file goes, symbolic links followed
    std::string temp_;    // the temporary file, "" when writing in place
    int fd_ = -1;
    int cleanupSlot_ = -1;
};

// Writes a whole file through SafeOutput; "" or the reason.
std::string writeFileSafely(const std::string& path, const void* data, size_t size);

}  // namespace qvr
