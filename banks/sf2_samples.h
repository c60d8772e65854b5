#pragma once

// Sample rules of the SF2 reader that do not need the sample store: frame
// geometry from a header and the stereo link check.

#include <cstdint>
#include <vector>

#include "banks/sf2_records.h"

namespace kelvane {

// Sample type flags as bits in set order: stfMono, stfLeft, stfRight,
// stfLinked, stfForceMono.
enum TSF2SampleTypeBit : uint8_t {
  stbMono = 1,
  stbLeft = 2,
  stbRight = 4,
  stbLinked = 8,
  stbForceMono = 16
};

// The flags of an SF2 SampleType word (1 mono, 2 right, 4 left, 8 linked).
uint8_t SF2SampleTypeBits(uint16_t sampleType);

// Frames and loop points relative to the sample start.
struct TSF2SampleGeometry {
  int32_t Length = 0;
  int32_t LoopStart = 0;
  int32_t LoopEnd = 0;
};

// smplFrames is the number of 16-bit frames the smpl chunk holds; the length
// never reaches past it, so a header cannot make a load read beyond the
// sample data or allocate more than the file holds.
TSF2SampleGeometry SF2SampleGeometry(const TSFSample& header, bool version1, int64_t smplFrames);

// Link check over a bank's samples: flags[i] holds sample i's bits, links[i]
// the index of its LinkSample or -1. Samples whose chain (at most 9 samples,
// ending at no link or back at the start) does not pair left with right, or
// mixes mono with left or right, get stbForceMono, lose stbLeft and stbRight,
// gain stbMono and their link (set to -1).
void CheckSF2SampleLinks(std::vector<uint8_t>& flags, std::vector<int32_t>& links);

}  // namespace kelvane
