#pragma once

// Downloadable Sounds banks (levels 1 and 2, also inside RMID and XDLS
// containers): instruments, regions, wave references and articulation blocks.
// Loading thread only.

#include <cstdint>
#include <string>
#include <vector>

#include "banks/stream.h"
#include "banks/wav_reader.h"

namespace kelvane {

// Regions per instrument and articulation blocks per bank at most.
inline constexpr uint32_t DLSMaxRegions = 128;
inline constexpr uint32_t DLSMaxConnectionBlocks = 2048;

// TDLSRegion::Options bits.
inline constexpr uint16_t DLSRegionKeyGroupMask = 0x0F;
inline constexpr uint16_t DLSRegionHasWSMP = 0x10;
inline constexpr uint16_t DLSRegionAlternatingLoop = 0x20;
inline constexpr uint16_t DLSRegionHasLoop = 0x40;
inline constexpr uint16_t DLSRegionSelfNonExclusive = 0x80;
inline constexpr uint16_t DLSRegionSustainLoop = 0x100;

struct TDLSRegion {
  uint32_t LoopStart = 0;
  uint32_t LoopEnd = 0;  // start + length
  uint16_t WaveLink = 0;  // wave-table index + 1; 0 = none
  uint16_t PrecConnection = 0;  // 1-based articulation block of this region; 0 = none
  int32_t Attenuation = 0;  // the "wsmp" gain, whole 32 bits (1/65536 cB)
  uint16_t KeyGroup = 0;
  uint16_t Options = 0;
  int16_t FineTune = 0;
  uint8_t KeyMin = 0;
  uint8_t KeyMax = 127;
  uint8_t VelocityMin = 0;
  uint8_t VelocityMax = 127;
  uint8_t UnityNote = 60;
};

struct TConnectionBlock {
  uint16_t Source = 0;
  uint16_t ControlSource = 0;
  uint16_t Destination = 0;
  uint16_t Transform = 0;
  int32_t Scale = 0;
};

struct TDLSConnections {
  std::vector<TConnectionBlock> ConnectionBlocks;
};

struct TDLSInstrument {
  uint32_t Bank = 0;  // bits 0..6 LSB, 8..14 MSB, bit 31 drum
  uint32_t Instrument = 0;  // program in bits 0..6
  uint32_t CountRegions = 0;
  uint32_t MelodicConnection = 0;  // 1-based articulation block for every region; 0 = none
  std::vector<TDLSRegion> Regions;  // grows to at most DLSMaxRegions + 1 while parsing
  std::string Name;

  bool IsDrum() const { return (Bank & 0x80000000u) != 0; }
};

struct TDLSSOUNDBANKINFO {
  std::string BankName;
  std::string Copyright;
  std::string Comments;
  std::string Engineer;
  std::string Software;
  std::string Description;
};

struct TDLSInstLayer {
  TWAVSample Sample;
  TDLSRegion Region;
  TDLSConnections Connection;
};

struct TDLSInst {
  std::string Name;
  std::vector<TDLSInstLayer> Layers;
  int32_t Preset = 0;
  int32_t Bank = 0;
};

class TDLS {
 public:
  TDLS() { Clear(); }

  void Clear();
  // Format test; leaves the stream position undefined.
  static bool IsBank(TStream& Stream);
  // Parses the whole file; false (with Error set) for anything not accepted.
  bool Open(TStream& Stream);
  bool ExtractInstrument(TDLSInst& Inst, uint32_t Ins) const;
  // WithSamples false leaves every layer's Sample empty (the attach decodes
  // each distinct wave once itself).
  bool ExtractInstrument(TDLSInst& Inst, uint32_t Ins, bool WithSamples) const;
  bool ExtractSample(TWAVSample& ASample, TDLSInstLayer& Layer, uint32_t Ins, uint32_t Rgn) const;
  // ExtractSample without decoding: the loops, unity note and fine tune that
  // the region's own and its wave's sample info give (Data stays empty).
  bool ResolveRegionSample(TWAVSample& ASample, TDLSInstLayer& Layer) const;
  bool ExtractWaveform(uint32_t Ins, uint32_t Rgn, TMemoryStream& WaveformData) const;
  // Parses the chunk at offset Chunk of BankStream (at most MaxLen bytes) into
  // instrument Ins, descending into lists.
  bool UpdateInstrumentDefinition(uint32_t Ins, uint32_t Chunk, uint32_t MaxLen);

  TDLSSOUNDBANKINFO BankInfo;
  std::vector<uint8_t> BankStream;
  uint32_t WavePoolOffset = 0;
  uint32_t CountInstruments = 0;
  uint32_t CountWaveforms = 0;
  uint32_t CountConnections = 0;
  uint32_t MaxWaveLink = 0;
  std::vector<uint32_t> Waveforms;
  std::vector<TDLSInstrument> Instruments;
  std::vector<TDLSConnections> Connections;  // at most DLSMaxConnectionBlocks
  bool Level2 = false;  // some level-2 chunk ("rgn2", "art2", "cdl ") was met
  std::string Error;    // why Open failed

 private:
  // The region's wave, when its link points into the pool table.
  const TDLSRegion* WaveRegion(uint32_t Ins, uint32_t Rgn) const;
  // Where the "LIST wave" chunk of wave link WaveLink lies in BankStream.
  bool WaveSpan(uint32_t WaveLink, uint64_t& Position, uint64_t& Length) const;
  void ApplyRegionInfo(TWAVSample& ASample, TDLSInstLayer& Layer, uint64_t Position, uint64_t Length,
                       int64_t WSMP) const;
  bool ParseList(uint32_t Ins, uint32_t Chunk, uint32_t MaxLen, int Depth, bool InRegion);
  void AddConnections(uint32_t Ins, uint32_t Data, uint32_t Size, bool Level2Chunk, bool InRegion);
  TDLSRegion* CurrentRegion(TDLSInstrument& Inst);
  bool Fail(const std::string& Message);
};

// Unit conversions; v is the DLS 32-bit value.
double DLSRelPitchToCents(int32_t v);
int32_t DLSAbsPitchToSF2AbsPitch(int32_t v);
int32_t DLSAbsTimeToSF2AbsTime(int32_t v);
int32_t DLSGainToSF2Centibles(int32_t v);
int32_t DLSPercentToSF2TenthPercent(int32_t v);

// Evaluates a "cdl " expression (little-endian opcode records) against the
// query answers of this synthesizer: GM and GS capable, 16-bit samples,
// 32-voice... An expression that cannot be evaluated counts as false.
bool EvaluateDLSCondition(const uint8_t* Data, uint32_t Size);

}  // namespace kelvane
