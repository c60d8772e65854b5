// libFuzzer entry: attaching any byte string as a bank (samples loaded at
// once) and detaching it again must neither crash nor leak.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "banks/stream.h"
#include "synth/synth.h"
#include "synth/synth_init.h"

using namespace kelvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TSynth* synth = [] {
    InitSynth();
    return new TSynth();
  }();
  try {
    synth->AttachSoundFont(std::make_unique<TMemoryStream>(data, size), false);
  } catch (const EKelvaneStreamError&) {
    // A sample reaching past the end of the stream: reported, not a crash.
  }
  synth->DetachSoundFonts(true);
  synth->Recache();
  return 0;
}
