// The module's file calls on the host's file handle (dataFork of the current
// call). Each function has the results of the system call it stands for: the
// count moved, 0 or HFILE_ERROR for a read or write; the new position or
// HFILE_ERROR for a seek.
//
// The 32-bit module makes exactly one _lread, _lwrite or _llseek per request,
// as its hosts expect. With QVR_BUFFERED_FILE (the 64-bit module) reads are
// served from a block that one _lread fills, writes collect in that block and
// go out with one _lwrite when it is full or flushed, and a seek accounts for
// what the block holds. The block lives in the document's globals.
#pragma once

#include "plugin/globals.h"

// Starts a binding: nothing read ahead, nothing pending.
void fileBegin(PluginGlobals* globals);
// _lread: fewer bytes than asked only at the end of the file.
UINT fileRead(PluginGlobals* globals, LPVOID buffer, UINT count);
// _lwrite: `count` when the bytes were taken; HFILE_ERROR when a block could not
// be written, 0 when the file took fewer bytes of a block than it was given.
UINT fileWrite(PluginGlobals* globals, LPCSTR buffer, UINT count);
// _llseek. Bytes still pending are dropped: flush them first.
LONG fileSeek(PluginGlobals* globals, LONG offset, int origin);
// Bytes written but not yet handed to the file (always 0 without the block).
UINT filePending(const PluginGlobals* globals);
// Hands the pending bytes to the file with one _lwrite: the pending count when
// all went out, 0 when fewer did, HFILE_ERROR on a failure.
UINT fileFlush(PluginGlobals* globals);

#if QVR_BUFFERED_FILE
// The bytes read ahead and not yet handed out, for a reader that takes them
// in place: their first byte, and their count (0 when the block is not
// reading). fileConsume(n) hands out the first n of them.
UINT fileReadAhead(PluginGlobals* globals, const uint8_t** first);
void fileConsume(PluginGlobals* globals, UINT count);
// Where up to FILE_ROW_ROOM bytes written in place join the pending ones;
// null when the block is not collecting writes.
uint8_t* fileWriteSpace(PluginGlobals* globals);
// Takes `count` bytes written at fileWriteSpace() as fileWrite() would take
// them, with the same results: every full block goes out with one _lwrite.
UINT fileCommit(PluginGlobals* globals, UINT count);
#endif
