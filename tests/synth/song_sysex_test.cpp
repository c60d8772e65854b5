// System-exclusive messages inside a song: queued by the file reader and taking
// effect at their frame while the song renders.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "banks/stream.h"
#include "channel_test_support.h"
#include "smf_builder.h"
#include "synth/channel.h"
#include "synth/chorus.h"
#include "synth/generators.h"
#include "synth/reverb.h"

namespace kelvane::test {
namespace {

constexpr int32_t Rate = 44100;
constexpr int32_t Beat = 22050;  // frames of 480 ticks at the default 120 bpm

bool Load(TSynth& synth, const std::vector<uint8_t>& bytes) {
  TMemoryStream stream(bytes.data(), bytes.size());
  return synth.ReadMIDI(stream);
}

void Render(TSynth& synth, std::vector<TBufferSample>& out, int32_t frames) {
  out.resize(static_cast<size_t>(frames));
  synth.FillBuffer(out.data(), frames);
}

// GM2 System On resets nothing by itself, but from its frame on Reset All
// Controllers (value 0) keeps the volume, which it restores in SF2 mode.
TEST(SongSystemExclusive, GM2OnTakesEffectAtItsFrame) {
  TSMFBuilder smf(480, 0);
  smf.Track()
      .Controller(0, 0, 7, 30)
      .NoteOn(0, 0, 60)
      .Controller(480, 0, 121, 0)                   // beat 1, SF2 mode: volume back to 127
      .Controller(480, 0, 7, 30)                    // beat 2
      .SysEx(480, 0xF0, {0x7E, 0x7F, 0x09, 0x03, 0xF7})  // beat 3: GM2 on
      .Controller(480, 0, 121, 0)                   // beat 4, GM2 mode: volume kept
      .NoteOff(480, 0, 60)
      .EndOfTrack();
  TSynth synth;
  synth.SetSampleRate(Rate);
  ASSERT_TRUE(Load(synth, smf.Build()));
  const TChannel& channel = *synth.Channels[0];
  std::vector<TBufferSample> out;

  Render(synth, out, Beat + 1);
  EXPECT_EQ(channel.Controllers[7], 127);
  Render(synth, out, 2 * Beat - 1);  // up to the last frame before beat 3
  EXPECT_EQ(synth.GeneralMIDIMode, 0);
  EXPECT_EQ(channel.Controllers[7], 30);
  Render(synth, out, 1);
  EXPECT_EQ(synth.GeneralMIDIMode, 2);
  Render(synth, out, Beat);
  EXPECT_EQ(channel.Controllers[7], 30);
}

// Zero crossings of the left channel over [from, to), as a frequency in Hz.
double MeasuredFrequency(const std::vector<TBufferSample>& out, size_t from, size_t to) {
  int32_t crossings = 0;
  size_t first = 0;
  size_t last = 0;
  for (size_t i = from + 1; i < to; i++) {
    if ((out[i - 1].Values[0] < 0.0f) != (out[i].Values[0] < 0.0f)) {
      if (crossings == 0) first = i;
      last = i;
      crossings++;
    }
  }
  if (crossings < 3) return 0.0;
  return (crossings - 1) / 2.0 * Rate / static_cast<double>(last - first);
}

// A real-time single-note tuning change in the song moves the pitch of the
// note already sounding, from the message's frame on.
TEST(SongSystemExclusive, SingleNoteTuningChangeRetunesTheSoundingNote) {
  TChannelFixture fixture;
  TPresetLayer* zone = fixture.AddZone(fixture.AddPreset(0, 0), "sine");  // 441 Hz at key 69
  zone->SetGenerator(gen::sampleModes, 1);                                // loop the one-cycle sine
  fixture.Synth->Recache();
  TSynth& synth = *fixture.Synth;
  synth.Chorus->Active = false;
  synth.Reverb->Active = false;

  TSMFBuilder smf(480, 0);
  smf.Track()
      .NoteOn(0, 0, 69)
      .SysEx(480, 0xF0, {0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 69, 70, 0x00, 0x00, 0xF7})  // key 69 -> 70.0
      .NoteOff(480, 0, 69)
      .EndOfTrack();
  ASSERT_TRUE(Load(synth, smf.Build()));
  std::vector<TBufferSample> out;
  Render(synth, out, 2 * Beat);

  const double before = MeasuredFrequency(out, 2000, Beat);
  const double after = MeasuredFrequency(out, Beat + 2000, 2 * Beat - 100);
  EXPECT_NEAR(before, 441.0, 441.0 * 0.005);
  EXPECT_NEAR(after, 441.0 * std::pow(2.0, 1.0 / 12.0), 441.0 * 0.005);
}

}  // namespace
}  // namespace kelvane::test
