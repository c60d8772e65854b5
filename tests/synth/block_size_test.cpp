// The engine's output must not depend on how the host cuts it into blocks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "banks/stream.h"
#include "synth/buffer_sample.h"
#include "synth/chorus.h"
#include "synth/midi_event.h"
#include "synth/reverb.h"
#include "synth/synth.h"
#include "synth_test_support.h"

namespace kelvane {
namespace {

constexpr const char* BankPath = "/usr/share/sounds/sf2/TimGM6mb.sf2";
constexpr int64_t SongFrames = 44100 * 3;

using test::FirstDifference;
using test::RenderInBlocks;
using test::ShortMessage;

// A short passage that exercises what runs across block boundaries: notes
// started and released at odd frames (one ending mid-block through its sample
// end), pitch bend, modulation wheel (vibrato), a filter sweep, pan, the hold
// pedal and drums whose voices run out by themselves.
std::vector<TMIDIEvent> Passage() {
  return {
      ShortMessage(0, 0xC0, 48, 0),        // strings
      ShortMessage(0, 0xC1, 0, 0),         // piano
      ShortMessage(0, 0xC2, 81, 0),        // saw lead
      ShortMessage(0, 0xB2, 74, 40),       // brightness
      ShortMessage(5, 0x90, 60, 100),      ShortMessage(7, 0x91, 64, 90),     ShortMessage(777, 0x92, 67, 110),
      ShortMessage(1001, 0x99, 36, 120),   ShortMessage(1003, 0x99, 42, 100), ShortMessage(2000, 0xB0, 1, 100),
      ShortMessage(3001, 0xE0, 0x13, 0x50), ShortMessage(4321, 0xB2, 74, 110), ShortMessage(5000, 0xB1, 64, 127),
      ShortMessage(6007, 0x81, 64, 0),     ShortMessage(9001, 0xE0, 0x00, 0x30), ShortMessage(11025, 0xB1, 10, 10),
      ShortMessage(15000, 0x99, 49, 127),  ShortMessage(20011, 0xB1, 64, 0),  ShortMessage(22050, 0x82, 67, 0),
      ShortMessage(30001, 0x99, 38, 90),   ShortMessage(44100, 0x80, 60, 64), ShortMessage(50000, 0x91, 72, 100),
      ShortMessage(60013, 0x81, 72, 0),    ShortMessage(70000, 0xB0, 7, 60),  ShortMessage(88200, 0x90, 48, 127),
      ShortMessage(100003, 0xE0, 0x7F, 0x7F), ShortMessage(110000, 0x80, 48, 0),
  };
}

std::vector<TBufferSample> Render(int32_t blockFrames, bool effects) {
  auto synth = std::make_unique<TSynth>();
  synth->SetSampleRate(44100);
  synth->SetNumberOfThreads(0);
  synth->Chorus->Active = effects;
  synth->Reverb->Active = effects;
  if (synth->AttachSoundFont(std::make_unique<TFileStream>(BankPath), true) == nullptr) return {};
  synth->LoadNeededSamples();
  for (const TMIDIEvent& event : Passage()) synth->AddEvent(event);
  return RenderInBlocks(*synth, SongFrames, blockFrames);
}


float LargestDifference(const std::vector<TBufferSample>& a, const std::vector<TBufferSample>& b) {
  float most = 0.0f;
  for (size_t i = 0; i < a.size(); i++) {
    most = std::max({most, std::fabs(a[i].Left - b[i].Left), std::fabs(a[i].Right - b[i].Right)});
  }
  return most;
}

float Peak(const std::vector<TBufferSample>& a) {
  float peak = 0.0f;
  for (const TBufferSample& s : a) peak = std::max({peak, std::fabs(s.Left), std::fabs(s.Right)});
  return peak;
}

// Effects off, bit for bit; effects on, within a float's rounding.
TEST(BlockSize, OutputDoesNotDependOnTheCut) {
  if (!std::filesystem::exists(BankPath)) GTEST_SKIP() << BankPath << " not installed";
  for (bool effects : {false, true}) {
    SCOPED_TRACE(effects ? "effects on" : "effects off");
    const std::vector<TBufferSample> reference = Render(4096, effects);
    ASSERT_GT(Peak(reference), 0.05f);
    for (int32_t block : {333, 32, 1}) {
      const std::vector<TBufferSample> cut = Render(block, effects);
      const int64_t first = FirstDifference(reference, cut);
      std::printf("effects %s, block %d: first difference at %lld, largest %g (peak %g)\n", effects ? "on" : "off",
                  block, static_cast<long long>(first), LargestDifference(reference, cut), Peak(reference));
      if (!effects) {
        EXPECT_EQ(first, -1) << "block " << block;
      } else {
        // The chorus decides per block whether it is idle; that leaves a
        // difference of the order of a float's last bit.
        EXPECT_LT(LargestDifference(reference, cut), 1e-6f * Peak(reference)) << "block " << block;
      }
    }
  }
}

}  // namespace
}  // namespace kelvane
