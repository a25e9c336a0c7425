// The portable stand-ins for the Windows services, for native builds.
#include "plugin/win_services.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "resources/strings.h"

namespace {

// A global block: this header, then the caller's bytes.
struct GlobalBlock {
    uint32_t magic;
    uint32_t lockCount;
    alignas(std::max_align_t) unsigned char bytes[1];
};
constexpr uint32_t GLOBAL_BLOCK_MAGIC = 0x474C4F42;  // "GLOB"

GlobalBlock* blockOf(HGLOBAL memory) {
    auto* block = static_cast<GlobalBlock*>(memory);
    return block && block->magic == GLOBAL_BLOCK_MAGIC ? block : nullptr;
}

struct StringEntry {
    UINT id;
    const wchar_t* text;
};
const StringEntry STRING_TABLE[] = {
    {QVR_STRING_ABOUT, QVR_TEXT_ABOUT},
    {QVR_STRING_HOST_TOO_OLD, QVR_TEXT_HOST_TOO_OLD},
    {QVR_STRING_HOST_TOO_NEW, QVR_TEXT_HOST_TOO_NEW},
};

// Shows the box's ANSI (Latin-1) text on a UTF-8 terminal.
int printToStderr(void*, const portable::MessageBoxCall& call) {
    std::fputs("[message box] ", stderr);
    for (const char* c = call.text ? call.text : ""; *c; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte < 0x80) {
            std::fputc(byte, stderr);
        } else {
            std::fputc(0xC0 | (byte >> 6), stderr);
            std::fputc(0x80 | (byte & 0x3F), stderr);
        }
    }
    std::fputc('\n', stderr);
    return IDOK;
}

portable::MessageBoxSink messageBoxSink = printToStderr;
void* messageBoxContext = nullptr;

}  // namespace

namespace portable {
FileCalls fileCalls{};
FileFaults fileFaults{};
}  // namespace portable

namespace {

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

UINT readMemory(MemoryFile& memory, LPVOID buffer, UINT bytes) {
    const size_t left = memory.position < memory.size ? memory.size - memory.position : 0;
    const size_t n = bytes < left ? bytes : left;
    if (n != 0) std::memcpy(buffer, memory.bytes + memory.position, n);
    memory.position += n;
    return static_cast<UINT>(n);
}

}  // namespace

namespace portable {
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
}  // namespace portable

UINT _lread(HFILE file, LPVOID buffer, UINT bytes) {
    ++portable::fileCalls.reads;
    const portable::FileFaults& faults = portable::fileFaults;
    const long long good = bytesBefore(file, bytes, faults.badByte);
    if (good >= 0 && good < bytes) {
        if (good == 0 || !faults.deliverBeforeBadByte) return static_cast<UINT>(HFILE_ERROR);
        bytes = static_cast<UINT>(good);
    }
    if (MemoryFile* memory = memoryFileOf(file)) return readMemory(*memory, buffer, bytes);
    const ssize_t n = ::read(file, buffer, bytes);
    return n < 0 ? static_cast<UINT>(HFILE_ERROR) : static_cast<UINT>(n);
}

// A full disk moves nothing (0); other failures are HFILE_ERROR.
UINT _lwrite(HFILE file, LPCSTR buffer, UINT bytes) {
    ++portable::fileCalls.writes;
    const portable::FileFaults& faults = portable::fileFaults;
    const long long beforeBad = bytesBefore(file, bytes, faults.badWriteByte);
    if (memoryFileOf(file) || (beforeBad >= 0 && beforeBad < bytes)) return static_cast<UINT>(HFILE_ERROR);
    const long long room = bytesBefore(file, bytes, faults.diskEnd);
    if (bytes != 0 && room <= 0) return 0;
    const ssize_t n = ::write(file, buffer, static_cast<size_t>(room));
    if (n < 0) return errno == ENOSPC ? 0 : static_cast<UINT>(HFILE_ERROR);
    return static_cast<UINT>(n);
}

LONG _llseek(HFILE file, LONG offset, int origin) {
    ++portable::fileCalls.seeks;
    if (MemoryFile* memory = memoryFileOf(file)) {
        const long long from = origin == 0 ? 0 : origin == 1 ? static_cast<long long>(memory->position)
                                                             : static_cast<long long>(memory->size);
        const long long position = from + offset;
        if (position < 0 || position > INT32_MAX) return HFILE_ERROR;
        memory->position = static_cast<size_t>(position);
        return static_cast<LONG>(position);
    }
    const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    const off_t position = ::lseek(file, offset, whence);
    return position < 0 || position > INT32_MAX ? HFILE_ERROR : static_cast<LONG>(position);
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    const size_t total = offsetof(GlobalBlock, bytes) + (bytes ? bytes : 1);
    void* memory = (flags & GMEM_ZEROINIT) ? std::calloc(1, total) : std::malloc(total);
    if (!memory) return nullptr;
    auto* block = static_cast<GlobalBlock*>(memory);
    block->magic = GLOBAL_BLOCK_MAGIC;
    block->lockCount = 0;
    return block;
}

LPVOID GlobalLock(HGLOBAL memory) {
    GlobalBlock* block = blockOf(memory);
    if (!block) return nullptr;
    ++block->lockCount;
    return block->bytes;
}

BOOL GlobalUnlock(HGLOBAL memory) {
    GlobalBlock* block = blockOf(memory);
    if (!block || block->lockCount == 0) return 0;
    return --block->lockCount != 0;
}

HGLOBAL GlobalHandle(LPCVOID address) {
    if (!address) return nullptr;
    auto* bytes = static_cast<const unsigned char*>(address) - offsetof(GlobalBlock, bytes);
    return blockOf(const_cast<unsigned char*>(bytes));
}

HGLOBAL GlobalFree(HGLOBAL memory) {
    GlobalBlock* block = blockOf(memory);
    if (!block) return memory;
    block->magic = 0;
    std::free(block);
    return nullptr;
}

int LoadStringA(HINSTANCE, UINT id, LPSTR buffer, int bufferMax) {
    if (!buffer || bufferMax <= 0) return 0;
    for (const StringEntry& entry : STRING_TABLE) {
        if (entry.id != id) continue;
        int n = 0;
        // The texts are Latin-1, which the ANSI code page (1252) holds byte for byte.
        for (; entry.text[n] != L'\0' && n < bufferMax - 1; ++n)
            buffer[n] = static_cast<char>(entry.text[n] < 0x100 ? entry.text[n] : L'?');
        buffer[n] = '\0';
        return n;
    }
    return 0;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    return messageBoxSink(messageBoxContext, portable::MessageBoxCall{owner, text, caption, type});
}

char* _ltoa(long value, char* buffer, int radix) {
    if (radix != 10) return nullptr;  // the module asks for decimal only
    std::snprintf(buffer, 33, "%ld", value);
    return buffer;
}

namespace portable {
void setMessageBoxSink(MessageBoxSink sink, void* context) {
    messageBoxSink = sink ? sink : printToStderr;
    messageBoxContext = sink ? context : nullptr;
}
}  // namespace portable
