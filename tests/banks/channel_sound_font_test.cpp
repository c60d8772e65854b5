#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/peak_frequency.h"
#include "banks/sample.h"
#include "banks/sf2_builder.h"
#include "synth/channel.h"
#include "synth/synth.h"
#include "synth/voice.h"

namespace kelvane {
namespace {

using test::Sf2Builder;

std::vector<int16_t> Sine(int32_t frames, double period) {
  std::vector<int16_t> data(static_cast<size_t>(frames));
  for (int32_t i = 0; i < frames; i++) {
    data[static_cast<size_t>(i)] = static_cast<int16_t>(16000.0 * std::sin(2.0 * std::numbers::pi * i / period));
  }
  return data;
}

TMIDIEvent Event(uint8_t status, uint8_t data1, uint8_t data2 = 0) {
  TMIDIEvent event;
  event.Command = status;
  event.Data[0] = data1;
  event.Data[1] = data2;
  return event;
}

std::vector<TVoice*> ActiveVoices(const TSynth& synth) {
  std::vector<TVoice*> voices;
  for (int32_t i = 0; i < synth.NumberOfVoices; i++) {
    if (synth.Voices[static_cast<size_t>(i)]->Active) voices.push_back(synth.Voices[static_cast<size_t>(i)]);
  }
  return voices;
}

// A stereo pair (left sample 0 linked to right sample 1) played by one zone.
Sf2Builder StereoBank() {
  Sf2Builder b;
  b.sample("L", Sine(400, 100.0)).loop(100, 300).pitch(69).type(4, 1);
  b.sample("R", Sine(400, 100.0)).loop(100, 300).pitch(69).type(2, 0);
  b.instrument("Pair").zone().gen(gen::sampleModes, 1).sampleId(0);
  b.preset("Pair", 0, 0).zone().instrument(0);
  return b;
}

TEST(ChannelSoundFont, StereoPairLoadsAndStartsBothSamples) {
  auto synth = std::make_unique<TSynth>();
  ASSERT_NE(synth->AttachSoundFont(StereoBank().stream(), true), nullptr);
  TSample* left = synth->Samples[0];
  TSample* right = synth->Samples[1];
  ASSERT_EQ(left->LinkSample, right);
  ASSERT_FALSE(left->Loaded);
  ASSERT_FALSE(right->Loaded);

  synth->Channels[0]->ProcessEvent(Event(0x90, 69, 100));
  EXPECT_TRUE(left->Loaded);
  EXPECT_TRUE(right->Loaded);
  const auto voices = ActiveVoices(*synth);
  ASSERT_EQ(voices.size(), 2u);
  EXPECT_EQ(voices[0]->Sample, left);
  EXPECT_EQ(voices[1]->Sample, right);
  EXPECT_EQ(voices[0]->NoteID, voices[1]->NoteID);

  synth->Channels[0]->ProcessEvent(Event(0x80, 69, 64));
  EXPECT_TRUE(voices[0]->IsKeyOff);
  EXPECT_TRUE(voices[1]->IsKeyOff);
}

TEST(ChannelSoundFont, UnreadableSampleStartsNothing) {
  auto synth = std::make_unique<TSynth>();
  ASSERT_NE(synth->AttachSoundFont(StereoBank().stream(), true), nullptr);
  // The bank file lost its sample data: loading fails, the note stays silent.
  synth->AttachedSoundFonts[0]->Stream = std::make_unique<TMemoryStream>(std::vector<uint8_t>(16, 0));
  synth->Channels[0]->ProcessEvent(Event(0x90, 69, 100));
  EXPECT_TRUE(ActiveVoices(*synth).empty());
}

TEST(ChannelSoundFont, GeneralMIDIBankPlaysConcertPitch) {
  const char* path = "/usr/share/sounds/sf2/TimGM6mb.sf2";
  if (std::FILE* file = std::fopen(path, "rb")) {
    std::fclose(file);
  } else {
    GTEST_SKIP() << path << " not installed";
  }
  struct Case {
    uint8_t Key;
    double Hz;  // 440 * 2^((key - 69) / 12)
  };
  for (const Case c : {Case{69, 440.0}, Case{60, 261.6255653005986}}) {
    auto synth = std::make_unique<TSynth>();
    ASSERT_NE(synth->AttachSoundFont(std::make_unique<TFileStream>(path), true), nullptr);
    synth->AddEvent(Event(0xC0, 0));
    synth->AddEvent(Event(0x90, c.Key, 100));
    const int32_t rate = synth->SampleRate;
    std::vector<TBufferSample> out(static_cast<size_t>(rate) / 2);
    synth->FillBuffer(out.data(), static_cast<int32_t>(out.size()));
    ASSERT_FALSE(ActiveVoices(*synth).empty());

    // 16384 frames after the attack.
    std::vector<double> mono;
    for (size_t i = 4096; i < 4096 + 16384; i++) mono.push_back(out[i].Left + out[i].Right);
    double energy = 0.0;
    for (double v : mono) energy += v * v;
    ASSERT_GT(energy, 1e-3) << "silent";
    const double hz = PeakFrequency(mono.data(), mono.size(), rate, c.Hz * 0.9, c.Hz * 1.1);
    const double cents = 1200.0 * std::log2(hz / c.Hz);
    EXPECT_NEAR(cents, 0.0, 3.0) << "key " << int{c.Key} << " measured " << hz << " Hz";
  }
}

}  // namespace
}  // namespace kelvane
