#include <windows.h>

#include "tools/host/module_loader.h"

namespace qvrhost {

PluginEntryProc loadModule(const std::string& path, std::string* error) {
    const std::string file = path.empty() ? "qvr.8bi" : path;
    HMODULE module = LoadLibraryA(file.c_str());
    if (!module) {
        if (error) *error = "cannot load " + file;
        return nullptr;
    }
    auto entry = reinterpret_cast<PluginEntryProc>(
        reinterpret_cast<void*>(GetProcAddress(module, "ENTRYPOINT")));
    if (!entry && error) *error = file + " has no ENTRYPOINT";
    return entry;
}

}  // namespace qvrhost
