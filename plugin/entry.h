// The exported entry point and the about box.
#pragma once

#include "host_api/host_api.h"

#if defined(_WIN32)
#define QVR_EXPORT __declspec(dllexport)
#else
#define QVR_EXPORT __attribute__((visibility("default")))
#endif

extern "C" QVR_EXPORT void HOST_API ENTRYPOINT(int16_t selector, void* paramBlock, intptr_t* data, int16_t* result);

void showAboutBox(AboutRecord* about);
