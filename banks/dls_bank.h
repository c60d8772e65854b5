#pragma once

// DLS instruments as preset layers: one layer per instrument, one leaf per
// region, DLS articulation turned into generator values and modulators.

#include <array>
#include <cstdint>
#include <vector>

#include "banks/dls_reader.h"
#include "banks/sf2_zones.h"
#include "banks/stream.h"

namespace kelvane {

class TSynth;
class TAttachedSoundFont;

// One region's generator values (generators 0..168, defaults where the
// region sets nothing) and the modulators its source-controlled connections
// become, to be merged onto the default set.
struct TDLSLeafValues {
  std::array<int32_t, SFGeneratorCount> Generators{};
  std::vector<TSF2Modulator> Modulators;
};

TDLSLeafValues ConvertDLSRegion(const TDLSRegion& Region, const TDLSConnections& Connection);

// Reads a DLS bank (plain, inside RMID or XDLS) into the synthesizer. Null,
// with the synthesizer unchanged and the stream still with the caller, when
// the stream is no DLS bank or cannot be read.
TAttachedSoundFont* AttachDLSBank(TSynth& Synth, TStreamPtr& Stream);

}  // namespace kelvane
