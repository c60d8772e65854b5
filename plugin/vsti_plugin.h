#pragma once

// The instrument the host sees: one synthesizer driven by one program record.
// The host's audio thread calls ProcessEvents and ProcessReplacing/Process,
// its user-interface thread everything else; both take CriticalSection for
// every access to the program and the synthesizer. The audio thread only
// tries the lock: while the other side holds it, a block is silent and its
// events wait in MIDIEventList, which the audio thread's calls alone touch.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "plugin/audio_effect_extended.h"
#include "plugin/vsti_program.h"
#include "sync/critical_section_lock.h"
#include "synth/buffer_sample.h"
#include "synth/synth.h"

namespace kelvane {

class TVSTiPlugin;

// The editor window as the editor object sees it. The window library
// implements it, so the plug-in core needs no toolkit.
class TFormVSTiEditor {
 public:
  virtual ~TFormVSTiEditor() = default;
  virtual int32_t ClientWidth() const = 0;
  virtual int32_t ClientHeight() const = 0;
  // Reloads every control from program 0.
  virtual void EditorUpdate() = 0;
  // Handles the window's pending input and redraws when something changed;
  // never blocks. Picks up the audio thread's bank-or-program notice and
  // Update requests made on any thread.
  virtual void Idle() = 0;
};

// Creates the window as a child of the host's window; none when no window can be shown.
using TFormVSTiEditorFactory = std::unique_ptr<TFormVSTiEditor> (*)(TVSTiPlugin& plugin, void* parent);

// The editor object the host reaches through the dispatcher. Without a
// window factory (tests, a build without the window library) Editor stays none.
class TVSTiPluginEditor : public TAudioEffectEditor {
 public:
  explicit TVSTiPluginEditor(TVSTiPlugin* plugin);
  ~TVSTiPluginEditor() override;

  bool GetRect(ERect** rect) override;
  bool Open(void* parent) override;
  void Close() override;
  void Idle() override;
  void Update() override;

  // Called by the audio thread after a host bank select or program change
  // moved a channel's assignment; never waits for the user-interface thread.
  void NotifyBankOrProgramChanged() { BankOrProgramChanged.store(true, std::memory_order_release); }

  ERect R{};
  std::atomic<int32_t> UseCount{0};
  std::unique_ptr<TFormVSTiEditor> Editor;  // the editor window, or none
  TFormVSTiEditorFactory WindowFactory = nullptr;  // set by the library's entry code
  std::atomic<bool> BankOrProgramChanged{false};  // picked up by the window's Idle
  std::atomic<bool> UpdateRequested{false};       // the same for Update

 private:
  TVSTiPlugin& Plugin() const;
};

class TVSTiPlugin : public TAudioEffectExtended {
 public:
  // The plug-in's own event record (not the synthesizer's queue record).
  struct TMIDIEvent {
    int32_t DeltaFrames = 0;  // frame offset inside the block, as the host gave it
    uint8_t MIDIData[4] = {0, 0, 0, 0};  // byte 0 is the status, 0xF0 for system exclusive
    std::unique_ptr<uint8_t[]> SysEx;    // owned copy of the host's bytes, or none
    uint32_t SysExLength = 0;

    void Clear();
  };
  using TMIDIEventPtr = std::unique_ptr<TMIDIEvent>;

  static constexpr VstInt32 UniqueID = FourCharToLong('K', 'L', 'V', 'N');
  static constexpr int32_t PercussionBank = 16384;
  static constexpr double Minus6dBFactor = 0.50118723362;

  explicit TVSTiPlugin(audioMasterCallback audioMaster);
  ~TVSTiPlugin() override;

  void SetSampleRate(float sampleRate) override;
  void SetBlockSize(VstInt32 blockSize) override;
  bool SetBlockSizeAndSampleRate(VstInt32 blockSize, float sampleRate) override;
  void Suspend() override {}
  void Resume() override;
  VstInt32 ProcessEvents(VstEvents* events) override;
  void ProcessReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;
  void Process(float** inputs, float** outputs, VstInt32 sampleFrames) override;
  void SetProgram(VstInt32 program) override;
  VstInt32 GetProgram() override;
  void SetProgramName(char* name) override;
  void GetProgramName(char* name) override;
  bool GetProgramNameIndexed(VstInt32 category, VstInt32 index, char* text) override;
  void SetParameter(VstInt32 index, float value) override;
  float GetParameter(VstInt32 index) override;
  void GetParameterName(VstInt32 index, char* text) override;
  void GetParameterLabel(VstInt32 index, char* label) override;
  void GetParameterDisplay(VstInt32 index, char* text) override;
  VstInt32 GetChunk(void** data, bool isPreset) override;
  VstInt32 SetChunk(void* data, VstInt32 byteSize, bool isPreset) override;
  float GetVu() override { return 0.0f; }
  VstInt32 CanDo(char* text) override;
  bool GetOutputProperties(VstInt32 index, VstPinProperties* properties) override;
  bool GetEffectName(char* name) override;
  bool GetVendorString(char* text) override;
  bool GetProductString(char* text) override;
  VstInt32 GetVendorVersion() override { return 1; }

  // Rebuilds the synthesizer's state from program p. Takes the lock itself;
  // a bank file that fails to attach is reported and left detached.
  void ChangeProgram(VstInt32 program);
  TVSTiPluginEditor* GetPluginEditor() const { return VSTiPluginEditor; }

  std::array<TVSTiProgram, 1> Programs;
  std::vector<TMIDIEventPtr> MIDIEventList;       // pending, ascending DeltaFrames
  std::vector<TMIDIEventPtr> MIDIEventFreeStack;  // spent records for reuse
  float SampleRate = 44100.0f;  // Hz, last rate from the host
  int32_t BufferSize = 0;       // frames, last block size from the host
  int32_t AudioChannels = 2;
  TVSTiPluginEditor* VSTiPluginEditor = nullptr;  // owned by the base (SetEditor)
  std::unique_ptr<TSynth> Synth;
  std::atomic<bool> Done{false};  // set while no editor window is open
  TCriticalSectionLock CriticalSection;  // recursive
  int32_t CurrentProgram = 0;
  std::unique_ptr<uint8_t[]> ChunkData;  // the last GetChunk's block, exact size
  int32_t ChunkDataSize = 0;
  TVSTiParameters StandardParameters;
  std::vector<TBufferSample> SynthBuffer;  // interleaved left/right

 private:
  void ProcessEx(float** inputs, float** outputs, VstInt32 sampleFrames, bool replace);
  void ResizeSynthBuffer(int32_t frames);
  TMIDIEventPtr TakeEvent();
  void InsertEvent(TMIDIEventPtr event);
  static void SynthOnException(void* context, TSynth& synth, const std::exception& error);
};

// (2 * frames + 4096) rounded down to a multiple of 4096 floats.
int32_t SynthBufferFloatsFor(int32_t frames);

// A number in the shortest general form with "." as decimal separator that
// fits into capacity - 1 characters.
void FormatParameterValue(float value, char* text, size_t capacity);

}  // namespace kelvane
