#include "plugin/entry.h"
#include "plugin/globals.h"
#include "tests/host/module_loader.h"

namespace qvrhost {

namespace {
char moduleTag;  // its address stands for the linked-in module's instance handle
}

PluginEntryProc loadModule(const std::string&, std::string*) {
    static const BOOL attached = DllMain(&moduleTag, DLL_PROCESS_ATTACH, nullptr);
    (void)attached;
    return ENTRYPOINT;
}

}  // namespace qvrhost
