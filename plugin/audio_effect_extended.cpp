#include "plugin/audio_effect_extended.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace kelvane {

namespace {

template <typename T>
T* PointerFrom(VstIntPtr value) {
  return reinterpret_cast<T*>(value);
}

// Character = index, virtual key = value, modifier keys = opt.
VstKeyCode KeyCodeFrom(VstInt32 index, VstIntPtr value, float opt) {
  VstKeyCode key{};
  key.character = index;
  key.virt = static_cast<unsigned char>(value);
  key.modifier = static_cast<unsigned char>(std::lround(opt));
  return key;
}

// Room for the two counts and numChannels speakers, never less than the
// declared record so that every field of it may be read.
size_t ArrangementBytes(VstInt32 numChannels) {
  constexpr size_t head = offsetof(VstSpeakerArrangement, speakers);
  const size_t speakers = numChannels > 0 ? static_cast<size_t>(numChannels) : 0;
  const size_t bytes = head + speakers * sizeof(VstSpeakerProperties);
  return bytes < sizeof(VstSpeakerArrangement) ? sizeof(VstSpeakerArrangement) : bytes;
}

}  // namespace

VstIntPtr TAudioEffectExtended::Dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                           float opt) {
  char* const text = static_cast<char*>(ptr);
  switch (opcode) {
    case effProcessEvents:
      return ProcessEvents(static_cast<VstEvents*>(ptr));
    case effCanBeAutomated:
      return CanParameterBeAutomated(index) ? 1 : 0;
    case effString2Parameter:
      return String2Parameter(index, text) ? 1 : 0;
    case effGetNumProgramCategories:
      return GetNumCategories();
    case effGetProgramNameIndexed:
      return GetProgramNameIndexed(static_cast<VstInt32>(value), index, text) ? 1 : 0;
    case effCopyProgram:
      return CopyProgram(index) ? 1 : 0;
    case effConnectInput:
      InputConnected(index, value != 0);
      return 1;
    case effConnectOutput:
      OutputConnected(index, value != 0);
      return 1;
    case effGetInputProperties:
      return GetInputProperties(index, static_cast<VstPinProperties*>(ptr)) ? 1 : 0;
    case effGetOutputProperties:
      return GetOutputProperties(index, static_cast<VstPinProperties*>(ptr)) ? 1 : 0;
    case effGetPlugCategory:
      return GetPlugCategory();
    case effGetCurrentPosition:
      return ReportCurrentPosition();
    case effGetDestinationBuffer:
      return reinterpret_cast<VstIntPtr>(ReportDestinationBuffer());
    case effOfflineNotify:
      return OfflineNotify(static_cast<VstAudioFile*>(ptr), static_cast<VstInt32>(value), index != 0) ? 1 : 0;
    case effOfflinePrepare:
      return OfflinePrepare(static_cast<VstOfflineTask*>(ptr), static_cast<VstInt32>(value)) ? 1 : 0;
    case effOfflineRun:
      return OfflineRun(static_cast<VstOfflineTask*>(ptr), static_cast<VstInt32>(value)) ? 1 : 0;
    case effProcessVarIo:
      return ProcessVariableIO(static_cast<VstVariableIo*>(ptr)) ? 1 : 0;
    case effSetSpeakerArrangement:
      return SetSpeakerArrangement(PointerFrom<VstSpeakerArrangement>(value),
                                   static_cast<VstSpeakerArrangement*>(ptr))
                 ? 1
                 : 0;
    case effSetBlockSizeAndSampleRate:
      SetBlockSizeAndSampleRate(static_cast<VstInt32>(value), opt);
      return 1;
    case effSetBypass:
      return SetBypass(value != 0) ? 1 : 0;
    case effGetEffectName:
      return GetEffectName(text) ? 1 : 0;
    case effGetErrorText:
      return GetErrorText(text) ? 1 : 0;
    case effGetVendorString:
      return GetVendorString(text) ? 1 : 0;
    case effGetProductString:
      return GetProductString(text) ? 1 : 0;
    case effGetVendorVersion:
      return GetVendorVersion();
    case effVendorSpecific:
      return VendorSpecific(index, value, ptr, opt);
    case effCanDo:
      return CanDo(text);
    case effGetTailSize:
      return GetTailSize();
    case effIdle:
      return FxIdle() ? 1 : 0;
    case effGetIcon:
      return reinterpret_cast<VstIntPtr>(GetIcon());
    case effSetViewPosition:
      return SetViewPosition(index, static_cast<VstInt32>(value)) ? 1 : 0;
    case effGetParameterProperties:
      return GetParameterProperties(index, static_cast<VstParameterProperties*>(ptr)) ? 1 : 0;
    case effKeysRequired:
      return KeysRequired() ? 0 : 1;
    case effGetVstVersion:
      return GetVstVersion();
    case effEditKeyDown:
      if (FEditor) {
        VstKeyCode key = KeyCodeFrom(index, value, opt);
        return FEditor->OnKeyDown(key) ? 1 : 0;
      }
      return 0;
    case effEditKeyUp:
      if (FEditor) {
        VstKeyCode key = KeyCodeFrom(index, value, opt);
        return FEditor->OnKeyUp(key) ? 1 : 0;
      }
      return 0;
    case effSetEditKnobMode:
      return FEditor && FEditor->SetKnobMode(static_cast<VstInt32>(value)) ? 1 : 0;
    case effGetMidiProgramName:
      return GetMidiProgramName(index, static_cast<MidiProgramName*>(ptr));
    case effGetCurrentMidiProgram:
      return GetCurrentMidiProgram(index, static_cast<MidiProgramName*>(ptr));
    case effGetMidiProgramCategory:
      return GetMidiProgramCategory(index, static_cast<MidiProgramCategory*>(ptr));
    case effHasMidiProgramsChanged:
      return HasMidiProgramsChanged(index) ? 1 : 0;
    case effGetMidiKeyName:
      return GetMidiKeyName(index, static_cast<MidiKeyName*>(ptr)) ? 1 : 0;
    case effBeginSetProgram:
      return BeginSetProgram() ? 1 : 0;
    case effEndSetProgram:
      return EndSetProgram() ? 1 : 0;
    case effGetSpeakerArrangement:
      return GetSpeakerArrangement(PointerFrom<VstSpeakerArrangement*>(value),
                                   static_cast<VstSpeakerArrangement**>(ptr))
                 ? 1
                 : 0;
    case effShellGetNextPlugin:
      return GetNextShellPlugin(text);
    case effStartProcess:
      return StartProcess();
    case effStopProcess:
      return StopProcess();
    case effSetTotalSampleToProcess:
      return SetTotalSampleToProcess(static_cast<VstInt32>(value));
    case effSetPanLaw:
      return SetPanLaw(static_cast<VstInt32>(value), opt) ? 1 : 0;
    case effBeginLoadBank:
      return BeginLoadBank(static_cast<VstPatchChunkInfo*>(ptr));
    case effBeginLoadProgram:
      return BeginLoadProgram(static_cast<VstPatchChunkInfo*>(ptr));
    case effSetProcessPrecision:
      return SetProcessPrecision(static_cast<VstInt32>(value)) ? 1 : 0;
    case effGetNumMidiInputChannels:
      return GetNumMidiInputChannels();
    case effGetNumMidiOutputChannels:
      return GetNumMidiOutputChannels();
    default:
      return TAudioEffect::Dispatcher(opcode, index, value, ptr, opt);
  }
}

void TAudioEffectExtended::Resume() {
  TAudioEffect::Resume();
  char receiveMidi[] = "receiveVstMidiEvent";
  if (HasFlag(effFlagsIsSynth) || CanDo(receiveMidi) == 1) WantEvents(1);
}

// Plug-in side defaults: nothing to do, nothing known.

bool TAudioEffectExtended::CanParameterBeAutomated(VstInt32) { return true; }
bool TAudioEffectExtended::String2Parameter(VstInt32, char*) { return false; }
bool TAudioEffectExtended::GetParameterProperties(VstInt32, VstParameterProperties*) { return false; }
bool TAudioEffectExtended::GetProgramNameIndexed(VstInt32, VstInt32, char*) { return false; }
bool TAudioEffectExtended::BeginSetProgram() { return false; }
bool TAudioEffectExtended::EndSetProgram() { return false; }
VstInt32 TAudioEffectExtended::BeginLoadBank(VstPatchChunkInfo*) { return 0; }
VstInt32 TAudioEffectExtended::BeginLoadProgram(VstPatchChunkInfo*) { return 0; }
bool TAudioEffectExtended::GetInputProperties(VstInt32, VstPinProperties*) { return false; }
bool TAudioEffectExtended::GetOutputProperties(VstInt32, VstPinProperties*) { return false; }
bool TAudioEffectExtended::SetSpeakerArrangement(VstSpeakerArrangement*, VstSpeakerArrangement*) { return false; }

bool TAudioEffectExtended::GetSpeakerArrangement(VstSpeakerArrangement** input, VstSpeakerArrangement** output) {
  if (input != nullptr) *input = nullptr;
  if (output != nullptr) *output = nullptr;
  return false;
}

bool TAudioEffectExtended::SetBypass(bool) { return false; }
bool TAudioEffectExtended::SetPanLaw(VstInt32, float) { return false; }
bool TAudioEffectExtended::SetProcessPrecision(VstInt32) { return false; }
VstInt32 TAudioEffectExtended::GetNumMidiInputChannels() { return 0; }
VstInt32 TAudioEffectExtended::GetNumMidiOutputChannels() { return 0; }
VstInt32 TAudioEffectExtended::ProcessEvents(VstEvents*) { return 0; }
VstInt32 TAudioEffectExtended::StartProcess() { return 0; }
VstInt32 TAudioEffectExtended::StopProcess() { return 0; }
bool TAudioEffectExtended::ProcessVariableIO(VstVariableIo*) { return false; }
VstInt32 TAudioEffectExtended::SetTotalSampleToProcess(VstInt32) { return 0; }
VstInt32 TAudioEffectExtended::GetTailSize() { return 0; }
bool TAudioEffectExtended::GetEffectName(char*) { return false; }
bool TAudioEffectExtended::GetVendorString(char*) { return false; }
bool TAudioEffectExtended::GetProductString(char*) { return false; }
VstInt32 TAudioEffectExtended::GetVendorVersion() { return 0; }
VstIntPtr TAudioEffectExtended::VendorSpecific(VstInt32, VstIntPtr, void*, float) { return 0; }
VstInt32 TAudioEffectExtended::CanDo(char*) { return 0; }
VstInt32 TAudioEffectExtended::GetVstVersion() { return kVstVersion; }

VstInt32 TAudioEffectExtended::GetPlugCategory() {
  return HasFlag(effFlagsIsSynth) ? kPlugCategSynth : kPlugCategUnknown;
}

VstInt32 TAudioEffectExtended::GetMidiProgramName(VstInt32, MidiProgramName*) { return 0; }
VstInt32 TAudioEffectExtended::GetCurrentMidiProgram(VstInt32, MidiProgramName*) { return 0; }
VstInt32 TAudioEffectExtended::GetMidiProgramCategory(VstInt32, MidiProgramCategory*) { return 0; }
bool TAudioEffectExtended::HasMidiProgramsChanged(VstInt32) { return false; }
bool TAudioEffectExtended::GetMidiKeyName(VstInt32, MidiKeyName*) { return false; }
VstInt32 TAudioEffectExtended::GetNextShellPlugin(char*) { return 0; }
bool TAudioEffectExtended::OfflineNotify(VstAudioFile*, VstInt32, bool) { return false; }
bool TAudioEffectExtended::OfflinePrepare(VstOfflineTask*, VstInt32) { return false; }
bool TAudioEffectExtended::OfflineRun(VstOfflineTask*, VstInt32) { return false; }
VstInt32 TAudioEffectExtended::OfflineGetNumPasses() { return 0; }
VstInt32 TAudioEffectExtended::OfflineGetNumMetaPasses() { return 0; }
VstInt32 TAudioEffectExtended::GetNumCategories() { return 1; }
bool TAudioEffectExtended::CopyProgram(VstInt32) { return false; }
void TAudioEffectExtended::InputConnected(VstInt32, bool) {}
void TAudioEffectExtended::OutputConnected(VstInt32, bool) {}
VstInt32 TAudioEffectExtended::ReportCurrentPosition() { return 0; }
float* TAudioEffectExtended::ReportDestinationBuffer() { return nullptr; }

bool TAudioEffectExtended::SetBlockSizeAndSampleRate(VstInt32 blockSize, float sampleRate) {
  FBlockSize = blockSize;
  FSampleRate = sampleRate;
  return true;
}

bool TAudioEffectExtended::GetErrorText(char*) { return false; }
void* TAudioEffectExtended::GetIcon() { return nullptr; }
bool TAudioEffectExtended::SetViewPosition(VstInt32, VstInt32) { return false; }
bool TAudioEffectExtended::FxIdle() { return false; }
bool TAudioEffectExtended::KeysRequired() { return false; }

// Speaker arrangements: blocks from malloc, as hosts written in C expect.

bool TAudioEffectExtended::AllocateArrangement(VstSpeakerArrangement** arrangement, VstInt32 numChannels) {
  if (arrangement == nullptr) return false;
  std::free(*arrangement);
  *arrangement = static_cast<VstSpeakerArrangement*>(std::calloc(1, ArrangementBytes(numChannels)));
  if (*arrangement == nullptr) return false;
  (*arrangement)->numChannels = numChannels;
  return true;
}

bool TAudioEffectExtended::DeallocateArrangement(VstSpeakerArrangement** arrangement) {
  if (arrangement == nullptr) return false;
  std::free(*arrangement);
  *arrangement = nullptr;
  return true;
}

bool TAudioEffectExtended::CopySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from) {
  if (to == nullptr || from == nullptr) return false;
  std::memcpy(to, from, sizeof(VstSpeakerProperties));
  return true;
}

bool TAudioEffectExtended::MatchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from) {
  if (to == nullptr || from == nullptr) return false;
  if (!AllocateArrangement(to, from->numChannels)) return false;
  (*to)->type = from->type;
  for (VstInt32 i = 0; i < from->numChannels; ++i) CopySpeaker(SpeakerAt(*to, i), SpeakerAt(from, i));
  return true;
}

// Host calls.

bool TAudioEffectExtended::BeginEdit(VstInt32 index) { return CallHost(audioMasterBeginEdit, index) != 0; }

bool TAudioEffectExtended::EndEdit(VstInt32 index) { return CallHost(audioMasterEndEdit, index) != 0; }

bool TAudioEffectExtended::IOChanged() { return CallHost(audioMasterIOChanged) != 0; }

float TAudioEffectExtended::UpdateSampleRate() {
  const VstIntPtr rate = CallHost(audioMasterGetSampleRate);
  if (rate > 0) FSampleRate = static_cast<float>(rate);
  return FSampleRate;
}

VstInt32 TAudioEffectExtended::UpdateBlockSize() {
  const VstIntPtr size = CallHost(audioMasterGetBlockSize);
  if (size > 0) FBlockSize = static_cast<VstInt32>(size);
  return FBlockSize;
}

VstInt32 TAudioEffectExtended::GetInputLatency() {
  return static_cast<VstInt32>(CallHost(audioMasterGetInputLatency));
}

VstInt32 TAudioEffectExtended::GetOutputLatency() {
  return static_cast<VstInt32>(CallHost(audioMasterGetOutputLatency));
}

VstTimeInfo* TAudioEffectExtended::GetTimeInfo(VstInt32 filter) {
  return PointerFrom<VstTimeInfo>(CallHost(audioMasterGetTime, 0, filter));
}

VstInt32 TAudioEffectExtended::GetCurrentProcessLevel() {
  return static_cast<VstInt32>(CallHost(audioMasterGetCurrentProcessLevel));
}

VstInt32 TAudioEffectExtended::GetAutomationState() {
  return static_cast<VstInt32>(CallHost(audioMasterGetAutomationState));
}

bool TAudioEffectExtended::SendVstEventsToHost(VstEvents* events) {
  return CallHost(audioMasterProcessEvents, 0, 0, events) == 1;
}

bool TAudioEffectExtended::GetHostVendorString(char* text) {
  return CallHost(audioMasterGetVendorString, 0, 0, text) != 0;
}

bool TAudioEffectExtended::GetHostProductString(char* text) {
  return CallHost(audioMasterGetProductString, 0, 0, text) != 0;
}

VstInt32 TAudioEffectExtended::GetHostVendorVersion() {
  return static_cast<VstInt32>(CallHost(audioMasterGetVendorVersion));
}

VstInt32 TAudioEffectExtended::GetHostLanguage() { return static_cast<VstInt32>(CallHost(audioMasterGetLanguage)); }

VstIntPtr TAudioEffectExtended::HostVendorSpecific(VstInt32 arg1, VstIntPtr arg2, void* ptrArg, float floatArg) {
  return CallHost(audioMasterVendorSpecific, arg1, arg2, ptrArg, floatArg);
}

VstInt32 TAudioEffectExtended::CanHostDo(char* text) {
  return static_cast<VstInt32>(CallHost(audioMasterCanDo, 0, 0, text));
}

void* TAudioEffectExtended::GetDirectory() { return PointerFrom<void>(CallHost(audioMasterGetDirectory)); }

bool TAudioEffectExtended::UpdateDisplay() { return CallHost(audioMasterUpdateDisplay) != 0; }

bool TAudioEffectExtended::SizeWindow(VstInt32 width, VstInt32 height) {
  return CallHost(audioMasterSizeWindow, width, height) != 0;
}

bool TAudioEffectExtended::OpenFileSelector(VstFileSelect* select) {
  return select != nullptr && CallHost(audioMasterOpenFileSelector, 0, 0, select) != 0;
}

bool TAudioEffectExtended::CloseFileSelector(VstFileSelect* select) {
  return select != nullptr && CallHost(audioMasterCloseFileSelector, 0, 0, select) != 0;
}

bool TAudioEffectExtended::OfflineRead(VstOfflineTask* offline, VstInt32 option, bool readSource) {
  return CallHost(audioMasterOfflineRead, readSource ? 1 : 0, option, offline) != 0;
}

bool TAudioEffectExtended::OfflineWrite(VstOfflineTask* offline, VstInt32 option) {
  return CallHost(audioMasterOfflineWrite, 0, option, offline) != 0;
}

bool TAudioEffectExtended::OfflineStart(VstAudioFile* audioFiles, VstInt32 numAudioFiles,
                                        VstInt32 numNewAudioFiles) {
  return CallHost(audioMasterOfflineStart, numNewAudioFiles, numAudioFiles, audioFiles) != 0;
}

VstInt32 TAudioEffectExtended::OfflineGetCurrentPass() {
  return static_cast<VstInt32>(CallHost(audioMasterOfflineGetCurrentPass));
}

VstInt32 TAudioEffectExtended::OfflineGetCurrentMetaPass() {
  return static_cast<VstInt32>(CallHost(audioMasterOfflineGetCurrentMetaPass));
}

void TAudioEffectExtended::WantEvents(VstInt32 filter) { CallHost(audioMasterWantMidi, 0, filter); }

VstInt32 TAudioEffectExtended::TempoAt(VstInt32 pos) {
  return static_cast<VstInt32>(CallHost(audioMasterTempoAt, 0, pos));
}

VstInt32 TAudioEffectExtended::GetNumAutomatableParameters() {
  return static_cast<VstInt32>(CallHost(audioMasterGetNumAutomatableParameters));
}

VstInt32 TAudioEffectExtended::GetParameterQuantization() {
  return static_cast<VstInt32>(CallHost(audioMasterGetParameterQuantization));
}

bool TAudioEffectExtended::NeedIdle() { return CallHost(audioMasterNeedIdle) != 0; }

AEffect* TAudioEffectExtended::GetPreviousPlug(VstInt32 input) {
  return PointerFrom<AEffect>(CallHost(audioMasterGetPreviousPlug, input));
}

AEffect* TAudioEffectExtended::GetNextPlug(VstInt32 output) {
  return PointerFrom<AEffect>(CallHost(audioMasterGetNextPlug, output));
}

VstInt32 TAudioEffectExtended::WillProcessReplacing() {
  return static_cast<VstInt32>(CallHost(audioMasterWillReplaceOrAccumulate));
}

void TAudioEffectExtended::SetOutputSamplerate(float sampleRate) {
  CallHost(audioMasterSetOutputSampleRate, 0, 0, nullptr, sampleRate);
}

VstSpeakerArrangement* TAudioEffectExtended::GetInputSpeakerArrangement() {
  return PointerFrom<VstSpeakerArrangement>(CallHost(audioMasterGetInputSpeakerArrangement));
}

VstSpeakerArrangement* TAudioEffectExtended::GetOutputSpeakerArrangement() {
  return PointerFrom<VstSpeakerArrangement>(CallHost(audioMasterGetOutputSpeakerArrangement));
}

void* TAudioEffectExtended::OpenWindow(VstWindow* window) {
  return PointerFrom<void>(CallHost(audioMasterOpenWindow, 0, 0, window));
}

bool TAudioEffectExtended::CloseWindow(VstWindow* window) {
  return CallHost(audioMasterCloseWindow, 0, 0, window) != 0;
}

bool TAudioEffectExtended::GetChunkFile(void* nativePath) {
  return CallHost(audioMasterGetChunkFile, 0, 0, nativePath) != 0;
}

}  // namespace kelvane
