#pragma once

// The VST 2.x additions to the plug-in base: opcodes 25 to 79, the host
// calls that came with them and the speaker-arrangement helpers.

#include "plugin/audio_effect.h"

namespace kelvane {

class TAudioEffectExtended : public TAudioEffect {
 public:
  using TAudioEffect::TAudioEffect;

  VstIntPtr Dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) override;
  // Asks the host for MIDI when the plug-in is a synth or takes MIDI events.
  void Resume() override;

  virtual bool CanParameterBeAutomated(VstInt32 index);
  virtual bool String2Parameter(VstInt32 index, char* text);
  virtual bool GetParameterProperties(VstInt32 index, VstParameterProperties* properties);
  virtual bool BeginEdit(VstInt32 index);
  virtual bool EndEdit(VstInt32 index);
  virtual bool GetProgramNameIndexed(VstInt32 category, VstInt32 index, char* text);
  virtual bool BeginSetProgram();
  virtual bool EndSetProgram();
  virtual VstInt32 BeginLoadBank(VstPatchChunkInfo* info);
  virtual VstInt32 BeginLoadProgram(VstPatchChunkInfo* info);
  virtual bool IOChanged();
  virtual float UpdateSampleRate();
  virtual VstInt32 UpdateBlockSize();
  virtual VstInt32 GetInputLatency();
  virtual VstInt32 GetOutputLatency();
  virtual bool GetInputProperties(VstInt32 index, VstPinProperties* properties);
  virtual bool GetOutputProperties(VstInt32 index, VstPinProperties* properties);
  virtual bool SetSpeakerArrangement(VstSpeakerArrangement* input, VstSpeakerArrangement* output);
  virtual bool GetSpeakerArrangement(VstSpeakerArrangement** input, VstSpeakerArrangement** output);
  virtual bool SetBypass(bool state);
  virtual bool SetPanLaw(VstInt32 type, float value);
  virtual bool SetProcessPrecision(VstInt32 precision);
  virtual VstInt32 GetNumMidiInputChannels();
  virtual VstInt32 GetNumMidiOutputChannels();
  virtual VstTimeInfo* GetTimeInfo(VstInt32 filter);
  virtual VstInt32 GetCurrentProcessLevel();
  virtual VstInt32 ProcessEvents(VstEvents* events);
  virtual bool SendVstEventsToHost(VstEvents* events);
  virtual VstInt32 StartProcess();
  virtual VstInt32 StopProcess();
  virtual bool ProcessVariableIO(VstVariableIo* varIo);
  virtual VstInt32 SetTotalSampleToProcess(VstInt32 value);
  virtual bool GetHostVendorString(char* text);
  virtual bool GetHostProductString(char* text);
  virtual VstInt32 GetHostVendorVersion();
  virtual VstIntPtr HostVendorSpecific(VstInt32 arg1, VstIntPtr arg2, void* ptrArg, float floatArg);
  virtual VstInt32 CanHostDo(char* text);
  virtual void IsSynth(bool state) { SetFlag(effFlagsIsSynth, state); }
  virtual void NoTail(bool state) { SetFlag(effFlagsNoSoundInStop, state); }
  virtual VstInt32 GetTailSize();
  virtual void* GetDirectory();
  virtual bool GetEffectName(char* name);
  virtual bool GetVendorString(char* text);
  virtual bool GetProductString(char* text);
  virtual VstInt32 GetVendorVersion();
  virtual VstIntPtr VendorSpecific(VstInt32 arg1, VstIntPtr arg2, void* ptrArg, float floatArg);
  // 1 yes, -1 no, 0 don't know.
  virtual VstInt32 CanDo(char* text);
  virtual VstInt32 GetVstVersion();
  virtual VstInt32 GetPlugCategory();
  virtual VstInt32 GetMidiProgramName(VstInt32 channel, MidiProgramName* name);
  virtual VstInt32 GetCurrentMidiProgram(VstInt32 channel, MidiProgramName* current);
  virtual VstInt32 GetMidiProgramCategory(VstInt32 channel, MidiProgramCategory* category);
  virtual bool HasMidiProgramsChanged(VstInt32 channel);
  virtual bool GetMidiKeyName(VstInt32 channel, MidiKeyName* keyName);
  virtual bool UpdateDisplay();
  virtual bool SizeWindow(VstInt32 width, VstInt32 height);
  virtual bool OpenFileSelector(VstFileSelect* select);
  virtual bool CloseFileSelector(VstFileSelect* select);
  virtual VstInt32 GetNextShellPlugin(char* name);
  // Replaces *arrangement with a zeroed block for numChannels speakers.
  virtual bool AllocateArrangement(VstSpeakerArrangement** arrangement, VstInt32 numChannels);
  virtual bool DeallocateArrangement(VstSpeakerArrangement** arrangement);
  virtual bool CopySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from);
  virtual bool MatchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from);
  virtual bool OfflineRead(VstOfflineTask* offline, VstInt32 option, bool readSource = true);
  virtual bool OfflineWrite(VstOfflineTask* offline, VstInt32 option);
  virtual bool OfflineStart(VstAudioFile* audioFiles, VstInt32 numAudioFiles, VstInt32 numNewAudioFiles);
  virtual VstInt32 OfflineGetCurrentPass();
  virtual VstInt32 OfflineGetCurrentMetaPass();
  virtual bool OfflineNotify(VstAudioFile* data, VstInt32 numAudioFiles, bool start);
  virtual bool OfflinePrepare(VstOfflineTask* offline, VstInt32 count);
  virtual bool OfflineRun(VstOfflineTask* offline, VstInt32 count);
  virtual VstInt32 OfflineGetNumPasses();
  virtual VstInt32 OfflineGetNumMetaPasses();
  virtual void WantEvents(VstInt32 filter = 1);
  virtual VstInt32 TempoAt(VstInt32 pos);
  virtual VstInt32 GetNumAutomatableParameters();
  virtual VstInt32 GetParameterQuantization();
  virtual VstInt32 GetNumCategories();
  virtual bool CopyProgram(VstInt32 destination);
  virtual bool NeedIdle();
  virtual AEffect* GetPreviousPlug(VstInt32 input);
  virtual AEffect* GetNextPlug(VstInt32 output);
  virtual void InputConnected(VstInt32 index, bool state);
  virtual void OutputConnected(VstInt32 index, bool state);
  virtual VstInt32 WillProcessReplacing();
  virtual void WantAsyncOperation(bool state) { SetFlag(effFlagsExtIsAsync, state); }
  virtual void HasExternalBuffer(bool state) { SetFlag(effFlagsExtHasBuffer, state); }
  virtual VstInt32 ReportCurrentPosition();
  virtual float* ReportDestinationBuffer();
  virtual void SetOutputSamplerate(float sampleRate);
  virtual VstSpeakerArrangement* GetInputSpeakerArrangement();
  virtual VstSpeakerArrangement* GetOutputSpeakerArrangement();
  virtual void* OpenWindow(VstWindow* window);
  virtual bool CloseWindow(VstWindow* window);
  virtual bool SetBlockSizeAndSampleRate(VstInt32 blockSize, float sampleRate);
  virtual bool GetErrorText(char* text);
  virtual void* GetIcon();
  virtual bool SetViewPosition(VstInt32 x, VstInt32 y);
  virtual bool FxIdle();
  // False when the editor does not need the host's key events.
  virtual bool KeysRequired();
  virtual bool GetChunkFile(void* nativePath);

  VstInt32 GetHostLanguage();
  VstInt32 GetAutomationState();
};

}  // namespace kelvane
