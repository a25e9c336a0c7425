// The COM side of qvrwic.dll: the class factory of the decoder, and whether
// any object of the DLL is still alive (for DllCanUnloadNow).
#pragma once

#include <windows.h>

namespace qvr::wic {

HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** object);
bool objectsAlive();

// DllRegisterServer / DllUnregisterServer: the keys under HKEY_CLASSES_ROOT
// and the machine's Explorer settings that make WIC and the shell use the
// decoder at `dllPath`.
HRESULT registerDecoder(const wchar_t* dllPath);
HRESULT unregisterDecoder();

}  // namespace qvr::wic
