#include "banks/sf2_reader.h"

#include <gtest/gtest.h>

#include "banks/sf2_builder.h"
#include "banks/sf2_samples.h"

namespace kelvane {
namespace {

using test::Sf2Builder;

TSF2ReadResult ReadBytes(const std::vector<uint8_t>& bytes, TSF2File& file) {
  TMemoryStream stream(bytes);
  return file.Read(stream);
}

Sf2Builder SmallBank() {
  Sf2Builder b;
  b.info("INAM", "Test Bank").info("ICOP", "free").romVersion(1, 7);
  b.sample("first", std::vector<int16_t>(10, 100)).loop(2, 8).pitch(64, -5);
  b.sample("second", std::vector<int16_t>(20, -3)).rate(22050).type(4, 0);
  b.instrument("Inst").zone().keyRange(10, 20).sampleId(0);
  b.preset("Piano", 0, 0).zone().instrument(0);
  b.preset("Drums", 128, 0).zone().instrument(0);
  return b;
}

TEST(SF2Reader, ReadsInfoRecordsAndSampleDataPosition) {
  Sf2Builder b = SmallBank();
  TSF2File f;
  ASSERT_EQ(ReadBytes(b.build(), f), srrOK);
  EXPECT_EQ(f.VersionMajor, 2);
  EXPECT_EQ(f.VersionMinor, 4);
  EXPECT_TRUE(f.IsSF204());
  // The whole payload, padding zeros included.
  EXPECT_EQ(f.Info.BankName, std::string("Test Bank\0", 10));
  EXPECT_EQ(f.Info.Copyright, std::string("free\0\0", 6));
  EXPECT_EQ(f.Info.ROMVersionMajor, 1);
  EXPECT_EQ(f.Info.ROMVersionMinor, 7);

  EXPECT_EQ(f.SmplOfs, b.smplOffset());
  EXPECT_EQ(f.SmplSize, 2 * (10 + 20 + 2 * Sf2Builder::SamplePadFrames));
  EXPECT_EQ(f.SM24Ofs, 0);

  ASSERT_EQ(f.PresetHeaders.size(), 3u);  // with the terminal record
  EXPECT_EQ(SFName(f.PresetHeaders[1].Name), "Drums");
  EXPECT_EQ(f.PresetHeaders[1].Bank, 128);
  EXPECT_EQ(f.PresetHeaders[1].PresetBagNdx, 1);
  EXPECT_EQ(SFName(f.PresetHeaders[2].Name), "EOP");
  EXPECT_EQ(f.PresetBags.size(), 3u);
  EXPECT_EQ(f.PresetGens.size(), 3u);
  EXPECT_EQ(f.PresetMods.size(), 1u);
  ASSERT_EQ(f.Instruments.size(), 2u);
  EXPECT_EQ(SFName(f.Instruments[0].InstName), "Inst");
  ASSERT_EQ(f.InstrumentGens.size(), 3u);
  EXPECT_EQ(f.InstrumentGens[0].GenOper, 43);
  EXPECT_EQ(f.InstrumentGens[0].GenAmount.Ranges().Lo, 10);
  EXPECT_EQ(f.InstrumentGens[0].GenAmount.Ranges().Hi, 20);

  ASSERT_EQ(f.SampleHeaders.size(), 3u);
  const TSFSample& s = f.SampleHeaders[1];
  EXPECT_EQ(SFName(s.SampleName), "second");
  EXPECT_EQ(s.lwStart, 10 + Sf2Builder::SamplePadFrames);
  EXPECT_EQ(s.lwEnd, s.lwStart + 20);
  EXPECT_EQ(s.SampleRate, 22050u);
  EXPECT_EQ(s.SampleType, 4);
  EXPECT_EQ(f.SampleHeaders[0].OriginalPitch, 64);
  EXPECT_EQ(f.SampleHeaders[0].PitchCorrection, -5);
}

TEST(SF2Reader, RejectsStreamsWithoutSoundFontHeader) {
  const std::vector<uint8_t> good = SmallBank().build();
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases = {
      {"misspelt form type", Sf2Builder(SmallBank()).formType("sfbK").build()},
      {"RIFX", [&] { auto b = good; b[3] = 'X'; return b; }()},
      {"eleven bytes", std::vector<uint8_t>(good.begin(), good.begin() + 11)},
      {"empty", {}},
  };
  for (const Case& c : cases) {
    TSF2File f;
    EXPECT_EQ(ReadBytes(c.bytes, f), srrNotSF2) << c.what;
  }
}

TEST(SF2Reader, Sm24IsKeptOnlyAboveVersion203) {
  struct Case {
    uint16_t major, minor;
    bool kept;
  };
  for (const Case c : {Case{2, 1, false}, Case{2, 3, false}, Case{2, 4, true}}) {
    Sf2Builder b = SmallBank();
    b.version(c.major, c.minor).sm24();
    TSF2File f;
    ASSERT_EQ(ReadBytes(b.build(), f), srrOK);
    if (c.kept) {
      // sm24 follows smpl directly inside sdta.
      EXPECT_EQ(f.SM24Ofs, f.SmplOfs + f.SmplSize + 8) << c.minor;
      EXPECT_EQ(f.SM24Size, f.SmplSize / 2) << c.minor;
    } else {
      EXPECT_EQ(f.SM24Ofs, 0) << c.minor;
    }
  }
}

TEST(SF2Reader, FileWithoutIfilIsSoundFont1With16ByteSampleHeaders) {
  Sf2Builder b;
  b.withoutIfil();
  b.sample("ignored", std::vector<int16_t>(100, 1)).raw(100, 200, 120, 180);
  TSF2File f;
  ASSERT_EQ(ReadBytes(b.build(), f), srrOK);
  EXPECT_EQ(f.VersionMajor, 1);
  EXPECT_EQ(f.VersionMinor, 0);
  EXPECT_TRUE(f.IsVersion1());
  ASSERT_EQ(f.SampleHeaders.size(), 2u);
  const TSFSample& s = f.SampleHeaders[0];
  EXPECT_EQ(SFName(s.SampleName), "");
  EXPECT_EQ(s.lwStart, 100u);
  EXPECT_EQ(s.lwEnd, 200u);
  EXPECT_EQ(s.LoopStart, 120u);
  EXPECT_EQ(s.LoopEnd, 182u);
  EXPECT_EQ(s.SampleRate, 44100u);
  EXPECT_EQ(s.OriginalPitch, 60);
  EXPECT_EQ(s.PitchCorrection, 0);
  EXPECT_EQ(s.SampleLink, 0);
  EXPECT_EQ(s.SampleType, 0x8001);

  // SoundFont 1 loop rules on top: start + 1, end + 2.
  const TSF2SampleGeometry g = SF2SampleGeometry(s, true, 1000);
  EXPECT_EQ(g.Length, 101);
  EXPECT_EQ(g.LoopStart, 21);
  EXPECT_EQ(g.LoopEnd, 84);
}

TEST(SF2Reader, UnpitchedOriginalPitchBecomesMiddleC) {
  Sf2Builder b;
  b.sample("noise", std::vector<int16_t>(4, 0)).pitch(255);
  TSF2File f;
  ASSERT_EQ(ReadBytes(b.build(), f), srrOK);
  EXPECT_EQ(f.SampleHeaders[0].OriginalPitch, 60);
}

TEST(SF2Reader, OddChunkSizesHaveNoPadByte) {
  std::vector<uint8_t> info;
  auto id = [](std::vector<uint8_t>& out, const char* s) { out.insert(out.end(), s, s + 4); };
  id(info, "INFO");
  id(info, "INAM");
  test::PutU32(info, 3);
  info.insert(info.end(), {'a', 'b', 0});
  id(info, "ifil");
  test::PutU32(info, 4);
  test::PutU16(info, 2);
  test::PutU16(info, 1);
  std::vector<uint8_t> file;
  id(file, "RIFF");
  test::PutU32(file, static_cast<uint32_t>(4 + 8 + info.size()));
  id(file, "sfbk");
  id(file, "LIST");
  test::PutU32(file, static_cast<uint32_t>(info.size()));
  file.insert(file.end(), info.begin(), info.end());

  TSF2File f;
  ASSERT_EQ(ReadBytes(file, f), srrOK);
  EXPECT_EQ(f.Info.BankName, std::string("ab\0", 3));
  EXPECT_EQ(f.VersionMajor, 2);
  EXPECT_EQ(f.VersionMinor, 1);
}

TEST(SF2Reader, ChunksBeyondTheRiffSizeAreNotRead) {
  Sf2Builder b = SmallBank();
  const std::vector<uint8_t> full = b.build();
  // Everything up to the end of sdta: the pdta list starts exactly at the RIFF size.
  TSF2File whole;
  ASSERT_EQ(ReadBytes(full, whole), srrOK);
  const int64_t pdtaStart = whole.SmplOfs + whole.SmplSize;
  b.riffSize(static_cast<uint32_t>(pdtaStart));
  TSF2File f;
  ASSERT_EQ(ReadBytes(b.build(), f), srrOK);
  EXPECT_EQ(f.SmplSize, whole.SmplSize);
  EXPECT_TRUE(f.PresetHeaders.empty());
  EXPECT_TRUE(f.SampleHeaders.empty());
}

TEST(SF2Reader, ShortReadsMarkTheFileTruncated) {
  const std::vector<uint8_t> full = SmallBank().build();
  TSF2File whole;
  ASSERT_EQ(ReadBytes(full, whole), srrOK);
  const size_t pdtaStart = static_cast<size_t>(whole.SmplOfs + whole.SmplSize);
  // Cut inside the INFO list (its header and its sub-chunks) and anywhere in pdta.
  std::vector<size_t> cuts;
  for (size_t n = 13; n < 40; ++n) cuts.push_back(n);
  for (size_t n = pdtaStart + 1; n < full.size(); ++n) cuts.push_back(n);
  for (size_t n : cuts) {
    TSF2File f;
    std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(ReadBytes(cut, f), srrTruncated) << "cut at " << n;
  }
  // Only the RIFF header: nothing to walk.
  TSF2File header;
  EXPECT_EQ(ReadBytes(std::vector<uint8_t>(full.begin(), full.begin() + 12), header), srrOK);
  EXPECT_TRUE(header.PresetHeaders.empty());
}

TEST(SF2Reader, HugeChunkSizesAreShortReadsNotAllocations) {
  for (const char* id : {"phdr", "pbag", "pgen", "shdr", "INAM", "pdta", "INFO"}) {
    Sf2Builder b = SmallBank();
    b.chunkSize(id, 0xFFFFFFF0u);
    TSF2File f;
    EXPECT_NE(ReadBytes(b.build(), f), srrNotSF2) << id;
  }
  Sf2Builder b = SmallBank();
  b.chunkSize("phdr", 0xFFFFFFF0u);
  TSF2File f;
  EXPECT_EQ(ReadBytes(b.build(), f), srrTruncated);
  EXPECT_TRUE(f.PresetHeaders.empty());
}

TEST(SF2Reader, PartialTrailingRecordIsDropped) {
  Sf2Builder b = SmallBank();
  std::vector<uint8_t> bags;
  for (uint16_t v : {0, 0, 1, 0, 2}) test::PutU16(bags, v);  // two bags and half a third
  bags.push_back(0);
  b.rawChunk("pbag", bags);
  TSF2File f;
  ASSERT_EQ(ReadBytes(b.build(), f), srrOK);
  EXPECT_EQ(f.PresetBags.size(), 2u);
}

TEST(SF2SampleGeometry, LengthAndLoopPoints) {
  struct Case {
    const char* what;
    uint32_t start, end, loopStart, loopEnd;
    int64_t smplFrames;
    TSF2SampleGeometry expected;
  };
  const Case cases[] = {
      {"plain", 100, 199, 110, 190, 1000, {100, 10, 90}},
      {"end before start", 100, 99, 110, 190, 1000, {0, 10, 90}},
      {"loop start 0 with non-zero start", 100, 199, 0, 190, 1000, {100, 0, 90}},
      {"loop points before the start", 100, 199, 50, 60, 1000, {100, 0, 0}},
      {"length stops at the smpl data", 100, 5000, 110, 190, 1000, {900, 10, 90}},
      {"start beyond the smpl data", 2000, 2100, 0, 0, 1000, {0, 0, 0}},
      {"largest header values", 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 1000, {1000, 2147483647, 2147483647}},
  };
  for (const Case& c : cases) {
    TSFSample h{};
    h.lwStart = c.start;
    h.lwEnd = c.end;
    h.LoopStart = c.loopStart;
    h.LoopEnd = c.loopEnd;
    const TSF2SampleGeometry g = SF2SampleGeometry(h, false, c.smplFrames);
    EXPECT_EQ(g.Length, c.expected.Length) << c.what;
    EXPECT_EQ(g.LoopStart, c.expected.LoopStart) << c.what;
    EXPECT_EQ(g.LoopEnd, c.expected.LoopEnd) << c.what;
  }
}

TEST(SF2SampleLinks, ForceMonoMarksBrokenStereoChains) {
  struct Case {
    const char* what;
    std::vector<uint8_t> flags;
    std::vector<int32_t> links;
    std::vector<uint8_t> expectedFlags;
    std::vector<int32_t> expectedLinks;
  };
  const uint8_t forced = stbMono | stbForceMono;
  const Case cases[] = {
      {"right and left linking to each other", {stbRight, stbLeft}, {1, 0}, {stbRight, stbLeft}, {1, 0}},
      {"left linking to itself", {stbLeft}, {0}, {forced}, {-1}},
      {"left without a link", {stbLeft}, {-1}, {forced}, {-1}},
      {"mono linking to left", {stbMono, stbLeft}, {1, 0}, {forced, forced}, {-1, -1}},
      {"plain mono", {stbMono}, {-1}, {stbMono}, {-1}},
      {"linked left keeps its linked flag", {stbLeft | stbLinked, stbRight}, {1, 0},
       {stbLeft | stbLinked, stbRight}, {1, 0}},
      // left->right->left2->right2 -> back: two of each, all kept
      {"four-sample ring", {stbLeft, stbRight, stbLeft, stbRight}, {1, 2, 3, 0},
       {stbLeft, stbRight, stbLeft, stbRight}, {1, 2, 3, 0}},
      // 0 -> 1 -> 2 -> 1 ...: from 0 the chain counts L,R,L,R,... over 9 samples (5 L, 4 R)
      {"cycle not through the start", {stbLeft, stbRight, stbLeft}, {1, 2, 1},
       {forced, stbRight, stbLeft}, {-1, 2, 1}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> flags = c.flags;
    std::vector<int32_t> links = c.links;
    CheckSF2SampleLinks(flags, links);
    EXPECT_EQ(flags, c.expectedFlags) << c.what;
    EXPECT_EQ(links, c.expectedLinks) << c.what;
  }
}

}  // namespace
}  // namespace kelvane
