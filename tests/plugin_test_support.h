// Helpers for driving the module through its entry point with the test host:
// captured message boxes, temporary files, and images made into documents.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/host/portable_hooks.h"
#include "streams/stream_binding.h"
#include "tests/host/module_loader.h"
#include "tests/host/test_host.h"

namespace qvr::test {

struct CapturedBox {
    HWND owner;
    std::string text;
    bool hasCaption;
    std::string caption;
    UINT type;
};

// Captures every message box the module shows while it is alive.
class BoxCapture {
public:
    BoxCapture();
    ~BoxCapture();
    std::vector<CapturedBox> boxes;
};

// A native host over the linked-in module.
inline PluginEntryProc moduleEntry() { return qvrhost::loadModule("", nullptr); }

// Disposes the globals the module made with its fallback allocator, which the
// module itself never releases (the slot belongs to the host).
void releaseFallbackGlobals(qvrhost::TestHost& host);

// A file in memory that the host can open by name.
class MemoryFile {
public:
    explicit MemoryFile(const std::vector<uint8_t>& bytes);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    std::string path() const;

private:
    int fd_;
};

std::string tempPath(const std::string& name);
std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::string samplePath(const std::string& name);

// A small image of each kind with varied content.
RasterImage sampleImage(int32_t width, int32_t height, int32_t depth);

}  // namespace qvr::test
