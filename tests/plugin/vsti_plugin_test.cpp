#include "plugin/vsti_plugin.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "banks/sf2_builder.h"
#include "banks/sample.h"
#include "plugin/exception_report.h"
#include "plugin/fake_vst_host.h"
#include "plugin/state_chunk.h"
#include "plugin/tuning_file.h"
#include "synth/channel.h"
#include "synth/chorus.h"
#include "synth/generators.h"
#include "synth/reverb.h"
#include "synth/voice.h"

namespace kelvane {
namespace {

using testing::TFakeHost;

VstIntPtr Dispatch(TVSTiPlugin& plugin, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0,
                   void* ptr = nullptr, float opt = 0.0f) {
  AEffect* effect = plugin.GetEffect();
  return effect->dispatcher(effect, opcode, index, value, ptr, opt);
}

VstMidiEvent Midi(int32_t delta, uint8_t status, uint8_t data1, uint8_t data2 = 0) {
  VstMidiEvent event{};
  event.type = kVstMidiType;
  event.byteSize = sizeof(VstMidiEvent);
  event.deltaFrames = delta;
  event.midiData[0] = static_cast<char>(status);
  event.midiData[1] = static_cast<char>(data1);
  event.midiData[2] = static_cast<char>(data2);
  return event;
}

VstMidiSysexEvent SysEx(int32_t delta, std::vector<char>& bytes) {
  VstMidiSysexEvent event{};
  event.type = kVstSysExType;
  event.byteSize = sizeof(VstMidiSysexEvent);
  event.deltaFrames = delta;
  event.dumpBytes = static_cast<VstInt32>(bytes.size());
  event.sysexDump = bytes.empty() ? nullptr : bytes.data();
  return event;
}

// Hands events to the plug-in the way a host does: one VstEvents block.
template <typename... TEvents>
VstIntPtr SendEvents(TVSTiPlugin& plugin, TEvents&... events) {
  struct {
    VstInt32 numEvents;
    VstIntPtr reserved;
    VstEvent* events[sizeof...(TEvents)];
  } block{static_cast<VstInt32>(sizeof...(TEvents)), 0, {reinterpret_cast<VstEvent*>(&events)...}};
  return Dispatch(plugin, effProcessEvents, 0, 0, &block);
}

struct TStereoBlock {
  explicit TStereoBlock(int32_t frames, float fill = 0.0f)
      : Left(static_cast<size_t>(frames), fill), Right(static_cast<size_t>(frames), fill) {}
  float** Pointers() {
    fPointers[0] = Left.data();
    fPointers[1] = Right.data();
    return fPointers;
  }
  std::vector<float> Left, Right;

 private:
  float* fPointers[2] = {};
};

void Render(TVSTiPlugin& plugin, TStereoBlock& block, bool replace = true) {
  AEffect* effect = plugin.GetEffect();
  const auto frames = static_cast<VstInt32>(block.Left.size());
  if (replace)
    effect->processReplacing(effect, nullptr, block.Pointers(), frames);
  else
    effect->process(effect, nullptr, block.Pointers(), frames);
}

std::vector<int16_t> Sine(int32_t frames, double period, double amplitude) {
  std::vector<int16_t> data(static_cast<size_t>(frames));
  for (int32_t i = 0; i < frames; i++)
    data[static_cast<size_t>(i)] =
        static_cast<int16_t>(amplitude * std::sin(2.0 * std::numbers::pi * i / period));
  return data;
}

// Sample names of the voices sounding now.
std::vector<std::string> SoundingSamples(TSynth& synth) {
  std::vector<std::string> names;
  for (int32_t i = 0; i < synth.NumberOfVoices; i++) {
    const TVoice& voice = *synth.Voices[static_cast<size_t>(i)];
    if (voice.Active && voice.Sample != nullptr) names.push_back(voice.Sample->Name);
  }
  return names;
}

// A bank file with two looped sine presets: bank 0 program 0 plays sample
// "Zero", program 5 plays sample "Five".
class VSTiPluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    test::Sf2Builder b;
    b.sample("Zero", Sine(400, 100.0, 16000.0)).loop(100, 300).pitch(60);
    b.sample("Five", Sine(400, 50.0, 8000.0)).loop(100, 300).pitch(60);
    b.instrument("Zero").zone().gen(gen::sampleModes, 1).sampleId(0);
    b.instrument("Five").zone().gen(gen::sampleModes, 1).sampleId(1);
    b.preset("Zero", 0, 0).zone().instrument(0);
    b.preset("Five", 0, 5).zone().instrument(1);
    const std::vector<uint8_t> bytes = b.build();
    // ctest runs each test in its own process, in parallel: one file per process,
    // or one process's tear-down removes the bank another is attaching.
    BankFile = std::string(KELVANE_BINARY_DIR) + "/vsti_plugin_test_bank_" + std::to_string(std::random_device{}()) + ".sf2";
    std::FILE* file = std::fopen(BankFile.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
  }
  static void TearDownTestSuite() { std::remove(BankFile.c_str()); }

  void SetUp() override { TFakeHost::Reset(); }

  std::unique_ptr<TVSTiPlugin> NewPlugin() { return std::make_unique<TVSTiPlugin>(&TFakeHost::Callback); }

  // Adds the test bank with every preset enabled and applies the program.
  static void AddBank(TVSTiPlugin& plugin) {
    auto bank = std::make_unique<TBank>();
    bank->FileName = BankFile;
    bank->ActiveAllBankPrograms = SwitchOn;
    plugin.Programs[0].Banks.push_back(std::move(bank));
    plugin.ChangeProgram(0);
  }

  static inline std::string BankFile;
};

TEST_F(VSTiPluginTest, ConstructionSetsDefaultsAndDescribesTheInstrument) {
  auto plugin = NewPlugin();
  const AEffect& effect = *plugin->GetEffect();
  EXPECT_EQ(effect.uniqueID, FourCharToLong('K', 'L', 'V', 'N'));
  EXPECT_EQ(effect.numPrograms, 1);
  EXPECT_EQ(effect.numParams, 1);
  EXPECT_EQ(effect.numInputs, 2);
  EXPECT_EQ(effect.numOutputs, 2);
  for (VstInt32 flag : {effFlagsIsSynth, effFlagsProgramChunks, effFlagsCanReplacing, effFlagsHasEditor})
    EXPECT_NE(effect.flags & flag, 0) << flag;
  for (VstInt32 flag : {effFlagsHasVu, effFlagsCanMono}) EXPECT_EQ(effect.flags & flag, 0) << flag;

  // The host was asked for its vendor and product strings.
  bool vendor = false, product = false;
  for (const auto& call : TFakeHost::Calls) {
    vendor |= call.Opcode == audioMasterGetVendorString;
    product |= call.Opcode == audioMasterGetProductString;
  }
  EXPECT_TRUE(vendor);
  EXPECT_TRUE(product);

  const TVSTiProgram& program = plugin->Programs[0];
  EXPECT_EQ(program.Name, "Kelvane VSTi");
  EXPECT_EQ(program.Parameters[1], 1.0f);
  for (const TVSTiMIDIChannel& channel : program.MIDIChannels) {
    EXPECT_EQ(channel.BankIndex, -1);
    EXPECT_EQ(channel.ProgramIndex, -1);
    EXPECT_EQ(channel.Flags, mcfEnforceBankAndProgram);
  }
  EXPECT_EQ(plugin->AudioChannels, 2);
  EXPECT_EQ(plugin->GetProgram(), 0);

  // The program's settings reached the synthesizer.
  const TSynth& synth = *plugin->Synth;
  EXPECT_EQ(synth.NumberOfVoices, 64);
  EXPECT_EQ(synth.MasterBalance, 0.5);
  EXPECT_EQ(synth.ResamplingMethod, 3);
  EXPECT_TRUE(synth.Chorus->Active);
  EXPECT_TRUE(synth.Reverb->Active);
  EXPECT_FALSE(synth.DoAGC);
  EXPECT_EQ(synth.SampleRate, 44100);
}

TEST_F(VSTiPluginTest, ChangeProgramCopiesTheSettings) {
  auto plugin = NewPlugin();
  TVSTiData& data = plugin->Programs[0].Data;
  data.Voices = 17;
  data.Volume = 0.5f;
  data.Balance = -1.0f;
  data.CoarseTuning = -3;
  data.FineTuning = 25;
  data.AGC = SwitchOn;
  data.Chorus = SwitchOff;
  data.Reverb = SwitchOff;
  data.EMU10K1Mode = SwitchOff;
  data.IgnoreSampleLinks = 1;  // any non-zero value is on
  data.GeneralMIDIMode = 2;
  plugin->Programs[0].MIDIChannels[3].TuningTable[60] = 61.5;
  plugin->Programs[0].MIDIChannels[3].SetFlag(mcfTuningTableActive, true);
  plugin->ChangeProgram(0);

  const TSynth& synth = *plugin->Synth;
  EXPECT_EQ(synth.NumberOfVoices, 17);
  EXPECT_EQ(synth.MasterVolume, 0.5);
  EXPECT_EQ(synth.MasterBalance, 0.0);
  EXPECT_EQ(synth.MasterCoarseTuning, -3.0);
  EXPECT_EQ(synth.MasterFineTuning, 25.0);
  EXPECT_TRUE(synth.DoAGC);
  EXPECT_FALSE(synth.Chorus->Active);
  EXPECT_FALSE(synth.Reverb->Active);
  EXPECT_FALSE(synth.EMU10K1Mode);
  EXPECT_TRUE(synth.IgnoreSampleLinks);
  EXPECT_EQ(synth.GeneralMIDIMode, 2);
  EXPECT_TRUE(synth.Channels[3]->UseForcedTuningTable);
  EXPECT_EQ(synth.Channels[3]->ForcedTuningTable[60], 61.5);
  EXPECT_FALSE(synth.Channels[4]->UseForcedTuningTable);
}

TEST_F(VSTiPluginTest, HostStringsAndCanDo) {
  auto plugin = NewPlugin();
  char text[256];
  auto query = [&](VstInt32 opcode, VstInt32 index = 0) {
    std::memset(text, 'x', sizeof(text));
    text[sizeof(text) - 1] = '\0';
    const VstIntPtr answer = Dispatch(*plugin, opcode, index, 0, text);
    return std::make_pair(answer, std::string(text));
  };
  EXPECT_EQ(query(effGetEffectName), std::make_pair(VstIntPtr{1}, std::string("Kelvane")));
  EXPECT_EQ(query(effGetVendorString), std::make_pair(VstIntPtr{1}, std::string("Corvin Ashdale")));
  EXPECT_EQ(query(effGetProductString), std::make_pair(VstIntPtr{1}, std::string("Kelvane")));
  EXPECT_EQ(Dispatch(*plugin, effGetVendorVersion), 1);
  EXPECT_EQ(query(effGetProgramNameIndexed, 0), std::make_pair(VstIntPtr{1}, std::string("Kelvane VSTi")));
  EXPECT_EQ(query(effGetProgramNameIndexed, 1), std::make_pair(VstIntPtr{0}, std::string()));
  EXPECT_EQ(query(effGetParamName, 0).second, "Volume");
  EXPECT_EQ(query(effGetParamName, 1).second, "");
  EXPECT_EQ(query(effGetParamLabel, 0).second, "");
  EXPECT_EQ(Dispatch(*plugin, effGetVu), 0);

  struct Case {
    const char* Text;
    VstIntPtr Answer;
  };
  for (const Case c : {Case{"receiveVstEvents", 1}, Case{"receiveVstMidiEvent", 1}, Case{"sendVstEvents", 1},
                       Case{"sendVstMidiEvent", 1}, Case{"", -1}, Case{"ReceiveVstEvents", -1},
                       Case{"receiveVstTimeInfo", -1}, Case{"receiveVstEvents ", -1}}) {
    std::string asked = c.Text;
    EXPECT_EQ(Dispatch(*plugin, effCanDo, 0, 0, asked.data()), c.Answer) << '"' << c.Text << '"';
  }

  for (VstInt32 pin = 0; pin < 3; ++pin) {
    VstPinProperties properties{};
    std::strcpy(properties.label, "untouched");
    const VstIntPtr answer = Dispatch(*plugin, effGetOutputProperties, pin, 0, &properties);
    if (pin < 2) {
      EXPECT_EQ(answer, 1);
      EXPECT_STREQ(properties.label, pin == 0 ? "KLVN 1" : "KLVN 2");
      EXPECT_EQ(properties.flags, kVstPinIsActive | kVstPinIsStereo);
    } else {
      EXPECT_EQ(answer, 0);
      EXPECT_STREQ(properties.label, "untouched");
    }
  }
}

TEST_F(VSTiPluginTest, ProgramNameIsSetAndCutToTheHostBuffer) {
  auto plugin = NewPlugin();
  std::string name = "Strings";
  Dispatch(*plugin, effSetProgramName, 0, 0, name.data());
  EXPECT_EQ(plugin->Programs[0].Name, "Strings");

  plugin->Programs[0].Name = std::string(40, 'n');
  char buffer[kVstMaxProgNameLen + 8];
  std::memset(buffer, '#', sizeof(buffer));
  Dispatch(*plugin, effGetProgramName, 0, 0, buffer);
  EXPECT_EQ(std::strlen(buffer), static_cast<size_t>(kVstMaxProgNameLen - 1));
  EXPECT_EQ(buffer[kVstMaxProgNameLen], '#');
}

TEST_F(VSTiPluginTest, VolumeParameterSetGetAndDisplay) {
  auto plugin = NewPlugin();
  AEffect* effect = plugin->GetEffect();
  struct Case {
    float Value;
    const char* Display;
  };
  for (const Case c : {Case{0.5f, "0.5"}, Case{1.0f, "1"}, Case{0.0f, "0"}, Case{0.1f, "0.1"},
                       Case{0.25f, "0.25"}, Case{1.0f / 3.0f, "0.33333"}, Case{12345678.0f, "1.2e+07"}}) {
    effect->setParameter(effect, 0, c.Value);
    EXPECT_EQ(effect->getParameter(effect, 0), c.Value);
    EXPECT_EQ(plugin->Programs[0].Parameters[1], c.Value);
    char display[kVstMaxParamStrLen + 8];
    std::memset(display, '#', sizeof(display));
    Dispatch(*plugin, effGetParamDisplay, 0, 0, display);
    EXPECT_STREQ(display, c.Display) << c.Value;
  }
  // Only parameter 0 exists.
  effect->setParameter(effect, 1, 0.75f);
  EXPECT_EQ(effect->getParameter(effect, 1), 0.0f);
  EXPECT_EQ(plugin->Programs[0].Parameters[1], 12345678.0f);
  char display[16] = "x";
  Dispatch(*plugin, effGetParamDisplay, 1, 0, display);
  EXPECT_STREQ(display, "");
}

TEST(VSTiPluginBuffer, SynthBufferSizeRoundsDownToWholePages) {
  // (2n + 4096) rounded down to a multiple of 4096 floats.
  struct Case {
    int32_t Frames, Floats;
  };
  for (const Case c : {Case{0, 4096}, Case{64, 4096}, Case{2047, 4096}, Case{2048, 8192}, Case{5000, 12288}})
    EXPECT_EQ(SynthBufferFloatsFor(c.Frames), c.Floats) << c.Frames;
}

TEST_F(VSTiPluginTest, EventsAreSortedStableAndSysExIsCopied) {
  auto plugin = NewPlugin();
  std::vector<char> sysExBytes = {char(0xF0), 0x7E, 0x7F, 0x09, 0x01, char(0xF7)};
  std::vector<char> emptySysEx;
  VstMidiEvent late = Midi(10, 0x90, 60, 100);
  VstMidiEvent firstAt5 = Midi(5, 0x90, 61, 100);
  VstMidiEvent secondAt5 = Midi(5, 0x80, 61, 0);
  VstMidiEvent early = Midi(0, 0xB0, 7, 90);
  VstMidiSysexEvent sysEx = SysEx(5, sysExBytes);
  VstMidiSysexEvent empty = SysEx(1, emptySysEx);
  EXPECT_EQ(SendEvents(*plugin, late, firstAt5, secondAt5, early, sysEx, empty), 1);

  // Changing the host's bytes after the call must not reach the copy.
  const std::vector<char> sent = sysExBytes;
  sysExBytes.assign(sysExBytes.size(), 0);

  const auto& list = plugin->MIDIEventList;
  ASSERT_EQ(list.size(), 5u);
  const int32_t deltas[] = {0, 5, 5, 5, 10};
  const uint8_t statuses[] = {0xB0, 0x90, 0x80, 0xF0, 0x90};
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i]->DeltaFrames, deltas[i]) << i;
    EXPECT_EQ(list[i]->MIDIData[0], statuses[i]) << i;
  }
  ASSERT_EQ(list[3]->SysExLength, sent.size());
  EXPECT_EQ(std::memcmp(list[3]->SysEx.get(), sent.data(), sent.size()), 0);

  // A block of 0 frames hands everything to the synthesizer in the same
  // order, the system-exclusive payload without its leading 0xF0.
  TStereoBlock none(0);
  Render(*plugin, none);
  EXPECT_TRUE(plugin->MIDIEventList.empty());
  EXPECT_EQ(plugin->MIDIEventFreeStack.size(), 5u);
  std::vector<std::pair<int64_t, uint8_t>> queued;
  const kelvane::TMIDIEvent* sysExRecord = nullptr;
  for (const kelvane::TMIDIEvent* e = plugin->Synth->EventFirst; e != nullptr; e = e->Next) {
    queued.emplace_back(e->Position, e->Command);
    if (e->Command == 0xF0) sysExRecord = e;
  }
  const std::vector<std::pair<int64_t, uint8_t>> expected = {{0, 0xB0}, {5, 0x90}, {5, 0x80}, {5, 0xF0}, {10, 0x90}};
  EXPECT_EQ(queued, expected);
  ASSERT_NE(sysExRecord, nullptr);
  ASSERT_EQ(sysExRecord->SysExLength, sent.size() - 1);
  EXPECT_EQ(std::memcmp(sysExRecord->SysEx, sent.data() + 1, sent.size() - 1), 0);

  // Spent records are reused.
  VstMidiEvent again = Midi(3, 0x90, 64, 100);
  SendEvents(*plugin, again);
  EXPECT_EQ(plugin->MIDIEventFreeStack.size(), 4u);
  EXPECT_EQ(plugin->MIDIEventList.front()->SysEx, nullptr);
}

TEST_F(VSTiPluginTest, EnforcedAssignmentDropsHostBankAndProgramChanges) {
  auto plugin = NewPlugin();
  TVSTiMIDIChannel& channel = plugin->Programs[0].MIDIChannels[0];
  channel.BankIndex = 0;
  channel.ProgramIndex = 5;
  VstMidiEvent program = Midi(0, 0xC0, 0);
  VstMidiEvent bankMSB = Midi(0, 0xB0, 0, 1);
  VstMidiEvent bankLSB = Midi(0, 0xB0, 32, 1);
  VstMidiEvent volume = Midi(0, 0xB0, 7, 1);
  VstMidiEvent otherChannel = Midi(0, 0xC1, 3);
  SendEvents(*plugin, program, bankMSB, bankLSB, volume, otherChannel);
  ASSERT_EQ(plugin->MIDIEventList.size(), 2u);
  EXPECT_EQ(plugin->MIDIEventList[0]->MIDIData[1], 7);
  EXPECT_EQ(plugin->MIDIEventList[1]->MIDIData[0], 0xC1);
}

TEST_F(VSTiPluginTest, RendersANoteAtItsFrameWithVolumeAndMinus6dB) {
  constexpr int32_t Frames = 5000;  // beyond the announced block size: the buffer grows
  constexpr int32_t NoteFrame = 100;
  auto renderNote = [&](float volume, bool lower, bool replace, float fill) {
    auto plugin = NewPlugin();
    Dispatch(*plugin, effSetBlockSize, 0, 64);
    AddBank(*plugin);
    plugin->Programs[0].Data.LowerVolumeByMinus6dB = lower ? SwitchOn : SwitchOff;
    plugin->GetEffect()->setParameter(plugin->GetEffect(), 0, volume);
    VstMidiEvent note = Midi(NoteFrame, 0x90, 60, 127);
    SendEvents(*plugin, note);
    TStereoBlock block(Frames, fill);
    Render(*plugin, block, replace);
    EXPECT_EQ(SoundingSamples(*plugin->Synth), std::vector<std::string>{"Zero"});
    return block;
  };

  const TStereoBlock unity = renderNote(1.0f, false, true, 7.0f);
  double energy = 0.0;
  for (int32_t k = 0; k < Frames; ++k) {
    if (k < NoteFrame) {
      // Replacing overwrites whatever the host left in the outputs.
      ASSERT_EQ(unity.Left[static_cast<size_t>(k)], 0.0f) << k;
      ASSERT_EQ(unity.Right[static_cast<size_t>(k)], 0.0f) << k;
    } else {
      energy += unity.Left[static_cast<size_t>(k)] * unity.Left[static_cast<size_t>(k)];
    }
  }
  EXPECT_GT(energy, 1.0);
  EXPECT_NE(unity.Left[NoteFrame + 10], 0.0f);

  // Volume 0.5 with the -6 dB switch: gain 0.5 * 0.50118723362.
  const TStereoBlock quieter = renderNote(0.5f, true, true, 0.0f);
  const double gain = static_cast<float>(0.5 * 0.50118723362);
  // Process adds to the outputs.
  const TStereoBlock added = renderNote(1.0f, false, false, 0.25f);
  for (size_t k = 0; k < static_cast<size_t>(Frames); ++k) {
    ASSERT_NEAR(quieter.Left[k], unity.Left[k] * gain, 1e-6 * std::fabs(unity.Left[k]) + 1e-12) << k;
    ASSERT_NEAR(quieter.Right[k], unity.Right[k] * gain, 1e-6 * std::fabs(unity.Right[k]) + 1e-12) << k;
    ASSERT_NEAR(added.Left[k], 0.25 + unity.Left[k], 1e-6) << k;
    ASSERT_NEAR(added.Right[k], 0.25 + unity.Right[k], 1e-6) << k;
  }
}

TEST_F(VSTiPluginTest, ChannelAssignmentOverridesHostProgramChangesWhenEnforced) {
  for (const bool enforce : {true, false}) {
    SCOPED_TRACE(enforce ? "enforced" : "not enforced");
    auto plugin = NewPlugin();
    TVSTiMIDIChannel& channel = plugin->Programs[0].MIDIChannels[0];
    channel.BankIndex = 0;
    channel.ProgramIndex = 5;
    channel.SetFlag(mcfEnforceBankAndProgram, enforce);
    AddBank(*plugin);  // applying the program marks the assignment for sending
    EXPECT_TRUE(channel.HasFlag(mcfHasNewBankOrProgram));

    TStereoBlock block(256);
    Render(*plugin, block);
    EXPECT_EQ(plugin->Synth->Channels[0]->ProgramNumber, 5);
    // Sent once without enforcement; kept (and checked every block) with it.
    EXPECT_EQ(channel.HasFlag(mcfHasNewBankOrProgram), enforce);

    VstMidiEvent hostProgram = Midi(0, 0xC0, 0);
    VstMidiEvent note = Midi(1, 0x90, 60, 127);
    if (enforce) {
      // A host bank select does not move an enforced channel either.
      VstMidiEvent bankMSB = Midi(0, 0xB0, 0, 1);
      VstMidiEvent bankLSB = Midi(0, 0xB0, 32, 3);
      SendEvents(*plugin, bankMSB, bankLSB, hostProgram, note);
    } else {
      SendEvents(*plugin, hostProgram, note);
    }
    Render(*plugin, block);
    EXPECT_EQ(SoundingSamples(*plugin->Synth), std::vector<std::string>{enforce ? "Five" : "Zero"});
    EXPECT_EQ(channel.ProgramIndex, enforce ? 5 : 0);
    EXPECT_EQ(channel.BankIndex, 0);
  }
}

TEST_F(VSTiPluginTest, HostBankSelectsAreTrackedWithoutEnforcement) {
  auto plugin = NewPlugin();
  for (TVSTiMIDIChannel& channel : plugin->Programs[0].MIDIChannels) channel.Flags = 0;
  VstMidiEvent msb = Midi(0, 0xB0, 0, 1);
  VstMidiEvent lsb = Midi(1, 0xB0, 32, 2);
  VstMidiEvent program = Midi(2, 0xC0, 0x85);  // data byte cut to 7 bits
  VstMidiEvent drumMSB = Midi(0, 0xB9, 0, 3);  // channel 10 stays on the percussion bank
  VstMidiEvent drumProgram = Midi(0, 0xC9, 25);
  SendEvents(*plugin, msb, lsb, program, drumMSB, drumProgram);
  TStereoBlock block(64);
  Render(*plugin, block);
  const auto& channels = plugin->Programs[0].MIDIChannels;
  EXPECT_EQ(channels[0].BankIndex, 1 * 128 + 2);
  EXPECT_EQ(channels[0].ProgramIndex, 5);
  EXPECT_EQ(channels[9].BankIndex, TVSTiPlugin::PercussionBank);
  EXPECT_EQ(channels[9].ProgramIndex, 25);
  // The events themselves were played.
  EXPECT_EQ(plugin->Synth->Channels[0]->ProgramNumber, 5);
  EXPECT_EQ(channels[1].BankIndex, -1);
}

TEST_F(VSTiPluginTest, PercussionAssignmentSetsDrumModeExceptOnChannel10) {
  auto plugin = NewPlugin();
  for (size_t i : {size_t{2}, size_t{9}}) {
    plugin->Programs[0].MIDIChannels[i].BankIndex = TVSTiPlugin::PercussionBank;
    plugin->Programs[0].MIDIChannels[i].ProgramIndex = 16;
  }
  plugin->ChangeProgram(0);
  TStereoBlock none(0);
  Render(*plugin, none);
  EXPECT_TRUE(plugin->Synth->Channels[2]->DrumMode);
  EXPECT_FALSE(plugin->Synth->Channels[9]->DrumMode);

  // Each channel gets bank select LSB 0, MSB 0 and the program change, in that order.
  std::vector<std::array<uint8_t, 3>> queued;
  for (const kelvane::TMIDIEvent* e = plugin->Synth->EventFirst; e != nullptr; e = e->Next) {
    EXPECT_EQ(e->Position, 0);
    queued.push_back({e->Command, e->Data[0], e->Data[1]});
  }
  const std::vector<std::array<uint8_t, 3>> expected = {
      {0xB2, 32, 0}, {0xB2, 0, 0}, {0xC2, 16, 0}, {0xB9, 32, 0}, {0xB9, 0, 0}, {0xC9, 16, 0}};
  EXPECT_EQ(queued, expected);
}

TEST_F(VSTiPluginTest, ChunkRoundTripGivesTheSameProgramAndSound) {
  auto first = NewPlugin();
  AddBank(*first);
  TVSTiProgram& program = first->Programs[0];
  program.Name = "Round trip";
  program.Data.Voices = 40;
  program.Data.Reverb = SwitchOff;
  program.Parameters[1] = 0.75f;
  program.MIDIChannels[1].BankIndex = 0;
  program.MIDIChannels[1].ProgramIndex = 5;
  program.MIDIChannels[1].TuningTableName = "stretched";
  for (size_t key = 0; key < 128; ++key) program.MIDIChannels[1].TuningTable[key] = key * 1.01;
  program.MIDIChannels[1].SetFlag(mcfTuningTableActive, true);
  first->ChangeProgram(0);

  for (const bool isPreset : {false, true}) {
    SCOPED_TRACE(isPreset ? "preset" : "bank");
    void* data = nullptr;
    const auto size =
        static_cast<VstInt32>(Dispatch(*first, effGetChunk, isPreset ? 1 : 0, 0, &data));
    ASSERT_GT(size, 0);
    ASSERT_EQ(data, first->ChunkData.get());
    EXPECT_EQ(first->ChunkDataSize, size);
    const std::vector<uint8_t> expected = WriteProgramChunk(program, isPreset);
    ASSERT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size), expected);

    auto second = NewPlugin();
    std::vector<uint8_t> copy(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    EXPECT_EQ(Dispatch(*second, effSetChunk, isPreset ? 1 : 0, size, copy.data()), size);
    EXPECT_EQ(WriteProgramChunk(second->Programs[0], isPreset), expected);
    EXPECT_EQ(second->Programs[0].Name, "Round trip");
    EXPECT_EQ(second->Synth->NumberOfVoices, 40);
    EXPECT_TRUE(second->Synth->Channels[1]->UseForcedTuningTable);
    ASSERT_EQ(second->Programs[0].Banks.size(), 1u);
    EXPECT_NE(second->Programs[0].Banks[0]->AttachedSoundFont, nullptr);

    // Same notes, same sound: channel 1 plays its assignment in its tuning.
    std::vector<TStereoBlock> blocks;
    for (TVSTiPlugin* plugin : {first.get(), second.get()}) {
      plugin->ChangeProgram(0);
      VstMidiEvent a = Midi(0, 0x90, 60, 100);
      VstMidiEvent b = Midi(40, 0x91, 67, 110);
      SendEvents(*plugin, a, b);
      TStereoBlock block(2048);
      Render(*plugin, block);
      blocks.push_back(block);
    }
    EXPECT_EQ(blocks[0].Left, blocks[1].Left);
    EXPECT_EQ(blocks[0].Right, blocks[1].Right);
    double energy = 0.0;
    for (float v : blocks[1].Left) energy += v * v;
    EXPECT_GT(energy, 1.0);
  }
}

TEST_F(VSTiPluginTest, OnlyEnabledPresetsOfABankPlay) {
  auto plugin = NewPlugin();
  auto bank = std::make_unique<TBank>();
  bank->FileName = BankFile;
  bank->ActiveBankProgramBitmap->Set(0, 5, true);
  plugin->Programs[0].Banks.push_back(std::move(bank));
  plugin->ChangeProgram(0);
  EXPECT_NE(plugin->Programs[0].Banks[0]->AttachedSoundFont, nullptr);

  for (const uint8_t program : {uint8_t{0}, uint8_t{5}}) {
    VstMidiEvent change = Midi(0, 0xC0, program);
    VstMidiEvent note = Midi(1, 0x90, 60, 127);
    SendEvents(*plugin, change, note);
    TStereoBlock block(64);
    Render(*plugin, block);
    EXPECT_EQ(SoundingSamples(*plugin->Synth), program == 5 ? std::vector<std::string>{"Five"}
                                                             : std::vector<std::string>{})
        << int(program);
  }
}

TEST_F(VSTiPluginTest, ProgramChangesWhileTheAudioThreadRenders) {
  // Under the sanitizers: applying a program while blocks render must not
  // touch freed banks, samples or events.
  auto plugin = NewPlugin();
  plugin->Programs[0].Data.MultiThreaded = SwitchOff;
  AddBank(*plugin);
  void* data = nullptr;
  const auto size = static_cast<VstInt32>(Dispatch(*plugin, effGetChunk, 0, 0, &data));
  std::vector<uint8_t> chunk(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);

  std::atomic<bool> stop{false};
  std::thread audio([&] {
    TStereoBlock block(128);
    for (int32_t i = 0; !stop.load(); ++i) {
      VstMidiEvent note = Midi(i % 128, 0x90, static_cast<uint8_t>(48 + i % 24), 100);
      SendEvents(*plugin, note);
      Render(*plugin, block);
    }
  });
  for (int32_t i = 0; i < 20; ++i) Dispatch(*plugin, effSetChunk, 0, size, chunk.data());
  stop = true;
  audio.join();
  EXPECT_NE(plugin->Programs[0].Banks[0]->AttachedSoundFont, nullptr);
}

TEST_F(VSTiPluginTest, SilenceAfterTheSynthesizerStopped) {
  auto plugin = NewPlugin();
  AddBank(*plugin);
  VstMidiEvent note = Midi(0, 0x90, 60, 127);
  SendEvents(*plugin, note);
  TStereoBlock block(256);
  Render(*plugin, block);
  double energy = 0.0;
  for (float v : block.Left) energy += v * v;
  ASSERT_GT(energy, 1.0);
  plugin->Synth->StopProcessing = true;  // as after a render-thread failure
  Render(*plugin, block);
  for (size_t k = 0; k < block.Left.size(); ++k) {
    ASSERT_EQ(block.Left[k], 0.0f) << k;
    ASSERT_EQ(block.Right[k], 0.0f) << k;
  }
}

TEST_F(VSTiPluginTest, GeneralMIDIBankPlaysMelodyAndPercussion) {
  const char* path = "/usr/share/sounds/sf2/TimGM6mb.sf2";
  if (std::FILE* file = std::fopen(path, "rb")) {
    std::fclose(file);
  } else {
    GTEST_SKIP() << path << " not installed";
  }
  auto plugin = NewPlugin();
  auto bank = std::make_unique<TBank>();
  bank->FileName = path;
  bank->ActiveAllBankPrograms = SwitchOn;
  plugin->Programs[0].Banks.push_back(std::move(bank));
  plugin->ChangeProgram(0);
  ASSERT_NE(plugin->Programs[0].Banks[0]->AttachedSoundFont, nullptr);

  VstMidiEvent piano = Midi(0, 0x90, 60, 100);
  VstMidiEvent kick = Midi(0, 0x99, 36, 100);
  SendEvents(*plugin, piano, kick);
  TStereoBlock block(256);  // short: a drum sample may end soon
  Render(*plugin, block);
  bool melodic = false, percussion = false;
  for (int32_t i = 0; i < plugin->Synth->NumberOfVoices; i++) {
    const TVoice& voice = *plugin->Synth->Voices[static_cast<size_t>(i)];
    if (!voice.Active) continue;
    melodic |= voice.Channel == plugin->Synth->Channels[0].get();
    percussion |= voice.Channel == plugin->Synth->Channels[9].get();
  }
  EXPECT_TRUE(melodic);
  EXPECT_TRUE(percussion);
  double energy = 0.0;
  for (float v : block.Left) energy += v * v;
  EXPECT_GT(energy, 1.0);
}

TEST_F(VSTiPluginTest, ErrorsStayInsideThePlugin) {
  auto plugin = NewPlugin();
  // A corrupt chunk is reported, not thrown.
  std::vector<uint8_t> garbage = {0x10, 0, 0, 0, 0x42, 0x42, 0x42};
  EXPECT_EQ(Dispatch(*plugin, effSetChunk, 0, static_cast<VstIntPtr>(garbage.size()), garbage.data()), 0);

  // A missing bank file stays unattached; the program applies otherwise.
  auto missing = std::make_unique<TBank>();
  missing->FileName = std::string(KELVANE_BINARY_DIR) + "/no_such_bank.sf2";
  plugin->Programs[0].Banks.push_back(std::move(missing));
  plugin->Programs[0].Data.Voices = 12;
  plugin->ChangeProgram(0);
  EXPECT_EQ(plugin->Programs[0].Banks[0]->AttachedSoundFont, nullptr);
  EXPECT_EQ(plugin->Synth->NumberOfVoices, 12);
}

std::vector<std::string> CaughtReports;
bool CatchReport(const std::exception& error) {
  CaughtReports.emplace_back(error.what());
  return true;
}

// A bank that cannot be read is reported and skipped; the banks after it and
// the channels' tunings still apply.
TEST_F(VSTiPluginTest, ABankThatFailsIsSkippedAndTheRestApplies) {
  const std::string emptyFile = BankFile + ".emptyFile.sf2";
  std::ofstream(emptyFile, std::ios::binary).flush();  // empty
  const std::string garbage = BankFile + ".garbage.sf2";
  std::ofstream(garbage, std::ios::binary) << "no bank at all";

  auto plugin = NewPlugin();
  for (const std::string& name : {garbage, emptyFile, BankFile}) {
    auto bank = std::make_unique<TBank>();
    bank->FileName = name;
    bank->ActiveAllBankPrograms = SwitchOn;
    plugin->Programs[0].Banks.push_back(std::move(bank));
  }
  TVSTiMIDIChannel& channel = plugin->Programs[0].MIDIChannels[3];
  for (size_t key = 0; key < 128; ++key) channel.TuningTable[key] = key + 0.5;
  channel.SetFlag(mcfTuningTableActive, true);

  CaughtReports.clear();
  SetExceptionReportSink(&CatchReport);
  plugin->ChangeProgram(0);
  SetExceptionReportSink(nullptr);
  std::remove(emptyFile.c_str());
  std::remove(garbage.c_str());

  const auto& banks = plugin->Programs[0].Banks;
  EXPECT_EQ(banks[0]->AttachedSoundFont, nullptr);
  EXPECT_EQ(banks[1]->AttachedSoundFont, nullptr);
  EXPECT_NE(banks[2]->AttachedSoundFont, nullptr);
  ASSERT_EQ(CaughtReports.size(), 2u);
  EXPECT_NE(CaughtReports[0].find(garbage), std::string::npos) << CaughtReports[0];
  EXPECT_NE(CaughtReports[1].find(emptyFile), std::string::npos) << CaughtReports[1];
  EXPECT_TRUE(plugin->Synth->Channels[3]->UseForcedTuningTable);
  EXPECT_EQ(plugin->Synth->Channels[3]->ForcedTuningTable[60], 60.5);

  // The good bank plays.
  VstMidiEvent note = Midi(0, 0x90, 60, 127);
  SendEvents(*plugin, note);
  TStereoBlock block(64);
  Render(*plugin, block);
  EXPECT_EQ(SoundingSamples(*plugin->Synth), std::vector<std::string>{"Zero"});
}

// Frequency of a steady tone from its rising zero crossings.
double MeasuredFrequency(const std::vector<float>& signal, size_t from, double rate) {
  double first = -1.0, last = -1.0;
  int32_t periods = -1;
  for (size_t i = from + 1; i < signal.size(); ++i) {
    if (signal[i - 1] < 0.0f && signal[i] >= 0.0f) {
      const double at = static_cast<double>(i - 1) + signal[i - 1] / (signal[i - 1] - signal[i]);
      if (first < 0.0) first = at;
      last = at;
      ++periods;
    }
  }
  return periods > 0 ? periods * rate / (last - first) : 0.0;
}

// The test bank's sample "Zero" repeats every 100 frames at key 60.
double PitchOfNote(TVSTiPlugin& plugin, uint8_t key, uint8_t channel = 0) {
  VstMidiEvent note = Midi(0, 0x90 | channel, key, 127);
  SendEvents(plugin, note);
  TStereoBlock block(16384);
  Render(plugin, block);
  VstMidiEvent off = Midi(0, 0x80 | channel, key, 0);
  SendEvents(plugin, off);
  return MeasuredFrequency(block.Left, 4096, plugin.Synth->SampleRate);
}

double KeyFrequency(double semitones) { return 441.0 * std::exp2((semitones - 60.0) / 12.0); }

// A Scala file loaded into a channel moves the pitch of the notes it plays;
// the other channels keep standard tuning.
TEST_F(VSTiPluginTest, AScalaTuningRetunesItsChannel) {
  const std::string file = BankFile + ".quarter.scl";
  std::ofstream(file, std::ios::binary) << "! quarter.scl\n!\nC# a quarter tone sharp\n 12\n!\n"
                                           " 150.0\n 200.0\n 300.0\n 5/4\n 500.0\n 600.0\n 3/2\n"
                                           " 800.0\n 900.0\n 1000.0\n 1100.0\n 2/1\n";
  auto plugin = NewPlugin();
  AddBank(*plugin);
  LoadChannelTuningFile(plugin->Programs[0].MIDIChannels[0], file);
  std::remove(file.c_str());
  plugin->ChangeProgram(0);

  const struct {
    uint8_t Key, Channel;
    double Semitones;
  } cases[] = {
      {60, 0, 60.0}, {61, 0, 61.5}, {64, 0, 60.0 + 12.0 * std::log2(1.25)},
      {67, 0, 60.0 + 12.0 * std::log2(1.5)}, {72, 0, 72.0}, {61, 1, 61.0},
  };
  for (const auto& c : cases) {
    const double expected = KeyFrequency(c.Semitones);
    EXPECT_NEAR(PitchOfNote(*plugin, c.Key, c.Channel), expected, expected * 1e-4)
        << "key " << int(c.Key) << " channel " << int(c.Channel);
  }
}

std::vector<char> Bytes(std::initializer_list<int> values) {
  std::vector<char> bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

// System-exclusive messages from the host reach the synthesizer in its own
// framing, with or without the host's closing 0xF7, and take effect.
TEST_F(VSTiPluginTest, HostSystemExclusiveMessagesTakeEffect) {
  auto plugin = NewPlugin();
  AddBank(*plugin);
  std::vector<char> gm2On = Bytes({0xF0, 0x7E, 0x7F, 0x09, 0x03, 0xF7});
  std::vector<char> masterVolume = Bytes({0xF0, 0x7F, 0x7F, 0x04, 0x01, 0x00, 0x20});  // no closing byte
  // Scale/octave tuning of channel 1 only: C# 50 cents sharp.
  std::vector<char> scale = Bytes({0xF0, 0x7F, 0x7F, 0x08, 0x08, 0x00, 0x00, 0x01, 64, 114, 64, 64, 64, 64, 64, 64,
                                   64, 64, 64, 64, 0xF7});
  VstMidiSysexEvent a = SysEx(0, gm2On), b = SysEx(1, masterVolume), c = SysEx(2, scale);
  SendEvents(*plugin, a, b, c);
  const kelvane::TMIDIEvent* queued = nullptr;
  TStereoBlock none(0);
  Render(*plugin, none);
  std::vector<std::vector<uint8_t>> payloads;
  for (queued = plugin->Synth->EventFirst; queued != nullptr; queued = queued->Next)
    payloads.emplace_back(queued->SysEx, queued->SysEx + queued->SysExLength);
  ASSERT_EQ(payloads.size(), 3u);
  EXPECT_EQ(payloads[1], (std::vector<uint8_t>{0x7F, 0x7F, 0x04, 0x01, 0x00, 0x20, 0xF7}));
  EXPECT_EQ(payloads[0].front(), 0x7E);
  EXPECT_EQ(payloads[2].back(), 0xF7);

  // A block of frames plays them (the 0-frame block only queued them).
  SendEvents(*plugin, a, b, c);
  TStereoBlock block(64);
  Render(*plugin, block);
  EXPECT_EQ(plugin->Synth->GeneralMIDIMode, 2);
  EXPECT_DOUBLE_EQ(plugin->Synth->MasterVolume, 0.25);
  const double sharp = KeyFrequency(61.5);
  EXPECT_NEAR(PitchOfNote(*plugin, 61), sharp, sharp * 1e-4);
  const double plain = KeyFrequency(61.0);
  EXPECT_NEAR(PitchOfNote(*plugin, 61, 1), plain, plain * 1e-4);
}

// The audio thread never waits for the lock: while the other side holds it a
// block is silent and its events wait, in order, for the next block.
TEST_F(VSTiPluginTest, AHeldLockGivesASilentBlockAndKeepsTheEvents) {
  auto plugin = NewPlugin();
  AddBank(*plugin);
  std::atomic<bool> held{false}, release{false};
  std::thread userInterface([&] {
    std::lock_guard lock(plugin->CriticalSection);
    held = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!release && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  });
  while (!held) std::this_thread::yield();

  const auto start = std::chrono::steady_clock::now();
  VstMidiEvent volume = Midi(50, 0xB0, 7, 90);
  VstMidiEvent note = Midi(100, 0x90, 60, 127);
  SendEvents(*plugin, note, volume);
  TStereoBlock block(256, 3.0f);
  Render(*plugin, block);
  VstMidiEvent later = Midi(0, 0x90, 67, 127);
  SendEvents(*plugin, later);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  release = true;
  userInterface.join();

  EXPECT_LT(waited, 1.0);
  for (size_t k = 0; k < block.Left.size(); ++k) {
    ASSERT_EQ(block.Left[k], 0.0f) << k;
    ASSERT_EQ(block.Right[k], 0.0f) << k;
  }
  TStereoBlock none(0);
  Render(*plugin, none);
  std::vector<std::array<int64_t, 3>> queued;
  for (const kelvane::TMIDIEvent* e = plugin->Synth->EventFirst; e != nullptr; e = e->Next)
    queued.push_back({e->Position, e->Command, e->Data[0]});
  const std::vector<std::array<int64_t, 3>> expected = {{0, 0xB0, 7}, {0, 0x90, 60}, {0, 0x90, 67}};
  EXPECT_EQ(queued, expected);
}

TEST_F(VSTiPluginTest, SampleRateAndBlockSizeReachTheSynthesizer) {
  auto plugin = NewPlugin();
  Dispatch(*plugin, effSetSampleRate, 0, 0, nullptr, 48000.4f);
  EXPECT_EQ(plugin->SampleRate, 48000.4f);
  EXPECT_EQ(plugin->Synth->SampleRate, 48000);
  Dispatch(*plugin, effSetBlockSize, 0, 3000);
  EXPECT_EQ(plugin->BufferSize, 3000);
  EXPECT_EQ(plugin->SynthBuffer.size() * 2, static_cast<size_t>(8192));
  Dispatch(*plugin, effSetBlockSizeAndSampleRate, 0, 100, nullptr, 22050.0f);
  EXPECT_EQ(plugin->BufferSize, 100);
  EXPECT_EQ(plugin->Synth->SampleRate, 22050);
}

}  // namespace
}  // namespace kelvane
