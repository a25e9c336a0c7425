// A host that drives a format module exactly as the editor does: it owns a
// document, opens the file and hands its handle over as dataFork, moves pixels
// for real in advanceState, records progress, offers handle and buffer suites
// that a test can withhold or change, and calls the entry point through the
// editor's selector sequences, keeping the data slot between calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host_api/host_api.h"

namespace qvrhost {

// Pixels as the editor holds them: one plane after the other.
struct Document {
    int16_t mode = plugInModeRGBColor;
    int32_t width = 0;
    int32_t height = 0;
    int16_t planes = 0;
    std::vector<uint8_t> pixels;  // plane p, row y, column x at (p * height + y) * width + x
    uint8_t redLUT[256] = {};
    uint8_t greenLUT[256] = {};
    uint8_t blueLUT[256] = {};

    void allocate(int16_t newMode, int32_t newWidth, int32_t newHeight, int16_t newPlanes);
    uint8_t& at(int32_t plane, int32_t x, int32_t y);
};

// What one advanceState call was asked to move.
struct Transfer {
    Rect rect;
    int16_t loPlane, hiPlane, colBytes;
    int32_t rowBytes, planeBytes;
    int16_t imageMode, depth, planes;
};

// One selector call and the result code it left.
struct SelectorResult {
    int16_t selector;
    int16_t result;
};

const char* selectorName(int16_t selector);

class TestHost {
public:
    explicit TestHost(PluginEntryProc entry);
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // ---- what the host offers; change these before a call to test the module ----
    HandleProcs handleSuite{};
    BufferProcs bufferSuite{};
    bool offerHandleSuite = true;
    bool offerBufferSuite = true;
    bool offerAdvanceState = true;
    // advanceState answers this code from its `failAtTransfer`-th call on (0-based; -1 never).
    int failAtTransfer = -1;
    OSErr transferFailure = -1;

    // ---- what the host saw ----
    intptr_t slot = 0;  // the document's data slot
    std::vector<SelectorResult> results;
    std::vector<std::pair<int32_t, int32_t>> progress;
    std::vector<Transfer> transfers;
    // Seconds spent in advanceState (the host moving the rectangle's pixels
    // between the module's buffer and the document), over every call so far.
    double transferSeconds = 0;
    int handlesMade = 0;
    int handlesLocked = 0;
    int handlesUnlocked = 0;

    FormatRecord& record() { return record_; }
    Document& document() { return document_; }

    // One entry point call with the record as it stands; returns the result code.
    int16_t call(int16_t selector);
    // Calls the selectors in order, stopping after the first that fails.
    int16_t run(std::initializer_list<int16_t> selectors);

    // The editor's sequences. Each returns the first non-zero result, or 0.
    int16_t filterFile(const std::string& path);
    int16_t open(const std::string& path);  // fills document()
    int16_t openHandle(intptr_t file);      // the same on a file the caller opened
    int16_t save(const std::string& path);  // writes document()
    int16_t writeHandle(intptr_t file);     // only the write selectors, onto the caller's file
    int16_t save(intptr_t file);            // writes document() to a file the caller opened for writing
    int16_t estimate(int32_t* minBytes, int32_t* maxBytes);  // for document()
    void about(intptr_t ownerWindow);

    // For tests that hand over a file handle of their own (-1 for none).
    void setDataFork(intptr_t handle) { record_.dataFork = handle; }
    // Puts the document's mode, size, planes and colour tables into the record.
    void describeDocument();

private:
    friend struct HostCallbacks;
    enum class Direction { None, IntoDocument, OutOfDocument };

    void resetRecord();
    int16_t saveSequence(const std::function<intptr_t()>& openFile);
    void adoptImageFromRecord();
    OSErr moveRect();

    PluginEntryProc entry_;
    FormatRecord record_{};
    Document document_;
    Direction direction_ = Direction::None;
    std::vector<char**> handles_;
};

// Opens files the way the host does and yields the handle it passes as dataFork.
intptr_t openHostFile(const std::string& path, bool forWriting);
void closeHostFile(intptr_t handle);
constexpr intptr_t NO_FILE = -1;
constexpr int16_t FILE_NOT_FOUND = -43;  // what the host answers for a file it cannot open

}  // namespace qvrhost
