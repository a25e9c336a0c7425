// The host's format-module interface as this module uses it: the parameter
// blocks, callbacks, suites, selectors, image modes and result codes, laid out
// as the host lays them out on 32-bit and on 64-bit Windows: one declaration
// whose pointers, handles and file handle take the width of the platform's
// pointers, while counts, sizes and coordinates keep theirs.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define HOST_API __cdecl  // the host's callbacks and the entry point: the caller pops the arguments
#else
#define HOST_API
#endif

using OSErr = int16_t;
using Boolean = uint8_t;
using Fixed = int32_t;
using OSType = uint32_t;
using Ptr = char*;
using Handle = char**;

struct Point {
    int16_t v;  // rows come first
    int16_t h;
};

struct Rect {
    int16_t top;
    int16_t left;
    int16_t bottom;
    int16_t right;
};

struct PlugInMonitor {
    Fixed gamma, redX, redY, greenX, greenY, blueX, blueY, whiteX, whiteY, ambient;
};

// ---- callbacks ----
using TestAbortProc = Boolean(HOST_API*)();
using ProgressProc = void(HOST_API*)(int32_t done, int32_t total);
using HostProc = void(HOST_API*)(int16_t selector, intptr_t* data);
using AdvanceStateProc = OSErr(HOST_API*)();

using NewPIHandleProc = Handle(HOST_API*)(int32_t size);
using DisposePIHandleProc = void(HOST_API*)(Handle h);
using GetPIHandleSizeProc = int32_t(HOST_API*)(Handle h);
using SetPIHandleSizeProc = OSErr(HOST_API*)(Handle h, int32_t newSize);
using LockPIHandleProc = Ptr(HOST_API*)(Handle h, Boolean moveHigh);
using UnlockPIHandleProc = void(HOST_API*)(Handle h);
using RecoverSpaceProc = void(HOST_API*)(int32_t size);
using DisposeRegularHandlePIHandleProc = void(HOST_API*)(Handle h);

struct PSBuffer;
using BufferID = PSBuffer*;
using AllocateBufferProc = OSErr(HOST_API*)(int32_t size, BufferID* bufferID);
using LockBufferProc = Ptr(HOST_API*)(BufferID bufferID, Boolean moveHigh);
using UnlockBufferProc = void(HOST_API*)(BufferID bufferID);
using FreeBufferProc = void(HOST_API*)(BufferID bufferID);
using BufferSpaceProc = int32_t(HOST_API*)();

struct HandleProcs {
    int16_t handleProcsVersion;
    int16_t numHandleProcs;
    NewPIHandleProc newProc;
    DisposePIHandleProc disposeProc;
    GetPIHandleSizeProc getSizeProc;
    SetPIHandleSizeProc setSizeProc;
    LockPIHandleProc lockProc;
    UnlockPIHandleProc unlockProc;
    RecoverSpaceProc recoverSpaceProc;
    DisposeRegularHandlePIHandleProc disposeRegularHandleProc;
};

struct BufferProcs {
    int16_t bufferProcsVersion;
    int16_t numBufferProcs;
    AllocateBufferProc allocateProc;
    LockBufferProc lockProc;
    UnlockBufferProc unlockProc;
    FreeBufferProc freeProc;
    BufferSpaceProc spaceProc;
};

struct PlatformData {
    intptr_t hwnd;  // the window that owns the module's dialogs
};

struct AboutRecord {
    void* platformData;  // a PlatformData
    void* sSPBasic;
    void* plugInRef;
    char reserved[244];
};

// Packed to 4 on Windows, as hosts declare it: on Win64 that leaves 8-byte
// pointers at offsets that are only multiples of 4 (data at 852).
#if defined(_WIN32)
#pragma pack(push, 4)
#endif
struct FormatRecord {
    int32_t serialNumber;
    TestAbortProc abortProc;
    ProgressProc progressProc;
    int32_t maxData;
    int32_t minDataBytes;
    int32_t maxDataBytes;
    int32_t minRsrcBytes;
    int32_t maxRsrcBytes;
    intptr_t dataFork;  // the open file's handle
    intptr_t rsrcFork;
    void* fileSpec;
    int16_t imageMode;
    Point imageSize;
    int16_t depth;
    int16_t planes;
    Fixed imageHRes;
    Fixed imageVRes;
    uint8_t redLUT[256];
    uint8_t greenLUT[256];
    uint8_t blueLUT[256];
    void* data;  // the pixel buffer of the current transfer
    Rect theRect;
    int16_t loPlane;
    int16_t hiPlane;
    int16_t colBytes;
    int32_t rowBytes;
    int32_t planeBytes;
    int16_t planeMap[16];
    Boolean canTranspose;
    Boolean needTranspose;
    OSType hostSig;
    HostProc hostProc;
    int16_t hostModes;
    Handle revertInfo;
    NewPIHandleProc hostNewHdl;
    DisposePIHandleProc hostDisposeHdl;
    Handle imageRsrcData;
    int32_t imageRsrcSize;
    PlugInMonitor monitor;
    void* platformData;
    BufferProcs* bufferProcs;
    void* resourceProcs;
    void* processEvent;
    void* displayPixels;
    HandleProcs* handleProcs;
    OSType fileType;
    void* colorServices;
    AdvanceStateProc advanceState;
    void* propertyProcs;
    void* imageServicesProcs;
    int16_t tileWidth;
    int16_t tileHeight;
    Point tileOrigin;
    void* descriptorParameters;
    void* errorString;
    char reserved[212];
};
#if defined(_WIN32)
#pragma pack(pop)
#endif

#if defined(_WIN32) && !defined(_WIN64)
// Binary layout the host relies on, for every member this module touches.
static_assert(sizeof(Point) == 4 && sizeof(Rect) == 8 && sizeof(PlugInMonitor) == 40);
static_assert(offsetof(FormatRecord, progressProc) == 8);
static_assert(offsetof(FormatRecord, maxData) == 12);
static_assert(offsetof(FormatRecord, minDataBytes) == 16);
static_assert(offsetof(FormatRecord, maxDataBytes) == 20);
static_assert(offsetof(FormatRecord, dataFork) == 32);
static_assert(offsetof(FormatRecord, imageMode) == 44);
static_assert(offsetof(FormatRecord, imageSize) == 46);
static_assert(offsetof(FormatRecord, imageSize.h) == 48);
static_assert(offsetof(FormatRecord, depth) == 50);
static_assert(offsetof(FormatRecord, planes) == 52);
static_assert(offsetof(FormatRecord, redLUT) == 64);
static_assert(offsetof(FormatRecord, greenLUT) == 320);
static_assert(offsetof(FormatRecord, blueLUT) == 576);
static_assert(offsetof(FormatRecord, data) == 832);
static_assert(offsetof(FormatRecord, theRect) == 836);
static_assert(offsetof(FormatRecord, theRect.right) == 842);
static_assert(offsetof(FormatRecord, loPlane) == 844);
static_assert(offsetof(FormatRecord, hiPlane) == 846);
static_assert(offsetof(FormatRecord, colBytes) == 848);
static_assert(offsetof(FormatRecord, rowBytes) == 852);
static_assert(offsetof(FormatRecord, planeBytes) == 856);
static_assert(offsetof(FormatRecord, platformData) == 968);
static_assert(offsetof(FormatRecord, bufferProcs) == 972);
static_assert(offsetof(FormatRecord, handleProcs) == 988);
static_assert(offsetof(FormatRecord, advanceState) == 1000);
static_assert(sizeof(FormatRecord) == 1240);
static_assert(offsetof(HandleProcs, numHandleProcs) == 2 && offsetof(HandleProcs, newProc) == 4);
static_assert(offsetof(HandleProcs, lockProc) == 20 && offsetof(HandleProcs, unlockProc) == 24);
static_assert(offsetof(BufferProcs, allocateProc) == 4 && offsetof(BufferProcs, spaceProc) == 20);
static_assert(offsetof(AboutRecord, platformData) == 0 && sizeof(AboutRecord) == 256);
static_assert(sizeof(PlatformData) == 4);
#endif

#if defined(_WIN64)
static_assert(sizeof(Point) == 4 && sizeof(Rect) == 8 && sizeof(PlugInMonitor) == 40);
static_assert(offsetof(FormatRecord, progressProc) == 12);
static_assert(offsetof(FormatRecord, maxData) == 20);
static_assert(offsetof(FormatRecord, minDataBytes) == 24);
static_assert(offsetof(FormatRecord, maxDataBytes) == 28);
static_assert(offsetof(FormatRecord, dataFork) == 40 && sizeof(FormatRecord::dataFork) == 8);
static_assert(offsetof(FormatRecord, imageMode) == 64);
static_assert(offsetof(FormatRecord, imageSize) == 66);
static_assert(offsetof(FormatRecord, imageSize.h) == 68);
static_assert(offsetof(FormatRecord, depth) == 70);
static_assert(offsetof(FormatRecord, planes) == 72);
static_assert(offsetof(FormatRecord, redLUT) == 84);
static_assert(offsetof(FormatRecord, greenLUT) == 340);
static_assert(offsetof(FormatRecord, blueLUT) == 596);
static_assert(offsetof(FormatRecord, data) == 852 && sizeof(FormatRecord::data) == 8);
static_assert(offsetof(FormatRecord, theRect) == 860);
static_assert(offsetof(FormatRecord, theRect.right) == 866);
static_assert(offsetof(FormatRecord, loPlane) == 868);
static_assert(offsetof(FormatRecord, hiPlane) == 870);
static_assert(offsetof(FormatRecord, colBytes) == 872);
static_assert(offsetof(FormatRecord, rowBytes) == 876 && sizeof(FormatRecord::rowBytes) == 4);
static_assert(offsetof(FormatRecord, planeBytes) == 880);
static_assert(offsetof(FormatRecord, platformData) == 1012);
static_assert(offsetof(FormatRecord, bufferProcs) == 1020);
static_assert(offsetof(FormatRecord, handleProcs) == 1052);
static_assert(offsetof(FormatRecord, advanceState) == 1072);
static_assert(offsetof(HandleProcs, numHandleProcs) == 2 && offsetof(HandleProcs, newProc) == 8);
static_assert(offsetof(HandleProcs, disposeProc) == 16 && offsetof(HandleProcs, getSizeProc) == 24);
static_assert(offsetof(HandleProcs, setSizeProc) == 32 && offsetof(HandleProcs, lockProc) == 40);
static_assert(offsetof(HandleProcs, unlockProc) == 48 && sizeof(HandleProcs) == 72);
static_assert(offsetof(BufferProcs, allocateProc) == 8 && offsetof(BufferProcs, lockProc) == 16);
static_assert(offsetof(BufferProcs, unlockProc) == 24 && offsetof(BufferProcs, freeProc) == 32);
static_assert(offsetof(BufferProcs, spaceProc) == 40);
static_assert(offsetof(AboutRecord, platformData) == 0 && offsetof(AboutRecord, sSPBasic) == 8);
static_assert(offsetof(AboutRecord, plugInRef) == 16 && sizeof(AboutRecord) == 272);
static_assert(sizeof(PlatformData) == 8);
#endif

// ---- selectors ----
enum : int16_t {
    formatSelectorAbout = 0,
    formatSelectorReadPrepare = 1,
    formatSelectorReadStart = 2,
    formatSelectorReadContinue = 3,
    formatSelectorReadFinish = 4,
    formatSelectorOptionsPrepare = 5,
    formatSelectorOptionsStart = 6,
    formatSelectorOptionsContinue = 7,
    formatSelectorOptionsFinish = 8,
    formatSelectorEstimatePrepare = 9,
    formatSelectorEstimateStart = 10,
    formatSelectorEstimateContinue = 11,
    formatSelectorEstimateFinish = 12,
    formatSelectorWritePrepare = 13,
    formatSelectorWriteStart = 14,
    formatSelectorWriteContinue = 15,
    formatSelectorWriteFinish = 16,
    formatSelectorFilterFile = 17,
};
constexpr int16_t FORMAT_SELECTOR_COUNT = 17;  // selectors 1..17 go through the dispatch table

// ---- image modes ----
enum : int16_t {
    plugInModeBitmap = 0,
    plugInModeGrayScale = 1,
    plugInModeIndexedColor = 2,
    plugInModeRGBColor = 3,
};

// ---- result codes ----
enum : OSErr {
    noErr = 0,
    readErr = -19,
    writErr = -20,
    dskFulErr = -34,
    eofErr = -39,
    memFullErr = -108,
    nilHandleErr = -109,
    userCanceledErr = -128,
    formatBadParameters = -30500,
    formatCannotRead = -30501,
};

constexpr int16_t kCurrentHandleProcsVersion = 1;
constexpr int16_t kMinHandleProcs = 7;
constexpr int16_t kCurrentBufferProcsVersion = 2;
constexpr int16_t kMinBufferProcs = 5;

// The entry point the host calls for every selector. `data` is the document's
// slot: pointer-sized, so on Win64 the globals handle in it is 8 bytes.
using PluginEntryProc = void(HOST_API*)(int16_t selector, void* paramBlock, intptr_t* data, int16_t* result);
