// What tests can do to the portable services of a native build: count the
// file calls, inject the faults of a damaged or full disk, open files over
// memory and catch message boxes. The services consult these hooks on every
// call; a Windows build has neither.
#pragma once

#include "plugin/win_services.h"

#if !defined(_WIN32)

namespace portable {
struct MessageBoxCall {
    HWND owner;
    const char* text;
    const char* caption;  // null when no caption was given
    UINT type;
};
using MessageBoxSink = int (*)(void* context, const MessageBoxCall& call);
// Routes MessageBoxA to `sink` (null restores printing to stderr).
void setMessageBoxSink(MessageBoxSink sink, void* context);

// The file calls made so far, for tests that count them.
struct FileCalls {
    long reads;
    long writes;
    long seeks;
};
extern FileCalls fileCalls;

// Faults as a damaged or full disk shows them, for tests; -1 turns one off.
struct FileFaults {
    long long badByte = -1;             // a read that reaches this offset fails,
    bool deliverBeforeBadByte = false;  // after the bytes before it, or moving nothing
    long long badWriteByte = -1;        // a write that reaches this offset fails
    long long diskEnd = -1;             // writes stop short of this offset; none start there
};
extern FileFaults fileFaults;

// A read-only file over the caller's bytes, for tests that open a great many
// files: its reads and seeks make no system call. Close it when done.
HFILE openMemoryFile(const void* bytes, size_t size);
void closeMemoryFile(HFILE file);

// What the services ask before and instead of their system calls.
namespace hooks {
// Counts a read; false when a fault fails it, else `bytes` may shrink to
// what lies before a bad byte.
bool beforeRead(HFILE file, UINT& bytes);
// True when `file` is a memory file, with what the read moved.
bool readMemoryFile(HFILE file, LPVOID buffer, UINT bytes, UINT& moved);
// Counts a write; false when a fault fails it or the file is a memory file,
// else `room` is how many of `bytes` fit before the disk's end (0 or less: none).
bool beforeWrite(HFILE file, UINT bytes, long long& room);
// Counts a seek; true when `file` is a memory file, with the seek's result.
bool seekMemoryFile(HFILE file, LONG offset, int origin, LONG& result);
// The sink a test set, or null: the services then print the box.
MessageBoxSink messageBoxSink(void*& context);
}  // namespace hooks
}  // namespace portable

#endif
