#include "plugin/host_file.h"

#include <cstring>

namespace {

HFILE handleOf(const PluginGlobals* globals) { return static_cast<HFILE>(globals->paramBlock->dataFork); }

}  // namespace

#if !QVR_BUFFERED_FILE

// One system call per request.
void fileBegin(PluginGlobals*) {}

UINT fileRead(PluginGlobals* globals, LPVOID buffer, UINT count) { return _lread(handleOf(globals), buffer, count); }

UINT fileWrite(PluginGlobals* globals, LPCSTR buffer, UINT count) { return _lwrite(handleOf(globals), buffer, count); }

LONG fileSeek(PluginGlobals* globals, LONG offset, int origin) { return _llseek(handleOf(globals), offset, origin); }

UINT filePending(const PluginGlobals*) { return 0; }

UINT fileFlush(PluginGlobals*) { return 0; }

#else

namespace {

enum : int32_t {
    FILE_IDLE,     // the block holds nothing; the file stands where the caller thinks
    FILE_READING,  // bytes next..end were read ahead: the file stands end - next bytes further
    FILE_WRITING,  // bytes 0..end wait to go out: the file stands end bytes behind
    FILE_DIRECT,   // a block read failed: the rest of the call makes one call per request
};

constexpr UINT NO_FILE_RESULT = static_cast<UINT>(HFILE_ERROR);
constexpr int ORIGIN_CURRENT = 1;

FileBlock& blockOf(PluginGlobals* globals) { return globals->file; }

// Gives the file back the bytes read ahead but not handed out, so that the
// file stands where the caller thinks; false when that seek fails.
bool returnReadAhead(PluginGlobals* globals) {
    FileBlock& block = blockOf(globals);
    const UINT unread = block.state == FILE_READING ? block.end - block.next : 0;
    block.state = FILE_IDLE;
    block.next = block.end = 0;
    if (unread == 0) return true;
    return _llseek(handleOf(globals), -static_cast<LONG>(unread), ORIGIN_CURRENT) != HFILE_ERROR;
}

// After a failed block read: back to where this request started, and from
// there on every request is one _lread, so the failure falls on the very
// request that reaches the bad byte, as with one call per request.
UINT readDirectly(PluginGlobals* globals, LPVOID buffer, UINT count, UINT delivered) {
    blockOf(globals).state = FILE_DIRECT;
    if (delivered != 0 && _llseek(handleOf(globals), -static_cast<LONG>(delivered), ORIGIN_CURRENT) == HFILE_ERROR)
        return NO_FILE_RESULT;
    return _lread(handleOf(globals), buffer, count);
}

}  // namespace

void fileBegin(PluginGlobals* globals) {
    FileBlock& block = blockOf(globals);
    block.state = FILE_IDLE;
    block.next = block.end = 0;
}

UINT fileRead(PluginGlobals* globals, LPVOID buffer, UINT count) {
    FileBlock& block = blockOf(globals);
    if (block.state == FILE_READING && block.end - block.next >= count) {  // the usual byte
        std::memcpy(buffer, block.bytes + block.next, count);
        block.next += count;
        return count;
    }
    if (block.state == FILE_DIRECT) return _lread(handleOf(globals), buffer, count);
    if (block.state == FILE_WRITING) {
        const UINT pending = block.end;
        if (pending != 0 && fileFlush(globals) != pending) return NO_FILE_RESULT;
    }
    block.state = FILE_READING;
    auto* out = static_cast<char*>(buffer);
    UINT delivered = 0;
    while (delivered < count) {
        if (block.next == block.end) {
            const UINT got = _lread(handleOf(globals), block.bytes, FILE_BLOCK_BYTES);
            if (got == NO_FILE_RESULT) return readDirectly(globals, buffer, count, delivered);
            block.next = 0;
            block.end = got;
            if (got == 0) break;  // the end of the data is here, at this byte
        }
        UINT n = block.end - block.next;
        if (n > count - delivered) n = count - delivered;
        std::memcpy(out + delivered, block.bytes + block.next, n);
        block.next += n;
        delivered += n;
    }
    return delivered;
}

UINT fileWrite(PluginGlobals* globals, LPCSTR buffer, UINT count) {
    FileBlock& block = blockOf(globals);
    if (block.state == FILE_WRITING && FILE_BLOCK_BYTES - block.end > count) {  // the usual byte
        std::memcpy(block.bytes + block.end, buffer, count);
        block.end += count;
        return count;
    }
    if (block.state == FILE_DIRECT) return _lwrite(handleOf(globals), buffer, count);
    if (block.state == FILE_READING && !returnReadAhead(globals)) return NO_FILE_RESULT;
    block.state = FILE_WRITING;
    UINT taken = 0;
    while (taken < count) {
        UINT n = FILE_BLOCK_BYTES - block.end;
        if (n > count - taken) n = count - taken;
        std::memcpy(block.bytes + block.end, buffer + taken, n);
        block.end += n;
        taken += n;
        if (block.end == FILE_BLOCK_BYTES) {
            const UINT moved = fileFlush(globals);
            if (moved != FILE_BLOCK_BYTES) return moved;
        }
    }
    return count;
}

LONG fileSeek(PluginGlobals* globals, LONG offset, int origin) {
    FileBlock& block = blockOf(globals);
    if (block.state == FILE_DIRECT) return _llseek(handleOf(globals), offset, origin);
    const UINT unread = block.state == FILE_READING ? block.end - block.next : 0;
    if (origin == ORIGIN_CURRENT) {
        // Counted from where the caller stands, not from the end of the read-ahead.
        const int64_t fromFile = static_cast<int64_t>(offset) - unread;
        offset = fromFile < INT32_MIN ? INT32_MIN : static_cast<LONG>(fromFile);
    }
    fileBegin(globals);
    const LONG position = _llseek(handleOf(globals), offset, origin);
    // A seek that fails leaves the file where the caller stood, as it would
    // without the read-ahead.
    if (position == HFILE_ERROR && unread != 0) _llseek(handleOf(globals), -static_cast<LONG>(unread), ORIGIN_CURRENT);
    return position;
}

UINT fileReadAhead(PluginGlobals* globals, const uint8_t** first) {
    const FileBlock& block = blockOf(globals);
    *first = reinterpret_cast<const uint8_t*>(block.bytes) + block.next;
    return block.state == FILE_READING ? block.end - block.next : 0;
}

void fileConsume(PluginGlobals* globals, UINT count) { blockOf(globals).next += count; }

uint8_t* fileWriteSpace(PluginGlobals* globals) {
    FileBlock& block = blockOf(globals);
    if (block.state != FILE_WRITING) return nullptr;
    return reinterpret_cast<uint8_t*>(block.bytes) + block.end;
}

UINT fileCommit(PluginGlobals* globals, UINT count) {
    FileBlock& block = blockOf(globals);
    block.end += count;
    if (block.end < FILE_BLOCK_BYTES) return count;
    const UINT rest = block.end - FILE_BLOCK_BYTES;
    block.end = FILE_BLOCK_BYTES;
    const UINT moved = fileFlush(globals);
    if (moved != FILE_BLOCK_BYTES) return moved;
    std::memmove(block.bytes, block.bytes + FILE_BLOCK_BYTES, rest);
    block.end = rest;
    return count;
}

UINT filePending(const PluginGlobals* globals) { return globals->file.state == FILE_WRITING ? globals->file.end : 0; }

UINT fileFlush(PluginGlobals* globals) {
    FileBlock& block = blockOf(globals);
    const UINT pending = filePending(globals);
    block.end = 0;
    if (pending == 0) return 0;
    const UINT moved = _lwrite(handleOf(globals), block.bytes, pending);
    if (moved == NO_FILE_RESULT) return NO_FILE_RESULT;
    return moved == pending ? pending : 0;
}

#endif
