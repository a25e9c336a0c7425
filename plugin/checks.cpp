#include "plugin/checks.h"

#include <cstring>

#include "plugin/text.h"
#include "resources/strings.h"

namespace {

constexpr double BUFFER_SUITE_HOST_VERSION = 2.5;  // the host version that brought the buffer suite
constexpr double CALLBACKS_HOST_VERSION = 3.0;     // ... advanceState and the handle suite
constexpr int LOAD_LIMIT = 255;

// The alert for a service that failed its test: too new a suite, or missing.
void warnMissing(HINSTANCE instance, double hostVersion, bool newerSuite) {
    uint8_t version[PSTR_BYTES];
    pstrClear(version);
    pstrFromDecimal(version, hostVersion, 1);
    warnUser(instance, newerSuite ? QVR_STRING_HOST_TOO_NEW : QVR_STRING_HOST_TOO_OLD, version, nullptr);
}

}  // namespace

bool bufferSuiteUsable(const BufferProcs* procs, bool* newerSuite) {
    return procs &&
           suiteHeaderUsable(procs->bufferProcsVersion, kCurrentBufferProcsVersion, procs->numBufferProcs,
                             kMinBufferProcs, newerSuite) &&
           procs->allocateProc && procs->lockProc && procs->unlockProc && procs->freeProc && procs->spaceProc;
}

bool requireBufferSuite(const BufferProcs* procs, HINSTANCE instance) {
    bool newerSuite = false;
    if (bufferSuiteUsable(procs, &newerSuite)) return true;
    warnMissing(instance, BUFFER_SUITE_HOST_VERSION, newerSuite);
    return false;
}

bool requireAdvanceState(AdvanceStateProc advanceState, HINSTANCE instance) {
    if (advanceState) return true;
    warnMissing(instance, CALLBACKS_HOST_VERSION, false);
    return false;
}

bool requireHandleSuite(const HandleProcs* procs, HINSTANCE instance) {
    bool newerSuite = false;
    if (handleSuiteUsable(procs, &newerSuite)) return true;
    warnMissing(instance, CALLBACKS_HOST_VERSION, newerSuite);
    return false;
}

bool hostCapable(PluginGlobals* globals) {
    const FormatRecord* record = globals->paramBlock;
    return requireBufferSuite(record->bufferProcs, moduleInstance) &&
           requireAdvanceState(record->advanceState, moduleInstance) &&
           requireHandleSuite(record->handleProcs, moduleInstance);
}

bool refuseUnlessCapable(int16_t* result, bool capable) {
    if (capable) return true;
    if (*result == noErr) *result = userCanceledErr;
    return false;
}

int warnUser(HINSTANCE instance, int16_t templateId, const uint8_t* text1, const uint8_t* text2) {
    uint8_t message[PSTR_BYTES];
    pstrClear(message);
    if (templateId > 0) {
        char text[PSTR_BYTES];
        std::memset(text, 0, sizeof text);
        LoadStringA(instance, static_cast<UINT>(templateId), text, LOAD_LIMIT);
        pstrAppend(message, reinterpret_cast<const uint8_t*>(text), 0, static_cast<int16_t>(std::strlen(text)));
    }
    substituteMarkers(message, nullptr, text1, text2);
    return MessageBoxA(nullptr, reinterpret_cast<const char*>(message + 1), nullptr, MB_OK | MB_ICONWARNING);
}
