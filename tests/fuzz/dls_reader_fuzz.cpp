// libFuzzer entry: reading any byte string as a DLS bank, extracting every
// instrument with its samples and converting every region's articulation
// must neither crash, hang nor leak. (The attach into a synthesizer, with its
// rollback, is covered by the bank tests on the same files.)
//
// An input whose first byte is 0 has the rest wrapped in a RIFF "DLS " header
// of the right size, so that the fuzzer spends its time on the chunks; other
// inputs are read as they are (whole files, RMID and XDLS containers).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "banks/dls_bank.h"
#include "banks/dls_reader.h"
#include "banks/stream.h"
#include "synth/generators.h"

using namespace kelvane;

namespace {

std::vector<uint8_t> FileOf(const uint8_t* data, size_t size) {
  if (size == 0 || data[0] != 0) return std::vector<uint8_t>(data, data + size);
  std::vector<uint8_t> file = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'D', 'L', 'S', ' '};
  file.insert(file.end(), data + 1, data + size);
  if (file.size() < 264) file.resize(264, 0);  // the format test wants 256 bytes
  const auto length = static_cast<uint32_t>(file.size() - 8);
  for (int i = 0; i < 4; ++i) file[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(length >> (8 * i));
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    InitGeneratorTables();
    return true;
  }();
  (void)ready;
  TMemoryStream stream(FileOf(data, size));
  if (!TDLS::IsBank(stream)) return 0;
  TDLS dls;
  if (!dls.Open(stream)) {
    if (dls.Error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  TDLSInst inst;
  for (uint32_t i = 0; i < dls.CountInstruments; ++i) {
    if (!dls.ExtractInstrument(inst, i)) continue;
    for (const TDLSInstLayer& layer : inst.Layers) {
      if (layer.Sample.length < 0 || static_cast<size_t>(layer.Sample.length) != layer.Sample.Data.size())
        __builtin_trap();
      const TDLSLeafValues values = ConvertDLSRegion(layer.Region, layer.Connection);
      (void)values;
    }
  }
  return 0;
}
