// The operating-system services the module calls. On Windows they are the
// real KERNEL32, USER32 and C run-time functions; elsewhere a portable layer
// gives the same results, so the whole module builds and runs natively.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)

#include <stdlib.h>
#include <windows.h>

#else  // portable stand-ins, same names and results

using BOOL = int;
using UINT = unsigned int;
using DWORD = uint32_t;
using LONG = int32_t;
using SIZE_T = size_t;
using HFILE = int;
using LPVOID = void*;
using LPCVOID = const void*;
using LPSTR = char*;
using LPCSTR = const char*;
using HINSTANCE = void*;
using HWND = void*;
using HGLOBAL = void*;

constexpr HFILE HFILE_ERROR = -1;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONWARNING = 0x00000030;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr int IDOK = 1;

// Files: the handle is a POSIX descriptor. 0 at end of file, HFILE_ERROR on failure.
UINT _lread(HFILE file, LPVOID buffer, UINT bytes);
UINT _lwrite(HFILE file, LPCSTR buffer, UINT bytes);
LONG _llseek(HFILE file, LONG offset, int origin);

// Global memory over the C heap; GlobalHandle finds a block's handle from its address.
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
LPVOID GlobalLock(HGLOBAL memory);
BOOL GlobalUnlock(HGLOBAL memory);
HGLOBAL GlobalHandle(LPCVOID address);
HGLOBAL GlobalFree(HGLOBAL memory);

// Strings come from the module's own string table, in the ANSI code page.
int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax);

// Message boxes print their text on stderr (tests can catch them: see
// tests/host/portable_hooks.h).
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

char* _ltoa(long value, char* buffer, int radix);

#endif
