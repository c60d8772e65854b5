#include "banks/sf2_samples.h"

#include <algorithm>
#include <limits>

namespace kelvane {

uint8_t SF2SampleTypeBits(uint16_t sampleType) {
  uint8_t bits = 0;
  if (sampleType & 1) bits |= stbMono;
  if (sampleType & 4) bits |= stbLeft;
  if (sampleType & 2) bits |= stbRight;
  if (sampleType & 8) bits |= stbLinked;
  return bits;
}

namespace {

int32_t ToInt32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, 0, std::numeric_limits<int32_t>::max()));
}

}  // namespace

TSF2SampleGeometry SF2SampleGeometry(const TSFSample& header, bool version1, int64_t smplFrames) {
  const int64_t start = header.lwStart;
  const int64_t end = header.lwEnd;
  int64_t length = end < start ? 0 : end - start + 1;
  length = std::min(length, std::max<int64_t>(0, smplFrames - start));

  auto relative = [start](int64_t stored) { return stored != 0 && stored >= start ? stored - start : 0; };
  int64_t loopStart = relative(header.LoopStart);
  int64_t loopEnd = relative(header.LoopEnd);
  if (version1) {
    loopStart += 1;
    loopEnd += 2;
  }
  return {ToInt32(length), ToInt32(loopStart), ToInt32(loopEnd)};
}

void CheckSF2SampleLinks(std::vector<uint8_t>& flags, std::vector<int32_t>& links) {
  const size_t n = std::min(flags.size(), links.size());
  constexpr int MaxChain = 9;
  std::vector<bool> forceMono(n, false);
  for (size_t s = 0; s < n; ++s) {
    int left = 0, right = 0;
    uint8_t all = 0;
    int32_t current = static_cast<int32_t>(s);
    for (int visited = 0; visited < MaxChain; ++visited) {
      const uint8_t f = flags[static_cast<size_t>(current)];
      if (f & (stbMono | stbLeft)) ++left;
      if (f & (stbMono | stbRight)) ++right;
      all |= f;
      current = links[static_cast<size_t>(current)];
      if (current < 0 || static_cast<size_t>(current) >= n || current == static_cast<int32_t>(s)) break;
    }
    if (left != right || ((all & stbMono) && (all & (stbLeft | stbRight)))) forceMono[s] = true;
  }
  for (size_t s = 0; s < n; ++s) {
    if (!forceMono[s]) continue;
    flags[s] = static_cast<uint8_t>((flags[s] & ~(stbLeft | stbRight)) | stbMono | stbForceMono);
    links[s] = -1;
  }
}

}  // namespace kelvane
