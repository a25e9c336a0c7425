// Module-wide values, the per-document globals kept in a memory handle in the
// host's data slot, and the four handle operations: through the host's handle
// suite when it is usable, else through a fallback over global memory.
#pragma once

#include "host_api/host_api.h"
#include "plugin/win_services.h"

extern HINSTANCE moduleInstance;  // set once, when the process attaches the module

#if QVR_BUFFERED_FILE
// The 64-bit module's file block (plugin/host_file.cpp): reads are served from
// it, writes collect in it. Every binding starts it empty, so it carries
// nothing from one call to the next. Past the block lies room for one encoded
// row (at most 3 bytes a pixel and a little slack), which the encoder writes
// in place from the block's end on.
constexpr UINT FILE_BLOCK_BYTES = 0x10000;
constexpr UINT FILE_ROW_ROOM = 3 * 8192 + 64;
struct FileBlock {
    int32_t state;  // what the bytes are: FILE_IDLE, FILE_READING, FILE_WRITING, FILE_DIRECT
    UINT next;      // reading: the next byte to hand out
    UINT end;       // reading: the bytes the block holds; writing: the bytes collected
    char bytes[FILE_BLOCK_BYTES + FILE_ROW_ROOM];
};
#endif

// The per-document block; result and paramBlock are rewritten at the start of every call.
struct PluginGlobals {
    int16_t* result;           // the host's result code of the current call
    FormatRecord* paramBlock;  // the host's parameter block of the current call
#if QVR_BUFFERED_FILE
    FileBlock file;  // the current call's file block
#endif
};

// The fallback's handle value is the address of this master block.
struct FallbackHandle {
    void* block;         // the data block, locked for the handle's whole life
    uint32_t signature;  // FALLBACK_SIGNATURE
};
constexpr uint32_t FALLBACK_SIGNATURE = 0x464F544F;  // 'FOTO'
constexpr UINT FALLBACK_ALLOC_FLAGS = GMEM_MOVEABLE | GMEM_ZEROINIT;

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
#else
BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
#endif

// Locks the document's globals (making them on the first call) and clears the
// host's result code; null when no handle could be made or locked.
PluginGlobals* acquireGlobals(int16_t* result, FormatRecord* paramBlock, HandleProcs* procs, intptr_t* slot);

bool handleSuiteUsable(const HandleProcs* procs, bool* newerSuite);
// The version and count test every host suite passes: exactly the version this
// module knows (a newer one sets `newerSuite`) and at least `minimum` procedures.
bool suiteHeaderUsable(int16_t version, int16_t current, int16_t count, int16_t minimum, bool* newerSuite);
Handle handleNew(HandleProcs* procs, int32_t size);
void handleDispose(HandleProcs* procs, Handle handle);
Ptr handleLock(HandleProcs* procs, Handle handle);
void handleUnlock(HandleProcs* procs, Handle handle);
