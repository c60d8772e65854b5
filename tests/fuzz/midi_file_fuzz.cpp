// libFuzzer target: the MIDI file reader and the tick-to-frame schedule.

#include <cstddef>
#include <cstdint>
#include <span>

#include "synth/midi_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  if (const auto song = kelvane::FindRMIDSong(bytes)) bytes = *song;
  const auto file = kelvane::ParseMIDIFile(bytes);
  if (!file) return 0;
  int64_t previous = 0;
  for (const auto& event : kelvane::ScheduleMIDIFile(*file, 44100)) {
    // Positions never go backwards and never go negative.
    if (event.Position < previous) __builtin_trap();
    previous = event.Position;
  }
  kelvane::ScheduleMIDIFile(*file, 192000);
  return 0;
}
