// libFuzzer target: the state chunk reader and the tuning file parsers.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "plugin/bson.h"
#include "plugin/state_chunk.h"
#include "plugin/tuning_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelvane::TVSTiProgram program;
  for (bool isPreset : {false, true}) {
    try {
      kelvane::ReadProgramChunk(data, size, isPreset, program);
    } catch (const kelvane::EKelvane&) {
    }
  }
  const std::string text = kelvane::DecodeTuningText(
      std::string_view(reinterpret_cast<const char*>(data), size));
  for (const char* extension : {".scl", ".mtd"}) {
    try {
      // A table the parser returns holds finite pitches only.
      for (double pitch : kelvane::ParseTuningText(text, extension))
        if (!(pitch - pitch == 0.0)) __builtin_trap();
    } catch (const kelvane::EKelvaneTuningFileError&) {
    }
  }
  return 0;
}
