// The library's one exported symbol: the host calls `main` with its callback
// and receives the instrument's AEffect record.

#include "plugin/exception_report.h"
#include "plugin/vsti_plugin.h"

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
    // The host owns the object from here on; effClose destroys it.
    return (new TVSTiPlugin(audioMaster))->GetEffect();
  } catch (const std::exception& error) {
    DoHandleException(error);
  } catch (...) {
    DoHandleUnknownException();
  }
  return nullptr;
}
