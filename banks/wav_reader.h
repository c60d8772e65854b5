#pragma once

// Decodes one wave (a RIFF "WAVE" file or a DLS wave-pool "LIST wave" entry)
// into a mono float sample with its loop points. Loading thread only.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "banks/stream.h"

namespace kelvane {

struct TSampleLoop {
  int32_t LoopType = 0;  // 0 none, 1 forward, 2 alternating, 3 backward
  int32_t LoopStart = 0;
  int32_t LoopEnd = 0;  // last frame of the loop, as stored
};

struct TWAVSample {
  std::vector<float> Data;  // one value per frame, -1..1
  int32_t length = 0;       // frames
  int32_t SampleRate = 0;   // Hz
  TSampleLoop Loop;
  TSampleLoop SustainLoop;
};

// Decodes the wave starting at position 0 of stream into sample (cleared
// first). WSMPPosition receives the position of the header of the last "wsmp"
// chunk, 0 when there is none. False, with the sample cleared, on any
// malformed or unsupported input.
bool LoadWAVSample(TStream& stream, TWAVSample& sample, int64_t& WSMPPosition);

void ClearSample(TWAVSample& sample);
void ClearSampleEx(TWAVSample& sample);

// Byte order. File values are little-endian except the "FORM" sizes of DLS
// variants, which are big-endian.
constexpr uint16_t ReverseBytes16(uint16_t v) { return static_cast<uint16_t>((v << 8) | (v >> 8)); }
constexpr uint32_t ReverseBytes32(uint32_t v) {
  return (v << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

constexpr bool NativeLittleEndian = std::endian::native == std::endian::little;

constexpr uint16_t SwapWordLittleEndian(uint16_t v) { return NativeLittleEndian ? v : ReverseBytes16(v); }
constexpr uint32_t SwapDWordLittleEndian(uint32_t v) { return NativeLittleEndian ? v : ReverseBytes32(v); }
constexpr uint16_t Swap16Big(uint16_t v) { return NativeLittleEndian ? ReverseBytes16(v) : v; }
constexpr uint32_t Swap32Big(uint32_t v) { return NativeLittleEndian ? ReverseBytes32(v) : v; }
constexpr uint32_t SwapDWordBigEndian(uint32_t v) { return Swap32Big(v); }

// In place, count values; nothing to do on a little-endian machine.
constexpr void SwapLittleEndianData16(uint16_t* data, size_t count) {
  if constexpr (!NativeLittleEndian) {
    for (size_t i = 0; i < count; ++i) data[i] = ReverseBytes16(data[i]);
  }
}
constexpr void SwapLittleEndianData32(uint32_t* data, size_t count) {
  if constexpr (!NativeLittleEndian) {
    for (size_t i = 0; i < count; ++i) data[i] = ReverseBytes32(data[i]);
  }
}

}  // namespace kelvane
