// The tools' outputs, replaced through the library's FileReplacement (links
// followed, devices and pipes written in place, mode, owner and group kept,
// the old file untouched by any failure), with one thing more: the temporary
// files made here are removed also when SIGINT, SIGTERM or SIGHUP ends the
// program. Reasons are the system's words ("Permission denied").
#pragma once

#include <cstddef>
#include <string>

#include "library/file_io.h"

namespace qvr {

class SafeOutput {
public:
    SafeOutput() = default;
    ~SafeOutput();  // abandons the output unless it was committed
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;

    // Checks `path` and opens where the bytes will go, without touching the
    // target. Returns "" or the reason.
    std::string open(const std::string& path);
    // The descriptor the bytes go to, open for reading and writing when it is
    // a temporary file; -1 before open().
    int descriptor() const { return file_.descriptor(); }
    // Writes all of `data` at the descriptor's position; "" or the reason.
    std::string write(const void* data, size_t size);
    // Puts the file in place: flushed to the disk, then renamed over the
    // target. "" or the reason; on failure the target is as it was.
    std::string commit();
    // Removes the temporary file, if one was made; the target stays as it was.
    void abandon();

private:
    FileReplacement file_;
    int cleanupSlot_ = -1;
};

// Writes a whole file through SafeOutput; "" or the reason.
std::string writeFileSafely(const std::string& path, const void* data, size_t size);

}  // namespace qvr
