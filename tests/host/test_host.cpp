#include "tests/host/test_host.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace qvrhost {

namespace {

TestHost* activeHost = nullptr;  // advanceState and the suites take no host argument
constexpr OSErr paramErr = -50;

}  // namespace

// The host's callbacks: plain functions, as the module calls them.
struct HostCallbacks {
    static OSErr HOST_API advanceState() {
        if (!activeHost) return paramErr;
        const auto start = std::chrono::steady_clock::now();
        const OSErr result = activeHost->moveRect();
        activeHost->transferSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return result;
    }

    static void HOST_API progressProc(int32_t done, int32_t total) {
        if (activeHost) activeHost->progress.emplace_back(done, total);
    }

    static Handle HOST_API newHandle(int32_t size) {
        if (size < 0) return nullptr;
        auto* handle = static_cast<char**>(std::malloc(sizeof(char*)));
        if (!handle) return nullptr;
        *handle = static_cast<char*>(std::calloc(1, static_cast<size_t>(size) + 1));
        if (activeHost) {
            ++activeHost->handlesMade;
            activeHost->handles_.push_back(handle);
        }
        return handle;
    }

    static void HOST_API disposeHandle(Handle handle) {
        if (!handle) return;
        if (activeHost) std::erase(activeHost->handles_, handle);
        std::free(*handle);
        std::free(handle);
    }

    static int32_t HOST_API handleSize(Handle) { return 0; }
    static OSErr HOST_API setHandleSize(Handle, int32_t) { return memFullErr; }

    static Ptr HOST_API lockHandle(Handle handle, Boolean) {
        if (activeHost) ++activeHost->handlesLocked;
        return handle ? *handle : nullptr;
    }

    static void HOST_API unlockHandle(Handle) {
        if (activeHost) ++activeHost->handlesUnlocked;
    }

    // The module only tests that the buffer suite is there; it never calls it.
    static OSErr HOST_API allocateBuffer(int32_t, BufferID*) { return memFullErr; }
    static Ptr HOST_API lockBuffer(BufferID, Boolean) { return nullptr; }
    static void HOST_API unlockBuffer(BufferID) {}
    static void HOST_API freeBuffer(BufferID) {}
    static int32_t HOST_API bufferSpace() { return 0; }
};

const char* selectorName(int16_t selector) {
    static const char* const names[] = {
        "About",          "ReadPrepare",     "ReadStart",     "ReadContinue",    "ReadFinish",    "OptionsPrepare",
        "OptionsStart",   "OptionsContinue", "OptionsFinish", "EstimatePrepare", "EstimateStart", "EstimateContinue",
        "EstimateFinish", "WritePrepare",    "WriteStart",    "WriteContinue",   "WriteFinish",   "FilterFile"};
    return selector >= 0 && selector <= 17 ? names[selector] : "(unknown)";
}

void Document::allocate(int16_t newMode, int32_t newWidth, int32_t newHeight, int16_t newPlanes) {
    mode = newMode;
    width = newWidth;
    height = newHeight;
    planes = newPlanes;
    pixels.assign(static_cast<size_t>(newWidth) * static_cast<size_t>(newHeight) *
                      static_cast<size_t>(newPlanes > 0 ? newPlanes : 0),
                  0);
}

uint8_t& Document::at(int32_t plane, int32_t x, int32_t y) {
    return pixels[(static_cast<size_t>(plane) * static_cast<size_t>(height) + static_cast<size_t>(y)) *
                      static_cast<size_t>(width) +
                  static_cast<size_t>(x)];
}

TestHost::TestHost(PluginEntryProc entry) : entry_(entry) {
    handleSuite = HandleProcs{kCurrentHandleProcsVersion,
                              8,
                              HostCallbacks::newHandle,
                              HostCallbacks::disposeHandle,
                              HostCallbacks::handleSize,
                              HostCallbacks::setHandleSize,
                              HostCallbacks::lockHandle,
                              HostCallbacks::unlockHandle,
                              nullptr,
                              nullptr};
    bufferSuite = BufferProcs{kCurrentBufferProcsVersion,    5,
                              HostCallbacks::allocateBuffer, HostCallbacks::lockBuffer,
                              HostCallbacks::unlockBuffer,   HostCallbacks::freeBuffer,
                              HostCallbacks::bufferSpace};
    resetRecord();
}

TestHost::~TestHost() {
    TestHost* previous = activeHost;
    activeHost = this;
    while (!handles_.empty()) HostCallbacks::disposeHandle(handles_.back());
    activeHost = previous == this ? nullptr : previous;
}

void TestHost::resetRecord() {
    std::memset(&record_, 0, sizeof record_);
    record_.dataFork = NO_FILE;
    record_.hostSig = 0x3842494D;  // '8BIM'
}

int16_t TestHost::call(int16_t selector) {
    record_.progressProc = HostCallbacks::progressProc;
    record_.advanceState = offerAdvanceState ? HostCallbacks::advanceState : nullptr;
    record_.handleProcs = offerHandleSuite ? &handleSuite : nullptr;
    record_.bufferProcs = offerBufferSuite ? &bufferSuite : nullptr;
    int16_t result = 0x7777;  // the module must clear or set it
    TestHost* previous = activeHost;
    activeHost = this;
    entry_(selector, &record_, &slot, &result);
    activeHost = previous;
    results.push_back({selector, result});
    return result;
}

int16_t TestHost::run(std::initializer_list<int16_t> selectors) {
    for (int16_t selector : selectors) {
        const int16_t result = call(selector);
        if (result != noErr) return result;
    }
    return noErr;
}

int16_t TestHost::filterFile(const std::string& path) {
    const intptr_t file = openHostFile(path, false);
    if (file == NO_FILE) return FILE_NOT_FOUND;
    record_.dataFork = file;
    const int16_t result = call(formatSelectorFilterFile);
    closeHostFile(file);
    record_.dataFork = NO_FILE;
    return result;
}

// After ReadStart the editor makes its document from what the module reported.
void TestHost::adoptImageFromRecord() {
    document_.allocate(record_.imageMode, record_.imageSize.h, record_.imageSize.v, record_.planes);
    std::memcpy(document_.redLUT, record_.redLUT, 256);
    std::memcpy(document_.greenLUT, record_.greenLUT, 256);
    std::memcpy(document_.blueLUT, record_.blueLUT, 256);
}

int16_t TestHost::open(const std::string& path) {
    const intptr_t file = openHostFile(path, false);
    if (file == NO_FILE) return FILE_NOT_FOUND;
    const int16_t result = openHandle(file);
    closeHostFile(file);
    return result;
}

int16_t TestHost::openHandle(intptr_t file) {
    record_.dataFork = file;
    int16_t result = run({formatSelectorReadPrepare, formatSelectorReadStart});
    if (result == noErr) {
        adoptImageFromRecord();
        direction_ = Direction::IntoDocument;
        result = run({formatSelectorReadContinue, formatSelectorReadFinish});
        direction_ = Direction::None;
    }
    record_.dataFork = NO_FILE;
    return result;
}

void TestHost::describeDocument() {
    record_.imageMode = document_.mode;
    record_.imageSize.v = static_cast<int16_t>(document_.height);
    record_.imageSize.h = static_cast<int16_t>(document_.width);
    record_.depth = 8;
    record_.planes = document_.planes;
    std::memcpy(record_.redLUT, document_.redLUT, 256);
    std::memcpy(record_.greenLUT, document_.greenLUT, 256);
    std::memcpy(record_.blueLUT, document_.blueLUT, 256);
}

int16_t TestHost::estimate(int32_t* minBytes, int32_t* maxBytes) {
    describeDocument();
    const int16_t result = run({formatSelectorEstimatePrepare, formatSelectorEstimateStart,
                                formatSelectorEstimateContinue, formatSelectorEstimateFinish});
    if (minBytes) *minBytes = record_.minDataBytes;
    if (maxBytes) *maxBytes = record_.maxDataBytes;
    return result;
}

int16_t TestHost::save(const std::string& path) {
    intptr_t file = NO_FILE;
    const int16_t result = saveSequence([&] { return file = openHostFile(path, true); });
    closeHostFile(file);
    return result;
}

int16_t TestHost::save(intptr_t file) {
    return saveSequence([file] { return file; });
}

// The editor's save: options and estimate first, then the file is opened
// (`openFile` gives its handle, NO_FILE when it cannot) and written.
int16_t TestHost::saveSequence(const std::function<intptr_t()>& openFile) {
    describeDocument();
    int16_t result = run({formatSelectorOptionsPrepare, formatSelectorOptionsStart, formatSelectorOptionsContinue,
                          formatSelectorOptionsFinish});
    if (result == noErr) result = estimate(nullptr, nullptr);
    if (result != noErr) return result;
    const intptr_t file = openFile();
    if (file == NO_FILE) return FILE_NOT_FOUND;
    return writeHandle(file);  // whoever opened the file closes it
}

int16_t TestHost::writeHandle(intptr_t file) {
    record_.dataFork = file;
    direction_ = Direction::OutOfDocument;
    const int16_t result = run(
        {formatSelectorWritePrepare, formatSelectorWriteStart, formatSelectorWriteContinue, formatSelectorWriteFinish});
    direction_ = Direction::None;
    record_.dataFork = NO_FILE;
    return result;
}

void TestHost::about(intptr_t ownerWindow) {
    PlatformData platform{ownerWindow};
    AboutRecord aboutRecord{};
    aboutRecord.platformData = &platform;
    intptr_t untouchedSlot = slot;
    int16_t untouchedResult = 0x5555;
    entry_(formatSelectorAbout, &aboutRecord, &untouchedSlot, &untouchedResult);
    results.push_back({formatSelectorAbout, untouchedResult});
}

// Moves theRect x planes loPlane..hiPlane between `data` and the document.
OSErr TestHost::moveRect() {
    const FormatRecord& r = record_;
    transfers.push_back(Transfer{r.theRect, r.loPlane, r.hiPlane, r.colBytes, r.rowBytes, r.planeBytes, r.imageMode,
                                 r.depth, r.planes});
    if (failAtTransfer >= 0 && static_cast<int>(transfers.size()) > failAtTransfer) return transferFailure;
    const Rect& rect = r.theRect;
    const bool fits = r.data && direction_ != Direction::None && rect.left >= 0 && rect.top >= 0 &&
                      rect.left <= rect.right && rect.top <= rect.bottom && rect.right <= document_.width &&
                      rect.bottom <= document_.height && r.loPlane >= 0 && r.loPlane <= r.hiPlane &&
                      r.hiPlane < document_.planes;
    if (!fits) return paramErr;
    auto* data = static_cast<uint8_t*>(r.data);
    for (int32_t y = rect.top; y < rect.bottom; ++y)
        for (int32_t x = rect.left; x < rect.right; ++x)
            for (int32_t p = r.loPlane; p <= r.hiPlane; ++p) {
                uint8_t* cell = data + static_cast<ptrdiff_t>(y - rect.top) * r.rowBytes +
                                (x - rect.left) * r.colBytes + (p - r.loPlane) * r.planeBytes;
                if (direction_ == Direction::IntoDocument)
                    document_.at(p, x, y) = *cell;
                else
                    *cell = document_.at(p, x, y);
            }
    return noErr;
}

#if defined(_WIN32)
intptr_t openHostFile(const std::string& path, bool forWriting) {
    HANDLE file = CreateFileA(path.c_str(), forWriting ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ,
                              nullptr, forWriting ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? NO_FILE : reinterpret_cast<intptr_t>(file);
}
void closeHostFile(intptr_t handle) {
    if (handle != NO_FILE) CloseHandle(reinterpret_cast<HANDLE>(handle));
}
#else
intptr_t openHostFile(const std::string& path, bool forWriting) {
    const int fd = forWriting ? ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644) : ::open(path.c_str(), O_RDONLY);
    return fd < 0 ? NO_FILE : fd;
}
void closeHostFile(intptr_t handle) {
    if (handle != NO_FILE) ::close(static_cast<int>(handle));
}
#endif

}  // namespace qvrhost
