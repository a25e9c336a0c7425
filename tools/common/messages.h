// How the tools say what went wrong: one line for every failure, naming the
// input, the step and the reason, the same way in every command:
//   qvr: photo.png: reading: No such file or directory
//   qvr: photo.png: writing out/photo.qvr: No space left on device
#pragma once

#include <string>

namespace qvr {

// The line for one failure, ending in a newline.
std::string failureLine(const std::string& tool, const std::string& input, const std::string& step,
                        const std::string& reason);

// The system's words for an errno value ("No space left on device").
std::string systemReason(int error);

// Why `path` cannot be read as an input file ("No such file or directory",
// "Is a directory", "Permission denied"), or "" when it can.
std::string inputProblem(const std::string& path);

}  // namespace qvr
