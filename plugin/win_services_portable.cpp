// The portable stand-ins for the Windows services, for native builds. Each
// file call and message box first asks the test hooks (tests/host/portable_hooks.h).
#include "plugin/win_services.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "resources/strings.h"
#include "tests/host/portable_hooks.h"

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
int printToStderr(const portable::MessageBoxCall& call) {
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

}  // namespace

UINT _lread(HFILE file, LPVOID buffer, UINT bytes) {
    if (!portable::hooks::beforeRead(file, bytes)) return static_cast<UINT>(HFILE_ERROR);
    if (UINT moved; portable::hooks::readMemoryFile(file, buffer, bytes, moved)) return moved;
    const ssize_t n = ::read(file, buffer, bytes);
    return n < 0 ? static_cast<UINT>(HFILE_ERROR) : static_cast<UINT>(n);
}

// A full disk moves nothing (0); other failures are HFILE_ERROR.
UINT _lwrite(HFILE file, LPCSTR buffer, UINT bytes) {
    long long room = 0;
    if (!portable::hooks::beforeWrite(file, bytes, room)) return static_cast<UINT>(HFILE_ERROR);
    if (bytes != 0 && room <= 0) return 0;
    const ssize_t n = ::write(file, buffer, static_cast<size_t>(room));
    if (n < 0) return errno == ENOSPC ? 0 : static_cast<UINT>(HFILE_ERROR);
    return static_cast<UINT>(n);
}

LONG _llseek(HFILE file, LONG offset, int origin) {
    if (LONG result; portable::hooks::seekMemoryFile(file, offset, origin, result)) return result;
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
    const portable::MessageBoxCall call{owner, text, caption, type};
    void* context = nullptr;
    if (portable::MessageBoxSink sink = portable::hooks::messageBoxSink(context)) return sink(context, call);
    return printToStderr(call);
}

char* _ltoa(long value, char* buffer, int radix) {
    if (radix != 10) return nullptr;  // the module asks for decimal only
    std::snprintf(buffer, 33, "%ld", value);
    return buffer;
}
