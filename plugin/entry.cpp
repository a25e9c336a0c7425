// The module's one export: the host calls it once for every selector.
#include "plugin/entry.h"

#include <cstring>

#include "plugin/handlers.h"
#include "resources/strings.h"

namespace {

using Handler = void (*)(PluginGlobals*);

// Selectors 1..17, at index selector - 1.
constexpr Handler DISPATCH_TABLE[FORMAT_SELECTOR_COUNT] = {
    onPrepare,        // formatSelectorReadPrepare
    onReadStart,      // formatSelectorReadStart
    onReadContinue,   // formatSelectorReadContinue
    onNothing,        // formatSelectorReadFinish
    onPrepare,        // formatSelectorOptionsPrepare
    onOptionsStart,   // formatSelectorOptionsStart
    onNothing,        // formatSelectorOptionsContinue
    onNothing,        // formatSelectorOptionsFinish
    onPrepare,        // formatSelectorEstimatePrepare
    onEstimateStart,  // formatSelectorEstimateStart
    onNothing,        // formatSelectorEstimateContinue
    onNothing,        // formatSelectorEstimateFinish
    onPrepare,        // formatSelectorWritePrepare
    onWriteStart,     // formatSelectorWriteStart
    onNothing,        // formatSelectorWriteContinue
    onNothing,        // formatSelectorWriteFinish
    onFilterFile,     // formatSelectorFilterFile
};

constexpr int ABOUT_TEXT_BYTES = 256;
constexpr int ABOUT_TITLE_BYTES = 60;

}  // namespace

void showAboutBox(AboutRecord* about) {
    char text[ABOUT_TEXT_BYTES];
    char title[ABOUT_TITLE_BYTES];
    std::memset(text, 0, sizeof text);
    std::memset(title, 0, sizeof title);
    LoadStringA(moduleInstance, QVR_STRING_ABOUT, text, ABOUT_TEXT_BYTES - 1);
    LoadStringA(moduleInstance, QVR_STRING_ABOUT_CAPTION, title, ABOUT_TITLE_BYTES);
    const auto* platform = about ? static_cast<const PlatformData*>(about->platformData) : nullptr;
    const HWND owner = platform ? reinterpret_cast<HWND>(platform->hwnd) : nullptr;
    MessageBoxA(owner, text, title, MB_OK | MB_ICONINFORMATION);
}

extern "C" QVR_EXPORT void HOST_API ENTRYPOINT(int16_t selector, void* paramBlock, intptr_t* data, int16_t* result) {
    if (selector == formatSelectorAbout) {
        showAboutBox(static_cast<AboutRecord*>(paramBlock));
        return;
    }
    auto* record = static_cast<FormatRecord*>(paramBlock);
    PluginGlobals* globals = acquireGlobals(result, record, record->handleProcs, data);
    if (!globals) {
        *result = memFullErr;
        return;
    }
    if (selector >= 1 && selector <= FORMAT_SELECTOR_COUNT)
        DISPATCH_TABLE[selector - 1](globals);
    else
        *globals->result = formatBadParameters;
    if (*data != 0) handleUnlock(globals->paramBlock->handleProcs, reinterpret_cast<Handle>(*data));
}
