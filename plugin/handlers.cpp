#include "plugin/handlers.h"

#include <cstring>

#include "codec/internal/binding_state.h"
#if QVR_BUFFERED_FILE
#include "codec/internal/callback_stream.h"
#include "codec/internal/line_decoder.h"
#include "codec/internal/line_encoder.h"
#include "codec/bytes_in_place.h"
#include "codec/row_bytes.h"
#endif
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

bool capabilityGate(PluginGlobals* globals) { return refuseUnlessCapable(globals->result, hostCapable(globals)); }

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
// a palette's 768 bytes in one call, and the 64-bit module's encoder for a
// row of at most FILE_ROW_ROOM bytes, so nothing is cut off.
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

int32_t hostRows(void* userData, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                 int32_t columns, int32_t rows) {
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

#if QVR_BUFFERED_FILE
namespace {

// The decoder's stream over the file block: bytes already read ahead are
// taken in place, where the compiler sees them; every other request (a byte
// past the block, a seek, a read into a buffer) goes through the host-bound
// procedures as before, so results, failures and system calls stay theirs.
// After the first failure nothing is taken from the block.
class BlockStream : public qvr::CallbackStream, public qvr::BytesInPlace<BlockStream> {
public:
    BlockStream(const qvr::StreamProcs& bound, PluginGlobals* globals) : CallbackStream{bound}, globals_(globals) {
        load();
    }

    using BytesInPlace::readByte;  // the block's bytes first, past them the host's
    using BytesInPlace::readWord;
    using BytesInPlace::resume;
    using BytesInPlace::take;
    using BytesInPlace::view;
    int32_t read(void* buffer, int32_t count) {
        return throughHost([&] { return procs.read(procs.userData, buffer, count); });
    }
    int32_t seek(int32_t offset, int32_t origin) {
        return throughHost([&] { return procs.seek(procs.userData, offset, origin); });
    }
    void putSlotRow(uint8_t* slot, int32_t kind, int32_t top, int32_t width) {
        CallbackStream::putSlotRow(slot, kind, top, width);
        stopOnFailure();
    }
    void putRgbRow(RgbStage& stage, const uint16_t* pixels, const uint16_t* above, int32_t top, int32_t width) {
        CallbackStream::putRgbRow(stage, pixels, above, top, width);
        stopOnFailure();
    }
    // Hands the bytes taken back to the file block's count.
    void settle() {
        fileConsume(globals_, static_cast<UINT>(cursor_ - start_));
        start_ = cursor_;
    }

private:
    friend class qvr::BytesInPlace<BlockStream>;
    int32_t byteOutside() {
        return throughHost([this] { return qvr::readByte(procs); });
    }
    void load() {
        const uint8_t* first = nullptr;
        const UINT count = failed(globals_) ? 0 : fileReadAhead(globals_, &first);
        start_ = cursor_ = first;
        limit_ = first + count;
    }
    template <typename Call>
    int32_t throughHost(Call call) {
        settle();
        const int32_t result = call();
        load();
        return result;
    }
    // A row the host refused fails the transfer: no byte is taken after it.
    void stopOnFailure() {
        if (!failed(globals_)) return;
        settle();
        limit_ = cursor_;
    }

    PluginGlobals* globals_;
    const uint8_t* start_ = nullptr;  // where the block stood at the last load
};

qvr::DecodeReport decodeFromFile(CodecContext* ctx, PluginGlobals* globals) {
    BlockStream in(ctx->procs, globals);
    const qvr::DecodeReport report = qvr::decodeImageFrom(in, ctx);
    in.settle();
    return report;
}

// The encoder's stream over the file block: a row's commands are written in
// place after the bytes pending in the block, and join them in one step when
// the row is done, so the file sees the same full blocks as byte-by-byte
// writes would make. When the block is not collecting writes (before the
// first write after a seek, or after a failure) the row is put together past
// the block and written through the host-bound write as one request.
static_assert(qvr::MAX_BYTES_PER_PIXEL_16 * qvr::ROW_SLOT_SAMPLES + qvr::PLACE_SLACK <= FILE_ROW_ROOM &&
                  static_cast<int32_t>(qvr::MOST_BYTES_PER_SAMPLE_8) * qvr::ROW_SLOT_SAMPLES + qvr::PLACE_SLACK <=
                      FILE_ROW_ROOM,
              "an encoded row fits past the block");
static_assert(FILE_ROW_ROOM <= 0xFFFF, "a row goes to the file layer in one request");
class BlockWriter : public qvr::CallbackStream {
public:
    BlockWriter(const qvr::StreamProcs& bound, PluginGlobals* globals) : CallbackStream{bound}, globals_(globals) {}

    using RowOutput = qvr::RowBytes;
    RowOutput rowOutput(int32_t) {
        uint8_t* space = failed(globals_) ? nullptr : fileWriteSpace(globals_);
        inPlace_ = space != nullptr;
        start_ = inPlace_ ? space : reinterpret_cast<uint8_t*>(globals_->file.bytes) + FILE_BLOCK_BYTES;
        return {start_};
    }
    void endRow(const RowOutput& row) {
        const auto count = static_cast<UINT>(row.cursor - start_);
        if (count == 0) return;
        if (inPlace_)
            writeOutcome(globals_, fileCommit(globals_, count), count);
        else
            procs.write(procs.userData, start_, static_cast<int32_t>(count));
    }

private:
    PluginGlobals* globals_;
    uint8_t* start_ = nullptr;  // the current row's first byte
    bool inPlace_ = false;      // whether that lies in the block, after the pending bytes
};

void encodeToFile(CodecContext* ctx, PluginGlobals* globals) {
    BlockWriter out(ctx->procs, globals);
    qvr::writeImageTo(out, *ctx);
}

}  // namespace
#else
namespace {

qvr::DecodeReport decodeFromFile(CodecContext* ctx, PluginGlobals*) { return qvr::decodeImage(ctx); }
void encodeToFile(CodecContext* ctx, PluginGlobals*) { qvr::writeImage(ctx); }

}  // namespace
#endif

void onReadContinue(PluginGlobals* globals) {
    CodecContext ctx{};
    bindStreams(&ctx, globals);
    contextFromRecord(&ctx, globals->paramBlock);
    const qvr::DecodeOutcome outcome = decodeFromFile(&ctx, globals).outcome;
    // A stream that runs past the width in either plane is corrupt: say so,
    // unless an earlier failure already speaks.
    const bool corrupt =
        outcome == qvr::DecodeOutcome::FirstPlaneOverrun || outcome == qvr::DecodeOutcome::AlphaOverrun;
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
    encodeToFile(&ctx, globals);
    flushWrites(globals);
    record->data = nullptr;
}

void onFilterFile(PluginGlobals* globals) {
    if (failed(globals)) return;
    CodecContext ctx{};
    bindStreams(&ctx, globals);
    if (!qvr::identify(&ctx)) *globals->result = formatCannotRead;
}
