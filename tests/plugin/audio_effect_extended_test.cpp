#include "plugin/audio_effect_extended.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fake_vst_host.h"
#include "recording_effect.h"

namespace kelvane::testing {
namespace {

VstIntPtr Address(const void* p) { return reinterpret_cast<VstIntPtr>(p); }

class TPlainExtended : public TAudioEffectExtended {
 public:
  using TAudioEffectExtended::TAudioEffectExtended;
  void ProcessReplacing(float**, float**, VstInt32) override {}
};

class AudioEffectExtendedTest : public ::testing::Test {
 protected:
  void SetUp() override { TFakeHost::Reset(); }

  VstIntPtr Dispatch(TAudioEffect& plugin, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0,
                     void* ptr = nullptr, float opt = 0.0f) {
    AEffect* e = plugin.GetEffect();
    return e->dispatcher(e, opcode, index, value, ptr, opt);
  }
};

// Opcodes by number, so a wrong enumerator value shows here too.
TEST_F(AudioEffectExtendedTest, DispatcherMapsOpcodesToOperations) {
  struct Case {
    VstInt32 Opcode;
    VstInt32 Index;
    VstIntPtr Value;
    void* Ptr;
    float Opt;
    const char* Expected;
    VstIntPtr Answer;
  };
  static char canDoText[] = "sendVstEvents";
  const std::vector<Case> cases = {
      {25, 0, 0, SentinelP, 0.0f, "ProcessEvents(P)", 1},
      {26, 1, 0, nullptr, 0.0f, "CanParameterBeAutomated(1)", 1},
      {26, 0, 0, nullptr, 0.0f, "CanParameterBeAutomated(0)", 0},
      {29, 4, 2, SentinelP, 0.0f, "GetProgramNameIndexed(2,4,P)", 1},
      {31, 1, 0, nullptr, 0.0f, "InputConnected(1,0)", 1},
      {32, 0, 5, nullptr, 0.0f, "OutputConnected(0,1)", 1},
      {34, 1, 0, SentinelP, 0.0f, "GetOutputProperties(1,P)", 1},
      {38, 1, 3, SentinelP, 0.0f, "OfflineNotify(P,3,1)", 1},
      {38, 0, 3, SentinelP, 0.0f, "OfflineNotify(P,3,0)", 1},
      {39, 0, 2, SentinelP, 0.0f, "OfflinePrepare(P,2)", 1},
      {42, 0, Address(SentinelP), SentinelQ, 0.0f, "SetSpeakerArrangement(P,Q)", 1},
      {43, 0, 256, nullptr, 48000.0f, "SetBlockSizeAndSampleRate(256,48000)", 1},
      {44, 0, 1, nullptr, 0.0f, "SetBypass(1)", 1},
      {45, 0, 0, SentinelP, 0.0f, "GetEffectName(P)", 1},
      {50, 3, 4, SentinelP, 0.5f, "VendorSpecific(3,4,P,0.5)", 42},
      {51, 0, 0, canDoText, 0.0f, "CanDo(sendVstEvents)", 0},
      {53, 0, 0, nullptr, 0.0f, "FxIdle", 1},
      {55, 10, 20, nullptr, 0.0f, "SetViewPosition(10,20)", 1},
      {65, 9, 0, nullptr, 0.0f, "HasMidiProgramsChanged(9)", 1},
      {66, 9, 0, SentinelP, 0.0f, "GetMidiKeyName(9,P)", 1},
      {69, 0, Address(SentinelP), SentinelQ, 0.0f, "GetSpeakerArrangement(P,Q)", 0},
      {70, 0, 0, SentinelP, 0.0f, "GetNextShellPlugin(P)", 9},
      {73, 0, 1000, nullptr, 0.0f, "SetTotalSampleToProcess(1000)", 1000},
      {74, 0, 1, nullptr, 0.75f, "SetPanLaw(1,0.75)", 1},
      {75, 0, 0, SentinelP, 0.0f, "BeginLoadBank(P)", -1},
      {77, 0, 1, nullptr, 0.0f, "SetProcessPrecision(1)", 1},
  };
  TRecordingEffect plugin(TFakeHost::Callback);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Expected);
    plugin.Log.clear();
    EXPECT_EQ(Dispatch(plugin, c.Opcode, c.Index, c.Value, c.Ptr, c.Opt), c.Answer);
    EXPECT_EQ(plugin.Log, std::vector<std::string>{c.Expected});
  }
}

TEST_F(AudioEffectExtendedTest, DefaultAnswers) {
  struct Case {
    VstInt32 Opcode;
    VstIntPtr Answer;
  };
  TPlainExtended plugin(nullptr, 1, 1);
  char text[256] = "";
  for (const Case& c : {Case{27, 0}, Case{28, 1}, Case{30, 0}, Case{35, 0}, Case{36, 0}, Case{37, 0},
                        Case{46, 0}, Case{47, 0}, Case{48, 0}, Case{49, 0}, Case{51, 0}, Case{52, 0},
                        Case{54, 0}, Case{56, 0}, Case{57, 1}, Case{58, 2400}, Case{63, 0}, Case{71, 0},
                        Case{72, 0}, Case{73, 0}, Case{78, 0}, Case{79, 0}}) {
    EXPECT_EQ(Dispatch(plugin, c.Opcode, 0, 3, text), c.Answer) << c.Opcode;
  }
  EXPECT_TRUE(plugin.CanParameterBeAutomated(5));
  EXPECT_EQ(plugin.GetVstVersion(), kVstVersion);

  plugin.IsSynth(true);
  EXPECT_EQ(Dispatch(plugin, 35), 2);  // kPlugCategSynth
  plugin.IsSynth(false);
  EXPECT_EQ(Dispatch(plugin, 35), 0);  // kPlugCategUnknown
}

TEST_F(AudioEffectExtendedTest, KeysRequiredAnswersTheInverse) {
  TRecordingEffect plugin(nullptr);
  EXPECT_EQ(Dispatch(plugin, effKeysRequired), 1);
  plugin.NeedsKeys = true;
  EXPECT_EQ(Dispatch(plugin, effKeysRequired), 0);
}

TEST_F(AudioEffectExtendedTest, BaseOpcodesStillReachTheBase) {
  TRecordingEffect plugin(nullptr);
  EXPECT_EQ(Dispatch(plugin, effIdentify), 0x4E764566);
  EXPECT_EQ(Dispatch(plugin, effSetProgram, 0, 1), 0);
  EXPECT_EQ(plugin.Last(), "SetProgram(1)");
  EXPECT_EQ(Dispatch(plugin, 80), 0);
}

TEST_F(AudioEffectExtendedTest, ResumeAsksForMidiOnlyForSynthsOrMidiReceivers) {
  struct Case {
    const char* Name;
    bool Synth;
    VstInt32 CanDoAnswer;
    bool AsksForMidi;
  };
  for (const Case& c : {Case{"plain effect", false, 0, false}, Case{"refuses MIDI", false, -1, false},
                        Case{"synth", true, 0, true}, Case{"receives MIDI", false, 1, true}}) {
    SCOPED_TRACE(c.Name);
    TFakeHost::Reset();
    TRecordingEffect plugin(TFakeHost::Callback);
    plugin.IsSynth(c.Synth);
    plugin.CanDoAnswer = c.CanDoAnswer;
    EXPECT_EQ(Dispatch(plugin, effMainsChanged, 0, 1), 0);
    EXPECT_EQ(plugin.Log.front(), "Resume");
    if (!c.Synth) {
      EXPECT_EQ(plugin.Last(), "CanDo(receiveVstMidiEvent)");
    }
    if (c.AsksForMidi) {
      ASSERT_EQ(TFakeHost::Calls.size(), 1u);
      EXPECT_EQ(TFakeHost::Calls[0].Opcode, 6);  // audioMasterWantMidi
      EXPECT_EQ(TFakeHost::Calls[0].Index, 0);
      EXPECT_EQ(TFakeHost::Calls[0].Value, 1);
      EXPECT_EQ(TFakeHost::Calls[0].Effect, plugin.GetEffect());
    } else {
      EXPECT_TRUE(TFakeHost::Calls.empty());
    }
  }
}

// What each wrapper passes to the host and how it maps the answer; the last
// column is the answer without a host callback.
TEST_F(AudioEffectExtendedTest, HostCallWrappers) {
  using Call = std::function<VstIntPtr(TPlainExtended&)>;
  struct Case {
    const char* Name;
    Call Run;
    VstInt32 Opcode;
    VstInt32 Index;
    VstIntPtr Value;
    void* Ptr;
    float Opt;
    VstIntPtr HostAnswer;
    VstIntPtr Expected;
    VstIntPtr WithoutHost;
  };
  static char text[] = "sizeWindow";
  const std::vector<Case> cases = {
      {"GetMasterVersion", [](auto& p) { return p.GetMasterVersion(); }, 1, 0, 0, nullptr, 0, 2400, 2400, 1},
      {"GetMasterVersion 0", [](auto& p) { return p.GetMasterVersion(); }, 1, 0, 0, nullptr, 0, 0, 1, 1},
      {"GetCurrentUniqueId", [](auto& p) { return p.GetCurrentUniqueId(); }, 2, 0, 0, nullptr, 0, 0x41424344,
       0x41424344, 0},
      {"MasterIdle", [](auto& p) { return p.MasterIdle(), 0; }, 3, 0, 0, nullptr, 0, 1, 0, 0},
      {"IsInputConnected yes", [](auto& p) { return VstIntPtr{p.IsInputConnected(3)}; }, 4, 3, 0, nullptr, 0, 0,
       1, 1},
      {"IsInputConnected no", [](auto& p) { return VstIntPtr{p.IsInputConnected(3)}; }, 4, 3, 0, nullptr, 0, 1, 0,
       1},
      {"IsOutputConnected yes", [](auto& p) { return VstIntPtr{p.IsOutputConnected(1)}; }, 4, 1, 1, nullptr, 0,
       0, 1, 1},
      {"IsOutputConnected no", [](auto& p) { return VstIntPtr{p.IsOutputConnected(1)}; }, 4, 1, 1, nullptr, 0,
       7, 0, 1},
      {"WantEvents", [](auto& p) { return p.WantEvents(1), 0; }, 6, 0, 1, nullptr, 0, 1, 0, 0},
      {"GetTimeInfo", [](auto& p) { return Address(p.GetTimeInfo(0x2A00)); }, 7, 0, 0x2A00, nullptr, 0,
       Address(SentinelP), Address(SentinelP), 0},
      {"SendVstEventsToHost 1",
       [](auto& p) { return VstIntPtr{p.SendVstEventsToHost(reinterpret_cast<VstEvents*>(SentinelP))}; }, 8, 0, 0,
       SentinelP, 0, 1, 1, 0},
      {"SendVstEventsToHost 2",
       [](auto& p) { return VstIntPtr{p.SendVstEventsToHost(reinterpret_cast<VstEvents*>(SentinelP))}; }, 8, 0, 0,
       SentinelP, 0, 2, 0, 0},
      {"TempoAt", [](auto& p) { return p.TempoAt(4410); }, 10, 0, 4410, nullptr, 0, 1200000, 1200000, 0},
      {"GetNumAutomatableParameters", [](auto& p) { return p.GetNumAutomatableParameters(); }, 11, 0, 0, nullptr,
       0, 9, 9, 0},
      {"GetParameterQuantization", [](auto& p) { return p.GetParameterQuantization(); }, 12, 0, 0, nullptr, 0, 5,
       5, 0},
      {"IOChanged", [](auto& p) { return VstIntPtr{p.IOChanged()}; }, 13, 0, 0, nullptr, 0, 5, 1, 0},
      {"IOChanged 0", [](auto& p) { return VstIntPtr{p.IOChanged()}; }, 13, 0, 0, nullptr, 0, 0, 0, 0},
      {"NeedIdle", [](auto& p) { return VstIntPtr{p.NeedIdle()}; }, 14, 0, 0, nullptr, 0, 1, 1, 0},
      {"SizeWindow", [](auto& p) { return VstIntPtr{p.SizeWindow(640, 480)}; }, 15, 640, 480, nullptr, 0, 1, 1,
       0},
      {"UpdateSampleRate", [](auto& p) { return static_cast<VstIntPtr>(p.UpdateSampleRate()); }, 16, 0, 0,
       nullptr, 0, 48000, 48000, 44100},
      {"UpdateSampleRate 0", [](auto& p) { return static_cast<VstIntPtr>(p.UpdateSampleRate()); }, 16, 0, 0,
       nullptr, 0, 0, 44100, 44100},
      {"UpdateSampleRate negative", [](auto& p) { return static_cast<VstIntPtr>(p.UpdateSampleRate()); }, 16, 0,
       0, nullptr, 0, -5, 44100, 44100},
      {"UpdateBlockSize", [](auto& p) { return p.UpdateBlockSize(); }, 17, 0, 0, nullptr, 0, 256, 256, 1024},
      {"UpdateBlockSize 0", [](auto& p) { return p.UpdateBlockSize(); }, 17, 0, 0, nullptr, 0, 0, 1024, 1024},
      {"GetInputLatency", [](auto& p) { return p.GetInputLatency(); }, 18, 0, 0, nullptr, 0, 64, 64, 0},
      {"GetOutputLatency", [](auto& p) { return p.GetOutputLatency(); }, 19, 0, 0, nullptr, 0, 65, 65, 0},
      {"GetPreviousPlug", [](auto& p) { return Address(p.GetPreviousPlug(2)); }, 20, 2, 0, nullptr, 0,
       Address(SentinelQ), Address(SentinelQ), 0},
      {"GetNextPlug", [](auto& p) { return Address(p.GetNextPlug(1)); }, 21, 1, 0, nullptr, 0, Address(SentinelQ),
       Address(SentinelQ), 0},
      {"WillProcessReplacing", [](auto& p) { return p.WillProcessReplacing(); }, 22, 0, 0, nullptr, 0, 1, 1, 0},
      {"GetCurrentProcessLevel", [](auto& p) { return p.GetCurrentProcessLevel(); }, 23, 0, 0, nullptr, 0, 2, 2,
       0},
      {"GetAutomationState", [](auto& p) { return p.GetAutomationState(); }, 24, 0, 0, nullptr, 0, 3, 3, 0},
      {"OfflineStart",
       [](auto& p) { return VstIntPtr{p.OfflineStart(reinterpret_cast<VstAudioFile*>(SentinelP), 3, 2)}; }, 25, 2,
       3, SentinelP, 0, 1, 1, 0},
      {"OfflineRead source",
       [](auto& p) { return VstIntPtr{p.OfflineRead(reinterpret_cast<VstOfflineTask*>(SentinelP), 4, true)}; }, 26,
       1, 4, SentinelP, 0, 1, 1, 0},
      {"OfflineRead destination",
       [](auto& p) { return VstIntPtr{p.OfflineRead(reinterpret_cast<VstOfflineTask*>(SentinelP), 4, false)}; },
       26, 0, 4, SentinelP, 0, 2, 1, 0},
      {"OfflineWrite",
       [](auto& p) { return VstIntPtr{p.OfflineWrite(reinterpret_cast<VstOfflineTask*>(SentinelP), 4)}; }, 27, 0,
       4, SentinelP, 0, 0, 0, 0},
      {"OfflineGetCurrentPass", [](auto& p) { return p.OfflineGetCurrentPass(); }, 28, 0, 0, nullptr, 0, 2, 2, 0},
      {"OfflineGetCurrentMetaPass", [](auto& p) { return p.OfflineGetCurrentMetaPass(); }, 29, 0, 0, nullptr, 0,
       3, 3, 0},
      {"SetOutputSamplerate", [](auto& p) { return p.SetOutputSamplerate(22050.0f), 0; }, 30, 0, 0, nullptr,
       22050.0f, 1, 0, 0},
      {"GetOutputSpeakerArrangement", [](auto& p) { return Address(p.GetOutputSpeakerArrangement()); }, 31, 0, 0,
       nullptr, 0, Address(SentinelP), Address(SentinelP), 0},
      {"GetHostVendorString", [](auto& p) { return VstIntPtr{p.GetHostVendorString(SentinelP)}; }, 32, 0, 0,
       SentinelP, 0, 1, 1, 0},
      {"GetHostProductString", [](auto& p) { return VstIntPtr{p.GetHostProductString(SentinelP)}; }, 33, 0, 0,
       SentinelP, 0, 1, 1, 0},
      {"GetHostVendorVersion", [](auto& p) { return p.GetHostVendorVersion(); }, 34, 0, 0, nullptr, 0, 1000, 1000,
       0},
      {"HostVendorSpecific", [](auto& p) { return p.HostVendorSpecific(7, 8, SentinelP, 0.5f); }, 35, 7, 8,
       SentinelP, 0.5f, 99, 99, 0},
      {"CanHostDo", [](auto& p) { return p.CanHostDo(text); }, 37, 0, 0, text, 0, -1, -1, 0},
      {"GetHostLanguage", [](auto& p) { return p.GetHostLanguage(); }, 38, 0, 0, nullptr, 0, 2, 2, 0},
      {"OpenWindow", [](auto& p) { return Address(p.OpenWindow(reinterpret_cast<VstWindow*>(SentinelP))); }, 39,
       0, 0, SentinelP, 0, Address(SentinelQ), Address(SentinelQ), 0},
      {"CloseWindow", [](auto& p) { return VstIntPtr{p.CloseWindow(reinterpret_cast<VstWindow*>(SentinelP))}; },
       40, 0, 0, SentinelP, 0, 1, 1, 0},
      {"GetDirectory", [](auto& p) { return Address(p.GetDirectory()); }, 41, 0, 0, nullptr, 0, Address(SentinelP),
       Address(SentinelP), 0},
      {"UpdateDisplay", [](auto& p) { return VstIntPtr{p.UpdateDisplay()}; }, 42, 0, 0, nullptr, 0, 1, 1, 0},
      {"BeginEdit", [](auto& p) { return VstIntPtr{p.BeginEdit(1)}; }, 43, 1, 0, nullptr, 0, 1, 1, 0},
      {"EndEdit", [](auto& p) { return VstIntPtr{p.EndEdit(1)}; }, 44, 1, 0, nullptr, 0, 1, 1, 0},
      {"OpenFileSelector",
       [](auto& p) { return VstIntPtr{p.OpenFileSelector(reinterpret_cast<VstFileSelect*>(SentinelP))}; }, 45, 0,
       0, SentinelP, 0, 1, 1, 0},
      {"CloseFileSelector",
       [](auto& p) { return VstIntPtr{p.CloseFileSelector(reinterpret_cast<VstFileSelect*>(SentinelP))}; }, 46, 0,
       0, SentinelP, 0, 1, 1, 0},
      {"GetChunkFile", [](auto& p) { return VstIntPtr{p.GetChunkFile(SentinelP)}; }, 48, 0, 0, SentinelP, 0, 1, 1,
       0},
      {"GetInputSpeakerArrangement", [](auto& p) { return Address(p.GetInputSpeakerArrangement()); }, 49, 0, 0,
       nullptr, 0, Address(SentinelQ), Address(SentinelQ), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TFakeHost::Reset();
    TFakeHost::Answer = c.HostAnswer;
    TPlainExtended plugin(TFakeHost::Callback, 1, 1);
    EXPECT_EQ(c.Run(plugin), c.Expected);
    ASSERT_EQ(TFakeHost::Calls.size(), 1u);
    const THostCall& call = TFakeHost::Calls[0];
    EXPECT_EQ(call.Effect, plugin.GetEffect());
    EXPECT_EQ(call.Opcode, c.Opcode);
    EXPECT_EQ(call.Index, c.Index);
    EXPECT_EQ(call.Value, c.Value);
    EXPECT_EQ(call.Ptr, c.Ptr);
    EXPECT_EQ(call.Opt, c.Opt);

    TPlainExtended alone(nullptr, 1, 1);
    EXPECT_EQ(c.Run(alone), c.WithoutHost);
  }
}

TEST_F(AudioEffectExtendedTest, UpdatesKeepTheHostsValue) {
  TPlainExtended plugin(TFakeHost::Callback, 1, 1);
  TFakeHost::Answer = 96000;
  plugin.UpdateSampleRate();
  TFakeHost::Answer = 0;
  EXPECT_EQ(plugin.UpdateSampleRate(), 96000.0f);
  EXPECT_EQ(plugin.GetSampleRate(), 96000.0f);
}

TEST_F(AudioEffectExtendedTest, FileSelectorWithoutRecordDoesNotCallTheHost) {
  TPlainExtended plugin(TFakeHost::Callback, 1, 1);
  TFakeHost::Answer = 1;
  EXPECT_FALSE(plugin.OpenFileSelector(nullptr));
  EXPECT_FALSE(plugin.CloseFileSelector(nullptr));
  EXPECT_TRUE(TFakeHost::Calls.empty());
}

TEST_F(AudioEffectExtendedTest, GetSpeakerArrangementClearsBothOutPointers) {
  TPlainExtended plugin(nullptr, 1, 1);
  VstSpeakerArrangement stale{};
  VstSpeakerArrangement* input = &stale;
  VstSpeakerArrangement* output = &stale;
  EXPECT_EQ(Dispatch(plugin, effGetSpeakerArrangement, 0, Address(&input), &output), 0);
  EXPECT_EQ(input, nullptr);
  EXPECT_EQ(output, nullptr);
}

TEST_F(AudioEffectExtendedTest, ArrangementHelpers) {
  TPlainExtended plugin(nullptr, 1, 1);
  VstSpeakerArrangement* arrangement = nullptr;
  ASSERT_TRUE(plugin.AllocateArrangement(&arrangement, 2));
  ASSERT_NE(arrangement, nullptr);
  EXPECT_EQ(arrangement->numChannels, 2);
  EXPECT_EQ(arrangement->type, 0);
  EXPECT_EQ(arrangement->speakers[1].name[0], 0);

  // A second allocation frees the first (the leak checker watches) and has
  // room for every speaker asked for.
  ASSERT_TRUE(plugin.AllocateArrangement(&arrangement, 12));
  EXPECT_EQ(arrangement->numChannels, 12);
  for (int i = 0; i < 12; ++i) {
    VstSpeakerProperties* speaker = SpeakerAt(arrangement, i);
    EXPECT_EQ(speaker->azimuth, 0.0f);
    speaker->azimuth = static_cast<float>(i);
    std::strcpy(speaker->name, "S");
  }
  arrangement->type = kSpeakerArrUserDefined;

  VstSpeakerArrangement* copy = nullptr;
  ASSERT_TRUE(plugin.MatchArrangement(&copy, arrangement));
  EXPECT_EQ(copy->type, kSpeakerArrUserDefined);
  EXPECT_EQ(copy->numChannels, 12);
  EXPECT_EQ(SpeakerAt(copy, 11)->azimuth, 11.0f);
  EXPECT_STREQ(SpeakerAt(copy, 11)->name, "S");

  EXPECT_TRUE(plugin.DeallocateArrangement(&arrangement));
  EXPECT_EQ(arrangement, nullptr);
  EXPECT_TRUE(plugin.DeallocateArrangement(&copy));
}

}  // namespace
}  // namespace kelvane::testing
