// libFuzzer entry: the wave reader must accept any byte string without
// crashing, reading out of bounds or allocating more than the input holds.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "banks/wav_reader.h"

using namespace kelvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryStream stream(data, size);
  TWAVSample sample;
  int64_t wsmpPosition = -1;
  const bool ok = LoadWAVSample(stream, sample, wsmpPosition);
  if (wsmpPosition < 0 || (wsmpPosition > 0 && wsmpPosition + 8 >= static_cast<int64_t>(size))) __builtin_trap();
  if (!ok) {
    if (sample.length != 0 || !sample.Data.empty()) __builtin_trap();
    return 0;
  }
  if (sample.length < 0 || static_cast<size_t>(sample.length) != sample.Data.size()) __builtin_trap();
  // At most two frames per input byte (4-bit ADPCM) plus one per block header.
  if (sample.Data.size() > 2 * size + 1) __builtin_trap();
  for (float v : sample.Data) {
    if (!std::isfinite(v)) __builtin_trap();  // stored floats may exceed 1, never NaN or infinity
  }
  return 0;
}
