#include "plugin/handlers.h"

#include <cstring>

#include "codec/internal/binding_state.h"
#include "codec/reader.h"
#include "codec/writer.h"
#include "plugin/checks.h"
#include "plugin/host_file.h"

using qvr::CodecContext;

namespace {

constexpr int16_t BITS_PER_CHANNEL = 8;

PluginGlobals* globalsOf(void* userData) { return static_cast<PluginGlobals*>(userData); }
// The transfer's first failure is the host's result code of the current call.
qvr::FirstFailure<int16_t> failureOf(const PluginGlobals* globals) { return {globals->result}; }
bool failed(const PluginGlobals* globals) { return failureOf(globals).failed(); }

// How a row of each codec kind looks to the host.
struct RowLayout {
    int32_t kind;
    int16_t imageMode;
    int16_t planes;
    int16_t loPlane;
    int16_t hiPlane;
    int16_t colBytes;
};
constexpr RowLayout ROW_LAYOUTS[] = {
    {qvr::ROW_KIND_INDEX, plugInModeIndexedColor, 1, 0, 0, 1},
    {qvr::ROW_KIND_RGB, plugInModeRGBColor, 3, 0, 2, 3},
    {qvr::ROW_KIND_ALPHA, plugInModeRGBColor, 4, 3, 3, 1},
};

const RowLayout* layoutOf(int32_t kind) {
    for (const RowLayout& layout : ROW_LAYOUTS)
        if (layout.kind == kind) return &layout;
    return nullptr;
}

void contextFromRecord(CodecContext* ctx, const FormatRecord* record) {
    ctx->width = record->imageSize.h;
    ctx->height = record->imageSize.v;
    ctx->depth = depthFromRecord(record);
}

// A file the reader could not read back is refused before a byte is written.
bool refuseUnreadableSize(PluginGlobals* globals, const CodecContext& ctx) {
    if (qvr::imageSizeReadable(ctx.width, ctx.height)) return false;
    *globals->result = formatBadParameters;
    return true;
}

bool capabilityGate(PluginGlobals* globals) {
    return refuseUnlessCapable(globals->result, hostCapable(globals));
}

}  // namespace

int32_t depthFromRecord(const FormatRecord* record) {
    if (record->imageMode == plugInModeIndexedColor) return 8;
    return record->planes >= 4 ? 32 : 24;
}

void bindStreams(CodecContext* ctx, PluginGlobals* globals) {
    ctx->procs = qvr::StreamProcs{globals, hostRead, hostWrite, hostSeek, hostRows, hostRows, hostProgress};
    fileBegin(globals);
}

namespace {

// Records what one _lread came to: a failed call, or one that moved nothing,
// becomes the result code; anything else is the count moved.
int32_t readOutcome(PluginGlobals* globals, UINT moved) {
    if (moved == static_cast<UINT>(HFILE_ERROR) || moved == 0) {
        failureOf(globals).record(moved == 0 ? eofErr : readErr);
        return 0;
    }
    return static_cast<int32_t>(moved);
}

// Records what one _lwrite came to: a failed call is writErr; one that moved
// fewer bytes than asked (nothing at all included) lost the rest to a full
// disk; anything else is the count moved.
int32_t writeOutcome(PluginGlobals* globals, UINT moved, UINT asked) {
    if (moved == static_cast<UINT>(HFILE_ERROR)) {
        failureOf(globals).record(writErr);
        return 0;
    }
    if (moved < asked) failureOf(globals).record(dskFulErr);
    return static_cast<int32_t>(moved);
}

// Records what one _llseek came to: a seek that fails is a failure of the
// transfer (the first failure wins); either way the answer is passed on.
int32_t seekOutcome(PluginGlobals* globals, LONG position, OSErr failedCode) {
    if (position == HFILE_ERROR) failureOf(globals).record(failedCode);
    return position;
}

// Counts reach _lread and _lwrite cut to 16 bits; the codec asks for at most
// a palette's 768 bytes in one call, so nothing is cut off.
UINT transferCount(int32_t count) { return static_cast<uint16_t>(count); }

// Hands the bytes the file layer still holds to the file, recorded like a write.
void flushWrites(PluginGlobals* globals) {
    const UINT pending = filePending(globals);
    if (!failed(globals) && pending != 0) writeOutcome(globals, fileFlush(globals), pending);
}

}  // namespace

int32_t hostRead(void* userData, void* buffer, int32_t count) {
    PluginGlobals* globals = globalsOf(userData);
    if (failed(globals)) return 0;
    return readOutcome(globals, fileRead(globals, buffer, transferCount(count)));
}

int32_t hostWrite(void* userData, const void* buffer, int32_t count) {
    PluginGlobals* globals = globalsOf(userData);
    if (failed(globals)) return 0;
    const UINT asked = transferCount(count);
    return writeOutcome(globals, fileWrite(globals, static_cast<LPCSTR>(buffer), asked), asked);
}

// While reading, a seek to an offset the header gave that fails makes the
// file a damaged one; failing to seek to the start means the file itself is
// unusable, a read error.
int32_t hostSeek(void* userData, int32_t offset, int32_t origin) {
    PluginGlobals* globals = globalsOf(userData);
    const OSErr code = offset == 0 && origin == qvr::SEEK_FROM_START ? readErr : formatCannotRead;
    return seekOutcome(globals, fileSeek(globals, offset, origin), code);
}

namespace {

// While writing, what was written reaches the file before it moves, and a
// seek that fails leaves the file unwritten.
int32_t hostSeekWhileWriting(void* userData, int32_t offset, int32_t origin) {
    PluginGlobals* globals = globalsOf(userData);
    flushWrites(globals);
    return seekOutcome(globals, fileSeek(globals, offset, origin), writErr);
}

// Only indexed colour and RGB documents can be stored; every other mode is
// refused before a byte is written, so that the user converts it first.
bool refuseUnstorableMode(PluginGlobals* globals) {
    const int16_t mode = globals->paramBlock->imageMode;
    if (mode == plugInModeIndexedColor || mode == plugInModeRGBColor) return false;
    *globals->result = formatBadParameters;
    return true;
}

}  // namespace

int32_t hostRows(void* userData, void* buffer, int32_t rowBytes, int32_t kind, int32_t left,
                 int32_t top, int32_t columns, int32_t rows) {
    PluginGlobals* globals = globalsOf(userData);
    if (failed(globals)) return 0;
    const RowLayout* layout = layoutOf(kind);
    if (!layout) return 0;
    FormatRecord* record = globals->paramBlock;
    if (!record->advanceState) {  // ReadContinue runs without the capability test
        *globals->result = formatBadParameters;
        return 0;
    }
    record->imageMode = layout->imageMode;
    record->depth = BITS_PER_CHANNEL;
    record->planes = layout->planes;
    record->loPlane = layout->loPlane;
    record->hiPlane = layout->hiPlane;
    record->colBytes = layout->colBytes;
    record->rowBytes = rowBytes;
    record->planeBytes = 1;
    record->theRect.left = static_cast<int16_t>(left);
    record->theRect.right = static_cast<int16_t>(left + columns);
    record->theRect.top = static_cast<int16_t>(top);
    record->theRect.bottom = static_cast<int16_t>(top + rows);
    record->data = buffer;
    failureOf(globals).record(record->advanceState());
    return 1;
}

int32_t hostProgress(void* userData, int32_t done, int32_t total) {
    FormatRecord* record = globalsOf(userData)->paramBlock;
    if (record->progressProc) record->progressProc(done, total);
    return 0;
}

void onPrepare(PluginGlobals* globals) { globals->paramBlock->maxData = 0; }

void onNothing(PluginGlobals*) {}

void onReadStart(PluginGlobals* globals) {
    if (!capabilityGate(globals)) return;
    CodecContext ctx{};
    bindStreams(&ctx, globals);
    qvr::FileHeader scratch;
    if (!qvr::readInfo(&ctx, &scratch)) {
        *globals->result = formatCannotRead;
        return;
    }
    FormatRecord* record = globals->paramBlock;
    record->imageSize.v = static_cast<int16_t>(ctx.height);
    record->imageSize.h = static_cast<int16_t>(ctx.width);
    record->depth = BITS_PER_CHANNEL;
    if (ctx.depth == 8) {
        record->imageMode = plugInModeIndexedColor;
        record->planes = 1;
        qvr::paletteToTables(ctx.palette, record->redLUT, record->greenLUT, record->blueLUT);
    } else {
        record->imageMode = plugInModeRGBColor;
        record->planes = ctx.depth == 32 ? 4 : 3;
    }
}

void onReadContinue(PluginGlobals* globals) {
    CodecContext ctx{};
    bindStreams(&ctx, globals);
    contextFromRecord(&ctx, globals->paramBlock);
    const qvr::DecodeOutcome outcome = qvr::decodeImage(&ctx).outcome;
    // A stream that runs past the width in either plane is corrupt: say so,
    // unless an earlier failure already speaks.
    const bool corrupt = outcome == qvr::DecodeOutcome::FirstPlaneOverrun ||
                         outcome == qvr::DecodeOutcome::AlphaOverrun;
    if (corrupt) failureOf(globals).record(formatCannotRead);
    globals->paramBlock->data = nullptr;
}

void onOptionsStart(PluginGlobals* globals) {
    if (!capabilityGate(globals)) return;
    globals->paramBlock->data = nullptr;
}

void onEstimateStart(PluginGlobals* globals) {
    if (!capabilityGate(globals)) return;
    if (refuseUnstorableMode(globals)) return;
    CodecContext ctx{};
    bindStreams(&ctx, globals);
    contextFromRecord(&ctx, globals->paramBlock);
    if (refuseUnreadableSize(globals, ctx)) return;
    qvr::estimateSize(&ctx);
    globals->paramBlock->minDataBytes = ctx.minBytes;
    globals->paramBlock->maxDataBytes = ctx.maxBytes;
    globals->paramBlock->data = nullptr;
}

void onWriteStart(PluginGlobals* globals) {
    if (!capabilityGate(globals)) return;
    if (refuseUnstorableMode(globals)) return;
    CodecContext ctx{};
    bindStreams(&ctx, globals);
    ctx.procs.seek = hostSeekWhileWriting;
    FormatRecord* record = globals->paramBlock;
    contextFromRecord(&ctx, record);
    if (refuseUnreadableSize(globals, ctx)) return;
    if (ctx.depth == 8) qvr::paletteFromTables(ctx.palette, record->redLUT, record->greenLUT, record->blueLUT);
    qvr::writeImage(&ctx);
    flushWrites(globals);
    record->data = nullptr;
}

void onFilterFile(PluginGlobals* globals) {
    if (failed(globals)) return;
    CodecContext ctx{};
    bindStreams(&ctx, globals);
    if (!qvr::identify(&ctx)) *globals->result = formatCannotRead;
}
