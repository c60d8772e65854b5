// libFuzzer entry: reading any byte string as an extended (SFX) bank must
// neither crash nor leak, a failed read must leave the synthesizer as it was,
// and a bank that was read must write and read back.
//
// An input with an even first byte is taken as a body behind a correct
// header, so that the fuzzer spends its time on the fields.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <vector>

#include "banks/sfx_format.h"
#include "banks/stream.h"
#include "synth/synth.h"
#include "synth/synth_init.h"

using namespace kelvane;

namespace {

std::vector<uint8_t> FileOf(const uint8_t* data, size_t size) {
  if (size == 0 || (data[0] & 1) != 0) return std::vector<uint8_t>(data, data + size);
  std::vector<uint8_t> file(SFXMagic, SFXMagic + SFXMagicSize);
  const uint64_t length = size - 1;
  for (int i = 0; i < 8; ++i) file.push_back(static_cast<uint8_t>(length >> (8 * i)));
  file.insert(file.end(), data + 1, data + size);
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TSynth* synth = [] {
    InitSynth();
    return new TSynth();
  }();
  const int64_t samples = synth->Samples.Count();
  const int64_t layers = synth->RootPresetLayer->Layers.Count();
  const int64_t banks = synth->AttachedSoundFonts.Count();

  TStreamPtr stream = std::make_unique<TMemoryStream>(FileOf(data, size));
  TAttachedSoundFont* bank = synth->LoadSoundFontExtended(stream, false, true);
  if (!bank) {
    if (!stream || synth->Samples.Count() != samples || synth->RootPresetLayer->Layers.Count() != layers ||
        synth->AttachedSoundFonts.Count() != banks)
      __builtin_trap();
    return 0;
  }
  std::ostringstream out;
  if (!synth->SaveSoundFontExtended(out)) __builtin_trap();
  const std::string saved = out.str();
  static TSynth* copy = new TSynth();
  TStreamPtr again = std::make_unique<TMemoryStream>(saved.data(), saved.size());
  if (!copy->LoadSoundFontExtended(again, false, false)) __builtin_trap();
  if (copy->Samples.Count() != synth->Samples.Count()) __builtin_trap();
  copy->DetachSoundFonts(true);

  synth->DetachSoundFonts(true);
  synth->Recache();
  return 0;
}
