#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "banks/stream.h"
#include "channel_test_support.h"
#include "synth/generators.h"
#include "synth/voice_envelope.h"

namespace kelvane {
namespace {

using test::TChannelFixture;

struct TReleaseCounter {
  static void Code(void* context, TSynth&, TVoice& voice) {
    auto* self = static_cast<TReleaseCounter*>(context);
    self->Count++;
    self->Last = &voice;
  }
  int32_t Count = 0;
  TVoice* Last = nullptr;
};

// One preset at bank 0 program 0 with a sustained sine zone; optionally a group limit.
TPresetLayer* SinglePreset(TChannelFixture& f, int32_t maxPolyphony = 0) {
  TPresetLayer* preset = f.AddPreset(0, 0);
  preset->MaxPolyphony = maxPolyphony;
  f.AddZone(preset, "z")->AddGenerator(gen::sampleModes, 1);  // loops, so notes sound until released
  f.Synth->Recache();
  return preset;
}

void Render(TSynth& synth, int32_t frames) {
  std::vector<TBufferSample> out(static_cast<size_t>(frames));
  synth.FillBuffer(out.data(), frames);
}

int32_t PoolIndex(const TVoice* voice) { return voice->Number - 1; }

// A group of 2 on channel 0: the third note replaces the group's oldest voice with
// algorithms 1 and 2 although free voices remain; algorithm 0 only switches to
// scoring, where a free voice still wins.
TEST(VoiceStealing, PolyphonyGroupOfTwoPerAlgorithm) {
  struct TCase {
    int32_t algorithm;
    size_t activeAfter;
    int32_t thirdNoteIndex;
  };
  for (const TCase c : {TCase{0, 3, 2}, TCase{1, 2, 0}, TCase{2, 2, 0}}) {
    TChannelFixture f;
    SinglePreset(f, 2);
    f.Synth->VoiceAllocationAlgorithm = c.algorithm;
    f.NoteOn(0, 60);
    Render(*f.Synth, 256);  // the first voice is older by some modulation steps
    f.NoteOn(0, 62);
    Render(*f.Synth, 64);
    f.NoteOn(0, 64);
    const auto voices = f.ActiveVoices();
    EXPECT_EQ(voices.size(), c.activeAfter) << c.algorithm;
    const auto third = std::find_if(voices.begin(), voices.end(), [](TVoice* v) { return v->Note == 64; });
    ASSERT_NE(third, voices.end());
    EXPECT_EQ(PoolIndex(*third), c.thirdNoteIndex) << c.algorithm;
  }
}

TEST(VoiceStealing, MonoModeReusesTheChannelVoice) {
  for (int32_t algorithm : {0, 1, 2}) {
    TChannelFixture f;
    SinglePreset(f);
    f.Synth->VoiceAllocationAlgorithm = algorithm;
    f.NoteOn(1, 50);  // another channel's voice stays
    f.Channel(0).PolyMode = false;
    f.NoteOn(0, 60);
    f.NoteOn(0, 62);
    f.NoteOn(0, 64);
    const auto voices = f.ActiveVoices();
    ASSERT_EQ(voices.size(), 2u) << algorithm;
    EXPECT_EQ(voices[0]->Note, 50);
    EXPECT_EQ(voices[1]->Note, 64);
    EXPECT_EQ(PoolIndex(voices[1]), 1) << algorithm;
  }
}

// A stolen voice leaves through Kill: the release callback runs once and its last
// frame moves into its channel's dry residue.
TEST(VoiceStealing, StolenVoiceNotifiesAndLeavesItsFrameAsResidue) {
  for (int32_t algorithm : {0, 1, 2}) {
    TChannelFixture f;
    SinglePreset(f);
    f.Synth->SetNumberOfVoices(2);
    f.Synth->VoiceAllocationAlgorithm = algorithm;
    f.NoteOn(3, 60);
    f.NoteOn(3, 62);
    Render(*f.Synth, 300);
    // Algorithm 0 takes the older note; 1 and 2 the later voice on equal LifeTime.
    TVoice* victim = f.Synth->Voices[algorithm == 0 ? 0 : 1];
    const TBufferSample frame = victim->Last;
    ASSERT_NE(frame.Left, 0.0f);
    const TBufferSample before = f.Channel(3).Last;
    TReleaseCounter counter;
    f.Synth->OnReleaseVoice = {&TReleaseCounter::Code, &counter};
    f.NoteOn(3, 64);
    EXPECT_EQ(counter.Count, 1) << algorithm;
    EXPECT_EQ(counter.Last, victim) << algorithm;
    EXPECT_EQ(victim->Note, 64) << algorithm;
    EXPECT_FLOAT_EQ(f.Channel(3).Last.Left, before.Left + frame.Left) << algorithm;
    EXPECT_FLOAT_EQ(f.Channel(3).Last.Right, before.Right + frame.Right) << algorithm;
    f.Synth->OnReleaseVoice = {};
  }
}

TEST(VoiceStealing, ExclusiveClassCutsOnlyTheSameChannel) {
  TChannelFixture f;
  TPresetLayer* preset = f.AddPreset(0, 0);
  TPresetLayer* zone = f.AddZone(preset, "hat");
  zone->AddGenerator(gen::exclusiveClass, 1);
  f.Synth->Recache();
  f.NoteOn(1, 46);
  f.NoteOn(0, 46);
  f.NoteOn(0, 42);
  const auto voices = f.ActiveVoices();
  ASSERT_EQ(voices.size(), 3u);
  // The cut voice's envelopes release; the voice's own key-off flag stays as it was.
  EXPECT_FALSE(voices[0]->VolEnvelope->IsKeyOff);  // channel 1
  EXPECT_TRUE(voices[1]->VolEnvelope->IsKeyOff);
  EXPECT_EQ(voices[1]->GetGen(gen::exclusiveClass), 0.0);
  EXPECT_EQ(voices[1]->GetGen(gen::releaseVolEnv), -200.0);
  EXPECT_FALSE(voices[2]->VolEnvelope->IsKeyOff);
  EXPECT_EQ(voices[2]->GetGen(gen::exclusiveClass), 1.0);
}

// Two zones of one note share the class and must not cut each other.
TEST(VoiceStealing, ExclusiveClassSparesTheSameNote) {
  TChannelFixture f;
  TPresetLayer* preset = f.AddPreset(0, 0);
  f.AddZone(preset, "a")->AddGenerator(gen::exclusiveClass, 3);
  f.AddZone(preset, "b")->AddGenerator(gen::exclusiveClass, 3);
  f.Synth->Recache();
  f.NoteOn(0, 60);
  const auto voices = f.ActiveVoices();
  ASSERT_EQ(voices.size(), 2u);
  EXPECT_FALSE(voices[0]->IsKeyOff);
  EXPECT_FALSE(voices[1]->IsKeyOff);
}

TEST(VoiceStealing, NoteAndVoiceCountersWrapToZeroAndReset) {
  TChannelFixture f;
  SinglePreset(f);
  f.Synth->NoteID = INT64_MAX;
  f.Synth->VoiceID = INT64_MAX;
  f.NoteOn(0, 60);
  TVoice* voice = f.ActiveVoices().at(0);
  EXPECT_EQ(voice->NoteID, 0);
  EXPECT_EQ(f.Channel(0).LastNoteID, 0);
  EXPECT_EQ(voice->VoiceID, INT64_MAX);
  EXPECT_EQ(f.Synth->VoiceID, 0);
  f.NoteOn(0, 62);
  EXPECT_EQ(f.Synth->NoteID, 1);
  EXPECT_EQ(f.Synth->VoiceID, 1);
  f.Synth->Reset();
  EXPECT_EQ(f.Synth->NoteID, 0);
  EXPECT_EQ(f.Synth->VoiceID, 0);
}

TEST(VoiceStealing, LifeTimeCountsModulationSteps) {
  TChannelFixture f;
  SinglePreset(f);
  f.NoteOn(0, 60);
  TVoice* voice = f.ActiveVoices().at(0);
  const int32_t steps = 5;
  Render(*f.Synth, steps * f.Synth->ModulationSamples);
  EXPECT_EQ(voice->LifeTime, steps);
}

// The drum kit of a real GM bank: the closed hi-hat (42) cuts the open one (46).
TEST(VoiceStealing, ClosedHiHatCutsOpenHiHatOnRealBank) {
  const char* path = "/usr/share/sounds/sf2/TimGM6mb.sf2";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " not installed";
  auto synth = std::make_unique<TSynth>();
  ASSERT_NE(synth->AttachSoundFont(std::make_unique<TFileStream>(path), true), nullptr);
  TChannel& drums = *synth->Channels[9];
  auto send = [&](uint8_t status, uint8_t key, uint8_t velocity) {
    TMIDIEvent event;
    event.Command = status;
    event.Data[0] = key;
    event.Data[1] = velocity;
    drums.ProcessEvent(event);
  };
  send(0x99, 46, 100);
  std::vector<TVoice*> open;
  for (int32_t i = 0; i < synth->NumberOfVoices; i++) {
    if (synth->Voices[static_cast<size_t>(i)]->Active) open.push_back(synth->Voices[static_cast<size_t>(i)]);
  }
  ASSERT_FALSE(open.empty());
  ASSERT_NE(open[0]->GetGen(gen::exclusiveClass), 0.0) << "the open hi-hat has no exclusive class";
  for (TVoice* voice : open) ASSERT_FALSE(voice->VolEnvelope->IsKeyOff);
  Render(*synth, 512);
  send(0x99, 42, 100);
  for (TVoice* voice : open) {
    EXPECT_TRUE(!voice->Active || voice->VolEnvelope->IsKeyOff) << "voice " << voice->Number;
    if (voice->Active) {
      EXPECT_EQ(voice->GetGen(gen::releaseVolEnv), -200.0);
    }
  }
}

// Largest frame-to-frame step of either output channel, and where it happens.
struct TJump {
  float Size = 0.0f;
  size_t Frame = 0;
};
TJump LargestJump(const std::vector<TBufferSample>& out) {
  TJump jump;
  for (size_t i = 1; i < out.size(); i++) {
    const float d = std::max(std::fabs(out[i].Left - out[i - 1].Left), std::fabs(out[i].Right - out[i - 1].Right));
    if (d > jump.Size) jump = {d, i};
  }
  return jump;
}

struct TPressureRender {
  std::vector<TBufferSample> Output;
  int32_t MaxActive = 0;
  int32_t Steals = 0;
};

// 64 overlapping notes on 4 channels, one every 441 frames, each held 8820 frames;
// rendered in blocks of 441 frames so the active count is sampled often.
TPressureRender RenderPressure(int32_t voices, int32_t algorithm) {
  TChannelFixture f;
  SinglePreset(f);
  f.Synth->SetNumberOfVoices(voices);
  f.Synth->VoiceAllocationAlgorithm = algorithm;
  TReleaseCounter steals;
  for (int32_t n = 0; n < 64; n++) {
    const int64_t on = int64_t{n} * 441;
    const uint8_t channel = static_cast<uint8_t>(n % 4);
    const uint8_t key = static_cast<uint8_t>(48 + (n * 7) % 36);
    TMIDIEvent event;
    event.Position = on;
    event.Command = static_cast<uint8_t>(0x90 | channel);
    event.Data[0] = key;
    event.Data[1] = static_cast<uint8_t>(60 + n % 60);
    f.Synth->AddEvent(event);
    event.Position = on + 8820;
    event.Command = static_cast<uint8_t>(0x80 | channel);
    f.Synth->AddEvent(event);
  }
  TPressureRender result;
  const int32_t block = 441;
  const int32_t blocks = 64 + 20 + 60;
  result.Output.resize(static_cast<size_t>(block * blocks));
  for (int32_t b = 0; b < blocks; b++) {
    f.Synth->FillBuffer(result.Output.data() + static_cast<size_t>(b) * block, block);
    result.MaxActive = std::max(result.MaxActive, static_cast<int32_t>(f.ActiveVoices().size()));
    if (b == 0) f.Synth->OnReleaseVoice = {&TReleaseCounter::Code, &steals};
  }
  f.Synth->OnReleaseVoice = {};
  result.Steals = steals.Count;
  return result;
}

// More notes than voices: the pool is never exceeded, and the stolen voices' residues
// decay instead of stepping, so no jump is larger than in the same song on a pool big
// enough to steal nothing.
TEST(VoiceStealing, PressureRenderStaysClickFree) {
  const TPressureRender reference = RenderPressure(256, 0);
  ASSERT_EQ(reference.Steals, 0);
  const TJump bound = LargestJump(reference.Output);
  ASSERT_GT(bound.Size, 0.0f);
  for (int32_t algorithm : {0, 1, 2}) {
    const TPressureRender small = RenderPressure(16, algorithm);
    EXPECT_EQ(small.MaxActive, 16) << algorithm;
    EXPECT_GT(small.Steals, 0) << algorithm;
    const TJump jump = LargestJump(small.Output);
    EXPECT_LE(jump.Size, bound.Size * 1.05f) << "algorithm " << algorithm << " frame " << jump.Frame;
  }
}

}  // namespace
}  // namespace kelvane
