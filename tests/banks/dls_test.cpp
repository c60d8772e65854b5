#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/dls_bank.h"
#include "banks/dls_builder.h"
#include "banks/dls_reader.h"
#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "banks/stream.h"
#include "synth/generators.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

using test::Bytes;
using test::DlsArticulation;
using test::DlsBank;
using test::DlsConnection;
using test::DlsInstrument;
using test::DlsRegion;
using test::DlsSampleInfo;
using test::DlsWave;

constexpr int32_t S16(double v) { return static_cast<int32_t>(v * 65536.0); }

DlsBank OneWaveBank() {
  DlsBank b;
  b.Waves.push_back(DlsWave::Pcm16(test::SineFrames(400, 100.0), 22050));
  return b;
}

DlsInstrument Instrument(uint32_t bank, uint32_t program, std::vector<DlsRegion> regions = {DlsRegion{}}) {
  DlsInstrument i;
  i.Bank = bank;
  i.Program = program;
  i.Regions = std::move(regions);
  return i;
}

bool OpenBytes(TDLS& dls, const Bytes& bytes) {
  TMemoryStream stream(bytes);
  return dls.Open(stream);
}

int32_t GeneratorOf(const TPresetLayer& layer, int32_t g) {
  for (const TPresetLayerGenerator* item : layer.Generators) {
    if (item->Generator() == g) return item->Value();
  }
  return GeneratorInfoTable[g].Default;
}

TEST(DLSConversions, UnitFunctions) {
  EXPECT_DOUBLE_EQ(DLSRelPitchToCents(S16(-1200)), -1200.0);
  // 440 Hz (6900 cents above 8.176 Hz in DLS absolute pitch) is SF2 6900.
  EXPECT_EQ(DLSAbsPitchToSF2AbsPitch(S16(6900)), 6900);
  EXPECT_EQ(DLSAbsPitchToSF2AbsPitch(S16(0)), 0);
  struct Case {
    int32_t In, Out;
  };
  for (const Case c : {Case{-2147483647 - 1, -32768}, Case{S16(100), 100}, Case{S16(-100), -100},
                       Case{32767, 0}, Case{32768, 1}, Case{-32768, 0}, Case{-98304, -1}}) {
    EXPECT_EQ(DLSAbsTimeToSF2AbsTime(c.In), c.Out) << c.In;
    EXPECT_EQ(DLSGainToSF2Centibles(c.In), c.Out) << c.In;
    EXPECT_EQ(DLSPercentToSF2TenthPercent(c.In), c.Out) << c.In;
  }
}

// Constant connections: one row per destination of the table, each checked
// through the generator it sets and that generator's conversion and clamp.
TEST(DLSConversions, ConstantConnectionsSetTheirGenerators) {
  struct Case {
    uint16_t Dest;
    int32_t Scale;
    int32_t Gen;
    int32_t Expected;
  };
  const Case cases[] = {
      {0x80, S16(300), gen::chorusEffectsSend, 300},
      {0x81, S16(1500), gen::reverbEffectsSend, 1000},
      {0x104, S16(-600), gen::freqModLFO, -599},  // the 8.176 Hz reference is 0.05 cents high
      {0x105, S16(-1200), gen::delayModLFO, -1200},
      {0x114, S16(-20000), gen::freqVibLFO, -16000},
      {0x115, S16(6000), gen::delayVibLFO, 5000},
      {0x206, -2147483647 - 1, gen::attackVolEnv, -12000},
      {0x207, S16(9000), gen::decayVolEnv, 8000},
      {0x209, S16(100), gen::releaseVolEnv, 100},
      {0x20B, S16(-500), gen::delayVolEnv, -500},
      {0x20C, S16(-300), gen::holdVolEnv, -300},
      {0x30A, S16(200), gen::attackModEnv, 200},
      {0x30B, S16(400), gen::decayModEnv, 400},
      {0x30D, S16(-7000), gen::releaseModEnv, -7000},
      {0x30F, S16(10), gen::delayModEnv, 10},
      {0x310, S16(20), gen::holdModEnv, 20},
      {0x500, S16(6900), gen::initialFilterFc, 6900},
      {0x500, S16(0), gen::initialFilterFc, 1500},
      {0x501, S16(120), gen::initialFilterQ, 120},
      {0x501, S16(2000), gen::initialFilterQ, 960},
      // Fixes: pan keeps its -50..50 % range, key number is in 1/65536 units.
      {4, S16(-500), gen::pan, -500},
      {4, S16(250), gen::pan, 250},
      {5, S16(64), gen::keynum, 64},
      // Sustain: a level in 0.1 % of the 96 dB volume scale / a decrease.
      {0x20A, S16(1000), gen::sustainVolEnv, 0},
      {0x20A, S16(500), gen::sustainVolEnv, 480},
      {0x20A, S16(0), gen::sustainVolEnv, 960},
      {0x30E, S16(1000), gen::sustainModEnv, 0},
      {0x30E, S16(250), gen::sustainModEnv, 750},
      // Gain: negative is quieter.
      {1, S16(-60), gen::initialAttenuation, 60},
      {1, S16(60), gen::initialAttenuation, 0},
      // A pitch offset in cents: semitones to coarseTune, the rest to fineTune.
      {3, S16(-250), gen::coarseTune, -2},
      {3, S16(-250), gen::fineTune, -50},
      {3, S16(1234), gen::coarseTune, 12},
      {3, S16(1234), gen::fineTune, 34},
  };
  for (const Case& c : cases) {
    TDLSConnections conns;
    conns.ConnectionBlocks.push_back({0, 0, c.Dest, 0, c.Scale});
    const TDLSLeafValues v = ConvertDLSRegion(TDLSRegion{}, conns);
    EXPECT_EQ(v.Generators[static_cast<size_t>(c.Gen)], c.Expected) << "dest 0x" << std::hex << c.Dest;
    EXPECT_TRUE(v.Modulators.empty());
  }
}

TEST(DLSConversions, TwoConstantConnectionsAddBeforeConversion) {
  TDLSConnections conns;
  // Each alone rounds to 0 time cents; together they make 1.
  conns.ConnectionBlocks.push_back({0, 0, 0x206, 0, 20000});
  conns.ConnectionBlocks.push_back({0, 0, 0x206, 0, 20000});
  EXPECT_EQ(ConvertDLSRegion(TDLSRegion{}, conns).Generators[gen::attackVolEnv], 1);
}

TEST(DLSConversions, SourceConnectionsSetDepthsAndKeyScaling) {
  constexpr uint16_t Bipolar = 0x4000;
  struct Case {
    uint16_t Source, Transform, Dest;
    int32_t Scale;
    int32_t Gen, Expected;
  };
  const Case cases[] = {
      {1, Bipolar, 1, S16(30), gen::modLfoToVolume, 30},
      {1, Bipolar, 3, S16(50), gen::modLfoToPitch, 50},
      {1, Bipolar, 0x500, S16(-3000), gen::modLfoToFilterFc, -3000},
      {5, 0, 3, S16(2000), gen::modEnvToPitch, 1200},
      {5, Bipolar, 0x500, S16(4000), gen::modEnvToFilterFc, 4000},
      {9, Bipolar, 3, S16(25), gen::vibLfoToPitch, 25},
      // Key tracking: 12800 cents over the key range is 100 cents a key.
      {3, 0, 3, S16(12800), gen::scaleTuning, 100},
      // Key to EG time: -scale/128 per key, the time at key 60 unchanged.
      {3, 0, 0x207, S16(-1280), gen::keynumToVolEnvDecay, 10},
      {3, 0, 0x207, S16(-1280), gen::decayVolEnv, -1200 - 600},
      {3, 0, 0x20C, S16(1280), gen::keynumToVolEnvHold, -10},
      {3, 0, 0x30B, S16(-1280), gen::keynumToModEnvDecay, 10},
      {3, 0, 0x310, S16(-1280), gen::keynumToModEnvHold, 10},
      // Not used: inverted source, output transform, bipolar key source to pitch.
      {1, Bipolar | 0x8000, 3, S16(50), gen::modLfoToPitch, 0},
      {1, Bipolar | 1, 3, S16(50), gen::modLfoToPitch, 0},
  };
  for (const Case& c : cases) {
    TDLSConnections conns;
    // A base time for the key-scaled envelopes: decay -1200 time cents.
    conns.ConnectionBlocks.push_back({0, 0, 0x207, 0, S16(-1200)});
    conns.ConnectionBlocks.push_back({c.Source, 0, c.Dest, c.Transform, c.Scale});
    const TDLSLeafValues v = ConvertDLSRegion(TDLSRegion{}, conns);
    EXPECT_EQ(v.Generators[static_cast<size_t>(c.Gen)], c.Expected)
        << "source " << c.Source << " dest 0x" << std::hex << c.Dest;
  }
}

TEST(DLSConversions, ControlledConnectionsBecomeModulators) {
  TDLSConnections conns;
  // Modulation wheel (CC1) and channel pressure scale the vibrato depth.
  conns.ConnectionBlocks.push_back({9, 0x81, 3, 0x4000, S16(80)});
  conns.ConnectionBlocks.push_back({9, 8, 3, 0x4000, S16(40)});
  // Velocity to EG1 attack (level 2), and an implied default that is skipped.
  conns.ConnectionBlocks.push_back({2, 0, 0x206, 0, S16(-600)});
  conns.ConnectionBlocks.push_back({2, 0, 1, 0x0400, S16(-960)});
  const TDLSLeafValues v = ConvertDLSRegion(TDLSRegion{}, conns);
  ASSERT_EQ(v.Modulators.size(), 3u);
  EXPECT_EQ(v.Modulators[0].Dest, gen::vibLfoToPitch);
  EXPECT_EQ(v.Modulators[0].Src1, 1);
  EXPECT_EQ(v.Modulators[0].Flags1, 16);
  EXPECT_DOUBLE_EQ(v.Modulators[0].Amount, 80.0);
  EXPECT_EQ(v.Modulators[1].Src1, msChannelPressure);
  EXPECT_EQ(v.Modulators[1].Flags1, 0);
  EXPECT_EQ(v.Modulators[2].Dest, gen::attackVolEnv);
  EXPECT_EQ(v.Modulators[2].Src1, msVelocity);
  EXPECT_DOUBLE_EQ(v.Modulators[2].Amount, -600.0);
}

TEST(DLSConversions, RegionAttenuationUsesTheWholeGain) {
  TDLSRegion region;
  region.Attenuation = S16(-120);  // low 16 bits are 0
  region.KeyGroup = 3;
  EXPECT_EQ(ConvertDLSRegion(region, {}).Generators[gen::initialAttenuation], 120);
  EXPECT_EQ(ConvertDLSRegion(region, {}).Generators[gen::exclusiveClass], 3);
  // A constant gain connection adds to the region's.
  TDLSConnections conns;
  conns.ConnectionBlocks.push_back({0, 0, 1, 0, S16(-30)});
  EXPECT_EQ(ConvertDLSRegion(region, conns).Generators[gen::initialAttenuation], 150);
  region.Attenuation = S16(-2000);
  EXPECT_EQ(ConvertDLSRegion(region, {}).Generators[gen::initialAttenuation], 1440);
}

TEST(DLSReader, InstrumentBanksAndPrograms) {
  DlsBank b = OneWaveBank();
  b.Instruments = {Instrument(0x80000000u, 5), Instrument(0x00000102u, 7), Instrument(0, 0, {})};
  TDLS dls;
  ASSERT_TRUE(OpenBytes(dls, b.Build())) << dls.Error;
  EXPECT_EQ(dls.CountInstruments, 3u);
  EXPECT_EQ(dls.BankInfo.BankName, "Test bank");
  EXPECT_EQ(dls.BankInfo.Engineer, "Eng");
  TDLSInst inst;
  ASSERT_TRUE(dls.ExtractInstrument(inst, 0));
  EXPECT_EQ(inst.Bank, 16384);
  EXPECT_EQ(inst.Preset, 5);
  ASSERT_EQ(inst.Layers.size(), 1u);
  EXPECT_EQ(inst.Layers[0].Sample.length, 400);
  EXPECT_EQ(inst.Layers[0].Sample.SampleRate, 22050);
  ASSERT_TRUE(dls.ExtractInstrument(inst, 1));
  EXPECT_EQ(inst.Bank, 130);
  EXPECT_EQ(inst.Preset, 7);
  EXPECT_FALSE(dls.ExtractInstrument(inst, 2));  // no regions
  EXPECT_FALSE(dls.ExtractInstrument(inst, 3));
}

TEST(DLSReader, RegionLoopsNeedAtLeastFourFrames) {
  struct Case {
    uint32_t Type, Length;
    int32_t LoopType, SustainType, End;
  };
  for (const Case c : {Case{0, 3, 0, 0, 0}, Case{0, 4, 1, 0, 14}, Case{1, 50, 0, 1, 60}}) {
    DlsBank b = OneWaveBank();
    DlsRegion r;
    r.SampleInfo = DlsSampleInfo{};
    r.SampleInfo->Loops.push_back({c.Type, 10, c.Length});
    b.Instruments = {Instrument(0, 0, {r})};
    TDLS dls;
    ASSERT_TRUE(OpenBytes(dls, b.Build()));
    TDLSInst inst;
    ASSERT_TRUE(dls.ExtractInstrument(inst, 0));
    const TWAVSample& s = inst.Layers[0].Sample;
    EXPECT_EQ(s.Loop.LoopType, c.LoopType) << c.Length;
    EXPECT_EQ(s.SustainLoop.LoopType, c.SustainType) << c.Length;
    EXPECT_EQ(c.LoopType ? s.Loop.LoopEnd : s.SustainLoop.LoopEnd, c.End) << c.Length;
  }
}

TEST(DLSReader, WaveSampleInfoStandsInForTheRegions) {
  DlsBank b = OneWaveBank();
  b.Waves[0].SampleInfo = DlsSampleInfo{72, -20, 0, {{0, 100, 200}}};
  DlsRegion own;
  own.SampleInfo = DlsSampleInfo{50, 5, 0, {}};
  b.Instruments = {Instrument(0, 0, {DlsRegion{}, own})};
  TDLS dls;
  ASSERT_TRUE(OpenBytes(dls, b.Build()));
  TDLSInst inst;
  ASSERT_TRUE(dls.ExtractInstrument(inst, 0));
  EXPECT_EQ(inst.Layers[0].Region.UnityNote, 72);
  EXPECT_EQ(inst.Layers[0].Region.FineTune, -20);
  EXPECT_EQ(inst.Layers[0].Sample.Loop.LoopStart, 100);
  EXPECT_EQ(inst.Layers[0].Sample.Loop.LoopEnd, 300);
  EXPECT_EQ(inst.Layers[1].Region.UnityNote, 50);
  EXPECT_EQ(inst.Layers[1].Sample.Loop.LoopType, 0);
}

// Level 1: a drum's articulation belongs to its region, a melodic
// instrument's to all regions. Level 2: by position, region first.
TEST(DLSReader, ArticulationScope) {
  const DlsArticulation attack1{false, {{0, 0, 0x206, 0, S16(-100)}}, {}};
  const DlsArticulation attack2{true, {{0, 0, 0x206, 0, S16(-200)}}, {}};
  DlsRegion withArt;
  withArt.Articulation = attack1;
  DlsBank b = OneWaveBank();
  b.Instruments = {Instrument(0x80000000u, 0, {withArt, DlsRegion{}}), Instrument(0, 1, {withArt, DlsRegion{}})};
  DlsRegion level2 = withArt;
  level2.Level2 = true;
  level2.Articulation = attack2;
  DlsInstrument mixed = Instrument(0x80000000u, 2, {level2, DlsRegion{}});
  mixed.Articulation = attack1;
  mixed.Articulation->Level2 = true;
  b.Instruments.push_back(mixed);
  TDLS dls;
  ASSERT_TRUE(OpenBytes(dls, b.Build()));
  EXPECT_TRUE(dls.Level2);
  auto attacks = [&](uint32_t ins) {
    TDLSInst inst;
    EXPECT_TRUE(dls.ExtractInstrument(inst, ins, false));
    std::vector<int32_t> out;
    for (const TDLSInstLayer& l : inst.Layers)
      out.push_back(ConvertDLSRegion(l.Region, l.Connection).Generators[gen::attackVolEnv]);
    return out;
  };
  EXPECT_EQ(attacks(0), (std::vector<int32_t>{-100, -12000}));
  EXPECT_EQ(attacks(1), (std::vector<int32_t>{-100, -100}));
  EXPECT_EQ(attacks(2), (std::vector<int32_t>{-200, -100}));
}

Bytes Condition(std::initializer_list<uint32_t> constants, uint16_t op) {
  Bytes c;
  for (uint32_t k : constants) {
    test::PutLE16(c, 0x10);
    test::PutLE32(c, k);
  }
  test::PutLE16(c, op);
  return c;
}

TEST(DLSReader, ConditionalChunks) {
  // Query "supports DLS level 2" (true here), and XG (false).
  const uint8_t dls2[16] = {0xe5, 0x99, 0x45, 0xf1, 0x89, 0x46, 0xd2, 0x11,
                            0xaf, 0xa6, 0x00, 0xaa, 0x00, 0x24, 0xd8, 0xb6};
  const uint8_t xg[16] = {0x26, 0x2f, 0x8f, 0x17, 0x64, 0xc3, 0xd1, 0x11,
                          0xa7, 0x60, 0x00, 0x00, 0xf8, 0x75, 0xac, 0x12};
  auto query = [](const uint8_t* id) {
    Bytes c;
    test::PutLE16(c, 0x11);
    c.insert(c.end(), id, id + 16);
    return c;
  };
  struct Case {
    Bytes Expression;
    bool Holds;
  };
  const Case cases[] = {{query(dls2), true}, {query(xg), false}, {Condition({2, 3}, 0x0A), true},
                        {Condition({2, 3}, 0x0C), false}, {Condition({7}, 0x0F), false},
                        {Bytes{0x01, 0x00}, false}};  // AND on an empty stack
  for (const Case& c : cases) {
    EXPECT_EQ(EvaluateDLSCondition(c.Expression.data(), static_cast<uint32_t>(c.Expression.size())), c.Holds);
    // A region whose condition fails is dropped.
    DlsRegion r;
    r.Level2 = true;
    r.Condition = c.Expression;
    DlsBank b = OneWaveBank();
    b.Instruments = {Instrument(0, 0, {r, DlsRegion{}})};
    TDLS dls;
    ASSERT_TRUE(OpenBytes(dls, b.Build()));
    EXPECT_EQ(dls.Instruments[0].CountRegions, c.Holds ? 2u : 1u);
  }
}

TEST(DLSReader, ContainersAndFormatTest) {
  DlsBank b = OneWaveBank();
  b.Instruments = {Instrument(0, 3)};
  const Bytes bank = b.Build();
  const Bytes midi = test::Chunk("data", Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'x'});
  Bytes rmidBody{'R', 'M', 'I', 'D'};
  rmidBody.insert(rmidBody.end(), midi.begin(), midi.end());
  rmidBody.insert(rmidBody.end(), bank.begin(), bank.end());
  Bytes rmid = test::Chunk("RIFF", {});
  rmid.resize(4);
  test::PutLE32(rmid, static_cast<uint32_t>(rmidBody.size()));
  rmid.insert(rmid.end(), rmidBody.begin(), rmidBody.end());

  // XDLS: a FORM header followed by the RIFF DLS form.
  Bytes xdls{'F', 'O', 'R', 'M'};
  const auto formSize = static_cast<uint32_t>(bank.size() + 4);
  for (int i = 3; i >= 0; --i) xdls.push_back(static_cast<uint8_t>(formSize >> (8 * i)));
  xdls.insert(xdls.end(), {'X', 'D', 'L', 'S'});
  xdls.insert(xdls.end(), bank.begin(), bank.end());

  // A DLS form of fewer than 256 bytes is no bank.
  const Bytes tiny = test::Riff("DLS ", {test::Chunk("colh", {0, 0, 0, 0})});

  struct Case {
    const char* Name;
    const Bytes* File;
    bool IsBank;
  };
  for (const Case c : {Case{"plain", &bank, true}, Case{"RMID", &rmid, true}, Case{"XDLS", &xdls, true},
                       Case{"tiny", &tiny, false}}) {
    TMemoryStream stream(*c.File);
    EXPECT_EQ(TDLS::IsBank(stream), c.IsBank) << c.Name;
    if (!c.IsBank) continue;
    TDLS dls;
    ASSERT_TRUE(dls.Open(stream)) << c.Name << ": " << dls.Error;
    TDLSInst inst;
    ASSERT_TRUE(dls.ExtractInstrument(inst, 0)) << c.Name;
    EXPECT_EQ(inst.Preset, 3);
    EXPECT_EQ(inst.Layers[0].Sample.length, 400);
  }
}

TEST(DLSReader, PoolWithoutTableIsIndexedInOrder) {
  DlsBank b = OneWaveBank();
  b.Waves.push_back(DlsWave::Pcm16(test::SineFrames(123, 50.0), 44100));
  b.PoolTable = false;
  DlsRegion second;
  second.Wave = 1;
  b.Instruments = {Instrument(0, 0, {second})};
  TDLS dls;
  ASSERT_TRUE(OpenBytes(dls, b.Build()));
  TDLSInst inst;
  ASSERT_TRUE(dls.ExtractInstrument(inst, 0));
  EXPECT_EQ(inst.Layers[0].Sample.length, 123);
  EXPECT_EQ(inst.Layers[0].Sample.SampleRate, 44100);
}

TEST(DLSAttach, InstrumentsBecomePresetLayersWithLoadedSamples) {
  DlsBank b = OneWaveBank();
  DlsRegion low;
  low.KeyHi = 59;
  low.VelLo = 10;
  low.SampleInfo = DlsSampleInfo{69, 0, S16(-60), {{0, 100, 200}}};
  DlsRegion high = low;
  high.KeyLo = 60;
  high.KeyHi = 127;
  DlsInstrument lead = Instrument(0x00000100u, 5, {low, high});
  lead.Name = "Lead";
  lead.Articulation = DlsArticulation{false, {{0, 0, 0x206, 0, S16(-1200)}}, {}};
  b.Instruments = {lead};
  auto synth = std::make_unique<TSynth>();
  TAttachedSoundFont* bank = synth->AttachSoundFont(std::make_unique<TMemoryStream>(b.Build()), false);
  ASSERT_NE(bank, nullptr);
  EXPECT_EQ(bank->SoundBankType, sbtDLS);
  EXPECT_EQ(bank->SoundBankInfo.BankName, "Test bank");
  EXPECT_EQ(synth->SoundBankInfo.Author, "Eng");
  ASSERT_EQ(synth->RootPresetLayer->Layers.Count(), 1);
  const TPresetLayer& preset = *synth->RootPresetLayer->Layers[0];
  EXPECT_EQ(preset.Name, "Lead");
  EXPECT_EQ(preset.Selectors[0]->fRange.Lo, 128);
  EXPECT_EQ(preset.Selectors[1]->fRange.Lo, 5);
  ASSERT_EQ(preset.Layers.Count(), 2);
  const TPresetLayer& leaf = *preset.Layers[1];
  EXPECT_EQ(leaf.Selectors[0]->fRange.Lo, 60);
  EXPECT_EQ(leaf.Selectors[1]->fRange.Lo, 10);
  EXPECT_EQ(GeneratorOf(leaf, gen::attackVolEnv), -1200);
  EXPECT_EQ(GeneratorOf(leaf, gen::initialAttenuation), 60);
  EXPECT_EQ(GeneratorOf(leaf, gen::sampleModes), 1);
  EXPECT_EQ(leaf.Modulators.Count(), static_cast<int64_t>(DefaultModulatorCount));
  // Both regions use the same wave: one decoded sample.
  ASSERT_EQ(synth->Samples.Count(), 1);
  const TSample& s = *synth->Samples[0];
  EXPECT_EQ(leaf.Sample, &s);
  EXPECT_TRUE(s.Loaded);
  // The sample is the wave as it stands; the region's own unity note and
  // loop are the leaf's generators.
  EXPECT_EQ(s.OriginalPitch, 60);
  EXPECT_EQ(s.LoopEnd, 0);
  EXPECT_EQ(GeneratorOf(leaf, gen::overridingRootKey), 69);
  EXPECT_EQ(GeneratorOf(leaf, gen::startloopAddrsOffset), 100);
  EXPECT_EQ(GeneratorOf(leaf, gen::endloopAddrsOffset), 300);
  EXPECT_FLOAT_EQ(s.Data[SampleGuardFrames + 25], 16000.0f / 32768.0f);
  EXPECT_FLOAT_EQ(s.Data[0], s.Data[SampleGuardFrames]);

  // Detaching with data removes the bank's samples and layers.
  synth->DetachSoundFont(bank, true);
  EXPECT_EQ(synth->Samples.Count(), 0);
  EXPECT_EQ(synth->RootPresetLayer->Layers.Count(), 0);
}

Bytes MidiSong() {
  Bytes track = {0x00, 0xC0, 0x00, 0x00, 0x90, 69, 100, 0x83, 0x60, 0x80, 69, 0, 0x00, 0xFF, 0x2F, 0x00};
  Bytes song = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'M', 'T', 'r', 'k', 0, 0, 0,
                static_cast<uint8_t>(track.size())};
  song.insert(song.end(), track.begin(), track.end());
  return song;
}

// An RMID file: the song's "data" chunk, then the bank.
Bytes Rmid(const Bytes& bank) {
  Bytes body = {'R', 'M', 'I', 'D'};
  const Bytes data = test::Chunk("data", MidiSong());
  body.insert(body.end(), data.begin(), data.end());
  body.insert(body.end(), bank.begin(), bank.end());
  Bytes file = {'R', 'I', 'F', 'F'};
  test::PutLE32(file, static_cast<uint32_t>(body.size()));
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

double PeakHz(const std::vector<double>& x, double rate, double lo, double hi) {
  double bestF = lo, best = -1.0;
  for (double f = lo; f <= hi; f += 0.25) {
    double re = 0.0, im = 0.0;
    for (size_t i = 0; i < x.size(); i++) {
      const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(x.size()));
      re += hann * x[i] * std::cos(2.0 * std::numbers::pi * f * static_cast<double>(i) / rate);
      im += hann * x[i] * std::sin(2.0 * std::numbers::pi * f * static_cast<double>(i) / rate);
    }
    if (std::hypot(re, im) > best) {
      best = std::hypot(re, im);
      bestF = f;
    }
  }
  return bestF;
}

// An RMID song with its own DLS bank plays with that bank, in tune: the
// unity note, the fine tune and a constant pitch connection all count.
TEST(DLSAttach, RmidWithItsBankPlaysInTune) {
  struct Case {
    uint16_t Unity;
    int16_t FineTune;
    int32_t PitchCents;  // constant pitch connection; 0 = none
    double Hz;           // of key 69 for a 440 Hz wave
  };
  for (const Case c : {Case{69, 0, 0, 440.0}, Case{69, 100, 0, 466.1638}, Case{57, 0, 0, 880.0},
                       Case{69, -50, -1150, 220.0}}) {
    DlsBank b;
    b.Waves.push_back(DlsWave::Pcm16(test::SineFrames(4410, 22050.0 / 440.0), 22050));
    DlsRegion r;
    r.SampleInfo = DlsSampleInfo{c.Unity, c.FineTune, 0, {{0, 0, 4410}}};
    DlsInstrument i = Instrument(0, 0, {r});
    if (c.PitchCents != 0) i.Articulation = DlsArticulation{false, {{0, 0, 3, 0, S16(c.PitchCents)}}, {}};
    b.Instruments = {i};
    auto synth = std::make_unique<TSynth>();
    TMemoryStream rmid(Rmid(b.Build()));
    ASSERT_TRUE(synth->ReadMIDI(rmid));
    ASSERT_EQ(synth->AttachedSoundFonts.Count(), 1);
    EXPECT_EQ(synth->AttachedSoundFonts[0]->SoundBankType, sbtDLS);
    const int32_t frames = synth->SampleRate / 2;
    std::vector<TBufferSample> out(static_cast<size_t>(frames));
    synth->LoadNeededSamples();
    synth->FillBuffer(out.data(), frames);
    std::vector<double> mono;
    for (size_t k = 4096; k < 4096 + 8192; k++) mono.push_back(out[k].Left + out[k].Right);
    const double hz = PeakHz(mono, synth->SampleRate, c.Hz * 0.95, c.Hz * 1.05);
    EXPECT_NEAR(1200.0 * std::log2(hz / c.Hz), 0.0, 3.0) << "unity " << c.Unity << " fine " << c.FineTune;
  }
}

// A DLS bank keeps no stream: disabling a program must not drop samples that
// could never be loaded again.
TEST(DLSAttach, DisabledProgramsKeepTheirSamples) {
  DlsBank b = OneWaveBank();
  b.Instruments = {Instrument(0, 0)};
  auto synth = std::make_unique<TSynth>();
  TAttachedSoundFont* bank = synth->AttachSoundFont(std::make_unique<TMemoryStream>(b.Build()), true);
  ASSERT_NE(bank, nullptr);
  TSample& sample = *synth->Samples[0];
  bank->ActiveAllBankPrograms = false;  // every program off
  synth->Recache();
  synth->LoadUnloadSamples();
  EXPECT_FALSE(sample.Active);
  bank->ActiveAllBankPrograms = true;
  synth->Recache();
  synth->LoadUnloadSamples();
  EXPECT_TRUE(sample.Active);
  EXPECT_TRUE(sample.Loaded);
  EXPECT_NE(sample.Data, nullptr);
}

// Broken files: each gets a clear refusal or loses only what is broken,
// and a refused file leaves the synthesizer unchanged.
TEST(DLSAttach, HostileFiles) {
  DlsBank good = OneWaveBank();
  good.Instruments = {Instrument(0, 0)};
  const Bytes base = good.Build();
  auto patched = [&](const char* id, size_t offset, uint32_t value) {
    Bytes b = base;
    const auto at = static_cast<size_t>(std::search(b.begin(), b.end(), id, id + 4) - b.begin()) + offset;
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    return b;
  };
  // Deep nesting: 40 nested lists around an instrument.
  Bytes inner = test::List("lrgn", {});
  for (int i = 0; i < 40; ++i) inner = test::List("lrgn", {inner});
  const Bytes deep = test::List("ins ", {test::Chunk("insh", Bytes(12, 0)), inner});
  Bytes colh;
  test::PutLE32(colh, 1);
  const Bytes deepFile = test::Riff("DLS ", {test::Chunk("colh", colh), test::List("lins", {deep}),
                                             test::Chunk("pad ", Bytes(300, 0))});
  struct Case {
    const char* Name;
    Bytes File;
    bool Opens;
    bool Attaches;
  };
  const Case cases[] = {
      {"RIFF size past the end", patched("RIFF", 4, 0x7FFFFFF0), false, false},
      {"millions of instruments", patched("colh", 8, 50000000), false, false},
      {"pool table past its chunk", patched("ptbl", 12, 1000000), false, false},
      {"wave link past the table", patched("wlnk", 16, 7), true, false},
      {"wave offset past the pool", patched("ptbl", 16, 0x10000000), true, false},
      {"data size past the wave", patched("data", 4, 0x7FFFFFFF), true, false},
      {"nesting", deepFile, false, false},
  };
  for (const Case& c : cases) {
    TDLS dls;
    TMemoryStream stream(c.File);
    EXPECT_EQ(dls.Open(stream), c.Opens) << c.Name;
    EXPECT_EQ(dls.Error.empty(), c.Opens) << c.Name;
    auto synth = std::make_unique<TSynth>();
    TStreamPtr s = std::make_unique<TMemoryStream>(c.File);
    TAttachedSoundFont* bank = AttachDLSBank(*synth, s);
    if (!c.Opens) {
      EXPECT_EQ(bank, nullptr) << c.Name;
      EXPECT_NE(s, nullptr) << c.Name;  // the stream goes back for SF2
      EXPECT_EQ(synth->AttachedSoundFonts.Count(), 0) << c.Name;
      EXPECT_EQ(synth->Samples.Count(), 0) << c.Name;
      continue;
    }
    ASSERT_NE(bank, nullptr) << c.Name;
    // A region without a playable wave gets no leaf.
    const int64_t leaves = synth->RootPresetLayer->Layers[0]->Layers.Count();
    EXPECT_EQ(leaves, c.Attaches ? 1 : 0) << c.Name;
  }
}

}  // namespace
}  // namespace kelvane
