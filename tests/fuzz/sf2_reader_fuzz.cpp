// libFuzzer entry: the SF2 reader and the zone conversion must accept any
// byte string without crashing, reading out of bounds or allocating more
// than the input justifies.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "banks/sf2_reader.h"
#include "banks/sf2_samples.h"
#include "banks/sf2_zones.h"

using namespace kelvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryStream stream(data, size);
  TSF2File file;
  if (file.Read(stream) != srrOK) return 0;

  const int64_t smplFrames = file.SmplSize / 2;
  std::vector<uint8_t> flags;
  std::vector<int32_t> links;
  for (const TSFSample& h : file.SampleHeaders) {
    const TSF2SampleGeometry g = SF2SampleGeometry(h, file.IsVersion1(), smplFrames);
    if (g.Length < 0 || g.Length > smplFrames) __builtin_trap();
    flags.push_back(SF2SampleTypeBits(h.SampleType));
    links.push_back(h.SampleLink < file.SampleHeaders.size() ? h.SampleLink : -1);
  }
  CheckSF2SampleLinks(flags, links);

  size_t leaves = 0;
  ConvertSF2Presets(
      file, [](const TSFPresetHeader&) {},
      [&](const TSF2Leaf& leaf) {
        if (leaf.SampleIndex >= file.SampleHeaders.size()) __builtin_trap();
        ++leaves;
      });
  if (leaves > MaxSF2Leaves) __builtin_trap();
  return 0;
}
