#include <windows.h>

#include "tests/host/module_loader.h"

namespace qvrhost {

PluginEntryProc loadModule(const std::string& path, std::string* error) {
    const std::string file = path.empty() ? "qvr.8bi" : path;
    // No system error box for a module the loader refuses: the caller reports it.
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryA(file.c_str());
    const DWORD failure = GetLastError();
    SetErrorMode(oldMode);
    if (!module) {
        if (error) {
            *error = "cannot load " + file + " (system error " + std::to_string(failure) +
                     (failure == ERROR_BAD_EXE_FORMAT ? ": built for another architecture)" : ")");
        }
        return nullptr;
    }
    auto entry = reinterpret_cast<PluginEntryProc>(reinterpret_cast<void*>(GetProcAddress(module, "ENTRYPOINT")));
    if (!entry && error) *error = file + " has no ENTRYPOINT";
    return entry;
}

}  // namespace qvrhost
