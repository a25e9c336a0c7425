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
// "Is a directory", "Permission denied"), or "" when it can. A QVR file is
// read with seeks, so `seekable` also refuses pipes and devices, which would
// otherwise hang or be misread.
std::string inputProblem(const std::string& path, bool seekable = false);

// True when both paths name one existing file (links followed): writing the
// output would destroy the input.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace qvr
