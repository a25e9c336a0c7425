// The DLL's four exports.
#include <windows.h>

#include "wic/decoder.h"

namespace {
HMODULE thisModule = nullptr;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        thisModule = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return qvr::wic::getClassObject(clsid, iid, object);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return qvr::wic::objectsAlive() ? S_FALSE : S_OK; }

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameW(thisModule, path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    return qvr::wic::registerDecoder(path);
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return qvr::wic::unregisterDecoder(); }
