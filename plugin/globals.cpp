#include "plugin/globals.h"

HINSTANCE moduleInstance = nullptr;

BOOL
#if defined(_WIN32)
    WINAPI
#endif
    DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) moduleInstance = instance;
    return 1;
}

namespace {

// Allocates and locks one zero-filled global block; null on failure.
void* lockedGlobalBlock(SIZE_T bytes) {
    HGLOBAL memory = GlobalAlloc(FALLBACK_ALLOC_FLAGS, bytes);
    if (!memory) return nullptr;
    void* address = GlobalLock(memory);
    if (!address) GlobalFree(memory);
    return address;
}

void releaseGlobalBlock(void* address) {
    HGLOBAL memory = GlobalHandle(address);
    GlobalUnlock(memory);
    GlobalFree(memory);
}

Handle fallbackNew(int32_t size) {
    auto* master = static_cast<FallbackHandle*>(lockedGlobalBlock(sizeof(FallbackHandle)));
    void* block = master && size >= 0 ? lockedGlobalBlock(static_cast<SIZE_T>(size)) : nullptr;
    if (!block) {
        if (master) releaseGlobalBlock(master);
        return nullptr;
    }
    master->block = block;
    master->signature = FALLBACK_SIGNATURE;
    return reinterpret_cast<Handle>(master);
}

void fallbackDispose(Handle handle) {
    if (!handle) return;
    auto* master = reinterpret_cast<FallbackHandle*>(handle);
    if (master->block) releaseGlobalBlock(master->block);
    releaseGlobalBlock(master);
}

Ptr fallbackLock(Handle handle) {
    return handle ? static_cast<Ptr>(reinterpret_cast<FallbackHandle*>(handle)->block) : nullptr;
}

void storeCall(PluginGlobals* globals, int16_t* result, FormatRecord* paramBlock) {
    globals->result = result;
    globals->paramBlock = paramBlock;
    *result = noErr;
}

}  // namespace

bool suiteHeaderUsable(int16_t version, int16_t current, int16_t count, int16_t minimum, bool* newerSuite) {
    if (version != current) {
        if (newerSuite && version > current) *newerSuite = true;
        return false;
    }
    return static_cast<uint16_t>(count) >= static_cast<uint16_t>(minimum);
}

bool handleSuiteUsable(const HandleProcs* procs, bool* newerSuite) {
    return procs &&
           suiteHeaderUsable(procs->handleProcsVersion, kCurrentHandleProcsVersion, procs->numHandleProcs,
                             kMinHandleProcs, newerSuite) &&
           procs->newProc && procs->disposeProc && procs->getSizeProc && procs->setSizeProc;
}

Handle handleNew(HandleProcs* procs, int32_t size) {
    return handleSuiteUsable(procs, nullptr) ? procs->newProc(size) : fallbackNew(size);
}

void handleDispose(HandleProcs* procs, Handle handle) {
    if (handleSuiteUsable(procs, nullptr))
        procs->disposeProc(handle);
    else
        fallbackDispose(handle);
}

// A suite can pass the usability test without lockProc or unlockProc (they
// are not among the tested four): a missing lock yields nothing, a missing
// unlock is skipped, rather than calling through a null pointer.
Ptr handleLock(HandleProcs* procs, Handle handle) {
    if (!handleSuiteUsable(procs, nullptr)) return fallbackLock(handle);
    return procs->lockProc ? procs->lockProc(handle, true) : nullptr;
}

void handleUnlock(HandleProcs* procs, Handle handle) {
    if (handleSuiteUsable(procs, nullptr) && procs->unlockProc) procs->unlockProc(handle);
}

PluginGlobals* acquireGlobals(int16_t* result, FormatRecord* paramBlock, HandleProcs* procs, intptr_t* slot) {
    if (*slot != 0) {
        auto* globals = reinterpret_cast<PluginGlobals*>(handleLock(procs, reinterpret_cast<Handle>(*slot)));
        if (!globals) return nullptr;
        storeCall(globals, result, paramBlock);
        return globals;
    }
    Handle handle = handleNew(procs, static_cast<int32_t>(sizeof(PluginGlobals)));
    if (!handle) return nullptr;
    auto* globals = reinterpret_cast<PluginGlobals*>(handleLock(procs, handle));
    if (!globals) {
        handleDispose(procs, handle);
        return nullptr;
    }
    storeCall(globals, result, paramBlock);
    *slot = reinterpret_cast<intptr_t>(handle);
    return globals;
}
