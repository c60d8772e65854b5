// The installed General MIDI banks, checked against a reading of the file
// made here from the RIFF layout alone (no engine code involved).

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/sample.h"
#include "banks/stream.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

constexpr const char* TimBank = "/usr/share/sounds/sf2/TimGM6mb.sf2";
constexpr const char* FluidBank = "/usr/share/sounds/sf2/FluidR3_GM.sf2";

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) { return static_cast<uint32_t>(U16(p)) | static_cast<uint32_t>(U16(p + 2)) << 16; }

// What the test itself reads from the file: the pdta sub-chunks and where smpl lies.
struct RawBank {
  std::map<std::string, std::vector<uint8_t>> Pdta;  // "phdr", "pbag", ... -> chunk bytes
  int64_t SmplOffset = -1;
  int64_t SmplSize = 0;
  bool HasSm24 = false;
};

RawBank ReadRaw(const char* path) {
  RawBank raw;
  std::ifstream in(path, std::ios::binary);
  uint8_t header[12];
  in.read(reinterpret_cast<char*>(header), 12);
  EXPECT_EQ(std::memcmp(header, "RIFF", 4), 0);
  EXPECT_EQ(std::memcmp(header + 8, "sfbk", 4), 0);
  const int64_t riffEnd = 8 + static_cast<int64_t>(U32(header + 4));
  int64_t pos = 12;
  while (pos + 8 <= riffEnd) {
    uint8_t list[12];
    in.seekg(pos);
    in.read(reinterpret_cast<char*>(list), 12);
    if (!in) break;
    const int64_t listSize = U32(list + 4);
    if (std::memcmp(list, "LIST", 4) == 0) {
      const std::string type(reinterpret_cast<char*>(list + 8), 4);
      int64_t sub = pos + 12;
      while (sub + 8 <= pos + 8 + listSize) {
        uint8_t ch[8];
        in.seekg(sub);
        in.read(reinterpret_cast<char*>(ch), 8);
        const std::string id(reinterpret_cast<char*>(ch), 4);
        const int64_t size = U32(ch + 4);
        if (type == "sdta" && id == "smpl") {
          raw.SmplOffset = sub + 8;
          raw.SmplSize = size;
        } else if (type == "sdta" && id == "sm24") {
          raw.HasSm24 = true;
        } else if (type == "pdta") {
          std::vector<uint8_t>& bytes = raw.Pdta[id];
          bytes.resize(static_cast<size_t>(size));
          in.read(reinterpret_cast<char*>(bytes.data()), size);
        }
        sub += 8 + size + (size & 1);
      }
    }
    pos += 8 + listSize + (listSize & 1);
  }
  return raw;
}

// Record r of a pdta sub-chunk with records of the given size.
const uint8_t* Record(const RawBank& raw, const char* id, size_t size, size_t r) {
  return raw.Pdta.at(id).data() + r * size;
}
size_t Records(const RawBank& raw, const char* id, size_t size) { return raw.Pdta.at(id).size() / size; }

// Value of generator oper in the zone's generator list, or -1.
int32_t ZoneGenerator(const RawBank& raw, const char* bag, const char* gen, size_t zone, uint16_t oper) {
  const uint16_t first = U16(Record(raw, bag, 4, zone));
  const uint16_t last = U16(Record(raw, bag, 4, zone + 1));
  for (size_t g = first; g < last && g < Records(raw, gen, 4); ++g) {
    const uint8_t* rec = Record(raw, gen, 4, g);
    if (U16(rec) == oper) return U16(rec + 2);
  }
  return -1;
}

using PresetKey = std::tuple<int32_t, int32_t, std::string>;  // bank (14-bit), program, name

// The preset records (terminal one included, as it becomes a preset too) split
// by whether a zone reaches an instrument with a zone that names a sample.
struct PresetSplit {
  std::set<PresetKey> WithSample;  // end in leaves that carry the preset's name
  std::set<PresetKey> Without;     // stay childless layers, listed as leaves themselves
};

PresetSplit SplitPresets(const RawBank& raw) {
  constexpr uint16_t instrumentGen = 41, sampleIdGen = 53;
  PresetSplit presets;
  const size_t phdrCount = Records(raw, "phdr", 38);
  const size_t instCount = Records(raw, "inst", 22);
  for (size_t p = 0; p < phdrCount; ++p) {
    const uint8_t* h = Record(raw, "phdr", 38, p);
    const uint16_t program = U16(h + 20);
    const uint16_t bank = U16(h + 22);
    const uint16_t bagFirst = U16(h + 24);
    const size_t bagLast = p + 1 < phdrCount ? U16(Record(raw, "phdr", 38, p + 1) + 24) : Records(raw, "pbag", 4) - 1;
    bool reachesSample = false;
    for (size_t z = bagFirst; z < bagLast && !reachesSample; ++z) {
      const int32_t inst = ZoneGenerator(raw, "pbag", "pgen", z, instrumentGen);
      if (inst < 0 || static_cast<size_t>(inst) + 1 >= instCount) continue;
      const uint16_t iFirst = U16(Record(raw, "inst", 22, static_cast<size_t>(inst)) + 20);
      const uint16_t iLast = U16(Record(raw, "inst", 22, static_cast<size_t>(inst) + 1) + 20);
      for (size_t iz = iFirst; iz < iLast && !reachesSample; ++iz)
        reachesSample = ZoneGenerator(raw, "ibag", "igen", iz, sampleIdGen) >= 0;
    }
    // Listed only inside the lookup table's ranges.
    if (bank * 128 > 16384 || program > 127) continue;
    const char* name = reinterpret_cast<const char*>(h);
    (reachesSample ? presets.WithSample : presets.Without)
        .insert({bank * 128, program, std::string(name, strnlen(name, 20))});
  }
  return presets;
}

// Passes reads through and counts the bytes delivered from inside [from, to).
class CountingStream final : public TStream {
 public:
  CountingStream(TStreamPtr inner, int64_t from, int64_t to, int64_t* insideBytes)
      : fInner(std::move(inner)), fFrom(from), fTo(to), fInsideBytes(insideBytes) {}
  int64_t Size() override { return fInner->Size(); }
  int64_t Position() override { return fInner->Position(); }
  void Seek(int64_t position) override { fInner->Seek(position); }
  int64_t ReadSome(void* buffer, int64_t count) override {
    const int64_t at = fInner->Position();
    const int64_t n = fInner->ReadSome(buffer, count);
    *fInsideBytes += std::max<int64_t>(0, std::min(at + n, fTo) - std::max(at, fFrom));
    return n;
  }

 private:
  TStreamPtr fInner;
  int64_t fFrom, fTo;
  int64_t* fInsideBytes;
};

class SF2RealBanks : public testing::TestWithParam<const char*> {};

TEST_P(SF2RealBanks, PresetListingMatchesTheFile) {
  const char* path = GetParam();
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
  const RawBank raw = ReadRaw(path);
  ASSERT_GT(raw.SmplOffset, 0);
  const PresetSplit split = SplitPresets(raw);
  ASSERT_FALSE(split.WithSample.empty());
  // In both banks only the terminal record lacks zones; FluidR3_GM's sits at
  // bank 0 program 0 and is listed there, TimGM6mb's (255, 255) is out of range.
  for (const PresetKey& p : split.Without) EXPECT_EQ(std::get<2>(p), "EOP");
  std::set<PresetKey> expected = split.WithSample;
  expected.insert(split.Without.begin(), split.Without.end());

  // Delayed loading: not one byte of the smpl chunk may be read.
  int64_t smplBytesRead = 0;
  auto synth = std::make_unique<TSynth>();
  TAttachedSoundFont* bank = synth->AttachSoundFont(
      std::make_unique<CountingStream>(std::make_unique<TFileStream>(path), raw.SmplOffset,
                                       raw.SmplOffset + raw.SmplSize, &smplBytesRead),
      true);
  ASSERT_NE(bank, nullptr);
  EXPECT_EQ(smplBytesRead, 0);
  EXPECT_NE(bank->Stream, nullptr);  // kept open for later loading
  EXPECT_EQ(bank->SmplOfs, raw.SmplOffset);
  EXPECT_EQ(synth->Samples.Count(), static_cast<int32_t>(Records(raw, "shdr", 46)));
  for (const TSample* s : synth->Samples) {
    EXPECT_FALSE(s->Loaded) << s->Name;
    EXPECT_EQ(s->Data, nullptr) << s->Name;
  }

  std::set<PresetKey> listed;
  for (const TPresetInfo& info : synth->GetPresetInfos(nullptr, 0, 16384, 0, 127))
    listed.insert({info.Bank, info.Program_, info.Name});
  EXPECT_EQ(listed, expected);
  // One layer below the root for every preset record, the terminal one included.
  EXPECT_EQ(synth->RootPresetLayer->Layers.Count(), static_cast<int32_t>(Records(raw, "phdr", 38)));
}

INSTANTIATE_TEST_SUITE_P(Installed, SF2RealBanks, testing::Values(TimBank, FluidBank),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param == TimBank ? "TimGM6mb" : "FluidR3_GM");
                         });

TEST(SF2RealBanks, EverySampleOfTimGM6mbLoadsAsTheFileData) {
  if (!std::filesystem::exists(TimBank)) GTEST_SKIP() << TimBank << " is not installed";
  const RawBank raw = ReadRaw(TimBank);
  ASSERT_GT(raw.SmplOffset, 0);
  ASSERT_FALSE(raw.HasSm24);  // 16-bit data only: value = int16 / 32768
  std::vector<int16_t> smpl(static_cast<size_t>(raw.SmplSize / 2));
  {
    std::ifstream in(TimBank, std::ios::binary);
    in.seekg(raw.SmplOffset);
    in.read(reinterpret_cast<char*>(smpl.data()), static_cast<std::streamsize>(smpl.size() * 2));
    ASSERT_TRUE(in);
  }
  static_assert(std::endian::native == std::endian::little);

  auto synth = std::make_unique<TSynth>();
  ASSERT_NE(synth->AttachSoundFont(std::make_unique<TFileStream>(TimBank), true), nullptr);
  synth->LoadAllSamples();

  const size_t count = Records(raw, "shdr", 46);
  ASSERT_EQ(synth->Samples.Count(), static_cast<int32_t>(count));
  int32_t checked = 0;
  for (size_t i = 0; i + 1 < count; ++i) {  // the last record is the terminal one
    const uint8_t* h = Record(raw, "shdr", 46, i);
    const int64_t start = U32(h + 20);
    const int64_t end = U32(h + 24);
    const uint16_t type = U16(h + 44);
    const TSample& s = *synth->Samples[static_cast<int32_t>(i)];
    SCOPED_TRACE(s.Name);
    if (type & 0x8000) continue;  // ROM samples have no data here
    // Length is end - start + 1 frames, cut at the end of the smpl chunk.
    const int64_t length = std::min<int64_t>(end - start + 1, static_cast<int64_t>(smpl.size()) - start);
    ASSERT_GT(length, 0);
    ASSERT_EQ(s.Length, length);
    ASSERT_TRUE(s.Loaded);
    const float* d = s.Data.get();
    int32_t wrong = 0;
    for (int64_t k = 0; k < length; ++k)
      wrong += d[k + SampleGuardFrames] != static_cast<float>(smpl[static_cast<size_t>(start + k)]) / 32768.0f;
    const float first = static_cast<float>(smpl[static_cast<size_t>(start)]) / 32768.0f;
    const float last = static_cast<float>(smpl[static_cast<size_t>(start + length - 1)]) / 32768.0f;
    for (int32_t g = 0; g < SampleGuardFrames; ++g) {
      wrong += d[g] != first;
      wrong += d[SampleGuardFrames + length + g] != last;
    }
    EXPECT_EQ(wrong, 0);
    ++checked;
  }
  EXPECT_GT(checked, 0);
  EXPECT_FALSE(synth->Samples[static_cast<int32_t>(count) - 1]->Loaded);  // EOS
}

}  // namespace
}  // namespace kelvane
