// Reading the start of a file, and the one way a user's file is replaced,
// which the library's calls and the tools share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qvr/qvr.h"

namespace qvr {

// Reads at most `limit` bytes from the start of the file at `path` into `out`.
// QVR_ERROR_OPEN when it cannot be opened, QVR_ERROR_READ when reading fails.
qvr_error readFilePrefix(const char* path, size_t limit, std::vector<uint8_t>& out);

// Writes a user's file so that a failure never loses what was there:
//  - symbolic links are followed to the file they finally name, which is
//    replaced (created, for a dangling link); a loop is refused (ELOOP);
//  - a regular file gets a temporary file beside it, `.NAME.tmp-XXXXXX`
//    (NAME shortened so that the whole stays within the folder's name limit),
//    which takes the old file's mode, owner where permitted and group where
//    the writer belongs to it, and replaces it by rename only once complete and
//    on the disk; a hard link to the old file keeps the old contents;
//  - a device, pipe or socket is written in place: nothing to keep, nothing
//    may be unlinked;
//  - a folder, a missing folder or a file the writer may not write is refused
//    before anything is made.
// Only the temporary file made here is ever removed. Every call answers 0 or
// an errno value. No signal handler is installed: a program that wants its
// temporary removed on an interrupt reads temporary() after open().
class FileReplacement {
public:
    FileReplacement() = default;
    ~FileReplacement() { abandon(); }  // a file not committed is abandoned
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Checks `path` and opens where the bytes will go, without touching the target.
    int open(const char* path);
    // Where the bytes go, open for reading and writing when it is a temporary
    // file; -1 before open().
    int descriptor() const { return fd_; }
    // The temporary file's name; "" when writing in place or before open().
    const std::string& temporary() const { return temporary_; }
    // Writes all of `data` at the descriptor's position.
    int write(const void* data, size_t size);
    // Flushes the file to the disk and renames it over the target; on failure
    // the temporary file is removed and the target is as it was.
    int commit();
    // Removes the temporary file, if one was made; the target stays as it was.
    void abandon();

private:
    std::string target_;     // where the file goes, symbolic links followed
    std::string temporary_;  // "" when writing in place
    int fd_ = -1;
};

// Makes the `size` bytes at `bytes` the contents of `path` through
// FileReplacement: QVR_ERROR_OPEN when the target is refused or no file can be
// made beside it, QVR_ERROR_WRITE when writing or renaming fails.
qvr_error replaceFile(const char* path, const uint8_t* bytes, size_t size);

}  // namespace qvr
