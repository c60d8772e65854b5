#include "plugin/audio_effect.h"

#include <cmath>
#include <cstring>
#include <exception>

#include "plugin/exception_report.h"

namespace kelvane {

TAudioEffect::TAudioEffect(audioMasterCallback audioMaster, VstInt32 numPrograms, VstInt32 numParams)
    : FAudioMaster(audioMaster), NumPrograms(numPrograms), NumParams(numParams) {
  std::memset(&FEffect, 0, sizeof(FEffect));
  FEffect.magic = kEffectMagic;
  FEffect.dispatcher = DispatchEffectClass;
  FEffect.process = processClass;
  FEffect.setParameter = SetParameterClass;
  FEffect.getParameter = GetParameterClass;
  FEffect.numPrograms = numPrograms;
  FEffect.numParams = numParams;
  FEffect.numInputs = 1;
  FEffect.numOutputs = 2;
  FEffect.ioRatio = 1.0f;
  FEffect.object = this;
  FEffect.uniqueID = FourCharToLong('N', 'o', 'E', 'f');
  FEffect.version = 1;
  FEffect.processReplacing = ProcessClassReplacing;
  FEffect.processDoubleReplacing = ProcessClassDoubleReplacing;
  // Not virtual dispatch: a derived override is not active during construction.
  TAudioEffect::CanProcessReplacing(true);
}

TAudioEffect::~TAudioEffect() = default;

void TAudioEffect::SetFlag(VstInt32 flag, bool state) {
  if (state)
    FEffect.flags |= flag;
  else
    FEffect.flags &= ~flag;
}

void TAudioEffect::SetEditor(TAudioEffectEditor* editor) {
  if (editor != FEditor.get()) FEditor.reset(editor);
  SetFlag(effFlagsHasEditor, editor != nullptr);
}

VstIntPtr TAudioEffect::CallHost(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
  if (FAudioMaster == nullptr) return 0;
  return FAudioMaster(&FEffect, opcode, index, value, ptr, opt);
}

VstIntPtr TAudioEffect::Dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
  switch (opcode) {
    case effOpen:
      Open();
      return 0;
    case effClose:
      Close();
      return 0;
    case effSetProgram:
      // A negative program number is as invalid as one past the end.
      if (value >= 0 && value < NumPrograms) SetProgram(static_cast<VstInt32>(value));
      return 0;
    case effGetProgram:
      return GetProgram();
    case effSetProgramName:
      SetProgramName(static_cast<char*>(ptr));
      return 0;
    case effGetProgramName:
      GetProgramName(static_cast<char*>(ptr));
      return 0;
    case effGetParamLabel:
      GetParameterLabel(index, static_cast<char*>(ptr));
      return 0;
    case effGetParamDisplay:
      GetParameterDisplay(index, static_cast<char*>(ptr));
      return 0;
    case effGetParamName:
      GetParameterName(index, static_cast<char*>(ptr));
      return 0;
    case effGetVu:
      return static_cast<VstIntPtr>(std::lround(GetVu() * 32767.0f));
    case effSetSampleRate:
      SetSampleRate(opt);
      return 0;
    case effSetBlockSize:
      SetBlockSize(static_cast<VstInt32>(value));
      return 0;
    case effMainsChanged:
      if (value == 0)
        Suspend();
      else
        Resume();
      return 0;
    case effEditGetRect:
      return FEditor ? FEditor->GetRect(static_cast<ERect**>(ptr)) : 0;
    case effEditOpen:
      return FEditor ? FEditor->Open(ptr) : 0;
    case effEditClose:
      if (FEditor) FEditor->Close();
      return 0;
    case effEditIdle:
      if (FEditor) FEditor->Idle();
      return 0;
    case effIdentify:
      return FourCharToLong('N', 'v', 'E', 'f');
    case effGetChunk:
      return GetChunk(static_cast<void**>(ptr), index != 0);
    case effSetChunk:
      return SetChunk(ptr, static_cast<VstInt32>(value), index != 0);
    default:
      return 0;
  }
}

void TAudioEffect::ProcessDoubleReplacing(double**, double**, VstInt32) {}

void TAudioEffect::SetParameter(VstInt32, float) {}

float TAudioEffect::GetParameter(VstInt32) { return 0.0f; }

void TAudioEffect::SetParameterAutomated(VstInt32 index, float value) {
  SetParameter(index, value);
  CallHost(audioMasterAutomate, index, 0, nullptr, value);
}

void TAudioEffect::SetProgramName(char*) {}

static void WriteEmpty(char* text) {
  if (text != nullptr) *text = '\0';
}

void TAudioEffect::GetProgramName(char* name) { WriteEmpty(name); }

void TAudioEffect::GetParameterLabel(VstInt32, char* label) { WriteEmpty(label); }

void TAudioEffect::GetParameterDisplay(VstInt32, char* text) { WriteEmpty(text); }

void TAudioEffect::GetParameterName(VstInt32, char* text) { WriteEmpty(text); }

VstInt32 TAudioEffect::GetChunk(void**, bool) { return 0; }

VstInt32 TAudioEffect::SetChunk(void*, VstInt32, bool) { return 0; }

VstInt32 TAudioEffect::GetMasterVersion() {
  const VstIntPtr version = CallHost(audioMasterVersion);
  return version == 0 ? 1 : static_cast<VstInt32>(version);
}

VstInt32 TAudioEffect::GetCurrentUniqueId() { return static_cast<VstInt32>(CallHost(audioMasterCurrentId)); }

void TAudioEffect::MasterIdle() { CallHost(audioMasterIdle); }

void TAudioEffect::Process(float**, float**, VstInt32) {}

float TAudioEffect::GetVu() { return 0.0f; }

// The host answers 0 for a connected pin.
bool TAudioEffect::IsInputConnected(VstInt32 input) { return CallHost(audioMasterPinConnected, input, 0) == 0; }

bool TAudioEffect::IsOutputConnected(VstInt32 output) {
  return CallHost(audioMasterPinConnected, output, 1) == 0;
}

static TAudioEffect* EffectObject(AEffect* effect) {
  return effect != nullptr ? static_cast<TAudioEffect*>(effect->object) : nullptr;
}

VstIntPtr VSTCALLBACK DispatchEffectClass(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                          void* ptr, float opt) {
  TAudioEffect* object = EffectObject(effect);
  if (object == nullptr) return 0;
  if (opcode == effClose) {
    Guarded(VstIntPtr{0}, [&] { return object->Dispatcher(opcode, index, value, ptr, opt); });
    Guarded(0, [&] {
      delete object;  // effect is gone with it
      return 0;
    });
    return 1;
  }
  return Guarded(VstIntPtr{0}, [&] { return object->Dispatcher(opcode, index, value, ptr, opt); });
}

float VSTCALLBACK GetParameterClass(AEffect* effect, VstInt32 index) {
  TAudioEffect* object = EffectObject(effect);
  return object != nullptr ? Guarded(0.0f, [&] { return object->GetParameter(index); }) : 0.0f;
}

void VSTCALLBACK SetParameterClass(AEffect* effect, VstInt32 index, float value) {
  if (TAudioEffect* object = EffectObject(effect))
    Guarded(0, [&] {
      object->SetParameter(index, value);
      return 0;
    });
}

void VSTCALLBACK processClass(AEffect* effect, float** inputs, float** outputs, VstInt32 sampleFrames) {
  if (TAudioEffect* object = EffectObject(effect))
    Guarded(0, [&] {
      object->Process(inputs, outputs, sampleFrames);
      return 0;
    });
}

void VSTCALLBACK ProcessClassReplacing(AEffect* effect, float** inputs, float** outputs, VstInt32 sampleFrames) {
  if (TAudioEffect* object = EffectObject(effect))
    Guarded(0, [&] {
      object->ProcessReplacing(inputs, outputs, sampleFrames);
      return 0;
    });
}

void VSTCALLBACK ProcessClassDoubleReplacing(AEffect* effect, double** inputs, double** outputs,
                                             VstInt32 sampleFrames) {
  if (TAudioEffect* object = EffectObject(effect))
    Guarded(0, [&] {
      object->ProcessDoubleReplacing(inputs, outputs, sampleFrames);
      return 0;
    });
}

}  // namespace kelvane
