#pragma once

// Pure reader of SoundFont 2 and SoundFont 1 files: walks the RIFF chunks and
// collects the INFO texts, the sample data positions and the pdta record
// arrays. Nothing is trusted: every count is bounded by the bytes the stream
// really holds, and a short read marks the file as truncated.

#include <cstdint>
#include <string>
#include <vector>

#include "banks/sf2_records.h"
#include "banks/stream.h"

namespace kelvane {

enum TSF2ReadResult : uint8_t {
  srrNotSF2,     // no "RIFF" ... "sfbk" header
  srrTruncated,  // a chunk header or record array ended early
  srrOK
};

// INFO list contents. Texts hold the whole chunk payload, zero bytes included.
struct TSF2Info {
  std::string EngineName;  // isng
  std::string BankName;    // INAM
  std::string ROMName;     // irom
  uint16_t ROMVersionMajor = 0;  // iver
  uint16_t ROMVersionMinor = 0;
  std::string Date;       // ICRD
  std::string Author;     // IENG
  std::string Product;    // IPRD
  std::string Copyright;  // ICOP
  std::string Comment;    // ICMT
  std::string Software;   // ISFT
};

class TSF2File {
 public:
  // Reads the whole file from position 0; previous contents are discarded.
  // Raises nothing for malformed or short input; stream errors other than
  // short reads propagate.
  TSF2ReadResult Read(TStream& stream);

  // ifil; a file without it is SoundFont 1.0.
  uint16_t VersionMajor = 1;
  uint16_t VersionMinor = 0;
  bool IsVersion1() const { return VersionMajor == 1; }
  // 2.04 or later: the default velocity-to-cutoff modulator without the switch.
  bool IsSF204() const { return (VersionMajor == 2 && VersionMinor > 3) || VersionMajor > 2; }

  TSF2Info Info;

  // Byte positions and sizes of the sample data; positions 0 = chunk absent.
  int64_t SmplOfs = 0;
  int64_t SmplSize = 0;
  int64_t SM24Ofs = 0;  // only for files above version 2.03
  int64_t SM24Size = 0;

  std::vector<TSFPresetHeader> PresetHeaders;
  std::vector<TSFBag> PresetBags;
  std::vector<TSFMod> PresetMods;
  std::vector<TSFGen> PresetGens;
  std::vector<TSFInst> Instruments;
  std::vector<TSFBag> InstrumentBags;
  std::vector<TSFMod> InstrumentMods;
  std::vector<TSFGen> InstrumentGens;
  std::vector<TSFSample> SampleHeaders;  // version 1 headers already widened

 private:
  void Clear();
};

}  // namespace kelvane
