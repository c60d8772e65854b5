#pragma once

// Builds small DLS banks in memory for tests:
//
//   DlsBank b;
//   b.Waves.push_back(DlsWave::Pcm16(Sine(400, 100.0), 22050));
//   DlsInstrument& i = b.Instruments.emplace_back();
//   i.Program = 5;
//   i.Regions.push_back(DlsRegion{});  // keys 0..127, wave 0
//   std::vector<uint8_t> file = b.Build();
//
// Chunk(), List() and Riff() assemble hand-made broken files.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvane::test {

using Bytes = std::vector<uint8_t>;

void PutLE16(Bytes& out, uint32_t v);
void PutLE32(Bytes& out, uint32_t v);
Bytes Chunk(const char* id, const Bytes& data);  // odd sizes get a pad byte
Bytes List(const char* type, const std::vector<Bytes>& chunks, const char* id = "LIST");
Bytes Riff(const char* form, const std::vector<Bytes>& chunks);

struct DlsConnection {
  uint16_t Source = 0;
  uint16_t Control = 0;
  uint16_t Destination = 0;
  uint16_t Transform = 0;
  int32_t Scale = 0;
};

struct DlsArticulation {
  bool Level2 = false;  // "lar2"/"art2" instead of "lart"/"art1"
  std::vector<DlsConnection> Connections;
  std::optional<Bytes> Condition;  // a "cdl " chunk ahead of the articulation
};

struct DlsLoop {
  uint32_t Type = 0;  // 0 forward, 1 loop and release
  uint32_t Start = 0;
  uint32_t Length = 0;
};

struct DlsSampleInfo {
  uint16_t UnityNote = 60;
  int16_t FineTune = 0;
  int32_t Gain = 0;
  std::vector<DlsLoop> Loops;
};
Bytes WsmpChunk(const DlsSampleInfo& info);

struct DlsRegion {
  uint8_t KeyLo = 0, KeyHi = 127, VelLo = 0, VelHi = 127;
  uint16_t KeyGroup = 0;
  uint32_t Wave = 0;  // pool table index
  std::optional<DlsSampleInfo> SampleInfo;
  std::optional<DlsArticulation> Articulation;
  bool Level2 = false;  // "rgn2"
  std::optional<Bytes> Condition;  // a "cdl " chunk first in the region list
};

struct DlsInstrument {
  std::string Name = "Inst";
  uint32_t Bank = 0;
  uint32_t Program = 0;
  std::vector<DlsRegion> Regions;
  std::optional<DlsArticulation> Articulation;
};

struct DlsWave {
  uint16_t FormatTag = 1;
  uint16_t Bits = 16;
  uint32_t Rate = 22050;
  Bytes Data;
  std::optional<DlsSampleInfo> SampleInfo;
  static DlsWave Pcm16(const std::vector<int16_t>& frames, uint32_t rate);
};

struct DlsBank {
  std::string Name = "Test bank";
  std::vector<DlsInstrument> Instruments;
  std::vector<DlsWave> Waves;
  bool PoolTable = true;
  Bytes Build() const;
};

std::vector<int16_t> SineFrames(int32_t frames, double period, double amplitude = 16000.0);

}  // namespace kelvane::test
