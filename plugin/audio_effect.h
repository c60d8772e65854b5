#pragma once

// Base of a VST 2.4 plug-in: owns the AEffect record handed to the host,
// turns the host's dispatcher and processing calls into virtual operations
// and wraps the calls back to the host. Holds no lock: the host calls the
// dispatcher from its user-interface thread and the processing entries from
// its audio thread; derived classes serialize what they share.

#include <memory>

#include "plugin/audio_effect_editor.h"
#include "plugin/vst2.h"

namespace kelvane {

class TAudioEffect {
 public:
  TAudioEffect(audioMasterCallback audioMaster, VstInt32 numPrograms, VstInt32 numParams);
  virtual ~TAudioEffect();

  TAudioEffect(const TAudioEffect&) = delete;
  TAudioEffect& operator=(const TAudioEffect&) = delete;

  virtual void SetSampleRate(float sampleRate) { FSampleRate = sampleRate; }
  virtual void SetBlockSize(VstInt32 blockSize) { FBlockSize = blockSize; }
  virtual VstIntPtr Dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);
  virtual void Open() {}
  virtual void Close() {}
  virtual void Suspend() {}
  virtual void Resume() {}
  virtual void ProcessReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) = 0;
  virtual void ProcessDoubleReplacing(double** inputs, double** outputs, VstInt32 sampleFrames);
  virtual void SetParameter(VstInt32 index, float value);
  virtual float GetParameter(VstInt32 index);
  virtual void SetParameterAutomated(VstInt32 index, float value);
  virtual VstInt32 GetProgram() { return CurProgram; }
  virtual void SetProgram(VstInt32 program) { CurProgram = program; }
  virtual void SetProgramName(char* name);
  virtual void GetProgramName(char* name);
  virtual void GetParameterLabel(VstInt32 index, char* label);
  virtual void GetParameterDisplay(VstInt32 index, char* text);
  virtual void GetParameterName(VstInt32 index, char* text);
  // *data receives the chunk's address; answers its size in bytes.
  virtual VstInt32 GetChunk(void** data, bool isPreset);
  virtual VstInt32 SetChunk(void* data, VstInt32 byteSize, bool isPreset);
  virtual void SetUniqueID(VstInt32 id) { FEffect.uniqueID = id; }
  virtual void SetNumInputs(VstInt32 inputs) { FEffect.numInputs = inputs; }
  virtual void SetNumOutputs(VstInt32 outputs) { FEffect.numOutputs = outputs; }
  virtual void CanProcessReplacing(bool state) { SetFlag(effFlagsCanReplacing, state); }
  virtual void CanDoubleReplacing(bool state) { SetFlag(effFlagsCanDoubleReplacing, state); }
  virtual void ProgramsAreChunks(bool state) { SetFlag(effFlagsProgramChunks, state); }
  virtual void SetInitialDelay(VstInt32 delay) { FEffect.initialDelay = delay; }
  virtual VstInt32 GetMasterVersion();
  virtual VstInt32 GetCurrentUniqueId();
  virtual void MasterIdle();
  virtual void Process(float** inputs, float** outputs, VstInt32 sampleFrames);
  virtual float GetVu();
  virtual void HasVu(bool state) { SetFlag(effFlagsHasVu, state); }
  virtual void HasClip(bool state) { SetFlag(effFlagsHasClip, state); }
  virtual void CanMono(bool state) { SetFlag(effFlagsCanMono, state); }
  virtual void SetRealtimeQualities(VstInt32 qualities) { FEffect.realQualities = qualities; }
  virtual void SetOfflineQualities(VstInt32 qualities) { FEffect.offQualities = qualities; }
  virtual bool IsInputConnected(VstInt32 input);
  virtual bool IsOutputConnected(VstInt32 output);

  // Takes ownership; none clears effFlagsHasEditor.
  void SetEditor(TAudioEffectEditor* editor);
  TAudioEffectEditor* GetEditor() const { return FEditor.get(); }
  AEffect* GetEffect() { return &FEffect; }
  float GetSampleRate() const { return FSampleRate; }
  VstInt32 GetBlockSize() const { return FBlockSize; }

 protected:
  void SetFlag(VstInt32 flag, bool state);
  bool HasFlag(VstInt32 flag) const { return (FEffect.flags & flag) != 0; }
  // Answers 0 without a host callback.
  VstIntPtr CallHost(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                     float opt = 0.0f);

  audioMasterCallback FAudioMaster;  // may be absent
  AEffect FEffect;                   // the host holds its address
  std::unique_ptr<TAudioEffectEditor> FEditor;
  float FSampleRate = 44100.0f;  // Hz
  VstInt32 FBlockSize = 1024;    // sample frames
  VstInt32 NumPrograms;
  VstInt32 NumParams;
  VstInt32 CurProgram = 0;
};

// Entries stored in the AEffect: each calls the plug-in in its object field.
VstIntPtr VSTCALLBACK DispatchEffectClass(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                          void* ptr, float opt);
float VSTCALLBACK GetParameterClass(AEffect* effect, VstInt32 index);
void VSTCALLBACK SetParameterClass(AEffect* effect, VstInt32 index, float value);
void VSTCALLBACK processClass(AEffect* effect, float** inputs, float** outputs, VstInt32 sampleFrames);
void VSTCALLBACK ProcessClassReplacing(AEffect* effect, float** inputs, float** outputs, VstInt32 sampleFrames);
void VSTCALLBACK ProcessClassDoubleReplacing(AEffect* effect, double** inputs, double** outputs,
                                             VstInt32 sampleFrames);

}  // namespace kelvane
