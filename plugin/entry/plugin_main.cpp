// The library's one exported symbol: the host calls `main` with its callback
// and receives the instrument's AEffect record.

#include "plugin/exception_report.h"
#include "plugin/vsti_plugin.h"

#if defined(KELVANE_HAVE_EDITOR)
#include "editor/crash_report.h"
#include "editor/window/form_vsti_editor.h"
#endif
#if defined(KELVANE_HAVE_EDITOR) && defined(_WIN32)
#include "editor/window/win32_embedded_font.h"

namespace {
// Loading the library registers the editor's font; unloading removes it.
struct TLibraryLifetime {
  TLibraryLifetime() { kelvane::RegisterEmbeddedFont(); }
  ~TLibraryLifetime() { kelvane::UnregisterEmbeddedFont(); }
} LibraryLifetime;
}  // namespace
#endif

// C++ reserves the name main for the program's entry, so the function gets
// another name and the symbol is renamed. Windows hosts look for
// VSTPluginMain as well: kelvane.def exports the same function under both names.
#if defined(_WIN32)
#define KELVANE_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define KELVANE_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

KELVANE_PLUGIN_EXPORT kelvane::AEffect* VSTCALLBACK KelvanePluginMain(kelvane::audioMasterCallback audioMaster)
    __asm__("main");

kelvane::AEffect* VSTCALLBACK KelvanePluginMain(kelvane::audioMasterCallback audioMaster) {
  using namespace kelvane;
  // A host without a callback cannot answer the version question either.
  if (audioMaster == nullptr) return nullptr;
  try {
    if (audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
#if defined(KELVANE_HAVE_EDITOR)
    // Reports go to an open editor window first, to the report file otherwise.
    InstallCrashReportHandler();
#endif
    // The host owns the object from here on; effClose destroys it.
    auto* plugin = new TVSTiPlugin(audioMaster);
#if defined(KELVANE_HAVE_EDITOR)
    plugin->GetPluginEditor()->WindowFactory = &CreateFormVSTiEditor;
#endif
    return plugin->GetEffect();
  } catch (const std::exception& error) {
    DoHandleException(error);
  } catch (...) {
    DoHandleUnknownException();
  }
  return nullptr;
}
