#pragma once

// A plug-in and an editor that log each virtual operation the dispatcher and
// the trampolines reach, with its arguments, as text.

#include <cstdio>
#include <string>
#include <vector>

#include "plugin/audio_effect_extended.h"
#include "fake_vst_host.h"

namespace kelvane::testing {

// Addresses the tests pass as pointers; logged by name.
inline char SentinelP[8];
inline char SentinelQ[8];

inline std::string PtrName(const void* p) {
  if (p == nullptr) return "null";
  if (p == SentinelP) return "P";
  if (p == SentinelQ) return "Q";
  return "?";
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[160];
  std::snprintf(text, sizeof(text), format, args...);
  return text;
}

class TRecordingEditor : public TAudioEffectEditor {
 public:
  TRecordingEditor(TAudioEffect* effect, int* destroyed) : TAudioEffectEditor(effect), Destroyed(destroyed) {}
  ~TRecordingEditor() override {
    if (Destroyed != nullptr) ++*Destroyed;
  }

  bool GetRect(ERect** rect) override {
    *rect = &Rect;
    return true;
  }
  bool OnKeyDown(VstKeyCode& key) override {
    Log = Format("OnKeyDown(%d,%d,%d)", key.character, key.virt, key.modifier);
    return true;
  }
  bool OnKeyUp(VstKeyCode& key) override {
    Log = Format("OnKeyUp(%d,%d,%d)", key.character, key.virt, key.modifier);
    return true;
  }
  bool SetKnobMode(VstInt32 mode) override {
    Log = Format("SetKnobMode(%d)", mode);
    return true;
  }

  ERect Rect{10, 20, 310, 420};
  std::string Log;
  int* Destroyed;
};

class TRecordingEffect : public TAudioEffectExtended {
 public:
  static constexpr VstInt32 Programs = 3;
  static constexpr VstInt32 Params = 2;

  explicit TRecordingEffect(audioMasterCallback host, int* destroyed = nullptr,
                            std::vector<std::string>* sharedLog = nullptr)
      : TAudioEffectExtended(host, Programs, Params), Destroyed(destroyed), SharedLog(sharedLog) {}
  ~TRecordingEffect() override {
    if (Destroyed != nullptr) ++*Destroyed;
  }

  using TAudioEffect::CurProgram;
  using TAudioEffect::FBlockSize;
  using TAudioEffect::FSampleRate;

  void Record(const std::string& entry) {
    Log.push_back(entry);
    if (SharedLog != nullptr) SharedLog->push_back(entry);
  }
  std::string Last() const { return Log.empty() ? std::string("(none)") : Log.back(); }

  // Base operations.
  void Open() override { Record("Open"); }
  void Close() override { Record("Close"); }
  void Suspend() override { Record("Suspend"); }
  void Resume() override {
    Record("Resume");
    TAudioEffectExtended::Resume();
  }
  void SetProgram(VstInt32 program) override {
    Record(Format("SetProgram(%d)", program));
    TAudioEffectExtended::SetProgram(program);
  }
  void SetSampleRate(float rate) override {
    Record(Format("SetSampleRate(%g)", rate));
    TAudioEffectExtended::SetSampleRate(rate);
  }
  void SetBlockSize(VstInt32 size) override {
    Record(Format("SetBlockSize(%d)", size));
    TAudioEffectExtended::SetBlockSize(size);
  }
  void ProcessReplacing(float** in, float** out, VstInt32 frames) override {
    Record(Format("ProcessReplacing(%s,%s,%d)", PtrName(in).c_str(), PtrName(out).c_str(), frames));
  }
  void ProcessDoubleReplacing(double** in, double** out, VstInt32 frames) override {
    Record(Format("ProcessDoubleReplacing(%s,%s,%d)", PtrName(in).c_str(), PtrName(out).c_str(), frames));
  }
  void Process(float** in, float** out, VstInt32 frames) override {
    Record(Format("Process(%s,%s,%d)", PtrName(in).c_str(), PtrName(out).c_str(), frames));
  }
  void SetParameter(VstInt32 index, float value) override {
    Record(Format("SetParameter(%d,%g) after %zu host calls", index, value, HostCallsSeen()));
  }
  float GetParameter(VstInt32 index) override {
    Record(Format("GetParameter(%d)", index));
    return 0.25f;
  }
  float GetVu() override { return Vu; }
  VstInt32 GetChunk(void** data, bool isPreset) override {
    Record(Format("GetChunk(%s,%d)", PtrName(data).c_str(), isPreset));
    *data = SentinelQ;
    return 77;
  }
  VstInt32 SetChunk(void* data, VstInt32 size, bool isPreset) override {
    Record(Format("SetChunk(%s,%d,%d)", PtrName(data).c_str(), size, isPreset));
    return 5;
  }

  // Extended operations the dispatcher maps.
  VstInt32 ProcessEvents(VstEvents* events) override {
    Record(Format("ProcessEvents(%s)", PtrName(events).c_str()));
    return 1;
  }
  bool CanParameterBeAutomated(VstInt32 index) override {
    Record(Format("CanParameterBeAutomated(%d)", index));
    return index == 1;
  }
  bool GetProgramNameIndexed(VstInt32 category, VstInt32 index, char* text) override {
    Record(Format("GetProgramNameIndexed(%d,%d,%s)", category, index, PtrName(text).c_str()));
    return true;
  }
  void InputConnected(VstInt32 index, bool state) override {
    Record(Format("InputConnected(%d,%d)", index, state));
  }
  void OutputConnected(VstInt32 index, bool state) override {
    Record(Format("OutputConnected(%d,%d)", index, state));
  }
  bool GetOutputProperties(VstInt32 index, VstPinProperties* properties) override {
    Record(Format("GetOutputProperties(%d,%s)", index, PtrName(properties).c_str()));
    return true;
  }
  bool OfflineNotify(VstAudioFile* data, VstInt32 count, bool start) override {
    Record(Format("OfflineNotify(%s,%d,%d)", PtrName(data).c_str(), count, start));
    return true;
  }
  bool SetSpeakerArrangement(VstSpeakerArrangement* input, VstSpeakerArrangement* output) override {
    Record(Format("SetSpeakerArrangement(%s,%s)", PtrName(input).c_str(), PtrName(output).c_str()));
    return true;
  }
  bool GetSpeakerArrangement(VstSpeakerArrangement** input, VstSpeakerArrangement** output) override {
    Record(Format("GetSpeakerArrangement(%s,%s)", PtrName(input).c_str(), PtrName(output).c_str()));
    return false;
  }
  bool SetBlockSizeAndSampleRate(VstInt32 blockSize, float sampleRate) override {
    Record(Format("SetBlockSizeAndSampleRate(%d,%g)", blockSize, sampleRate));
    return false;
  }
  bool SetBypass(bool state) override {
    Record(Format("SetBypass(%d)", state));
    return true;
  }
  bool GetEffectName(char* name) override {
    Record(Format("GetEffectName(%s)", PtrName(name).c_str()));
    return true;
  }
  VstIntPtr VendorSpecific(VstInt32 a, VstIntPtr b, void* p, float f) override {
    Record(Format("VendorSpecific(%d,%lld,%s,%g)", a, static_cast<long long>(b), PtrName(p).c_str(), f));
    return 42;
  }
  VstInt32 CanDo(char* text) override {
    Record(Format("CanDo(%s)", text));
    return CanDoAnswer;
  }
  bool SetViewPosition(VstInt32 x, VstInt32 y) override {
    Record(Format("SetViewPosition(%d,%d)", x, y));
    return true;
  }
  bool KeysRequired() override { return NeedsKeys; }
  bool GetMidiKeyName(VstInt32 channel, MidiKeyName* name) override {
    Record(Format("GetMidiKeyName(%d,%s)", channel, PtrName(name).c_str()));
    return true;
  }
  bool HasMidiProgramsChanged(VstInt32 channel) override {
    Record(Format("HasMidiProgramsChanged(%d)", channel));
    return true;
  }
  VstInt32 SetTotalSampleToProcess(VstInt32 value) override {
    Record(Format("SetTotalSampleToProcess(%d)", value));
    return value;
  }
  bool SetPanLaw(VstInt32 type, float value) override {
    Record(Format("SetPanLaw(%d,%g)", type, value));
    return true;
  }
  VstInt32 BeginLoadBank(VstPatchChunkInfo* info) override {
    Record(Format("BeginLoadBank(%s)", PtrName(info).c_str()));
    return -1;
  }
  bool SetProcessPrecision(VstInt32 precision) override {
    Record(Format("SetProcessPrecision(%d)", precision));
    return true;
  }
  bool OfflinePrepare(VstOfflineTask* task, VstInt32 count) override {
    Record(Format("OfflinePrepare(%s,%d)", PtrName(task).c_str(), count));
    return true;
  }
  VstInt32 GetNextShellPlugin(char* name) override {
    Record(Format("GetNextShellPlugin(%s)", PtrName(name).c_str()));
    return 9;
  }
  bool FxIdle() override {
    Record("FxIdle");
    return true;
  }

  float Vu = 0.0f;
  VstInt32 CanDoAnswer = 0;
  bool NeedsKeys = false;
  std::vector<std::string> Log;
  int* Destroyed;
  std::vector<std::string>* SharedLog;

 private:
  static size_t HostCallsSeen() { return TFakeHost::Calls.size(); }
};

}  // namespace kelvane::testing
