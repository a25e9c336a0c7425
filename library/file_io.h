// Whole-file reads and safe replacement of files, for the library's file calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qvr/qvr.h"

namespace qvr {

// Reads at most `limit` bytes from the start of the file at `path` into `out`.
// QVR_ERROR_OPEN when it cannot be opened, QVR_ERROR_READ when reading fails.
qvr_error readFilePrefix(const char* path, size_t limit, std::vector<uint8_t>& out);

// Makes the `size` bytes at `bytes` the contents of `path`: writes a temporary file in the same
// folder, flushes it to disk and renames it over `path`. On any failure the
// temporary file is removed and `path` is untouched. A replaced file keeps its
// permissions; a new one gets the process's default ones.
qvr_error replaceFile(const char* path, const uint8_t* bytes, size_t size);

}  // namespace qvr
