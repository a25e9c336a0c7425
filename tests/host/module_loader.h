// Finds the module's entry point: natively the module is linked in and its
// process-attach notification is sent once; on Windows the DLL is loaded.
#pragma once

#include <string>

#include "host_api/host_api.h"

namespace qvrhost {

// Null with a message in `error` when the module cannot be loaded.
PluginEntryProc loadModule(const std::string& path, std::string* error);

}  // namespace qvrhost
