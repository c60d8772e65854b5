#include "plugin/audio_effect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_vst_host.h"
#include "plugin/exception_report.h"
#include "recording_effect.h"

namespace kelvane::testing {
namespace {

class AudioEffectTest : public ::testing::Test {
 protected:
  void SetUp() override { TFakeHost::Reset(); }

  VstIntPtr Dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                     float opt = 0.0f) {
    AEffect* e = Effect.GetEffect();
    return e->dispatcher(e, opcode, index, value, ptr, opt);
  }

  TRecordingEffect Effect{TFakeHost::Callback};
};

TEST_F(AudioEffectTest, ConstructorFillsTheEffectRecord) {
  const AEffect& e = *Effect.GetEffect();
  EXPECT_EQ(e.magic, 0x56737450);  // 'V' 's' 't' 'P'
  EXPECT_EQ(e.dispatcher, &DispatchEffectClass);
  EXPECT_EQ(e.process, &processClass);
  EXPECT_EQ(e.setParameter, &SetParameterClass);
  EXPECT_EQ(e.getParameter, &GetParameterClass);
  EXPECT_EQ(e.numPrograms, TRecordingEffect::Programs);
  EXPECT_EQ(e.numParams, TRecordingEffect::Params);
  EXPECT_EQ(e.numInputs, 1);
  EXPECT_EQ(e.numOutputs, 2);
  EXPECT_EQ(e.flags, 16);  // effFlagsCanReplacing only
  EXPECT_EQ(e.ioRatio, 1.0f);
  EXPECT_EQ(e.object, static_cast<TAudioEffect*>(&Effect));
  EXPECT_EQ(e.uniqueID, 0x4E6F4566);  // 'N' 'o' 'E' 'f'
  EXPECT_EQ(e.version, 1);
  EXPECT_EQ(e.processReplacing, &ProcessClassReplacing);
  EXPECT_EQ(e.processDoubleReplacing, &ProcessClassDoubleReplacing);
  // Everything else zero.
  EXPECT_EQ(e.resvd1, 0);
  EXPECT_EQ(e.resvd2, 0);
  EXPECT_EQ(e.initialDelay, 0);
  EXPECT_EQ(e.realQualities, 0);
  EXPECT_EQ(e.offQualities, 0);
  EXPECT_EQ(e.user, nullptr);
  for (char c : e.future) EXPECT_EQ(c, 0);

  EXPECT_EQ(Effect.FSampleRate, 44100.0f);
  EXPECT_EQ(Effect.FBlockSize, 1024);
  EXPECT_EQ(Effect.CurProgram, 0);
  EXPECT_EQ(Effect.GetEditor(), nullptr);
}

TEST_F(AudioEffectTest, FlagSettersSetAndClearTheirBit) {
  struct Case {
    const char* Name;
    std::function<void(TRecordingEffect&, bool)> Set;
    VstInt32 Bit;
  };
  const std::vector<Case> cases = {
      {"SetEditor",
       [](TRecordingEffect& p, bool on) { p.SetEditor(on ? new TAudioEffectEditor(&p) : nullptr); }, 1},
      {"HasClip", [](TRecordingEffect& p, bool on) { p.HasClip(on); }, 2},
      {"HasVu", [](TRecordingEffect& p, bool on) { p.HasVu(on); }, 4},
      {"CanMono", [](TRecordingEffect& p, bool on) { p.CanMono(on); }, 8},
      {"CanProcessReplacing", [](TRecordingEffect& p, bool on) { p.CanProcessReplacing(on); }, 16},
      {"ProgramsAreChunks", [](TRecordingEffect& p, bool on) { p.ProgramsAreChunks(on); }, 32},
      {"IsSynth", [](TRecordingEffect& p, bool on) { p.IsSynth(on); }, 256},
      {"NoTail", [](TRecordingEffect& p, bool on) { p.NoTail(on); }, 512},
      {"WantAsyncOperation", [](TRecordingEffect& p, bool on) { p.WantAsyncOperation(on); }, 1024},
      {"HasExternalBuffer", [](TRecordingEffect& p, bool on) { p.HasExternalBuffer(on); }, 2048},
      {"CanDoubleReplacing", [](TRecordingEffect& p, bool on) { p.CanDoubleReplacing(on); }, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    for (VstInt32 others : {0, 0x7FFF}) {
      Effect.GetEffect()->flags = others & ~c.Bit;
      c.Set(Effect, true);
      EXPECT_EQ(Effect.GetEffect()->flags, (others & ~c.Bit) | c.Bit);
      c.Set(Effect, false);
      EXPECT_EQ(Effect.GetEffect()->flags, others & ~c.Bit);
    }
  }
}

TEST_F(AudioEffectTest, PlainSettersWriteTheirField) {
  Effect.SetUniqueID(0x12345678);
  Effect.SetNumInputs(0);
  Effect.SetNumOutputs(6);
  Effect.SetInitialDelay(128);
  Effect.SetRealtimeQualities(3);
  Effect.SetOfflineQualities(4);
  const AEffect& e = *Effect.GetEffect();
  EXPECT_EQ(e.uniqueID, 0x12345678);
  EXPECT_EQ(e.numInputs, 0);
  EXPECT_EQ(e.numOutputs, 6);
  EXPECT_EQ(e.initialDelay, 128);
  EXPECT_EQ(e.realQualities, 3);
  EXPECT_EQ(e.offQualities, 4);

  Effect.TAudioEffectExtended::SetBlockSizeAndSampleRate(256, 96000.0f);
  EXPECT_EQ(Effect.FBlockSize, 256);
  EXPECT_EQ(Effect.FSampleRate, 96000.0f);
}

TEST_F(AudioEffectTest, SetProgramOnlyInsideTheProgramCount) {
  EXPECT_EQ(Dispatch(effSetProgram, 0, 2), 0);
  EXPECT_EQ(Effect.Last(), "SetProgram(2)");
  EXPECT_EQ(Dispatch(effGetProgram), 2);

  Effect.Log.clear();
  for (VstIntPtr value : {VstIntPtr{3}, VstIntPtr{4}, VstIntPtr{-1}, VstIntPtr{1} << 40}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(Dispatch(effSetProgram, 0, value), 0);
  }
  EXPECT_TRUE(Effect.Log.empty());
  EXPECT_EQ(Dispatch(effGetProgram), 2);
}

TEST_F(AudioEffectTest, DispatcherReachesTheBaseOperations) {
  EXPECT_EQ(Dispatch(effOpen), 0);
  EXPECT_EQ(Effect.Last(), "Open");
  EXPECT_EQ(Dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f), 0);
  EXPECT_EQ(Effect.Last(), "SetSampleRate(48000)");
  EXPECT_EQ(Effect.FSampleRate, 48000.0f);
  EXPECT_EQ(Dispatch(effSetBlockSize, 0, 512), 0);
  EXPECT_EQ(Effect.Last(), "SetBlockSize(512)");
  EXPECT_EQ(Effect.FBlockSize, 512);
  EXPECT_EQ(Dispatch(effMainsChanged, 0, 0), 0);
  EXPECT_EQ(Effect.Last(), "Suspend");
  EXPECT_EQ(Dispatch(effMainsChanged, 0, 1), 0);
  EXPECT_NE(std::find(Effect.Log.begin(), Effect.Log.end(), "Resume"), Effect.Log.end());
  EXPECT_EQ(Dispatch(effIdentify), 0x4E764566);  // 'N' 'v' 'E' 'f'

  void* data = nullptr;
  EXPECT_EQ(Dispatch(effGetChunk, 1, 0, &data), 77);
  EXPECT_EQ(Effect.Last(), "GetChunk(?,1)");
  EXPECT_EQ(data, SentinelQ);
  EXPECT_EQ(Dispatch(effGetChunk, 0, 0, &data), 77);
  EXPECT_EQ(Effect.Last(), "GetChunk(?,0)");
  EXPECT_EQ(Dispatch(effSetChunk, 0, 300, SentinelP), 5);
  EXPECT_EQ(Effect.Last(), "SetChunk(P,300,0)");
  EXPECT_EQ(Dispatch(effSetChunk, 7, 300, SentinelP), 5);
  EXPECT_EQ(Effect.Last(), "SetChunk(P,300,1)");
}

TEST_F(AudioEffectTest, VuIsScaledTo32767AndRounded) {
  struct Case {
    float Vu;
    VstIntPtr Expected;
  };
  for (const Case& c : {Case{0.0f, 0}, Case{1.0f, 32767}, Case{0.5f, 16384}, Case{0.25f, 8192},
                        Case{0.1f, 3277}}) {
    Effect.Vu = c.Vu;
    EXPECT_EQ(Dispatch(effGetVu), c.Expected) << c.Vu;
  }
}

TEST_F(AudioEffectTest, NameQueriesWriteTheEmptyString) {
  for (VstInt32 opcode : {effGetProgramName, effGetParamLabel, effGetParamDisplay, effGetParamName}) {
    char text[kVstMaxProgNameLen] = "stale";
    EXPECT_EQ(Dispatch(opcode, 0, 0, text), 0) << opcode;
    EXPECT_STREQ(text, "") << opcode;
  }
}

TEST_F(AudioEffectTest, LegacyAndUnknownOpcodesAnswerZero) {
  Effect.SetEditor(new TRecordingEditor(&Effect, nullptr));
  Effect.Log.clear();
  for (VstInt32 opcode : {16, 17, 18, 20, 21, 80, 81, 1000, -1}) {
    EXPECT_EQ(Dispatch(opcode, 1, 1, SentinelP, 1.0f), 0) << opcode;
  }
  EXPECT_TRUE(Effect.Log.empty());
  EXPECT_TRUE(TFakeHost::Calls.empty());
}

TEST_F(AudioEffectTest, EditorOpcodesWithoutEditor) {
  ERect sentinel{};
  ERect* rect = &sentinel;
  EXPECT_EQ(Dispatch(effEditGetRect, 0, 0, &rect), 0);
  EXPECT_EQ(rect, &sentinel);
  EXPECT_EQ(Dispatch(effEditOpen, 0, 0, SentinelP), 0);
  EXPECT_EQ(Dispatch(effEditClose), 0);
  EXPECT_EQ(Dispatch(effEditIdle), 0);
  EXPECT_EQ(Dispatch(effEditKeyDown, 'a', 1, nullptr, 2.0f), 0);
  EXPECT_EQ(Dispatch(effSetEditKnobMode, 0, 2), 0);
}

TEST_F(AudioEffectTest, DefaultEditorAnswers) {
  auto* editor = new TAudioEffectEditor(&Effect);
  Effect.SetEditor(editor);
  EXPECT_EQ(editor->GetEffect(), &Effect);

  ERect sentinel{};
  ERect* rect = &sentinel;
  EXPECT_EQ(Dispatch(effEditGetRect, 0, 0, &rect), 0);
  EXPECT_EQ(rect, nullptr);

  EXPECT_FALSE(editor->IsOpen());
  EXPECT_EQ(Dispatch(effEditOpen, 0, 0, SentinelP), 0);
  EXPECT_TRUE(editor->IsOpen());
  EXPECT_EQ(editor->GetSystemWindow(), SentinelP);
  EXPECT_EQ(Dispatch(effEditIdle), 0);
  EXPECT_EQ(Dispatch(effEditKeyDown, 'a', 1, nullptr, 0.0f), 0);
  EXPECT_EQ(Dispatch(effEditKeyUp, 'a', 1, nullptr, 0.0f), 0);
  EXPECT_EQ(Dispatch(effSetEditKnobMode, 0, 2), 0);
  VstKeyCode key{};
  EXPECT_FALSE(editor->OnKeyDown(key));
  EXPECT_FALSE(editor->OnWheel(1.0f));
  EXPECT_EQ(Dispatch(effEditClose), 0);
  EXPECT_FALSE(editor->IsOpen());
  EXPECT_EQ(editor->GetSystemWindow(), nullptr);
}

TEST_F(AudioEffectTest, EditorAnswersPassThroughTheDispatcher) {
  auto* editor = new TRecordingEditor(&Effect, nullptr);
  Effect.SetEditor(editor);

  ERect* rect = nullptr;
  EXPECT_EQ(Dispatch(effEditGetRect, 0, 0, &rect), 1);
  EXPECT_EQ(rect, &editor->Rect);

  // Character = index, virtual key = value, modifiers = opt rounded.
  EXPECT_EQ(Dispatch(effEditKeyDown, 'x', 13, nullptr, 2.6f), 1);
  EXPECT_EQ(editor->Log, "OnKeyDown(120,13,3)");
  EXPECT_EQ(Dispatch(effEditKeyUp, 0, 1, nullptr, 1.0f), 1);
  EXPECT_EQ(editor->Log, "OnKeyUp(0,1,1)");
  EXPECT_EQ(Dispatch(effSetEditKnobMode, 5, 2), 1);
  EXPECT_EQ(editor->Log, "SetKnobMode(2)");
}

TEST_F(AudioEffectTest, ReplacingTheEditorDestroysTheOldOne) {
  int destroyed = 0;
  auto* editor = new TRecordingEditor(&Effect, &destroyed);
  Effect.SetEditor(editor);
  Effect.SetEditor(editor);  // same object again: kept
  EXPECT_EQ(destroyed, 0);
  Effect.SetEditor(nullptr);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(Effect.GetEffect()->flags & effFlagsHasEditor, 0);
}

// Every operation throws; the host sees the fallback answers, the reports
// go to the exception report.
class TThrowingEffect : public TAudioEffectExtended {
 public:
  TThrowingEffect() : TAudioEffectExtended(TFakeHost::Callback, 1, 1) {}
  bool GetVendorString(char*) override { throw std::runtime_error("vendor"); }
  float GetParameter(VstInt32) override { throw std::runtime_error("get"); }
  void SetParameter(VstInt32, float) override { throw std::runtime_error("set"); }
  void ProcessReplacing(float**, float**, VstInt32) override { throw 42; }
  void Process(float**, float**, VstInt32) override { throw std::runtime_error("process"); }
  void Close() override { throw std::runtime_error("close"); }
};

std::vector<std::string> Reports;
bool KeepReport(const std::exception& error) {
  Reports.emplace_back(error.what());
  return true;
}

TEST(AudioEffectExceptionTest, NothingThrownReachesTheHost) {
  TFakeHost::Reset();
  Reports.clear();
  SetExceptionReportSink(&KeepReport);
  auto* plugin = new TThrowingEffect;
  AEffect* e = plugin->GetEffect();
  char text[kVstMaxVendorStrLen] = {};
  EXPECT_EQ(e->dispatcher(e, effGetVendorString, 0, 0, text, 0.0f), 0);
  EXPECT_EQ(e->getParameter(e, 0), 0.0f);
  e->setParameter(e, 0, 0.5f);
  e->processReplacing(e, nullptr, nullptr, 16);
  e->process(e, nullptr, nullptr, 16);
  EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);  // still closed and destroyed
  SetExceptionReportSink(nullptr);
  EXPECT_EQ(Reports, (std::vector<std::string>{"vendor", "get", "set", "process", "close"}));
}

TEST(AudioEffectCloseTest, CloseAnswersOneAndDestroysPluginAndEditor) {
  TFakeHost::Reset();
  int pluginsDestroyed = 0;
  int editorsDestroyed = 0;
  std::vector<std::string> log;
  auto* plugin = new TRecordingEffect(TFakeHost::Callback, &pluginsDestroyed, &log);
  plugin->SetEditor(new TRecordingEditor(plugin, &editorsDestroyed));
  AEffect* e = plugin->GetEffect();

  EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
  EXPECT_EQ(log, std::vector<std::string>{"Close"});
  EXPECT_EQ(pluginsDestroyed, 1);
  EXPECT_EQ(editorsDestroyed, 1);
}

TEST(AudioEffectCloseTest, DispatcherCloseAloneKeepsTheObject) {
  int destroyed = 0;
  {
    TRecordingEffect plugin(nullptr, &destroyed);
    EXPECT_EQ(plugin.Dispatcher(effClose, 0, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(plugin.Last(), "Close");
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST_F(AudioEffectTest, TrampolinesCallTheObject) {
  AEffect* e = Effect.GetEffect();
  auto** in = reinterpret_cast<float**>(SentinelP);
  auto** out = reinterpret_cast<float**>(SentinelQ);
  e->process(e, in, out, 64);
  EXPECT_EQ(Effect.Last(), "Process(P,Q,64)");
  e->processReplacing(e, in, out, 128);
  EXPECT_EQ(Effect.Last(), "ProcessReplacing(P,Q,128)");
  e->processDoubleReplacing(e, reinterpret_cast<double**>(SentinelP), reinterpret_cast<double**>(SentinelQ), 32);
  EXPECT_EQ(Effect.Last(), "ProcessDoubleReplacing(P,Q,32)");
  e->setParameter(e, 1, 0.75f);
  EXPECT_EQ(Effect.Last(), "SetParameter(1,0.75) after 0 host calls");
  EXPECT_EQ(e->getParameter(e, 1), 0.25f);
  EXPECT_EQ(Effect.Last(), "GetParameter(1)");
}

TEST_F(AudioEffectTest, SetParameterAutomatedSetsThenTellsTheHost) {
  Effect.SetParameterAutomated(1, 0.5f);
  EXPECT_EQ(Effect.Last(), "SetParameter(1,0.5) after 0 host calls");
  ASSERT_EQ(TFakeHost::Calls.size(), 1u);
  const THostCall& c = TFakeHost::Calls[0];
  EXPECT_EQ(c.Effect, Effect.GetEffect());
  EXPECT_EQ(c.Opcode, audioMasterAutomate);
  EXPECT_EQ(c.Index, 1);
  EXPECT_EQ(c.Value, 0);
  EXPECT_EQ(c.Ptr, nullptr);
  EXPECT_EQ(c.Opt, 0.5f);

  TRecordingEffect alone(nullptr);
  alone.SetParameterAutomated(0, 1.0f);
  EXPECT_EQ(alone.Last(), "SetParameter(0,1) after 1 host calls");
}

TEST_F(AudioEffectTest, DefaultsOfTheBaseOperations) {
  class TPlain : public TAudioEffect {
   public:
    using TAudioEffect::TAudioEffect;
    void ProcessReplacing(float**, float**, VstInt32) override {}
  } plain(nullptr, 1, 1);
  EXPECT_EQ(plain.GetParameter(0), 0.0f);
  EXPECT_EQ(plain.GetVu(), 0.0f);
  void* data = SentinelP;
  EXPECT_EQ(plain.GetChunk(&data, false), 0);
  EXPECT_EQ(plain.SetChunk(SentinelP, 8, false), 0);
  AEffect* e = plain.GetEffect();
  EXPECT_EQ(e->dispatcher(e, effGetChunk, 0, 0, &data, 0.0f), 0);
  plain.SetProgram(5);  // the setter itself does not check the range
  EXPECT_EQ(plain.GetProgram(), 5);
}

}  // namespace
}  // namespace kelvane::testing
