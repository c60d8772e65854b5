#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "synth/channel.h"
#include "synth/chorus.h"
#include "synth/reverb.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

using TBytes = std::vector<uint8_t>;

TBytes operator+(TBytes a, const TBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TBytes Repeat(uint8_t value, size_t count) { return TBytes(count, value); }

// Counts the real-time tuning follow-ups instead of needing sounding voices.
class TRetuneCountingSynth : public TSynth {
 public:
  int32_t RetuneCount = 0;

 protected:
  void RetuneSoundingNotes() override {
    RetuneCount++;
    TSynth::RetuneSoundingNotes();
  }
};

class SysExTest : public ::testing::Test {
 protected:
  void SetUp() override { synth = std::make_unique<TRetuneCountingSynth>(); }

  // Delivers a payload as the queue would: no leading 0xF0, the caller keeps the bytes.
  void Send(const TBytes& payload) {
    TMIDIEvent event;
    event.Command = 0xF0;
    event.SysEx = const_cast<uint8_t*>(payload.data());
    event.SysExLength = static_cast<uint32_t>(payload.size());
    synth->ProcessEventSysEx(event);
  }

  double Table(int bank, int program, int key) const { return synth->TuningTables->Pitch(bank, program, key); }
  const TTuningTable& ChannelTable(int channel) const { return synth->Channels[channel]->TuningTable; }

  std::unique_ptr<TRetuneCountingSynth> synth;
};

// --- Master controls -------------------------------------------------------

struct TMasterCase {
  const char* Name;
  TBytes Payload;
  double TSynth::*Field;
  double Expected;
};

TEST_F(SysExTest, MasterControlsFromDeviceControlMessages) {
  const TMasterCase cases[] = {
      {"volume half", {0x7F, 0x7F, 0x04, 0x01, 0x00, 0x40, 0xF7}, &TSynth::MasterVolume, 0.5},
      {"volume max", {0x7F, 0x7F, 0x04, 0x01, 0x7F, 0x7F, 0xF7}, &TSynth::MasterVolume, 16383.0 / 16384.0},
      {"volume non-real-time, other device", {0x7E, 0x10, 0x04, 0x01, 0x00, 0x20, 0xF7}, &TSynth::MasterVolume,
       0.25},
      {"balance centre", {0x7F, 0x7F, 0x04, 0x02, 0x00, 0x40, 0xF7}, &TSynth::MasterBalance, 0.5},
      {"balance left", {0x7F, 0x7F, 0x04, 0x02, 0x00, 0x00, 0xF7}, &TSynth::MasterBalance, 0.0},
      {"fine +50 cents", {0x7F, 0x7F, 0x04, 0x03, 0x00, 0x60, 0xF7}, &TSynth::MasterFineTuning, 50.0},
      {"fine -100 cents", {0x7F, 0x7F, 0x04, 0x03, 0x00, 0x00, 0xF7}, &TSynth::MasterFineTuning, -100.0},
      {"coarse +2", {0x7F, 0x7F, 0x04, 0x04, 0x00, 0x42, 0xF7}, &TSynth::MasterCoarseTuning, 2.0},
      {"coarse -64", {0x7F, 0x7F, 0x04, 0x04, 0x00, 0x00, 0xF7}, &TSynth::MasterCoarseTuning, -64.0},
      {"coarse +2, no closing byte", {0x7F, 0x7F, 0x04, 0x04, 0x00, 0x42}, &TSynth::MasterCoarseTuning, 2.0},
      {"lsb counts", {0x7F, 0x7F, 0x04, 0x04, 0x40, 0x40, 0xF7}, &TSynth::MasterCoarseTuning, 0.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    synth->Reset();
    Send(c.Payload);
    EXPECT_DOUBLE_EQ((*synth).*c.Field, c.Expected);
  }
}

// --- Mode switches ----------------------------------------------------------

TEST_F(SysExTest, GeneralMIDIAndDLSSwitchesSetOnlyTheModeFields) {
  struct TModeCase {
    const char* Name;
    int32_t Mode, Allocation;  // before
    uint8_t SubID, Command;
    int32_t ExpectedMode, ExpectedAllocation;
  };
  const TModeCase cases[] = {
      {"GM1 on", 0, 0, 0x09, 0x01, 1, 0},  {"GM off", 2, 1, 0x09, 0x02, 0, 1},
      {"GM2 on", 1, 0, 0x09, 0x03, 2, 0},  {"GM unknown", 1, 0, 0x09, 0x04, 1, 0},
      {"DLS on from SF2", 0, 0, 0x0A, 0x01, 1, 1}, {"DLS on keeps GM2", 2, 0, 0x0A, 0x01, 2, 1},
      {"DLS off", 2, 1, 0x0A, 0x02, 0, 0}, {"DLS allocation off", 2, 1, 0x0A, 0x03, 2, 0},
      {"DLS allocation on", 1, 0, 0x0A, 0x04, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    synth->GeneralMIDIMode = c.Mode;
    synth->VoiceAllocationAlgorithm = c.Allocation;
    Send({0x7E, 0x7F, c.SubID, c.Command, 0xF7});
    EXPECT_EQ(synth->GeneralMIDIMode, c.ExpectedMode);
    EXPECT_EQ(synth->VoiceAllocationAlgorithm, c.ExpectedAllocation);
  }
}

TEST_F(SysExTest, GM2OnResetsNothing) {
  Send({0x7F, 0x7F, 0x04, 0x01, 0x00, 0x20, 0xF7});                        // volume 0.25
  Send({0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 0x3C, 0x3D, 0x00, 0x00, 0xF7});  // key 60 -> 61
  Send(TBytes{0x7F, 0x7F, 0x08, 0x08, 0x00, 0x00, 0x01} + Repeat(0x7F, 12) + TBytes{0xF7});
  Send({0x7E, 0x7F, 0x09, 0x03, 0xF7});
  EXPECT_EQ(synth->GeneralMIDIMode, 2);
  EXPECT_DOUBLE_EQ(synth->MasterVolume, 0.25);
  EXPECT_DOUBLE_EQ(Table(0, 0, 60), 61.0);
  EXPECT_DOUBLE_EQ(ChannelTable(0)[0], 0.63);
}

// --- Global Parameter Control -------------------------------------------------

TEST_F(SysExTest, GlobalParameterControlReachesTheEffects) {
  TReverbSettings& reverb = synth->Reverb->GeneralMIDISettings;
  Send({0x7F, 0x7F, 0x04, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0xF7});  // reverb type 0
  EXPECT_DOUBLE_EQ(reverb.Width, 0.5);
  EXPECT_DOUBLE_EQ(reverb.DelayTime, 0.0);

  Send({0x7F, 0x7F, 0x04, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x04, 0xF7});  // reverb type 4
  EXPECT_DOUBLE_EQ(reverb.Width, 0.8);
  EXPECT_DOUBLE_EQ(reverb.DelayTime, 0.03);
  EXPECT_DOUBLE_EQ(reverb.Gain, 1.5 * 0.009);
  EXPECT_DOUBLE_EQ(reverb.RoomSize, 1.0 - 0.17 / 1.8);

  Send({0x7F, 0x7F, 0x04, 0x05, 0x01, 0x01, 0x01, 0x01, 0x02, 0x01, 0x40, 0xF7});  // chorus rate 64
  EXPECT_DOUBLE_EQ(synth->Chorus->GeneralMIDISettings.SpeedHz, 64 * 0.122);
}

TEST_F(SysExTest, GlobalParameterControlPairsAndWidths) {
  TReverbSettings& reverb = synth->Reverb->GeneralMIDISettings;
  // Two pairs in order: type 0 (width 0.5), then reverb time 40 = 1 s.
  Send({0x7F, 0x7F, 0x04, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0x01, 0x28, 0xF7});
  EXPECT_DOUBLE_EQ(reverb.Width, 0.5);
  EXPECT_DOUBLE_EQ(reverb.RoomSize, 0.83);

  // Two-byte parameter numbers and values, big-endian 7-bit groups, no closing byte.
  Send({0x7F, 0x7F, 0x04, 0x05, 0x01, 0x02, 0x02, 0x01, 0x01, 0x00, 0x00, 0x00, 0x04});
  EXPECT_DOUBLE_EQ(reverb.Width, 0.8);

  // A parameter number too wide for 32 bits must not wrap to 0 (type).
  Send({0x7F, 0x7F, 0x04, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0xF7});
  Send({0x7F, 0x7F, 0x04, 0x05, 0x01, 0x05, 0x01, 0x01, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x04, 0xF7});
  EXPECT_DOUBLE_EQ(reverb.Width, 0.5);

  // 100 chorus-rate pairs: every one applies in order, the last one wins.
  TBytes many{0x7F, 0x7F, 0x04, 0x05, 0x01, 0x01, 0x01, 0x01, 0x02};
  for (int i = 0; i < 100; i++) many = many + TBytes{0x01, static_cast<uint8_t>(i)};
  Send(many + TBytes{0xF7});
  EXPECT_DOUBLE_EQ(synth->Chorus->GeneralMIDISettings.SpeedHz, 99 * 0.122);
}

// --- MIDI Tuning Standard ----------------------------------------------------

// 128 frequency entries: key k keeps its number except three marked keys.
TBytes FrequencyEntries() {
  TBytes entries;
  for (int key = 0; key < 128; key++) {
    if (key == 60) {
      entries = entries + TBytes{0x3C, 0x20, 0x00};  // 60 + 4096/16384
    } else if (key == 61) {
      entries = entries + TBytes{0x7F, 0x7F, 0x7F};  // no change
    } else if (key == 62) {
      entries = entries + TBytes{0x3E, 0x7F, 0x00};  // 62 + 16256/16384
    } else {
      entries = entries + TBytes{static_cast<uint8_t>(key), 0x00, 0x01};  // + 1/16384
    }
  }
  return entries;
}

void ExpectDumpedTable(const TTuningTable& table) {
  EXPECT_DOUBLE_EQ(table[60], 60.25);
  EXPECT_DOUBLE_EQ(table[61], 61.0);
  EXPECT_DOUBLE_EQ(table[62], 62.0 + 16256.0 / 16384.0);
  EXPECT_DOUBLE_EQ(table[0], 1.0 / 16384.0);
  EXPECT_DOUBLE_EQ(table[127], 127.0 + 1.0 / 16384.0);
}

TEST_F(SysExTest, BulkTuningDumpWritesBankZeroAndIgnoresTheChecksum) {
  ASSERT_FALSE(synth->TuningTablesChanged.load());
  const TBytes dump = TBytes{0x7E, 0x00, 0x08, 0x01, 0x05} + Repeat('A', 16) + FrequencyEntries() +
                      TBytes{0x55 /* wrong checksum */, 0xF7};
  ASSERT_EQ(dump.size(), 407u);
  Send(dump);
  ASSERT_NE(synth->TuningTables->Find(0, 5), nullptr);
  ExpectDumpedTable(*synth->TuningTables->Find(0, 5));
  EXPECT_DOUBLE_EQ(Table(0, 4, 60), 60.0);
  EXPECT_TRUE(synth->TuningTablesChanged.load());
  EXPECT_EQ(synth->RetuneCount, 0);  // non-real-time: from the next note

  synth->Reset();
  EXPECT_DOUBLE_EQ(Table(0, 5, 60), 60.0);
  EXPECT_FALSE(synth->TuningTablesChanged.load());
}

TEST_F(SysExTest, KeyBasedDumpWithBank) {
  const TBytes dump = TBytes{0x7E, 0x00, 0x08, 0x04, 0x03, 0x07} + Repeat('B', 16) + FrequencyEntries();
  ASSERT_EQ(dump.size(), 406u);  // shortest accepted: no checksum, no closing byte
  Send(dump);
  ASSERT_NE(synth->TuningTables->Find(3, 7), nullptr);
  ExpectDumpedTable(*synth->TuningTables->Find(3, 7));
  EXPECT_DOUBLE_EQ(Table(0, 7, 60), 60.0);
}

TEST_F(SysExTest, SingleNoteTuningChangeIsRealTime) {
  Send({0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 0x3C, 0x3D, 0x00, 0x00, 0xF7});
  EXPECT_DOUBLE_EQ(Table(0, 0, 60), 61.0);
  EXPECT_TRUE(synth->TuningTablesChanged.load());
  EXPECT_EQ(synth->RetuneCount, 1);

  // Program 9, three entries: a key above 127 is skipped, 7F 7F 7F keeps the
  // key, and an entry cut short by the end of the message is not applied.
  Send({0x7F, 0x7F, 0x08, 0x02, 0x09, 0x03,  //
        0x85, 0x10, 0x00, 0x00,              //
        0x40, 0x40, 0x40, 0x00,              // 64 + 0.5
        0x41, 0x7F, 0x7F, 0x7F,              //
        0x42, 0x10, 0x00, 0xF7});
  EXPECT_DOUBLE_EQ(Table(0, 9, 64), 64.5);
  EXPECT_DOUBLE_EQ(Table(0, 9, 65), 65.0);
  EXPECT_DOUBLE_EQ(Table(0, 9, 66), 66.0);
  EXPECT_DOUBLE_EQ(Table(0, 9, 5), 5.0);  // 0x85 masked would have been key 5
  EXPECT_EQ(synth->RetuneCount, 2);
}

TEST_F(SysExTest, SingleNoteTuningChangeWithBank) {
  Send({0x7E, 0x00, 0x08, 0x07, 0x02, 0x03, 0x00, 0x3C, 0x3B, 0x00, 0x00, 0xF7});
  EXPECT_DOUBLE_EQ(Table(2, 3, 60), 59.0);
  EXPECT_EQ(synth->RetuneCount, 0);

  Send({0x7F, 0x00, 0x08, 0x07, 0x02, 0x03, 0x01, 0x3C, 0x3C, 0x40, 0x00, 0x3D, 0x3E, 0x00, 0x00, 0xF7});
  EXPECT_DOUBLE_EQ(Table(2, 3, 60), 60.5);
  EXPECT_DOUBLE_EQ(Table(2, 3, 61), 62.0);
  EXPECT_EQ(synth->RetuneCount, 1);
}

TEST_F(SysExTest, ScaleOctaveDumpsFillEveryKey) {
  TBytes oneByte(12, 64);
  oneByte[0] = 64 + 50;
  oneByte[11] = 0;
  Send(TBytes{0x7E, 0x00, 0x08, 0x05, 0x01, 0x02} + Repeat('C', 16) + oneByte + TBytes{0x00, 0xF7});
  for (int key : {0, 60, 120}) EXPECT_DOUBLE_EQ(Table(1, 2, key), key + 0.5) << key;
  EXPECT_DOUBLE_EQ(Table(1, 2, 61), 61.0);
  EXPECT_DOUBLE_EQ(Table(1, 2, 71), 71.0 - 0.64);

  TBytes twoByte;
  for (int i = 0; i < 12; i++) twoByte = twoByte + TBytes{0x40, 0x00};  // 8192: no offset
  twoByte[0] = 0x60;                                                    // 12288: +0.5
  twoByte[2] = 0x00;                                                    // 0: -1
  twoByte[22] = 0x7F;                                                   // 16383 - 8192
  twoByte[23] = 0x7F;
  Send(TBytes{0x7E, 0x00, 0x08, 0x06, 0x04, 0x05} + Repeat('D', 16) + twoByte + TBytes{0x00, 0xF7});
  EXPECT_DOUBLE_EQ(Table(4, 5, 12), 12.5);
  EXPECT_DOUBLE_EQ(Table(4, 5, 13), 12.0);
  EXPECT_DOUBLE_EQ(Table(4, 5, 14), 14.0);
  EXPECT_DOUBLE_EQ(Table(4, 5, 23), 23.0 + 8191.0 / 8192.0);
  EXPECT_TRUE(synth->TuningTablesChanged.load());
  EXPECT_EQ(synth->RetuneCount, 0);
}

TEST_F(SysExTest, ChannelScaleOctaveTuning) {
  TBytes oneByte(12, 64);
  oneByte[0] = 64 + 50;
  Send(TBytes{0x7E, 0x7F, 0x08, 0x08, 0x00, 0x00, 0x01} + oneByte + TBytes{0xF7});  // channel index 0
  for (int key : {0, 12, 60, 120}) EXPECT_DOUBLE_EQ(ChannelTable(0)[key], 0.5) << key;
  EXPECT_DOUBLE_EQ(ChannelTable(0)[61], 0.0);
  for (int channel = 1; channel < 16; channel++) EXPECT_DOUBLE_EQ(ChannelTable(channel)[60], 0.0) << channel;
  EXPECT_TRUE(synth->Channels[0]->TuningTableChanged.load());
  EXPECT_EQ(synth->RetuneCount, 0);

  // Real time, two-byte form, ff = 3 selects channel indices 14 and 15, hh bit 1 index 1.
  TBytes twoByte;
  for (int i = 0; i < 12; i++) twoByte = twoByte + TBytes{0x40, 0x00};
  twoByte[2] = 0x20;  // s1 = 4096: -0.5
  Send(TBytes{0x7F, 0x7F, 0x08, 0x09, 0x03, 0x00, 0x02} + twoByte + TBytes{0xF7});
  for (int channel : {1, 14, 15}) {
    EXPECT_DOUBLE_EQ(ChannelTable(channel)[61], -0.5) << channel;
    EXPECT_DOUBLE_EQ(ChannelTable(channel)[60], 0.0) << channel;
  }
  EXPECT_DOUBLE_EQ(ChannelTable(2)[61], 0.0);
  EXPECT_DOUBLE_EQ(ChannelTable(0)[60], 0.5);
  EXPECT_EQ(synth->RetuneCount, 1);

  synth->Reset();
  EXPECT_DOUBLE_EQ(ChannelTable(0)[60], 0.0);
  EXPECT_DOUBLE_EQ(ChannelTable(15)[61], 0.0);
  EXPECT_FALSE(synth->Channels[0]->TuningTableChanged.load());
}

// --- Messages that must change nothing ---------------------------------------

// Everything a system-exclusive message may change.
struct TSynthSnapshot {
  explicit TSynthSnapshot(const TSynth& s)
      : Volume(s.MasterVolume), Balance(s.MasterBalance), Fine(s.MasterFineTuning), Coarse(s.MasterCoarseTuning),
        Mode(s.GeneralMIDIMode), Allocation(s.VoiceAllocationAlgorithm),
        Tables(std::make_unique<TTuningTables>(*s.TuningTables)), TablesChanged(s.TuningTablesChanged.load()),
        Reverb(s.Reverb->GeneralMIDISettings), Chorus(s.Chorus->GeneralMIDISettings) {
    for (size_t i = 0; i < 16; i++) Channels[i] = s.Channels[i]->TuningTable;
  }
  bool Matches(const TSynth& s) const {
    const TSynthSnapshot now(s);
    return Volume == now.Volume && Balance == now.Balance && Fine == now.Fine && Coarse == now.Coarse &&
           Mode == now.Mode && Allocation == now.Allocation && *Tables == *now.Tables &&
           TablesChanged == now.TablesChanged && SameReverb(now.Reverb) && SameChorus(now.Chorus) &&
           Channels == now.Channels;
  }
  bool SameReverb(const TReverbSettings& r) const {
    return Reverb.Gain == r.Gain && Reverb.RoomSize == r.RoomSize && Reverb.Damp == r.Damp && Reverb.Wet == r.Wet &&
           Reverb.Width == r.Width && Reverb.DelayTime == r.DelayTime;
  }
  bool SameChorus(const TChorusSettings& c) const {
    return Chorus.DepthMS == c.DepthMS && Chorus.FeedBack == c.FeedBack && Chorus.ReverbSend == c.ReverbSend &&
           Chorus.SpeedHz == c.SpeedHz;
  }

  double Volume, Balance, Fine, Coarse;
  int32_t Mode, Allocation;
  std::unique_ptr<TTuningTables> Tables;
  bool TablesChanged;
  TReverbSettings Reverb;
  TChorusSettings Chorus;
  std::array<TTuningTable, 16> Channels{};
};

TEST_F(SysExTest, MalformedAndForeignMessagesChangeNothing) {
  struct TIgnoredCase {
    const char* Name;
    TBytes Payload;
  };
  const TBytes name = Repeat(0, 16);
  TBytes shortEntries = FrequencyEntries();
  shortEntries.pop_back();
  const TIgnoredCase cases[] = {
      {"empty", {}},
      {"still begins with F0", {0xF0, 0x7F, 0x7F, 0x04, 0x01, 0x00, 0x20, 0xF7}},
      {"Roland GS reset", {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}},
      {"Yamaha XG reset", {0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}},
      {"header only", {0x7F, 0x7F, 0x04}},
      {"unknown sub-ID", {0x7F, 0x7F, 0x0C, 0x01, 0x00, 0x20, 0xF7}},
      {"unknown device control", {0x7F, 0x7F, 0x04, 0x06, 0x00, 0x20, 0xF7}},
      {"volume without msb", {0x7F, 0x7F, 0x04, 0x01, 0x00}},
      {"volume with closing byte for msb", {0x7F, 0x7F, 0x04, 0x01, 0x00, 0xF7}},
      {"volume after early closing byte", {0x7F, 0x7F, 0x04, 0xF7, 0x01, 0x00, 0x20}},
      {"GPC without widths", {0x7F, 0x7F, 0x04, 0x05, 0x01, 0x01, 0xF7}},
      {"GPC slot path past end", {0x7F, 0x7F, 0x04, 0x05, 0x02, 0x01, 0x01, 0x01, 0x01, 0xF7}},
      {"GPC unknown slot", {0x7F, 0x7F, 0x04, 0x05, 0x01, 0x01, 0x01, 0x01, 0x03, 0x00, 0x00, 0xF7}},
      {"GPC two-entry slot path", {0x7F, 0x7F, 0x04, 0x05, 0x02, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00}},
      {"bulk dump one byte short", TBytes{0x7E, 0x00, 0x08, 0x01, 0x05} + name + shortEntries + TBytes{0xF7}},
      {"bulk dump real-time", TBytes{0x7F, 0x00, 0x08, 0x01, 0x05} + name + FrequencyEntries() + TBytes{0, 0xF7}},
      {"bank dump bank above 127", TBytes{0x7E, 0x00, 0x08, 0x04, 0x83, 0x05} + name + FrequencyEntries()},
      {"single note non-real-time", {0x7E, 0x7F, 0x08, 0x02, 0x00, 0x00, 0x3C, 0x3D, 0x00, 0x00, 0xF7}},
      {"single note without count", {0x7F, 0x7F, 0x08, 0x02, 0x00}},
      {"single note program above 127", {0x7F, 0x7F, 0x08, 0x02, 0x80, 0x00, 0x3C, 0x3D, 0x00, 0x00, 0xF7}},
      {"bank single note without count", {0x7F, 0x7F, 0x08, 0x07, 0x00, 0x00}},
      {"scale dump short", TBytes{0x7E, 0x00, 0x08, 0x05, 0x00, 0x00} + name + Repeat(0x70, 11) + TBytes{0xF7}},
      {"scale dump real-time", TBytes{0x7F, 0x00, 0x08, 0x05, 0x00, 0x00} + name + Repeat(0x70, 12)},
      {"two-byte scale dump short", TBytes{0x7E, 0x00, 0x08, 0x06, 0x00, 0x00} + name + Repeat(0x70, 23)},
      {"channel scale short", TBytes{0x7F, 0x7F, 0x08, 0x08, 0x03, 0x7F, 0x7F} + Repeat(0x70, 11) + TBytes{0xF7}},
      {"two-byte channel scale short", TBytes{0x7F, 0x7F, 0x08, 0x09, 0x03, 0x7F, 0x7F} + Repeat(0x70, 23)},
      {"unknown tuning form", {0x7F, 0x7F, 0x08, 0x03, 0x00, 0x00, 0x3C, 0x3D, 0x00, 0x00, 0xF7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    synth->Reset();
    synth->RetuneCount = 0;
    const TSynthSnapshot before(*synth);
    Send(c.Payload);
    EXPECT_TRUE(before.Matches(*synth));
    EXPECT_EQ(synth->RetuneCount, 0);
  }

  // No payload at all, or a payload of length 0.
  TMIDIEvent event;
  event.Command = 0xF0;
  event.SysExLength = 7;
  synth->ProcessEventSysEx(event);
  uint8_t byte = 0x7F;
  event.SysEx = &byte;
  event.SysExLength = 0;
  synth->ProcessEventSysEx(event);
  EXPECT_DOUBLE_EQ(synth->MasterVolume, 1.0);
}

TEST_F(SysExTest, QueuedSystemExclusiveIsDispatchedAtItsFrame) {
  const TBytes volume{0x7F, 0x7F, 0x04, 0x01, 0x00, 0x20, 0xF7};
  TMIDIEvent event;
  event.Position = 10;
  event.Command = 0xF0;
  event.SysEx = new uint8_t[volume.size()];
  std::copy(volume.begin(), volume.end(), event.SysEx);
  event.SysExLength = static_cast<uint32_t>(volume.size());
  synth->AddEvent(event);  // the synth owns the payload from here on

  std::vector<TBufferSample> out(16);
  synth->FillBuffer(out.data(), 10);
  EXPECT_DOUBLE_EQ(synth->MasterVolume, 1.0);
  synth->FillBuffer(out.data(), 1);
  EXPECT_DOUBLE_EQ(synth->MasterVolume, 0.25);
}

}  // namespace
}  // namespace kelvane
