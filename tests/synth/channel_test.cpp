#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "channel_test_support.h"
#include "synth/fpu.h"
#include "synth/mixing.h"

namespace kelvane {
namespace {

using test::TChannelFixture;
using Names = std::vector<std::string>;

// ---------------------------------------------------------------- controllers

struct TControllerCase {
  const char* Name;
  uint8_t Controller;
  uint8_t Value;
  std::function<int32_t(const TChannel&)> Field;
  int32_t Expected[3];  // SF2, GM1, GM2, from the state right after Reset
};

// After Reset: SF2 keeps the 7-bit defaults; GM1/GM2 went through controller 8 = 64 and
// 11 = 127 (14-bit MSB), GM2 has bank 15488 (MSB 121).
const TControllerCase ControllerCases[] = {
    {"BankMSB", 0, 5, [](const TChannel& c) { return c.Bank; }, {640, 640, 640}},
    {"BankLSB", 32, 3, [](const TChannel& c) { return c.Bank; }, {3, 3, 121 * 128 + 3}},
    {"ModulationMSB", 1, 10, [](const TChannel& c) { return c.Modulation; }, {0, 1280, 1280}},
    {"ModulationLSB", 33, 10, [](const TChannel& c) { return c.Modulation; }, {0, 10, 10}},
    {"BreathMSB", 2, 20, [](const TChannel& c) { return c.Breath; }, {0, 2560, 2560}},
    {"BreathLSB", 34, 20, [](const TChannel& c) { return c.Breath; }, {0, 20, 20}},
    {"FootMSB", 4, 30, [](const TChannel& c) { return c.FootPedal; }, {0, 3840, 3840}},
    {"FootLSB", 36, 30, [](const TChannel& c) { return c.FootPedal; }, {0, 30, 30}},
    {"PortamentoTimeMSB", 5, 40, [](const TChannel& c) { return c.PortamentoTime; }, {0, 5120, 5120}},
    {"PortamentoTimeLSB", 37, 40, [](const TChannel& c) { return c.PortamentoTime; }, {0, 40, 40}},
    {"VolumeMSB", 7, 90, [](const TChannel& c) { return c.MainVolume; }, {100, 90 * 128 + 100, 90 * 128 + 100}},
    {"VolumeLSB", 39, 5, [](const TChannel& c) { return c.MainVolume; }, {100, 5, 5}},
    {"BalanceMSB", 8, 30, [](const TChannel& c) { return c.Balance; }, {64, 3840, 3840}},
    {"BalanceLSB", 40, 7, [](const TChannel& c) { return c.Balance; }, {64, 64 * 128 + 7, 64 * 128 + 7}},
    {"PanMSB", 10, 20, [](const TChannel& c) { return c.Panning; }, {64, 20 * 128 + 64, 20 * 128 + 64}},
    {"PanLSB", 42, 9, [](const TChannel& c) { return c.Panning; }, {64, 9, 9}},
    {"ExpressionMSB", 11, 100, [](const TChannel& c) { return c.Expression; }, {127, 12800, 12800}},
    {"ExpressionLSB", 43, 1, [](const TChannel& c) { return c.Expression; }, {127, 127 * 128 + 1, 127 * 128 + 1}},
    {"HoldOn", 64, 64, [](const TChannel& c) { return int32_t{c.HoldPedal}; }, {1, 1, 1}},
    {"HoldBelowThreshold", 64, 63, [](const TChannel& c) { return int32_t{c.HoldPedal}; }, {0, 0, 0}},
    {"Portamento", 65, 127, [](const TChannel& c) { return int32_t{c.PortamentoPedal}; }, {0, 1, 1}},
    {"Sostenuto", 66, 64, [](const TChannel& c) { return int32_t{c.SostenutoPedal}; }, {1, 1, 1}},
    {"Soft", 67, 100, [](const TChannel& c) { return int32_t{c.SoftPedal}; }, {1, 1, 1}},
    {"Legato", 68, 64, [](const TChannel& c) { return int32_t{c.LegatoPedal}; }, {0, 1, 1}},
    {"Hold2", 69, 64, [](const TChannel& c) { return int32_t{c.Hold2Pedal}; }, {0, 1, 1}},
    {"MonoOn", 126, 0, [](const TChannel& c) { return int32_t{c.PolyMode}; }, {1, 0, 0}},
    {"OmniOff", 124, 0, [](const TChannel& c) { return c.Synth.OmniChannel; }, {-1, 3, 3}},
    {"Unassigned", 3, 77, [](const TChannel& c) { return c.Bank & 0; }, {0, 0, 0}},
};

class ChannelControllerTable : public ::testing::TestWithParam<TControllerCase> {};

TEST_P(ChannelControllerTable, ActionFollowsTheGeneralMIDIMode) {
  const TControllerCase& c = GetParam();
  for (int32_t mode = 0; mode < 3; mode++) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    TChannelFixture f(mode);
    f.CC(3, c.Controller, c.Value);
    EXPECT_EQ(c.Field(f.Channel(3)), c.Expected[mode]);
    EXPECT_EQ(f.Channel(3).Controllers[c.Controller], c.Value);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ChannelControllerTable, ::testing::ValuesIn(ControllerCases),
                         [](const ::testing::TestParamInfo<TControllerCase>& info) { return info.param.Name; });

TEST(ChannelReset, DefaultsPerMode) {
  TChannelFixture f(0);
  EXPECT_EQ(f.Channel(0).Controllers[7], 127);
  EXPECT_EQ(f.Channel(0).Controllers[10], 64);
  EXPECT_EQ(f.Channel(0).Controllers[11], 127);
  EXPECT_EQ(f.Channel(0).Controllers[91], 0);
  EXPECT_EQ(f.Channel(0).Controllers[71], 0);
  EXPECT_EQ(f.Channel(0).Controllers[100], 127);
  EXPECT_EQ(f.Channel(0).Controllers[101], 127);
  EXPECT_EQ(f.Channel(0).RPN.Parameter, 16383);
  EXPECT_FALSE(f.Channel(0).RPNSelected());
  EXPECT_FALSE(f.Channel(0).NRPNSelected());
  EXPECT_EQ(f.Channel(0).LastNoteID, -1);

  f.SetMode(2);
  EXPECT_EQ(f.Channel(0).Controllers[7], 100);
  EXPECT_EQ(f.Channel(0).Controllers[91], 40);
  EXPECT_EQ(f.Channel(0).Controllers[71], 64);
  EXPECT_EQ(f.Channel(0).Controllers[78], 64);
  EXPECT_EQ(f.Channel(9).Bank, 15360);
  EXPECT_EQ(f.Channel(0).Bank, 15488);
  EXPECT_TRUE(f.Channel(9).ImplicitDrumMode());
  EXPECT_FALSE(f.Channel(0).IsInDrumMode());
  // Channel 2 selected the drum bank before the reset: it stays a drum channel.
  f.CC(2, 0, 120);
  EXPECT_TRUE(f.Channel(2).IsInDrumMode());
  f.Synth->Reset();
  EXPECT_EQ(f.Channel(2).Bank, 15360);
}

TEST(ChannelReset, TuningTablesClearedOnlyWhenMarked) {
  TChannelFixture f;
  TChannel& ch = f.Channel(0);
  ch.TuningTable[60] = 0.5;
  ch.TuningTableChanged = false;
  ch.ForcedTuningTable[60] = 61.0;
  ch.UseForcedTuningTable = true;
  ch.TuningBank = 3;
  ch.Reset();
  EXPECT_EQ(ch.TuningTable[60], 0.5);
  EXPECT_EQ(ch.ForcedTuningTable[60], 0.0);
  EXPECT_FALSE(ch.UseForcedTuningTable);
  EXPECT_EQ(ch.TuningBank, 0);
  ch.TuningTableChanged = true;
  ch.Reset();
  EXPECT_EQ(ch.TuningTable[60], 0.0);
  EXPECT_FALSE(ch.TuningTableChanged);
}

TEST(ChannelResetControllers, Value0InGM2KeepsVolumePanReverbAndTuning) {
  TChannelFixture f(2);
  TChannel& ch = f.Channel(0);
  f.CC(0, 7, 80);
  f.CC(0, 10, 20);
  f.CC(0, 91, 5);
  f.CC(0, 1, 99);
  f.CC(0, 64, 127);
  f.CC(0, 101, 0);
  f.CC(0, 100, 0);
  f.CC(0, 6, 12);
  f.CC(0, 100, 4);  // tuning bank 3
  f.CC(0, 6, 3);
  ASSERT_EQ(ch.TuningBank, 3);
  ASSERT_EQ(ch.PitchBendDepthSemitones, 12);

  f.CC(0, 121, 0);
  EXPECT_EQ(ch.Controllers[7], 80);
  EXPECT_EQ(ch.Controllers[10], 20);
  EXPECT_EQ(ch.Controllers[91], 5);
  EXPECT_EQ(ch.Controllers[1], 0);
  EXPECT_FALSE(ch.HoldPedal);
  EXPECT_EQ(ch.TuningBank, 3);
  EXPECT_EQ(ch.PitchBendDepthSemitones, 2);
  EXPECT_EQ(ch.PitchBendDepthCents, 0);

  f.CC(0, 121, 127);
  EXPECT_EQ(ch.Controllers[7], 100);
  EXPECT_EQ(ch.Controllers[10], 64);
  EXPECT_EQ(ch.Controllers[91], 40);
  EXPECT_EQ(ch.TuningBank, 0);
  EXPECT_EQ(ch.TuningProgram, 0);
}

TEST(ChannelResetControllers, Value0InSF2AndGM1ResetsEverything) {
  for (int32_t mode : {0, 1}) {
    TChannelFixture f(mode);
    f.CC(0, 7, 80);
    f.CC(0, 121, 0);
    EXPECT_EQ(f.Channel(0).Controllers[7], mode == 0 ? 127 : 100);
  }
}

// ---------------------------------------------------------------- RPN / NRPN

TEST(ChannelRPN, PitchBendRangeWithDataEntryAndIncrement) {
  TChannelFixture f;
  TChannel& ch = f.Channel(0);
  f.CC(0, 101, 0);
  f.CC(0, 100, 0);
  f.CC(0, 6, 12);
  f.CC(0, 38, 50);
  EXPECT_EQ(ch.PitchBendDepthSemitones, 12);
  EXPECT_EQ(ch.PitchBendDepthCents, 50);
  f.CC(0, 96, 0);  // RPN 0 steps by one cent
  EXPECT_EQ(ch.PitchBendDepthCents, 51);
  f.CC(0, 97, 0);
  f.CC(0, 97, 0);
  EXPECT_EQ(ch.PitchBendDepthSemitones, 12);
  EXPECT_EQ(ch.PitchBendDepthCents, 49);
}

TEST(ChannelRPN, FineCoarseAndTuningSelection) {
  TChannelFixture f;
  TChannel& ch = f.Channel(0);
  f.CC(0, 101, 0);
  f.CC(0, 100, 1);
  f.CC(0, 6, 70);
  f.CC(0, 38, 3);
  EXPECT_EQ(ch.FineTuning, 70 * 128 + 3);
  f.CC(0, 96, 0);
  EXPECT_EQ(ch.FineTuning, 70 * 128 + 4);

  f.CC(0, 100, 2);  // coarse tuning steps by a semitone (128)
  f.CC(0, 6, 64);
  f.CC(0, 38, 0);
  EXPECT_EQ(ch.CoarseTuning, 8192);
  f.CC(0, 96, 0);
  EXPECT_EQ(ch.CoarseTuning, 8320);
  f.CC(0, 97, 0);
  f.CC(0, 97, 0);
  EXPECT_EQ(ch.CoarseTuning, 8064);

  f.CC(0, 100, 3);
  f.CC(0, 6, 5);
  EXPECT_EQ(ch.TuningProgram, 5);
  f.CC(0, 96, 0);
  EXPECT_EQ(ch.TuningProgram, 6);
  f.CC(0, 100, 4);
  f.CC(0, 6, 9);
  EXPECT_EQ(ch.TuningBank, 9);
  EXPECT_EQ(ch.TuningProgram, 6);
}

TEST(ChannelRPN, DataEntryActsOnTheKindSelectedLast) {
  TChannelFixture f;
  TChannel& ch = f.Channel(0);
  f.CC(0, 101, 0);
  f.CC(0, 100, 0);
  f.CC(0, 99, 1);
  f.CC(0, 98, 8);  // NRPN (1, 8): vibrato rate
  f.CC(0, 6, 100);
  EXPECT_EQ(ch.Controllers[76], 100);
  EXPECT_EQ(ch.PitchBendDepthSemitones, 2);

  f.CC(0, 100, 0);  // back to RPN 0
  f.CC(0, 6, 7);
  EXPECT_EQ(ch.PitchBendDepthSemitones, 7);
  EXPECT_EQ(ch.Controllers[76], 100);
}

TEST(ChannelRPN, NullParameterAndNothingSelectedAfterReset) {
  TChannelFixture f;
  f.CC(0, 6, 12);
  f.CC(0, 96, 0);
  EXPECT_EQ(f.Channel(0).PitchBendDepthSemitones, 2);
  EXPECT_EQ(f.Channel(0).PitchBendDepthCents, 0);
  EXPECT_EQ(f.Channel(0).FineTuning, 8192);
}

struct TNRPNCase {
  uint8_t MSB, LSB;
  uint8_t Controller;
};

TEST(ChannelNRPN, SoundControllerMappingsOnlyInSF2Mode) {
  const TNRPNCase cases[] = {{1, 8, 76},  {1, 9, 77},  {1, 10, 78},  {1, 32, 74},
                             {1, 33, 71}, {1, 99, 73}, {1, 100, 75}, {1, 102, 72}};
  for (int32_t mode = 0; mode < 3; mode++) {
    for (const TNRPNCase& c : cases) {
      TChannelFixture f(mode);
      const uint8_t before = f.Channel(0).Controllers[c.Controller];
      f.CC(0, 99, c.MSB);
      f.CC(0, 98, c.LSB);
      f.CC(0, 38, 0);
      f.CC(0, 6, 90);
      EXPECT_EQ(f.Channel(0).Controllers[c.Controller], mode == 0 ? 90 : before)
          << "mode " << mode << " NRPN " << int{c.MSB} << "," << int{c.LSB};
    }
  }
}

TEST(ChannelNRPN, PerDrumNoteControllersReachOnlyThatNote) {
  const TNRPNCase cases[] = {{24, 0, 120}, {26, 0, 7}, {28, 0, 10}, {29, 0, 91}, {30, 0, 93}};
  for (const TNRPNCase& c : cases) {
    TChannelFixture f;
    TPresetLayer* preset = f.AddPreset(0, 0);
    f.AddZone(preset, "z");
    f.Synth->Recache();
    f.NoteOn(0, 38);
    f.NoteOn(0, 40);
    const uint8_t channelBefore = f.Channel(0).Controllers[c.Controller];
    f.CC(0, 99, c.MSB);
    f.CC(0, 98, 38);
    f.CC(0, 6, 20);
    const auto voices = f.ActiveVoices();
    ASSERT_EQ(voices.size(), 2u);
    EXPECT_EQ(voices[0]->Controllers[c.Controller], 20) << int{c.MSB};
    EXPECT_EQ(voices[1]->Controllers[c.Controller], channelBefore) << int{c.MSB};
    EXPECT_EQ(f.Channel(0).Controllers[c.Controller], channelBefore) << int{c.MSB};
  }
}

TEST(ChannelSoundFontNRPN, GeneratorOffsetUsesTheNRPNScale) {
  TChannelFixture f;
  TChannel& ch = f.Channel(0);
  f.CC(0, 99, 120);
  f.CC(0, 98, 8);
  f.CC(0, 38, 0);
  f.CC(0, 6, 72);
  // (9216 - 8192) * scale 2 of initialFilterFc.
  EXPECT_DOUBLE_EQ(ch.GenNRPNValues[8], 2048.0);
  EXPECT_EQ(ch.PitchBendDepthSemitones, 2);

  // 100 + 1000-step selections accumulate: 101 then 8 is generator 1008, out of range.
  TChannelFixture g;
  g.CC(0, 99, 120);
  g.CC(0, 98, 101);
  g.CC(0, 98, 8);
  EXPECT_EQ(g.Channel(0).NRPNSelect, 1008);
  g.CC(0, 6, 72);
  for (int32_t gen = GenFirst; gen <= GenLast; gen++) EXPECT_EQ(g.Channel(0).GenNRPNValues[gen], 0.0) << gen;

  // 100 + 21 selects generator 121; the extreme data values clamp at +-8192.
  TChannelFixture h;
  h.CC(0, 99, 120);
  h.CC(0, 98, 100);
  h.CC(0, 98, 21);
  h.CC(0, 38, 127);
  h.CC(0, 6, 127);
  EXPECT_DOUBLE_EQ(h.Channel(0).GenNRPNValues[121], 8191.0 * GeneratorInfoTable[121].NRPNScale);
  // A new MSB starts a new selection.
  h.CC(0, 99, 120);
  EXPECT_EQ(h.Channel(0).NRPNSelect, 0);
}

TEST(ChannelSoundFontNRPN, OffsetUpdatesSoundingVoicesAndLaterNotes) {
  TChannelFixture f;
  TPresetLayer* preset = f.AddPreset(0, 0);
  f.AddZone(preset, "z");
  f.Synth->Recache();
  f.NoteOn(0, 60);
  TVoice* voice = f.ActiveVoices().at(0);
  ASSERT_EQ(voice->Pan, 0.0);
  f.CC(0, 99, 120);
  f.CC(0, 98, 17);  // pan, scale 1
  f.CC(0, 38, 0);
  f.CC(0, 6, 66);
  EXPECT_DOUBLE_EQ(voice->Pan, 256.0);
  f.NoteOn(0, 62);
  EXPECT_DOUBLE_EQ(f.ActiveVoices().at(1)->Pan, 256.0);
  // Reset of the controllers drops the offsets.
  f.CC(0, 121, 0);
  EXPECT_DOUBLE_EQ(f.Channel(0).GenNRPNValues[17], 0.0);
  EXPECT_DOUBLE_EQ(voice->Pan, 0.0);
}

// ---------------------------------------------------------------- notes and pedals

class ChannelNotes : public ::testing::Test {
 protected:
  void SetUp() override {
    TPresetLayer* preset = f.AddPreset(0, 0);
    f.AddZone(preset, "z");
    f.Synth->Recache();
  }
  TChannelFixture f;
};

TEST_F(ChannelNotes, HoldPedalKeepsNotesUntilRelease) {
  f.NoteOn(0, 60);
  f.CC(0, 64, 127);
  f.NoteOff(0, 60);
  TVoice* voice = f.ActiveVoices().at(0);
  f.UpdateVoices();
  EXPECT_FALSE(voice->IsKeyOff);
  f.CC(0, 64, 0);
  f.UpdateVoices();
  EXPECT_TRUE(voice->IsKeyOff);
}

TEST_F(ChannelNotes, SostenutoHoldsOnlyNotesDownAtPress) {
  f.NoteOn(0, 60);
  f.CC(0, 66, 127);
  f.NoteOn(0, 64);
  const auto voices = f.ActiveVoices();
  ASSERT_EQ(voices.size(), 2u);
  f.NoteOff(0, 60);
  f.NoteOff(0, 64);
  EXPECT_FALSE(voices[0]->IsKeyOff);
  EXPECT_TRUE(voices[1]->IsKeyOff);
  f.CC(0, 66, 127);  // still down: no new notes join
  f.CC(0, 66, 0);
  f.UpdateVoices();
  EXPECT_TRUE(voices[0]->IsKeyOff);
}

TEST_F(ChannelNotes, SoftPedalHalvesVelocityKeepingAtLeastOne) {
  f.CC(0, 67, 127);
  f.NoteOn(0, 60, 100);
  f.NoteOn(0, 61, 1);
  f.NoteOn(0, 62, 3);
  const auto voices = f.ActiveVoices();
  ASSERT_EQ(voices.size(), 3u);
  EXPECT_EQ(voices[0]->Velocity, 50);
  EXPECT_EQ(voices[1]->Velocity, 1);
  EXPECT_EQ(voices[2]->Velocity, 1);
}

TEST_F(ChannelNotes, NoteOffRules) {
  f.NoteOff(0, 60);  // never on
  EXPECT_TRUE(f.ActiveVoices().empty());

  f.NoteOn(0, 60);
  f.NoteOn(0, 61);
  f.NoteOff(0, 61, 30);
  auto voices = f.ActiveVoices();
  EXPECT_FALSE(voices[0]->IsKeyOff);
  EXPECT_TRUE(voices[1]->IsKeyOff);
  EXPECT_EQ(voices[1]->KeyOffVelocity, 30);
  f.NoteOn(0, 60, 0);  // velocity 0 is a note-off with release velocity 127
  EXPECT_TRUE(voices[0]->IsKeyOff);
  EXPECT_EQ(voices[0]->KeyOffVelocity, 127);
}

TEST_F(ChannelNotes, RepeatedKeyReleasesTheEarlierNote) {
  f.NoteOn(0, 60, 90);
  f.NoteOn(0, 60, 80);
  const auto voices = f.ActiveVoices();
  ASSERT_EQ(voices.size(), 2u);
  EXPECT_TRUE(voices[0]->IsKeyOff);
  EXPECT_EQ(voices[0]->KeyOffVelocity, 127);
  EXPECT_FALSE(voices[1]->IsKeyOff);
  EXPECT_EQ(voices[1]->NoteID, f.Channel(0).LastNoteID);
  EXPECT_EQ(voices[1]->NoteID, voices[0]->NoteID + 1);
  EXPECT_EQ(voices[1]->VoiceID, voices[0]->VoiceID + 1);
}

TEST_F(ChannelNotes, EventNoteIDsReleaseTheirOwnNote) {
  f.NoteOn(0, 60, 100, 7);
  f.NoteOn(0, 60, 100, 8);  // same key: the first note is released anyway
  f.NoteOn(0, 62, 100, 9);
  auto voices = f.ActiveVoices();
  ASSERT_EQ(voices.size(), 3u);
  EXPECT_EQ(voices[1]->EventNoteID, 8u);
  f.NoteOff(0, 62, 64, 8);  // the key is ignored when an ID is given
  EXPECT_TRUE(voices[1]->IsKeyOff);
  EXPECT_EQ(voices[1]->EventNoteID, 0u);
  EXPECT_FALSE(voices[2]->IsKeyOff);
}

TEST(ChannelDrumNoteOff, GMModesIgnoreMostNoteOffsOnChannel10) {
  for (int32_t mode = 0; mode < 3; mode++) {
    TChannelFixture f(mode);
    TPresetLayer* kit = f.AddPreset(PercussionBank, 0);
    f.AddZone(kit, "kit");
    f.Synth->Recache();
    f.NoteOn(9, 38);
    f.NoteOn(9, 74);
    const auto voices = f.ActiveVoices();
    ASSERT_EQ(voices.size(), 2u);
    f.NoteOff(9, 38);
    f.NoteOff(9, 74);
    EXPECT_EQ(voices[0]->IsKeyOff, mode == 0) << mode;
    EXPECT_TRUE(voices[1]->IsKeyOff) << mode;
  }
}

TEST_F(ChannelNotes, AllNotesOffReleasesAllSoundsOffSilences) {
  f.NoteOn(0, 60);
  f.NoteOn(1, 61);
  f.CC(0, 64, 127);
  f.CC(0, 123, 0);
  auto voices = f.ActiveVoices();
  ASSERT_EQ(voices.size(), 2u);
  EXPECT_TRUE(voices[0]->Active);
  EXPECT_TRUE(voices[0]->Holding);  // a note-off, so the hold pedal keeps it
  EXPECT_FALSE(voices[1]->SawKeyOff);  // other channel untouched

  f.CC(0, 120, 0);
  EXPECT_FALSE(voices[0]->Active);
  EXPECT_TRUE(voices[1]->Active);
}

TEST_F(ChannelNotes, OmniAndPolyModes) {
  f.SetMode(1);
  f.CC(4, 124, 0);
  EXPECT_EQ(f.Synth->OmniChannel, 4);
  f.CC(4, 125, 0);
  EXPECT_EQ(f.Synth->OmniChannel, -1);
  f.CC(4, 126, 1);
  EXPECT_FALSE(f.Channel(4).PolyMode);
  f.CC(4, 127, 0);
  EXPECT_TRUE(f.Channel(4).PolyMode);
}

TEST_F(ChannelNotes, PortamentoGlidesTheLastNote) {
  f.SetMode(1);
  f.CC(0, 65, 127);
  f.CC(0, 5, 0);
  f.CC(0, 37, 100);  // 100 ms
  f.NoteOn(0, 60, 100);
  f.NoteOn(0, 64, 90);
  const auto voices = f.ActiveVoices();
  ASSERT_EQ(voices.size(), 1u);
  TVoice& v = *voices[0];
  // round(100 ms * 44100 Hz / 32 frames per step) = round(137.8125)
  EXPECT_EQ(v.PortamentoTime, 138);
  EXPECT_EQ(v.PortamentoPosition, 0);
  EXPECT_EQ(v.PortamentoFromKey, 60.0);
  EXPECT_EQ(v.PortamentoToKey, 64);
  EXPECT_EQ(v.Note, 64);
  EXPECT_EQ(v.Velocity, 90);

  f.NoteOff(0, 64);
  f.NoteOn(0, 67);  // released voices do not glide
  EXPECT_EQ(f.ActiveVoices().size(), 2u);
}

TEST_F(ChannelNotes, PortamentoTimeZeroStillTakesOneStep) {
  f.SetMode(2);
  f.CC(0, 65, 127);
  f.NoteOn(0, 60);
  f.NoteOn(0, 62);
  EXPECT_EQ(f.ActiveVoices().at(0)->PortamentoTime, 1);
}

TEST_F(ChannelNotes, PressureAndPitchBend) {
  f.NoteOn(0, 60);
  f.NoteOn(0, 62);
  f.Send(0, 0xA0, 62, 70);
  auto voices = f.ActiveVoices();
  EXPECT_EQ(f.Channel(0).KeyPressure, 70);
  EXPECT_EQ(voices[0]->KeyPressure, 0);
  EXPECT_EQ(voices[1]->KeyPressure, 70);
  f.Send(0, 0xD0, 33);
  EXPECT_EQ(f.Channel(0).ChannelPressure, 33);
  f.Send(0, 0xE0, 0x7F, 0x7F);
  EXPECT_EQ(f.Channel(0).PitchBend, 16383);
  f.Send(0, 0xE0, 5, 64);
  EXPECT_EQ(f.Channel(0).PitchBend, 8197);
}

TEST_F(ChannelNotes, ControllerReachesEveryVoiceOfTheChannel) {
  f.NoteOn(0, 60);
  f.NoteOn(1, 60);
  f.CC(0, 74, 33);
  auto voices = f.ActiveVoices();
  EXPECT_EQ(voices[0]->Controllers[74], 33);
  EXPECT_EQ(voices[1]->Controllers[74], 0);
}

TEST_F(ChannelNotes, ExclusiveClassCutsOtherNotesOfTheChannel) {
  TPresetLayer* leaf = f.Synth->RootPresetLayer->Layers[0]->Layers[0];
  leaf->SetGenerator(gen::exclusiveClass, 1);
  f.NoteOn(0, 42);
  f.NoteOn(1, 42);
  f.NoteOn(0, 46);
  auto voices = f.ActiveVoices();
  ASSERT_EQ(voices.size(), 3u);
  EXPECT_EQ(voices[0]->GetGen(gen::exclusiveClass), 0.0);  // cut
  EXPECT_EQ(voices[1]->GetGen(gen::exclusiveClass), 1.0);  // other channel
  EXPECT_EQ(voices[2]->GetGen(gen::exclusiveClass), 1.0);
}

TEST_F(ChannelNotes, FullPoolStartsNothing) {
  f.Synth->SetNumberOfVoices(2);
  f.NoteOn(0, 60);
  f.NoteOn(0, 61);
  f.NoteOn(0, 62);
  EXPECT_EQ(f.ActiveVoices().size(), 2u);
}

TEST(ChannelModulation, BendVolumeAndBendRangeReachSoundingVoices) {
  TChannelFixture f;
  TPresetLayer* zone = f.AddZone(f.AddPreset(0, 0), "z");
  zone->AddDefaultModulators(true);
  f.Synth->Recache();
  f.NoteOn(0, 69, 127);
  TVoice& v = *f.ActiveVoices().at(0);
  const double pitch = v.Pitch;
  const double attenuation = v.Attenuation;

  f.Send(0, 0xE0, 0x7F, 0x7F);  // full up: +8191/8192 of the 2-semitone range
  EXPECT_NEAR(v.Pitch - pitch, 200.0 * 8191.0 / 8192.0, 1e-6);
  f.CC(0, 101, 0);
  f.CC(0, 100, 0);
  f.CC(0, 6, 12);  // range 12 semitones
  EXPECT_NEAR(v.Pitch - pitch, 1200.0 * 8191.0 / 8192.0, 1e-6);

  // Controller 7 changes the volume through the default modulator in SF2 mode too.
  f.CC(0, 7, 64);
  EXPECT_GT(v.Attenuation, attenuation + 10.0);
  EXPECT_EQ(f.Channel(0).MainVolume, 100);
}

TEST(ChannelTuning, TuningBankAndProgramSelectTheSynthTable) {
  TChannelFixture f;
  f.AddZone(f.AddPreset(0, 0), "z");
  f.Synth->Recache();
  f.Synth->TuningTables->Edit(2, 5)[60] = 60.5;
  f.CC(0, 101, 0);
  f.CC(0, 100, 4);
  f.CC(0, 6, 2);
  f.CC(0, 100, 3);
  f.CC(0, 6, 5);
  f.Channel(0).TuningTable[60] = 0.25;
  f.NoteOn(0, 60);
  EXPECT_DOUBLE_EQ(f.ActiveVoices().at(0)->GetTuningPitch(60), 6075.0);
  f.Channel(0).ForcedTuningTable[60] = 59.0;
  f.Channel(0).UseForcedTuningTable = true;
  EXPECT_DOUBLE_EQ(f.ActiveVoices().at(0)->GetTuningPitch(60), 5900.0);
}

// ---------------------------------------------------------------- preset lookup

class ChannelLookup : public ::testing::Test {
 protected:
  void Build(bool withKits = true) {
    if (withKits) {
      f.AddZone(f.AddPreset(PercussionBank, 0), "kit0");
      f.AddZone(f.AddPreset(PercussionBank, 25), "kit25");
    }
    f.AddZone(f.AddPreset(0, 0), "piano");
    f.AddZone(f.AddPreset(0, 5), "ep");
    f.AddZone(f.AddPreset(8, 5), "ep-var");
    f.AddZone(f.AddPreset(15488, 6), "gm2-6");
    f.Synth->Recache();
  }
  Names Play(int32_t channel, int32_t bankMSB, int32_t bankLSB, int32_t program) {
    f.CC(channel, 0, static_cast<uint8_t>(bankMSB));
    f.CC(channel, 32, static_cast<uint8_t>(bankLSB));
    f.Send(channel, 0xC0, static_cast<uint8_t>(program));
    f.NoteOn(channel, 60);
    Names names = f.Playing();
    f.CC(channel, 120, 0);
    return names;
  }
  TChannelFixture f;
};

TEST_F(ChannelLookup, SF2Fallbacks) {
  Build();
  EXPECT_EQ(Play(0, 0, 8, 5), Names{"ep-var"});
  EXPECT_EQ(Play(0, 0, 3, 5), Names{"ep"});
  EXPECT_EQ(Play(0, 0, 3, 6), Names{"piano"});
  EXPECT_EQ(Play(9, 0, 0, 25), Names{"kit25"});
  EXPECT_EQ(Play(9, 0, 0, 7), Names{"kit0"});
  f.Channel(2).DrumMode = true;
  EXPECT_EQ(Play(2, 0, 8, 25), Names{"kit25"});
  // MSB 120 means percussion only in GM2 mode.
  EXPECT_EQ(Play(3, 120, 0, 5), Names{"ep"});
}

TEST_F(ChannelLookup, GM1IgnoresTheBank) {
  Build();
  f.SetMode(1);
  EXPECT_EQ(Play(0, 0, 8, 5), Names{"ep"});
  EXPECT_EQ(Play(0, 0, 8, 9), Names{"piano"});
  EXPECT_EQ(Play(9, 0, 0, 25), Names{"kit25"});
}

TEST_F(ChannelLookup, GM2DrumBankSelectsPercussion) {
  Build();
  f.SetMode(2);
  f.Send(0, 0xC0, 6);
  f.NoteOn(0, 60);
  EXPECT_EQ(f.Playing(), Names{"gm2-6"});
  f.CC(0, 120, 0);
  EXPECT_EQ(Play(0, 121, 0, 5), Names{"ep"});
  EXPECT_EQ(Play(3, 120, 0, 25), Names{"kit25"});
  f.NoteOn(9, 60);
  EXPECT_EQ(f.Playing(), Names{"kit0"});
}

TEST_F(ChannelLookup, DrumChannelWithoutKitsPlaysMelodic) {
  Build(false);
  EXPECT_EQ(Play(9, 0, 0, 5), Names{"ep"});
}

TEST_F(ChannelLookup, ProgramChangeLeavesSoundingVoices) {
  Build();
  f.NoteOn(0, 60);
  f.Send(0, 0xC0, 5);
  f.NoteOn(0, 62);
  EXPECT_EQ(f.Playing(), (Names{"piano", "ep"}));
}

TEST_F(ChannelLookup, InactiveLayersAndSamplesStartNothing) {
  Build();
  TPresetLayer* piano = f.Synth->PresetLayers.Get(0, 0);
  ASSERT_NE(piano, nullptr);
  piano->Active = false;
  f.NoteOn(0, 60);
  EXPECT_TRUE(f.Playing().empty());
  piano->Active = true;
  piano->Sample->Active = false;
  f.NoteOn(0, 60);
  EXPECT_TRUE(f.Playing().empty());
}

// ---------------------------------------------------------------- layer selectors

struct TSelectorCase {
  const char* Name;
  TPresetLayerSelectorType Type;
  int32_t Lo, Hi;
  int16_t CCLo, CCHi;
  std::function<void(TChannelFixture&)> Setup;  // state before the note-on of key 60, velocity 100
  bool Expected;
};

const TSelectorCase SelectorCases[] = {
    {"KeyInside", lstNOTERANGE, 60, 60, 0, 0, [](TChannelFixture&) {}, true},
    {"KeyOutside", lstNOTERANGE, 61, 127, 0, 0, [](TChannelFixture&) {}, false},
    {"VelocityInside", lstVELOCITYRANGE, 100, 127, 0, 0, [](TChannelFixture&) {}, true},
    {"VelocityOutside", lstVELOCITYRANGE, 0, 99, 0, 0, [](TChannelFixture&) {}, false},
    // The soft pedal halves the velocity before the test.
    {"VelocityAfterSoftPedal", lstVELOCITYRANGE, 0, 50, 0, 0, [](TChannelFixture& f) { f.CC(0, 67, 127); }, true},
    {"ChannelInside", lstCHANNELRANGE, 0, 3, 0, 0, [](TChannelFixture&) {}, true},
    {"ChannelOutside", lstCHANNELRANGE, 1, 15, 0, 0, [](TChannelFixture&) {}, false},
    {"CC7BitInside", lstCONTROLLER7BITRANGE, 40, 50, 20, 0, [](TChannelFixture& f) { f.CC(0, 20, 45); }, true},
    {"CC7BitOutside", lstCONTROLLER7BITRANGE, 40, 50, 20, 0, [](TChannelFixture& f) { f.CC(0, 20, 51); }, false},
    // Controller numbers are masked to 7 bits: 148 reads controller 20.
    {"CC7BitMaskedNumber", lstCONTROLLER7BITRANGE, 45, 45, 148, 0, [](TChannelFixture& f) { f.CC(0, 20, 45); },
     true},
    {"CC14BitInside", lstCONTROLLER14BITRANGE, 3 * 128 + 5, 3 * 128 + 5, 21, 20,
     [](TChannelFixture& f) {
       f.CC(0, 20, 3);
       f.CC(0, 21, 5);
     },
     true},
    {"CC14BitOutside", lstCONTROLLER14BITRANGE, 3 * 128 + 5, 3 * 128 + 5, 21, 20,
     [](TChannelFixture& f) {
       f.CC(0, 20, 3);
       f.CC(0, 21, 6);
     },
     false},
    {"PitchBendInside", lstPITCHBENDRANGE, 8192, 16383, 0, 0, [](TChannelFixture&) {}, true},
    {"PitchBendOutside", lstPITCHBENDRANGE, 8192, 16383, 0, 0, [](TChannelFixture& f) { f.Send(0, 0xE0, 0, 10); },
     false},
    {"ChannelPressure", lstCHANNELPRESSURERANGE, 10, 20, 0, 0, [](TChannelFixture& f) { f.Send(0, 0xD0, 15); },
     true},
    {"ChannelPressureOutside", lstCHANNELPRESSURERANGE, 10, 20, 0, 0, [](TChannelFixture&) {}, false},
    // The channel's last key pressure, whatever key it came for.
    {"KeyPressure", lstKEYPRESSURERANGE, 30, 30, 0, 0, [](TChannelFixture& f) { f.Send(0, 0xA0, 90, 30); }, true},
};

class ChannelSelectors : public ::testing::TestWithParam<TSelectorCase> {};

TEST_P(ChannelSelectors, LeafAndAncestorSelectorsDecide) {
  const TSelectorCase& c = GetParam();
  for (bool onParent : {false, true}) {
    SCOPED_TRACE(onParent ? "selector on the preset" : "selector on the zone");
    TChannelFixture f;
    TPresetLayer* preset = f.AddPreset(0, 0);
    TPresetLayer* zone = f.AddZone(preset, "z");
    f.AddZone(preset, "other");  // no selector: always plays
    TChannelFixture::AddSelector(onParent ? preset : zone, c.Type, c.Lo, c.Hi, c.CCLo, c.CCHi);
    f.Synth->Recache();
    c.Setup(f);
    f.NoteOn(0, 60, 100);
    Names expected;
    if (c.Expected) expected.push_back("z");
    if (c.Expected || !onParent) expected.push_back("other");
    EXPECT_EQ(f.Playing(), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ChannelSelectors, ::testing::ValuesIn(SelectorCases),
                         [](const ::testing::TestParamInfo<TSelectorCase>& info) { return info.param.Name; });

// ---------------------------------------------------------------- linked samples

class ChannelLinkedSamples : public ::testing::Test {
 protected:
  void SetUp() override {
    TPresetLayer* zone = f.AddZone(f.AddPreset(0, 0), "left");
    Left = zone->Sample;
    Right = f.NewSample("right");
    Left->LinkSample = Right;
    Right->LinkSample = Left;
    Left->SampleTypeFlags.Include(stfLeft);
    Right->SampleTypeFlags.Include(stfRight);
    f.Synth->Recache();
  }
  TChannelFixture f;
  TSample* Left = nullptr;
  TSample* Right = nullptr;
};

TEST_F(ChannelLinkedSamples, StereoPairStartsTwoVoicesOfOneNote) {
  f.NoteOn(0, 60, 100, 5);
  EXPECT_EQ(f.Playing(), (Names{"left", "right"}));
  const auto voices = f.ActiveVoices();
  EXPECT_EQ(voices[0]->NoteID, voices[1]->NoteID);
  EXPECT_EQ(voices[0]->PresetLayer, voices[1]->PresetLayer);
  EXPECT_NE(voices[0]->VoiceID, voices[1]->VoiceID);
  EXPECT_EQ(voices[1]->EventNoteID, 5u);
  f.NoteOff(0, 60, 64, 5);
  EXPECT_TRUE(voices[0]->IsKeyOff);
  EXPECT_TRUE(voices[1]->IsKeyOff);
}

TEST_F(ChannelLinkedSamples, LinksCanBeSwitchedOff) {
  f.Synth->IgnoreSampleLinks = true;
  f.NoteOn(0, 60);
  EXPECT_EQ(f.Playing(), Names{"left"});
  f.CC(0, 120, 0);
  f.Synth->IgnoreSampleLinks = false;
  f.Synth->DoHandleLinkedSamples = false;
  f.NoteOn(0, 60);
  EXPECT_EQ(f.Playing(), Names{"left"});
}

TEST_F(ChannelLinkedSamples, ChainStopsAtNineLinksAndSkipsInactiveSamples) {
  // left -> right -> s2 -> ... -> s11 -> s11: an open chain longer than nine links.
  TSample* previous = Right;
  std::vector<TSample*> chain;
  for (int i = 2; i <= 11; i++) {
    TSample* s = f.NewSample("s" + std::to_string(i));
    previous->LinkSample = s;
    previous = s;
    chain.push_back(s);
  }
  previous->LinkSample = previous;
  chain[0]->Active = false;  // s2
  f.NoteOn(0, 60);
  EXPECT_EQ(f.Playing(), (Names{"left", "right", "s3", "s4", "s5", "s6", "s7", "s8", "s9"}));
}

// ---------------------------------------------------------------- residues

// The channel decays its dry, chorus and reverb residues together; each must
// come out as ProcClickRemoval alone would make it, block after block, down
// to the flush (signed zeros included).
TEST(ChannelResidues, DecayTogetherAsEachAlone) {
  SIMDFlushToZero();
  TChannelFixture f;
  TChannel& channel = f.Channel(0);
  const double factor = f.Synth->ClickRemovalFactor;
  const float denormalEdge = 0x1.0p-126f;
  const struct {
    TBufferSample dry, chorus, reverb;
  } cases[] = {
      {{{{0.5f, -0.25f}}}, {{{0.125f, 0.0625f}}}, {{{-0.75f, 0.3f}}}},
      {{{{0.5f, 0.0f}}}, {{{0.0f, 0.0f}}}, {{{-0.0f, 1e-3f}}}},                       // one side, one ended
      {{{{0.0f, 0.0f}}}, {{{0.2f, -0.2f}}}, {{{0.1f, 0.0f}}}},                        // no dry residue
      {{{{denormalEdge * 3, -denormalEdge}}}, {{{1e-30f, 0.0f}}}, {{{0.3f, 0.3f}}}},  // near the flush
      {{{{0.9f, 0.9f}}}, {{{0.0f, 0.0f}}}, {{{0.0f, 0.0f}}}},                         // one residue alone
  };
  std::mt19937 rng(5);
  std::uniform_int_distribution<int32_t> cut(1, 1500);
  std::uniform_real_distribution<float> level(-1.0f, 1.0f);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dry.Left);
    TBufferSample expected[3] = {c.dry, c.chorus, c.reverb};
    channel.Last = c.dry;
    channel.ChorusLast = c.chorus;
    channel.ReverbLast = c.reverb;
    for (int32_t frames = 0; frames < 30000;) {
      const int32_t n = cut(rng);
      std::vector<TBufferSample> buffers[3], want[3];
      for (auto& b : buffers) {
        b.resize(static_cast<size_t>(n));
        for (auto& frame : b) frame = {{{level(rng), -0.0f}}};
      }
      for (int32_t j = 0; j < 3; j++) {
        want[j] = buffers[j];
        ProcClickRemoval(expected[j], want[j].data(), n, factor, 1.0);
      }
      channel.FillBuffer(buffers[0].data(), buffers[1].data(), buffers[2].data(), n);
      for (int32_t j = 0; j < 3; j++) {
        for (int32_t i = 0; i < n; i++) {
          ASSERT_EQ(std::signbit(buffers[j][i].Right), std::signbit(want[j][i].Right)) << j << " " << frames + i;
          ASSERT_EQ(buffers[j][i].Left, want[j][i].Left) << j << " " << frames + i;
          ASSERT_EQ(buffers[j][i].Right, want[j][i].Right) << j << " " << frames + i;
        }
      }
      const TBufferSample* got[3] = {&channel.Last, &channel.ChorusLast, &channel.ReverbLast};
      for (int32_t j = 0; j < 3; j++) {
        ASSERT_EQ(got[j]->Left, expected[j].Left) << j;
        ASSERT_EQ(got[j]->Right, expected[j].Right) << j;
      }
      frames += n;
    }
    for (const TBufferSample& r : expected) EXPECT_EQ(r.Left == 0.0f && r.Right == 0.0f, true);
  }
}

}  // namespace
}  // namespace kelvane
