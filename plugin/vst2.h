#pragma once

// The VST 2.4 binary interface as far as the plug-in uses it: the records a
// host and a plug-in exchange, the opcodes in both directions and the flag
// values, under their published names. Layouts follow the 8-byte packing the
// interface was defined with; sizes below are for 64-bit targets.

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define VSTCALLBACK __cdecl
#else
#define VSTCALLBACK
#endif

namespace kelvane {

using VstInt16 = int16_t;
using VstInt32 = int32_t;
using VstInt64 = int64_t;
using VstIntPtr = intptr_t;

#pragma pack(push, 8)

struct AEffect;

using audioMasterCallback = VstIntPtr(VSTCALLBACK*)(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                                    VstIntPtr value, void* ptr, float opt);
using AEffectDispatcherProc = VstIntPtr(VSTCALLBACK*)(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                                      VstIntPtr value, void* ptr, float opt);
using AEffectProcessProc = void(VSTCALLBACK*)(AEffect* effect, float** inputs, float** outputs,
                                              VstInt32 sampleFrames);
using AEffectProcessDoubleProc = void(VSTCALLBACK*)(AEffect* effect, double** inputs, double** outputs,
                                                    VstInt32 sampleFrames);
using AEffectSetParameterProc = void(VSTCALLBACK*)(AEffect* effect, VstInt32 index, float parameter);
using AEffectGetParameterProc = float(VSTCALLBACK*)(AEffect* effect, VstInt32 index);

// First character in the most significant byte.
constexpr VstInt32 FourCharToLong(char a, char b, char c, char d) {
  return static_cast<VstInt32>((static_cast<uint32_t>(static_cast<uint8_t>(a)) << 24) |
                               (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16) |
                               (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 8) |
                               static_cast<uint32_t>(static_cast<uint8_t>(d)));
}

inline constexpr VstInt32 kEffectMagic = FourCharToLong('V', 's', 't', 'P');
inline constexpr VstInt32 kVstVersion = 2400;

// The record the host holds for one plug-in instance.
struct AEffect {
  VstInt32 magic;
  AEffectDispatcherProc dispatcher;
  AEffectProcessProc process;  // accumulating; legacy
  AEffectSetParameterProc setParameter;
  AEffectGetParameterProc getParameter;
  VstInt32 numPrograms;
  VstInt32 numParams;
  VstInt32 numInputs;
  VstInt32 numOutputs;
  VstInt32 flags;
  VstIntPtr resvd1;
  VstIntPtr resvd2;
  VstInt32 initialDelay;  // samples
  VstInt32 realQualities;
  VstInt32 offQualities;
  float ioRatio;
  void* object;  // the plug-in object
  void* user;    // the host's
  VstInt32 uniqueID;
  VstInt32 version;
  AEffectProcessProc processReplacing;
  AEffectProcessDoubleProc processDoubleReplacing;
  char future[56];
};

enum VstAEffectFlags : VstInt32 {
  effFlagsHasEditor = 1 << 0,
  effFlagsHasClip = 1 << 1,
  effFlagsHasVu = 1 << 2,
  effFlagsCanMono = 1 << 3,
  effFlagsCanReplacing = 1 << 4,
  effFlagsProgramChunks = 1 << 5,
  effFlagsIsSynth = 1 << 8,
  effFlagsNoSoundInStop = 1 << 9,
  effFlagsExtIsAsync = 1 << 10,
  effFlagsExtHasBuffer = 1 << 11,
  effFlagsCanDoubleReplacing = 1 << 12,
};

// Host to plug-in.
enum AEffectOpcodes : VstInt32 {
  effOpen = 0,
  effClose,
  effSetProgram,
  effGetProgram,
  effSetProgramName,
  effGetProgramName,
  effGetParamLabel,
  effGetParamDisplay,
  effGetParamName,
  effGetVu,
  effSetSampleRate,  // 10
  effSetBlockSize,
  effMainsChanged,
  effEditGetRect,
  effEditOpen,
  effEditClose,
  effEditDraw,
  effEditMouse,
  effEditKey,
  effEditIdle,
  effEditTop,  // 20
  effEditSleep,
  effIdentify,
  effGetChunk,
  effSetChunk,
  effNumOpcodes,
};

enum AEffectXOpcodes : VstInt32 {
  effProcessEvents = effSetChunk + 1,  // 25
  effCanBeAutomated,
  effString2Parameter,
  effGetNumProgramCategories,
  effGetProgramNameIndexed,
  effCopyProgram,  // 30
  effConnectInput,
  effConnectOutput,
  effGetInputProperties,
  effGetOutputProperties,
  effGetPlugCategory,
  effGetCurrentPosition,
  effGetDestinationBuffer,
  effOfflineNotify,
  effOfflinePrepare,
  effOfflineRun,  // 40
  effProcessVarIo,
  effSetSpeakerArrangement,
  effSetBlockSizeAndSampleRate,
  effSetBypass,
  effGetEffectName,
  effGetErrorText,
  effGetVendorString,
  effGetProductString,
  effGetVendorVersion,
  effVendorSpecific,  // 50
  effCanDo,
  effGetTailSize,
  effIdle,
  effGetIcon,
  effSetViewPosition,
  effGetParameterProperties,
  effKeysRequired,
  effGetVstVersion,
  effEditKeyDown,
  effEditKeyUp,  // 60
  effSetEditKnobMode,
  effGetMidiProgramName,
  effGetCurrentMidiProgram,
  effGetMidiProgramCategory,
  effHasMidiProgramsChanged,
  effGetMidiKeyName,
  effBeginSetProgram,
  effEndSetProgram,
  effGetSpeakerArrangement,
  effShellGetNextPlugin,  // 70
  effStartProcess,
  effStopProcess,
  effSetTotalSampleToProcess,
  effSetPanLaw,
  effBeginLoadBank,
  effBeginLoadProgram,
  effSetProcessPrecision,
  effGetNumMidiInputChannels,
  effGetNumMidiOutputChannels,  // 79
};

// Plug-in to host.
enum AudioMasterOpcodes : VstInt32 {
  audioMasterAutomate = 0,
  audioMasterVersion,
  audioMasterCurrentId,
  audioMasterIdle,
  audioMasterPinConnected,
};

enum AudioMasterOpcodesX : VstInt32 {
  audioMasterWantMidi = audioMasterPinConnected + 2,  // 6
  audioMasterGetTime,
  audioMasterProcessEvents,
  audioMasterSetTime,
  audioMasterTempoAt,  // 10
  audioMasterGetNumAutomatableParameters,
  audioMasterGetParameterQuantization,
  audioMasterIOChanged,
  audioMasterNeedIdle,
  audioMasterSizeWindow,
  audioMasterGetSampleRate,
  audioMasterGetBlockSize,
  audioMasterGetInputLatency,
  audioMasterGetOutputLatency,
  audioMasterGetPreviousPlug,  // 20
  audioMasterGetNextPlug,
  audioMasterWillReplaceOrAccumulate,
  audioMasterGetCurrentProcessLevel,
  audioMasterGetAutomationState,
  audioMasterOfflineStart,
  audioMasterOfflineRead,
  audioMasterOfflineWrite,
  audioMasterOfflineGetCurrentPass,
  audioMasterOfflineGetCurrentMetaPass,
  audioMasterSetOutputSampleRate,  // 30
  audioMasterGetOutputSpeakerArrangement,
  audioMasterGetVendorString,
  audioMasterGetProductString,
  audioMasterGetVendorVersion,
  audioMasterVendorSpecific,
  audioMasterSetIcon,
  audioMasterCanDo,
  audioMasterGetLanguage,
  audioMasterOpenWindow,
  audioMasterCloseWindow,  // 40
  audioMasterGetDirectory,
  audioMasterUpdateDisplay,
  audioMasterBeginEdit,
  audioMasterEndEdit,
  audioMasterOpenFileSelector,
  audioMasterCloseFileSelector,
  audioMasterEditFile,
  audioMasterGetChunkFile,
  audioMasterGetInputSpeakerArrangement,  // 49
};

enum VstStringConstants : VstInt32 {
  kVstMaxProgNameLen = 24,
  kVstMaxParamStrLen = 8,
  kVstMaxVendorStrLen = 64,
  kVstMaxProductStrLen = 64,
  kVstMaxEffectNameLen = 32,
  kVstMaxNameLen = 64,
  kVstMaxLabelLen = 64,
  kVstMaxShortLabelLen = 8,
  kVstMaxCategLabelLen = 24,
  kVstMaxFileNameLen = 100,
};

enum VstPlugCategory : VstInt32 {
  kPlugCategUnknown = 0,
  kPlugCategEffect,
  kPlugCategSynth,
  kPlugCategAnalysis,
  kPlugCategMastering,
  kPlugCategSpacializer,
  kPlugCategRoomFx,
  kPlugSurroundFx,
  kPlugCategRestoration,
  kPlugCategOfflineProcess,
  kPlugCategShell,
  kPlugCategGenerator,
  kPlugCategMaxCount,
};

enum VstProcessPrecision : VstInt32 {
  kVstProcessPrecision32 = 0,
  kVstProcessPrecision64,
};

// Editor rectangle, in pixels.
struct ERect {
  VstInt16 top;
  VstInt16 left;
  VstInt16 bottom;
  VstInt16 right;
};

enum VstEventTypes : VstInt32 {
  kVstMidiType = 1,
  kVstAudioType,
  kVstVideoType,
  kVstParameterType,
  kVstTriggerType,
  kVstSysExType,
};

// Common head of every event; data holds the type-specific part.
struct VstEvent {
  VstInt32 type;
  VstInt32 byteSize;     // of the record minus the first two fields
  VstInt32 deltaFrames;  // sample offset inside the current block
  VstInt32 flags;
  char data[16];
};

// A block of events; the host allocates room for numEvents pointers.
struct VstEvents {
  VstInt32 numEvents;
  VstIntPtr reserved;
  VstEvent* events[2];
};

enum VstMidiEventFlags : VstInt32 {
  kVstMidiEventIsRealtime = 1 << 0,
};

struct VstMidiEvent {
  VstInt32 type;  // kVstMidiType
  VstInt32 byteSize;
  VstInt32 deltaFrames;
  VstInt32 flags;
  VstInt32 noteLength;  // samples; 0 when unknown
  VstInt32 noteOffset;
  char midiData[4];  // status, two data bytes, 0
  char detune;       // cents, -64..63
  char noteOffVelocity;
  char reserved1;
  char reserved2;
};

struct VstMidiSysexEvent {
  VstInt32 type;  // kVstSysExType
  VstInt32 byteSize;
  VstInt32 deltaFrames;
  VstInt32 flags;
  VstInt32 dumpBytes;
  VstIntPtr resvd1;
  char* sysexDump;  // owned by the sender; valid during the call
  VstIntPtr resvd2;
};

enum VstTimeInfoFlags : VstInt32 {
  kVstTransportChanged = 1,
  kVstTransportPlaying = 1 << 1,
  kVstTransportCycleActive = 1 << 2,
  kVstTransportRecording = 1 << 3,
  kVstAutomationWriting = 1 << 6,
  kVstAutomationReading = 1 << 7,
  kVstNanosValid = 1 << 8,
  kVstPpqPosValid = 1 << 9,
  kVstTempoValid = 1 << 10,
  kVstBarsValid = 1 << 11,
  kVstCyclePosValid = 1 << 12,
  kVstTimeSigValid = 1 << 13,
  kVstSmpteValid = 1 << 14,
  kVstClockValid = 1 << 15,
};

struct VstTimeInfo {
  double samplePos;
  double sampleRate;
  double nanoSeconds;
  double ppqPos;
  double tempo;  // beats per minute
  double barStartPos;
  double cycleStartPos;
  double cycleEndPos;
  VstInt32 timeSigNumerator;
  VstInt32 timeSigDenominator;
  VstInt32 smpteOffset;
  VstInt32 smpteFrameRate;
  VstInt32 samplesToNextClock;
  VstInt32 flags;
};

enum VstPinPropertiesFlags : VstInt32 {
  kVstPinIsActive = 1 << 0,
  kVstPinIsStereo = 1 << 1,
  kVstPinUseSpeaker = 1 << 2,
};

struct VstPinProperties {
  char label[kVstMaxLabelLen];
  VstInt32 flags;
  VstInt32 arrangementType;
  char shortLabel[kVstMaxShortLabelLen];
  char future[48];
};

enum VstParameterFlags : VstInt32 {
  kVstParameterIsSwitch = 1 << 0,
  kVstParameterUsesIntegerMinMax = 1 << 1,
  kVstParameterUsesFloatStep = 1 << 2,
  kVstParameterUsesIntStep = 1 << 3,
  kVstParameterSupportsDisplayIndex = 1 << 4,
  kVstParameterSupportsDisplayCategory = 1 << 5,
  kVstParameterCanRamp = 1 << 6,
};

struct VstParameterProperties {
  float stepFloat;
  float smallStepFloat;
  float largeStepFloat;
  char label[kVstMaxLabelLen];
  VstInt32 flags;
  VstInt32 minInteger;
  VstInt32 maxInteger;
  VstInt32 stepInteger;
  VstInt32 largeStepInteger;
  char shortLabel[kVstMaxShortLabelLen];
  VstInt16 displayIndex;
  VstInt16 category;
  VstInt16 numParametersInCategory;
  VstInt16 reserved;
  char categoryLabel[kVstMaxCategLabelLen];
  char future[16];
};

// Character, virtual key and modifier keys of a key event.
struct VstKeyCode {
  VstInt32 character;
  unsigned char virt;
  unsigned char modifier;
};

enum VstSpeakerArrangementType : VstInt32 {
  kSpeakerArrUserDefined = -2,
  kSpeakerArrEmpty = -1,
  kSpeakerArrMono = 0,
  kSpeakerArrStereo,
};

struct VstSpeakerProperties {
  float azimuth;    // radians
  float elevation;  // radians
  float radius;     // metres
  float reserved;
  char name[kVstMaxNameLen];
  VstInt32 type;
  char future[28];
};

// Variable length: numChannels speakers follow the two counts; the declared
// array is the minimum a host allocates.
struct VstSpeakerArrangement {
  VstInt32 type;
  VstInt32 numChannels;
  VstSpeakerProperties speakers[8];
};

#pragma pack(pop)

// Speaker i of an arrangement, also past the declared eight.
inline VstSpeakerProperties* SpeakerAt(VstSpeakerArrangement* arrangement, VstInt32 i) {
  return reinterpret_cast<VstSpeakerProperties*>(reinterpret_cast<char*>(arrangement) +
                                                 offsetof(VstSpeakerArrangement, speakers)) +
         i;
}

// Records the plug-in only passes through by address.
struct VstOfflineTask;
struct VstAudioFile;
struct VstVariableIo;
struct VstFileSelect;
struct VstPatchChunkInfo;
struct VstWindow;
struct MidiProgramName;
struct MidiProgramCategory;
struct MidiKeyName;

}  // namespace kelvane
