// The test hooks of the portable services: call counters, injected file
// faults, memory files and the message-box sink.
#include "tests/host/portable_hooks.h"

#include <unistd.h>

#include <cstring>
#include <iterator>

namespace portable {
FileCalls fileCalls{};
FileFaults fileFaults{};
}  // namespace portable

namespace {

portable::MessageBoxSink messageBoxSink = nullptr;
void* messageBoxContext = nullptr;

struct MemoryFile {
    const uint8_t* bytes;
    size_t size;
    size_t position;
    bool open;
};
constexpr HFILE MEMORY_FILE_BASE = 0x40000000;  // far above any descriptor
MemoryFile memoryFiles[16];

MemoryFile* memoryFileOf(HFILE file) {
    const long index = static_cast<long>(file) - MEMORY_FILE_BASE;
    if (index < 0 || index >= static_cast<long>(std::size(memoryFiles))) return nullptr;
    return memoryFiles[index].open ? &memoryFiles[index] : nullptr;
}

long long positionOf(HFILE file) {
    if (const MemoryFile* memory = memoryFileOf(file)) return static_cast<long long>(memory->position);
    return ::lseek(file, 0, SEEK_CUR);
}

// How many of `bytes` from the file's position lie before `limit` (all when
// there is no limit); -1 when the position is already past it.
long long bytesBefore(HFILE file, UINT bytes, long long limit) {
    if (limit < 0) return bytes;
    const long long at = positionOf(file);
    if (at < 0 || at + static_cast<long long>(bytes) <= limit) return bytes;
    return at > limit ? -1 : limit - at;
}

}  // namespace

namespace portable {

void setMessageBoxSink(MessageBoxSink sink, void* context) {
    messageBoxSink = sink;
    messageBoxContext = sink ? context : nullptr;
}

HFILE openMemoryFile(const void* bytes, size_t size) {
    for (MemoryFile& memory : memoryFiles) {
        if (memory.open) continue;
        memory = MemoryFile{static_cast<const uint8_t*>(bytes), size, 0, true};
        return MEMORY_FILE_BASE + static_cast<HFILE>(&memory - memoryFiles);
    }
    return HFILE_ERROR;
}

void closeMemoryFile(HFILE file) {
    if (MemoryFile* memory = memoryFileOf(file)) memory->open = false;
}

namespace hooks {

bool beforeRead(HFILE file, UINT& bytes) {
    ++fileCalls.reads;
    const long long good = bytesBefore(file, bytes, fileFaults.badByte);
    if (good >= 0 && good < bytes) {
        if (good == 0 || !fileFaults.deliverBeforeBadByte) return false;
        bytes = static_cast<UINT>(good);
    }
    return true;
}

bool readMemoryFile(HFILE file, LPVOID buffer, UINT bytes, UINT& moved) {
    MemoryFile* memory = memoryFileOf(file);
    if (!memory) return false;
    const size_t left = memory->position < memory->size ? memory->size - memory->position : 0;
    const size_t n = bytes < left ? bytes : left;
    if (n != 0) std::memcpy(buffer, memory->bytes + memory->position, n);
    memory->position += n;
    moved = static_cast<UINT>(n);
    return true;
}

bool beforeWrite(HFILE file, UINT bytes, long long& room) {
    ++fileCalls.writes;
    const long long beforeBad = bytesBefore(file, bytes, fileFaults.badWriteByte);
    if (memoryFileOf(file) || (beforeBad >= 0 && beforeBad < bytes)) return false;
    room = bytesBefore(file, bytes, fileFaults.diskEnd);
    return true;
}

bool seekMemoryFile(HFILE file, LONG offset, int origin, LONG& result) {
    ++fileCalls.seeks;
    MemoryFile* memory = memoryFileOf(file);
    if (!memory) return false;
    const long long from = origin == 0   ? 0
                           : origin == 1 ? static_cast<long long>(memory->position)
                                         : static_cast<long long>(memory->size);
    const long long position = from + offset;
    if (position < 0 || position > INT32_MAX) {
        result = HFILE_ERROR;
    } else {
        memory->position = static_cast<size_t>(position);
        result = static_cast<LONG>(position);
    }
    return true;
}

MessageBoxSink messageBoxSink(void*& context) {
    context = messageBoxContext;
    return ::messageBoxSink;
}

}  // namespace hooks
}  // namespace portable
