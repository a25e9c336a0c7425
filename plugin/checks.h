// The host services the module depends on, tested before ReadStart,
// OptionsStart, EstimateStart and WriteStart; a missing one is named to the
// user in a warning box.
#pragma once

#include "plugin/globals.h"

// True when the buffer suite, advanceState and the handle suite all pass;
// stops at the first that fails, so one call shows at most one alert.
bool hostCapable(PluginGlobals* globals);
// Stores userCanceledErr (unless a result is already set) when not capable.
bool refuseUnlessCapable(int16_t* result, bool capable);

bool requireBufferSuite(const BufferProcs* procs, HINSTANCE instance);
bool requireAdvanceState(AdvanceStateProc advanceState, HINSTANCE instance);
bool requireHandleSuite(const HandleProcs* procs, HINSTANCE instance);
bool bufferSuiteUsable(const BufferProcs* procs, bool* newerSuite);

// Shows the template string with ^1 and ^2 replaced; returns the box's answer.
int warnUser(HINSTANCE instance, int16_t templateId, const uint8_t* text1, const uint8_t* text2);
