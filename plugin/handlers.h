// The selector handlers and the binding of the codec's stream procedures to
// the host: reads, writes and seeks go to the file handle dataFork, rows to
// advanceState, progress to progressProc. The first failure recorded in the
// host's result code wins; after it no file or pixel transfer takes place.
#pragma once

#include "codec/stream.h"
#include "plugin/globals.h"

void onPrepare(PluginGlobals* globals);
void onReadStart(PluginGlobals* globals);
void onReadContinue(PluginGlobals* globals);
void onOptionsStart(PluginGlobals* globals);
void onEstimateStart(PluginGlobals* globals);
void onWriteStart(PluginGlobals* globals);
void onFilterFile(PluginGlobals* globals);
void onNothing(PluginGlobals* globals);

// Fills the context's StreamProcs with the host-bound procedures below.
void bindStreams(qvr::CodecContext* ctx, PluginGlobals* globals);
// 8 for indexed colour; otherwise 32 with four or more planes, else 24.
int32_t depthFromRecord(const FormatRecord* record);

int32_t hostRead(void* userData, void* buffer, int32_t count);
int32_t hostWrite(void* userData, const void* buffer, int32_t count);
int32_t hostSeek(void* userData, int32_t offset, int32_t origin);
int32_t hostRows(void* userData, void* buffer, int32_t rowBytes, int32_t kind, int32_t left, int32_t top,
                 int32_t columns, int32_t rows);
int32_t hostProgress(void* userData, int32_t done, int32_t total);
