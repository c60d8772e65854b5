#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "banks/sf2_builder.h"
#include "banks/sfx_format.h"
#include "banks/stream.h"
#include "synth/chorus.h"
#include "synth/reverb.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

std::vector<uint8_t> VarUInt(uint64_t v) {
  std::vector<uint8_t> out;
  AppendVarUInt(out, v);
  return out;
}

TEST(SFXFormat, VarUIntEncodingsAndLimits) {
  struct Case {
    uint64_t value;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {{0, {0x00}},
                        {127, {0x7F}},
                        {128, {0x81, 0x00}},
                        {300, {0x82, 0x2C}},
                        {0xFFFFFFFFu, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
                        {~uint64_t{0}, {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}}};
  for (const Case& c : cases) {
    EXPECT_EQ(VarUInt(c.value), c.bytes) << c.value;
    TSFXCursor cursor(c.bytes.data(), static_cast<int64_t>(c.bytes.size()));
    uint64_t back = 0;
    ASSERT_TRUE(cursor.ReadVarUInt(back));
    EXPECT_EQ(back, c.value);
    EXPECT_EQ(cursor.Remaining(), 0);
  }
  // A 32-bit reader keeps the low 32 bits: -1 comes back as -1.
  const std::vector<uint8_t> minusOne = VarUInt(static_cast<uint32_t>(-1));
  TSFXCursor cursor(minusOne.data(), 5);
  uint32_t v = 0;
  ASSERT_TRUE(cursor.ReadVarUInt32(v));
  EXPECT_EQ(static_cast<int32_t>(v), -1);
  // A value whose last byte is missing is a short read.
  const uint8_t unfinished[] = {0x81, 0x80};
  TSFXCursor shortCursor(unfinished, 2);
  uint64_t ignored;
  EXPECT_FALSE(shortCursor.ReadVarUInt(ignored));
}

// A whole file around a body of fields; lengthDelta falsifies the stored length.
std::vector<uint8_t> SFXFile(const TSFXFieldWriter& body, int64_t lengthDelta = 0,
                             const char* magic = "Sound Font eXtended") {
  std::vector<uint8_t> file(magic, magic + SFXMagicSize);
  const auto length = static_cast<uint64_t>(static_cast<int64_t>(body.Bytes.size()) + lengthDelta);
  for (int i = 0; i < 8; ++i) file.push_back(static_cast<uint8_t>(length >> (8 * i)));
  file.insert(file.end(), body.Bytes.begin(), body.Bytes.end());
  return file;
}

TAttachedSoundFont* Load(TSynth& synth, const std::vector<uint8_t>& file, bool delay = false) {
  TStreamPtr stream = std::make_unique<TMemoryStream>(file);
  return synth.LoadSoundFontExtended(stream, delay, false);
}

TSFXFieldWriter SampleField(int32_t index, const std::vector<float>& frames, int32_t link = -1) {
  TSFXFieldWriter s;
  s.Int("index", index);
  s.String("name", "s" + std::to_string(index));
  s.Int("length", static_cast<int32_t>(frames.size()));
  s.Int("sara", 44100);
  s.Int("lisa", link);
  if (!frames.empty()) s.Raw("data", frames.data(), 4 * frames.size());  // little-endian host
  TSFXFieldWriter f;
  f.Record("sample", s);
  return f;
}

void Append(TSFXFieldWriter& to, const TSFXFieldWriter& fields) {
  to.Bytes.insert(to.Bytes.end(), fields.Bytes.begin(), fields.Bytes.end());
}

TEST(SFXReader, FieldsSkipsAndDefaults) {
  TSFXFieldWriter body;
  body.String("bankname", "Tiny");
  body.String("someday", "a field this reader does not know");
  // An integer whose payload is longer than its VarUInt: the rest is skipped.
  body.Raw("generalmidimode", std::vector<uint8_t>{0x02, 0x55, 0x55});
  body.Int("romverhi", 0x00070003);
  body.Int("romverlo", 9);
  Append(body, SampleField(0, {0.5f, -0.25f}));
  {
    TSFXFieldWriter noIndex;
    noIndex.String("name", "orphan");
    body.Record("sample", noIndex);
  }
  TSFXFieldWriter root;
  root.String("name", "Root");
  {
    TSFXFieldWriter a;
    a.String("name", "no samp");
    TSFXFieldWriter g;  // a generator record without "gen"
    g.Int("val", 5);
    a.Record("gen", g);
    root.Record("layer", a);
  }
  {
    TSFXFieldWriter b;
    b.String("name", "samp -1");
    b.Int("samp", -1);
    TSFXFieldWriter env;  // no loop fields: no loop
    env.Bool("acti", true);
    env.Int("cont", 2);
    env.Raw("points", std::vector<uint8_t>{1, 2, 3, 4, 5, 6});
    b.Record("voen", env);
    root.Record("layer", b);
  }
  {
    TSFXFieldWriter c;
    c.String("name", "samp 0");
    c.Int("samp", 0);
    TSFXFieldWriter cue;
    cue.Int("cont", 3);
    cue.Raw("points", std::vector<uint8_t>{0, 0x81, 0x00, 0x7F});
    c.Record("cue", cue);
    root.Record("layer", c);
  }
  body.Record("layer", root);
  body.Raw("end", nullptr, 0);
  body.String("bankname", "after the end");

  TSynth synth;
  TAttachedSoundFont* bank = Load(synth, SFXFile(body));
  ASSERT_NE(bank, nullptr);
  EXPECT_EQ(bank->SoundBankType, sbtSFX);
  EXPECT_EQ(bank->SoundBankInfo.BankName, "Tiny");
  EXPECT_EQ(bank->SoundBankInfo.ROMVersion.Major, 3);
  EXPECT_EQ(bank->SoundBankInfo.ROMVersion.MInor, 9);
  EXPECT_EQ(synth.GeneralMIDIMode, 2);
  EXPECT_EQ(bank->Stream, nullptr);  // loaded at once

  ASSERT_EQ(synth.Samples.Count(), 2);
  const TSample* s0 = synth.Samples[0];
  ASSERT_TRUE(s0->Loaded);
  EXPECT_EQ(s0->Data[SampleGuardFrames], 0.5f);
  EXPECT_EQ(s0->Data[SampleGuardFrames + 1], -0.25f);
  EXPECT_EQ(synth.Samples[1]->Name, "orphan");

  ASSERT_EQ(synth.RootPresetLayer->Layers.Count(), 1);
  const TPresetLayer* saved = synth.RootPresetLayer->Layers[0];
  EXPECT_EQ(saved->Name, "Root");
  ASSERT_EQ(saved->Layers.Count(), 3);
  const TPresetLayer* a = saved->Layers[0];
  EXPECT_EQ(a->Sample, nullptr);
  ASSERT_EQ(a->Generators.Count(), 1);
  EXPECT_EQ(a->Generators[0]->Generator(), -2);
  EXPECT_EQ(a->Generators[0]->Value(), 5);
  const TPresetLayer* b = saved->Layers[1];
  EXPECT_EQ(b->Sample, nullptr);
  ASSERT_EQ(b->VolEnvelope.Points.size(), 2u);
  EXPECT_EQ(b->VolEnvelope.Points[1].Value, 6);
  EXPECT_EQ(b->VolEnvelope.LoopStart, -1);
  EXPECT_EQ(b->VolEnvelope.SustainLoopEnd, -1);
  const TPresetLayer* c = saved->Layers[2];
  EXPECT_EQ(c->Sample, s0);
  EXPECT_EQ(c->CuePoints.Points, (std::vector<int32_t>{0, 128, 127}));
  EXPECT_EQ(c->AttachedSoundFont, bank);
}

TEST(SFXReader, DelayedSamplesLoadThroughTheirOffset) {
  TSFXFieldWriter body;
  const std::vector<float> frames = {0.125f, 0.25f, 0.375f};
  body.Bytes = SampleField(0, frames, 1).Bytes;
  Append(body, SampleField(1, {1.0f}, 0));
  body.Raw("end", nullptr, 0);
  TSynth synth;
  TAttachedSoundFont* bank = Load(synth, SFXFile(body), true);
  ASSERT_NE(bank, nullptr);
  ASSERT_NE(bank->Stream, nullptr);
  TSample* s = synth.Samples[0];
  EXPECT_FALSE(s->Loaded);
  EXPECT_GT(s->SFXOffset, 0);
  EXPECT_EQ(s->LinkSample, synth.Samples[1]);
  EXPECT_EQ(synth.Samples[1]->LinkSample, s);
  s->Load(false);
  ASSERT_TRUE(s->Loaded);
  EXPECT_EQ(0, std::memcmp(&s->Data[SampleGuardFrames], frames.data(), 12));
  EXPECT_TRUE(synth.Samples[1]->Loaded);  // the linked sample came along
}

TEST(SFXReader, SampleNumbersOutOfOrderMoveLaterEntries) {
  TSFXFieldWriter body;
  Append(body, SampleField(1, {0.5f}));  // table: -, s1
  Append(body, SampleField(0, {0.25f}));  // table: s0, -, s1
  TSFXFieldWriter root, leaf;
  leaf.Int("samp", 2);
  root.Record("layer", leaf);
  body.Record("layer", root);
  TSynth synth;
  ASSERT_NE(Load(synth, SFXFile(body)), nullptr);
  ASSERT_EQ(synth.Samples.Count(), 2);
  EXPECT_EQ(synth.RootPresetLayer->Layers[0]->Layers[0]->Sample, synth.Samples[0]);
  EXPECT_EQ(synth.Samples[0]->Name, "s1");
}

// What the synthesizer shows from outside; a failed read must leave it equal.
struct TSnapshot {
  int64_t banks, samples, layers;
  std::vector<std::string> presets;
  std::string bankName;
  int32_t gmMode;
  double reverbRoom;
  bool operator==(const TSnapshot&) const = default;
};
TSnapshot Snapshot(TSynth& synth) {
  TSnapshot r{synth.AttachedSoundFonts.Count(), synth.Samples.Count(), 0, {}, synth.SoundBankInfo.BankName,
              synth.GeneralMIDIMode, synth.Reverb->Settings.RoomSize};
  std::vector<const TPresetLayer*> todo{synth.RootPresetLayer.get()};
  while (!todo.empty()) {
    const TPresetLayer* l = todo.back();
    todo.pop_back();
    ++r.layers;
    for (const TPresetLayer* c : l->Layers) todo.push_back(c);
  }
  for (const TPresetInfo& p : synth.GetPresetInfos(nullptr, 0, 16384, 0, 127))
    r.presets.push_back(std::to_string(p.Bank) + ":" + std::to_string(p.Program_) + " " + p.Name);
  return r;
}

test::Sf2Builder SmallBank() {
  test::Sf2Builder b;
  b.info("INAM", "Small");
  b.sample("low", {100, 200, 300, 400, 500, 600}).loop(1, 5).pitch(48, 7);
  b.sample("high", {-32768, 32767, 5}).rate(22050);
  test::Sf2Instrument& inst = b.instrument("Keys");
  inst.zone().keyRange(0, 59).sampleId(0);
  inst.zone().keyRange(60, 127).gen(gen::pan, 250).sampleId(1);
  b.preset("Piano", 0, 5).zone().instrument(0);
  b.preset("Kit", 128, 3).zone().gen(gen::initialAttenuation, 30).instrument(0);
  return b;
}

std::vector<uint8_t> Saved(TSynth& synth) {
  std::ostringstream out;
  EXPECT_TRUE(synth.SaveSoundFontExtended(out));
  const std::string s = out.str();
  return std::vector<uint8_t>(s.begin(), s.end());
}

TEST(SFXReader, AFailedReadChangesNothing) {
  TSynth source;
  ASSERT_NE(source.AttachSoundFont(SmallBank().stream(), false), nullptr);
  source.GeneralMIDIMode = 2;
  source.Reverb->Settings.RoomSize = 0.5;
  const std::vector<uint8_t> good = Saved(source);

  // The last sample record's data cut short, the body length still claiming it.
  std::vector<uint8_t> badLink;
  {
    TSFXFieldWriter body;
    body.String("bankname", "Broken");
    body.Int("generalmidimode", 1);
    Append(body, SampleField(0, {0.5f}, 7));
    TSFXFieldWriter layer;
    layer.String("name", "Root");
    body.Record("layer", layer);
    badLink = SFXFile(body);
  }
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
  };
  std::vector<uint8_t> truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
  // A truncated file whose stored length is patched to fit: fields then end mid-record.
  std::vector<uint8_t> cut = truncated;
  const uint64_t length = cut.size() - SFXHeaderSize;
  for (int i = 0; i < 8; ++i) cut[SFXMagicSize + static_cast<size_t>(i)] = static_cast<uint8_t>(length >> (8 * i));
  const Case cases[] = {{"truncated", truncated}, {"cut mid-record", cut}, {"link past the table", badLink}};

  for (const bool delay : {false, true}) {
    for (const Case& c : cases) {
      TSynth synth;
      ASSERT_NE(synth.AttachSoundFont(SmallBank().stream(), delay), nullptr);
      const TSnapshot before = Snapshot(synth);
      EXPECT_EQ(synth.AttachSoundFont(std::make_unique<TMemoryStream>(c.file), delay), nullptr) << c.what;
      synth.Recache();
      EXPECT_EQ(Snapshot(synth), before) << c.what;
      TStreamPtr stream = std::make_unique<TMemoryStream>(c.file);
      EXPECT_EQ(synth.LoadSoundFontExtended(stream, delay, true), nullptr) << c.what;
      EXPECT_NE(stream, nullptr) << "an attach keeps its stream to try other formats";
      EXPECT_EQ(Snapshot(synth), before) << c.what;
    }
  }
}

TEST(SFXReader, HostileFilesAreRefused) {
  auto withBody = [](auto fill) {
    TSFXFieldWriter body;
    fill(body);
    return SFXFile(body);
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
  };
  TSFXFieldWriter one;
  one.Int("generalmidimode", 1);
  std::vector<Case> cases = {
      {"empty body", SFXFile(TSFXFieldWriter{})},
      {"magic in other case", SFXFile(one, 0, "Sound Font extended")},
      {"body length past the file", SFXFile(one, 1)},
      {"negative body length", SFXFile(one, -1000)},
      {"payload length past the body", withBody([](TSFXFieldWriter& b) {
         b.Bytes = {4, 'n', 'a', 'm', 'e'};
         AppendVarUInt(b.Bytes, 1u << 30);
       })},
      {"name length past the body", withBody([](TSFXFieldWriter& b) { AppendVarUInt(b.Bytes, 1u << 31); })},
      {"millions of envelope points", withBody([](TSFXFieldWriter& b) {
         TSFXFieldWriter env, layer;
         env.Int("cont", 50'000'000);
         env.Raw("points", std::vector<uint8_t>(30, 0));
         layer.Record("voen", env);
         b.Record("layer", layer);
       })},
      {"millions of cue points", withBody([](TSFXFieldWriter& b) {
         TSFXFieldWriter cue, layer;
         cue.Int("cont", -1);
         cue.Raw("points", std::vector<uint8_t>(30, 0));
         layer.Record("cue", cue);
         b.Record("layer", layer);
       })},
      {"sample index far past the file", withBody([](TSFXFieldWriter& b) { b = SampleField(0x7FFFFFF0, {}); })},
      {"sample length past the file", withBody([](TSFXFieldWriter& b) {
         TSFXFieldWriter s;
         s.Int("index", 0);
         s.Int("length", 0x7FFFFFFF);
         s.Raw("data", std::vector<uint8_t>(8, 0));
         b.Record("sample", s);
       })},
      {"sample length past its data, within the file", withBody([](TSFXFieldWriter& b) {
         TSFXFieldWriter s;
         s.Int("index", 0);
         s.Raw("data", std::vector<uint8_t>(4, 0));
         s.Int("length", 900);
         b.Record("sample", s);
         b.String("comment", std::string(4000, 'x'));
       })},
      {"layer sample past the table", withBody([](TSFXFieldWriter& b) {
         TSFXFieldWriter layer;
         layer.Int("samp", 3);
         b.Record("layer", layer);
       })},
  };
  {
    // Layers nested far deeper than any bank.
    TSFXFieldWriter layer;
    for (int i = 0; i < 5000; ++i) {
      TSFXFieldWriter outer;
      outer.Record("layer", layer);
      layer = std::move(outer);
    }
    cases.push_back({"endless nesting", SFXFile(layer)});
  }
  {
    // Every sample inserted in front of all earlier ones: quadratic work.
    TSFXFieldWriter body;
    for (int i = 0; i < 2000; ++i) Append(body, SampleField(0, {}));
    cases.push_back({"samples in falling order", SFXFile(body)});
  }
  for (const Case& c : cases) {
    TSynth synth;
    const TSnapshot before = Snapshot(synth);
    EXPECT_EQ(Load(synth, c.file), nullptr) << c.what;
    EXPECT_EQ(Snapshot(synth), before) << c.what;
  }
}

TEST(SFXRoundTrip, SaveThenLoadKeepsTheModel) {
  TSynth source;
  ASSERT_NE(source.AttachSoundFont(SmallBank().stream(), true), nullptr);  // the writer loads what it needs
  source.GeneralMIDIMode = 1;
  source.VoiceAllocationAlgorithm = 2;
  source.EMU10K1Mode = false;
  source.Chorus->Settings = {true, 1, 3.5, 0.25, 0.125, 0.5, 1.5, 7};
  source.Reverb->Settings = {true, 0.02, 0.7, 0.3, 1.2, 0.9, 1.1, 0.05};
  source.SoundBankInfo.Description = "round trip";
  TPresetLayer* extra = new TPresetLayer(&source, source.RootPresetLayer.get());
  source.RootPresetLayer->Layers.Add(extra);
  extra->Name = "extra";
  extra->MaxPolyphony = 4;
  extra->VolEnvelope = {true, {{1, 100, -5}, {2, 200, 7}}, 0, 1, -1, -1};
  extra->CuePoints = {true, {10, 20}, 60};
  extra->Crossfades.push_back({1, 2, 3, 4, 1, 6, 7, 8, 9, 10});
  extra->AddModulator(0x8001, 2, 3, 4, 5, -0.5, 7, 8);
  extra->Sample = source.Samples[1];
  const std::vector<uint8_t> file = Saved(source);

  TSynth loaded;
  TAttachedSoundFont* bank = Load(loaded, file);
  ASSERT_NE(bank, nullptr);
  EXPECT_EQ(loaded.GeneralMIDIMode, 1);
  EXPECT_EQ(loaded.VoiceAllocationAlgorithm, 2);
  EXPECT_FALSE(loaded.EMU10K1Mode);
  EXPECT_EQ(loaded.Chorus->Settings.DepthMS, 3.5);
  EXPECT_EQ(loaded.Chorus->Settings.NumberBlocks, 7);
  EXPECT_TRUE(loaded.Reverb->Settings.Force);
  EXPECT_EQ(loaded.Reverb->Settings.DelayTime, 0.05);
  EXPECT_EQ(bank->SoundBankInfo.Description, "round trip");
  EXPECT_EQ(bank->SoundBankInfo.BankName, source.SoundBankInfo.BankName);

  ASSERT_EQ(loaded.Samples.Count(), source.Samples.Count());
  for (int64_t i = 0; i < source.Samples.Count(); ++i) {
    const TSample& a = *source.Samples[i];
    const TSample& b = *loaded.Samples[i];
    EXPECT_EQ(a.Name, b.Name);
    EXPECT_EQ(a.Length, b.Length);
    EXPECT_EQ(a.LoopStart, b.LoopStart);
    EXPECT_EQ(a.LoopEnd, b.LoopEnd);
    EXPECT_EQ(a.OriginalPitch, b.OriginalPitch);
    EXPECT_EQ(a.PitchCorrection, b.PitchCorrection);
    EXPECT_EQ(a.SampleRate, b.SampleRate);
    ASSERT_EQ(a.Loaded, b.Loaded) << a.Name;
    if (a.Loaded && a.Length > 0) {
      EXPECT_EQ(0, std::memcmp(&a.Data[SampleGuardFrames], &b.Data[SampleGuardFrames], 4 * static_cast<size_t>(a.Length)));
    }
  }

  // One more level: the saved root.
  ASSERT_EQ(loaded.RootPresetLayer->Layers.Count(), 1);
  const TPresetLayer& savedRoot = *loaded.RootPresetLayer->Layers[0];
  EXPECT_EQ(savedRoot.Name, "Root");
  ASSERT_EQ(savedRoot.Layers.Count(), source.RootPresetLayer->Layers.Count());
  const TPresetLayer& e = *savedRoot.Layers[savedRoot.Layers.Count() - 1];
  EXPECT_EQ(e.Name, "extra");
  EXPECT_EQ(e.MaxPolyphony, 4);
  EXPECT_EQ(e.Sample, loaded.Samples[1]);
  ASSERT_EQ(e.VolEnvelope.Points.size(), 2u);
  EXPECT_EQ(e.VolEnvelope.Points[0].Value, -5);
  EXPECT_EQ(e.VolEnvelope.LoopEnd, 1);
  EXPECT_EQ(e.VolEnvelope.SustainLoopStart, -1);
  EXPECT_EQ(e.ModEnvelope.LoopStart, 0);  // an inactive default keeps its indices
  EXPECT_EQ(e.CuePoints.Points, (std::vector<int32_t>{10, 20}));
  EXPECT_EQ(e.CuePoints.RootKey, 60);
  ASSERT_EQ(e.Crossfades.size(), 1u);
  EXPECT_EQ(e.Crossfades[0].OutEnd, 10);
  EXPECT_EQ(e.Crossfades[0].Invert, 0);  // not stored
  ASSERT_EQ(e.Modulators.Count(), 1);
  EXPECT_EQ(e.Modulators[0]->Dest(), 0x8001);
  EXPECT_EQ(e.Modulators[0]->Amount(), -0.5);
  EXPECT_EQ(e.Modulators[0]->IDGroup(), 8);
  // A leaf's default set reads back as the records it was, pointing at the
  // shared table again.
  const TPresetLayer& written = *source.RootPresetLayer->Layers[0]->Layers[0];
  const TPresetLayer& read = *savedRoot.Layers[0]->Layers[0];
  ASSERT_TRUE(written.Modulators.SharesArray());
  EXPECT_TRUE(read.Modulators.SharesArray());
  ASSERT_EQ(read.Modulators.Count(), written.Modulators.Count());
  for (int64_t i = 0; i < read.Modulators.Count(); ++i) {
    const TPresetLayerModulator &a = *written.Modulators[i], &r = *read.Modulators[i];
    EXPECT_EQ(std::tuple(a.Dest(), a.Src1(), a.Flags1(), a.Src2(), a.Flags2(), a.Amount(), a.ID(), a.IDGroup()),
              std::tuple(r.Dest(), r.Src1(), r.Flags1(), r.Src2(), r.Flags2(), r.Amount(), r.ID(), r.IDGroup()))
        << i;
  }

  auto presets = [](TSynth& s) {
    std::vector<std::string> r;
    for (const TPresetInfo& p : s.GetPresetInfos(nullptr, 0, 16384, 0, 127))
      r.push_back(std::to_string(p.Bank) + ":" + std::to_string(p.Program_));
    return r;
  };
  EXPECT_EQ(presets(loaded), presets(source));
}

}  // namespace
}  // namespace kelvane
