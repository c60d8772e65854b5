#include "plugin/vsti_plugin.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>

#include "banks/stream.h"
#include "plugin/exception_report.h"
#include "plugin/state_chunk.h"
#include "synth/channel.h"
#include "synth/chorus.h"
#include "synth/exceptions.h"
#include "synth/reverb.h"

namespace kelvane {

namespace {

constexpr int32_t DrumChannel = 9;
constexpr int32_t EditorDefaultWidth = 438;
constexpr int32_t EditorDefaultHeight = 349;
constexpr size_t InitialEventCapacity = 1024;  // events per block before the lists grow

template <typename TBody>
void Guarded(TBody&& body) noexcept {
  kelvane::Guarded(0, [&] {
    body();
    return 0;
  });
}

// Copies text, cut to the host buffer's capacity (terminator included).
void CopyText(char* destination, std::string_view text, size_t capacity) {
  if (destination == nullptr || capacity == 0) return;
  const size_t length = std::min(text.size(), capacity - 1);
  std::memcpy(destination, text.data(), length);
  destination[length] = '\0';
}

bool IsBankSelect(uint8_t status, uint8_t controller) {
  return (status & 0xF0) == 0xB0 && (controller == 0 || controller == 32);
}

bool IsProgramChange(uint8_t status) { return (status & 0xF0) == 0xC0; }

}  // namespace

int32_t SynthBufferFloatsFor(int32_t frames) {
  const int64_t floats = 2 * static_cast<int64_t>(std::max(frames, 0)) + 4096;
  return static_cast<int32_t>(floats - floats % 4096);
}

void FormatParameterValue(float value, char* text, size_t capacity) {
  if (text == nullptr || capacity == 0) return;
  char buffer[64];
  // Shortest text that reads back as the same float; fewer digits when the
  // host's buffer is too small for it.
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  for (int precision = 7; precision >= 1 && static_cast<size_t>(result.ptr - buffer) >= capacity; --precision)
    result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::general, precision);
  CopyText(text, std::string_view(buffer, static_cast<size_t>(result.ptr - buffer)), capacity);
}

// ------------------------------------------------------------------ editor

TVSTiPluginEditor::TVSTiPluginEditor(TVSTiPlugin* plugin) : TAudioEffectEditor(plugin) {}

TVSTiPluginEditor::~TVSTiPluginEditor() {
  if (Editor != nullptr) {
    Plugin().Done = true;
    Editor.reset();
  }
}

TVSTiPlugin& TVSTiPluginEditor::Plugin() const { return *static_cast<TVSTiPlugin*>(FEffect); }

bool TVSTiPluginEditor::GetRect(ERect** rect) {
  R.top = 0;
  R.left = 0;
  R.bottom = Editor != nullptr ? Editor->ClientHeight() : EditorDefaultHeight;
  R.right = Editor != nullptr ? Editor->ClientWidth() : EditorDefaultWidth;
  if (rect != nullptr) *rect = &R;
  return Editor != nullptr;
}

bool TVSTiPluginEditor::Open(void* parent) {
  SystemWindow = parent;
  bool created = false;
  if (UseCount.fetch_add(1) + 1 == 1 && Editor == nullptr && WindowFactory != nullptr) {
    Editor = WindowFactory(Plugin(), parent);
    created = Editor != nullptr;  // a new window has just loaded its controls
  }
  Plugin().Done = false;
  if (!created) Update();
  return true;
}

void TVSTiPluginEditor::Close() {
  // A host closing more often than it opened must not drive the count below zero.
  int32_t count = UseCount.load();
  while (count > 0 && !UseCount.compare_exchange_weak(count, count - 1)) {
  }
  if (count - 1 <= 0) {
    Plugin().Done = true;
    Editor.reset();
    SystemWindow = nullptr;
  }
}

void TVSTiPluginEditor::Idle() {
  if (Editor != nullptr) Editor->Idle();
}

void TVSTiPluginEditor::Update() {
  // Hosts load chunks and programs from threads other than the window's:
  // the window reloads its controls in its next Idle, on its own thread.
  if (!Plugin().Done) UpdateRequested.store(true, std::memory_order_release);
}

// ------------------------------------------------------------------ events

void TVSTiPlugin::TMIDIEvent::Clear() {
  DeltaFrames = 0;
  std::memset(MIDIData, 0, sizeof(MIDIData));
  SysEx.reset();
  SysExLength = 0;
}

TVSTiPlugin::TMIDIEventPtr TVSTiPlugin::TakeEvent() {
  if (MIDIEventFreeStack.empty()) return std::make_unique<TMIDIEvent>();
  TMIDIEventPtr event = std::move(MIDIEventFreeStack.back());
  MIDIEventFreeStack.pop_back();
  event->Clear();
  return event;
}

void TVSTiPlugin::InsertEvent(TMIDIEventPtr event) {
  // After the last event not later than this one: equal offsets keep their arrival order.
  auto position = std::upper_bound(MIDIEventList.begin(), MIDIEventList.end(), event->DeltaFrames,
                                   [](int32_t delta, const TMIDIEventPtr& e) { return delta < e->DeltaFrames; });
  MIDIEventList.insert(position, std::move(event));
}

// ------------------------------------------------------------ construction

TVSTiPlugin::TVSTiPlugin(audioMasterCallback audioMaster) : TAudioEffectExtended(audioMaster, 1, 1) {
  Synth = std::make_unique<TSynth>();
  Synth->OnException.Code = &TVSTiPlugin::SynthOnException;
  Synth->OnException.Context = this;
  Synth->SetNumberOfThreads(0);
  Synth->SetSampleRate(DefaultSampleRate);

  AudioChannels = 2;
  StandardParameters[1] = 1.0f;

  TVSTiProgram& program = Programs[0];
  for (TVSTiMIDIChannel& channel : program.MIDIChannels) channel = TVSTiMIDIChannel{};
  program.Parameters = StandardParameters;

  CurrentProgram = 0;
  VSTiPluginEditor = new TVSTiPluginEditor(this);
  SetEditor(VSTiPluginEditor);
  MIDIEventList.reserve(InitialEventCapacity);
  MIDIEventFreeStack.reserve(InitialEventCapacity);

  Guarded([&] { ChangeProgram(0); });

  char text[kVstMaxVendorStrLen] = {};
  GetHostVendorString(text);
  GetHostProductString(text);

  Suspend();
  HasVu(false);
  SetNumInputs(2);
  SetNumOutputs(2);
  CanMono(false);
  CanProcessReplacing(true);
  IsSynth(true);
  ProgramsAreChunks(true);
  SetUniqueID(UniqueID);
  SetProgram(0);
  CurrentProgram = 0;
}

TVSTiPlugin::~TVSTiPlugin() {
  SetEditor(nullptr);
  VSTiPluginEditor = nullptr;
  Programs[0].Banks.clear();
  ChunkData.reset();
  Synth.reset();
  MIDIEventList.clear();
  MIDIEventFreeStack.clear();
}

void TVSTiPlugin::SynthOnException(void*, TSynth&, const std::exception& error) { DoHandleException(error); }

// --------------------------------------------------------------- settings

void TVSTiPlugin::ResizeSynthBuffer(int32_t frames) {
  SynthBuffer.resize(static_cast<size_t>(SynthBufferFloatsFor(frames) / 2));
}

void TVSTiPlugin::SetSampleRate(float sampleRate) {
  Guarded([&] {
    TAudioEffectExtended::SetSampleRate(sampleRate);
    std::lock_guard lock(CriticalSection);
    SampleRate = sampleRate;
    Synth->SetSampleRate(static_cast<int32_t>(std::lround(sampleRate)));
  });
}

void TVSTiPlugin::SetBlockSize(VstInt32 blockSize) {
  Guarded([&] {
    TAudioEffectExtended::SetBlockSize(blockSize);
    std::lock_guard lock(CriticalSection);
    BufferSize = blockSize;
    ResizeSynthBuffer(blockSize);
  });
}

bool TVSTiPlugin::SetBlockSizeAndSampleRate(VstInt32 blockSize, float sampleRate) {
  return Guarded(false, [&] {
    TAudioEffectExtended::SetBlockSizeAndSampleRate(blockSize, sampleRate);
    std::lock_guard lock(CriticalSection);
    BufferSize = blockSize;
    ResizeSynthBuffer(blockSize);
    SampleRate = sampleRate;
    Synth->SetSampleRate(static_cast<int32_t>(std::lround(sampleRate)));
    return true;
  });
}

void TVSTiPlugin::Resume() {
  Guarded([&] { WantEvents(1); });
}

void TVSTiPlugin::ChangeProgram(VstInt32 programIndex) {
  if (programIndex < 0 || programIndex >= static_cast<VstInt32>(Programs.size())) return;
  std::lock_guard lock(CriticalSection);
  TVSTiProgram& program = Programs[static_cast<size_t>(programIndex)];
  const TVSTiData& data = program.Data;

  Synth->DetachSoundFonts(true);
  Synth->Clear();

  Synth->SetResamplingMethod(data.ResamplingMethod, data.ResamplingInterpolationMode);
  Synth->SetNumberOfVoices(data.Voices);

  Synth->MasterVolume = data.Volume;
  Synth->MasterBalance = data.Balance * 0.5 + 0.5;
  Synth->MasterCoarseTuning = data.CoarseTuning;
  Synth->MasterFineTuning = data.FineTuning;
  Synth->DoAGC = data.AGC != SwitchOff;
  Synth->GeneralMIDIMode = data.GeneralMIDIMode;
  Synth->VoiceAllocationAlgorithm = data.VoiceAllocationAlgorithm;
  Synth->EMU10K1Mode = data.EMU10K1Mode != SwitchOff;
  Synth->ModulateVelocityToFilterCutOff = data.ModulateVelocityToFilterCutOff != SwitchOff;
  Synth->ResampleLoopWrapping = data.ResampleLoopWrapping != SwitchOff;
  Synth->IgnoreSampleLinks = data.IgnoreSampleLinks != SwitchOff;
  Synth->Chorus->Active = data.Chorus != SwitchOff;
  Synth->Reverb->Active = data.Reverb != SwitchOff;

  Synth->SetNumberOfThreads(data.MultiThreaded != SwitchOff ? -1 : 0);

  // A bank that fails is reported and skipped: the banks after it, the
  // sample loading and the channels' tunings still apply.
  for (auto& bank : program.Banks) bank->AttachedSoundFont = nullptr;
  for (auto& bank : program.Banks) {
    std::error_code error;
    if (bank->FileName.empty() || !std::filesystem::is_regular_file(FileNamePath(bank->FileName), error)) continue;
    try {
      // POSIX has no share-deny-write open; the stream just reads.
      bank->AttachedSoundFont = Synth->AttachSoundFont(std::make_unique<TFileStream>(bank->FileName), true);
      if (bank->AttachedSoundFont == nullptr)
        throw EKelvane("\"" + bank->FileName + "\" is no sound bank that can be read");
      bank->Sync();
    } catch (const std::exception& failure) {
      bank->AttachedSoundFont = nullptr;
      DoHandleException(failure);
    }
  }

  try {
    Synth->Recache();
    Synth->LoadUnloadSamples();
  } catch (const std::exception& failure) {
    DoHandleException(failure);
  }

  for (size_t i = 0; i < program.MIDIChannels.size(); ++i) {
    TVSTiMIDIChannel& channel = program.MIDIChannels[i];
    TChannel& synthChannel = *Synth->Channels[i];
    synthChannel.ForcedTuningTable = channel.TuningTable;
    synthChannel.UseForcedTuningTable = channel.HasFlag(mcfTuningTableActive);
    if (channel.IsSet()) channel.SetFlag(mcfHasNewBankOrProgram, true);
  }
}

void TVSTiPlugin::SetProgram(VstInt32 program) {
  if (program != 0) return;
  Guarded([&] {
    {
      std::lock_guard lock(CriticalSection);
      CurrentProgram = program;
      ChangeProgram(program);
    }
    if (VSTiPluginEditor != nullptr) VSTiPluginEditor->Update();
  });
}

VstInt32 TVSTiPlugin::GetProgram() { return CurrentProgram; }

void TVSTiPlugin::SetProgramName(char* name) {
  if (name == nullptr) return;
  Guarded([&] {
    {
      std::lock_guard lock(CriticalSection);
      // The host's buffer holds at most kVstMaxProgNameLen characters.
      Programs[0].Name.assign(name, strnlen(name, kVstMaxProgNameLen));
    }
    if (VSTiPluginEditor != nullptr) VSTiPluginEditor->Update();
  });
}

void TVSTiPlugin::GetProgramName(char* name) {
  Guarded([&] {
    std::lock_guard lock(CriticalSection);
    CopyText(name, Programs[0].Name, kVstMaxProgNameLen);
  });
}

bool TVSTiPlugin::GetProgramNameIndexed(VstInt32, VstInt32 index, char* text) {
  return Guarded(false, [&] {
    if (index != 0) {
      CopyText(text, "", kVstMaxProgNameLen);
      return false;
    }
    std::lock_guard lock(CriticalSection);
    CopyText(text, Programs[0].Name, kVstMaxProgNameLen);
    return true;
  });
}

void TVSTiPlugin::SetParameter(VstInt32 index, float value) {
  if (index != 0) return;
  Guarded([&] {
    std::lock_guard lock(CriticalSection);
    Programs[0].Parameters[1] = value;
  });
}

float TVSTiPlugin::GetParameter(VstInt32 index) {
  if (index != 0) return 0.0f;
  return Guarded(0.0f, [&] {
    std::lock_guard lock(CriticalSection);
    return Programs[0].Parameters[1];
  });
}

void TVSTiPlugin::GetParameterName(VstInt32 index, char* text) {
  CopyText(text, index == 0 ? "Volume" : "", kVstMaxParamStrLen);
}

void TVSTiPlugin::GetParameterLabel(VstInt32, char* label) { CopyText(label, "", kVstMaxParamStrLen); }

void TVSTiPlugin::GetParameterDisplay(VstInt32 index, char* text) {
  if (index != 0) {
    CopyText(text, "", kVstMaxParamStrLen);
    return;
  }
  FormatParameterValue(GetParameter(0), text, kVstMaxParamStrLen);
}

// ------------------------------------------------------------ state chunk

VstInt32 TVSTiPlugin::GetChunk(void** data, bool isPreset) {
  return Guarded(0, [&]() -> VstInt32 {
    std::lock_guard lock(CriticalSection);
    const std::vector<uint8_t> chunk = WriteProgramChunk(Programs[0], isPreset);
    ChunkData.reset();
    ChunkDataSize = 0;
    ChunkData = std::make_unique<uint8_t[]>(chunk.size());
    std::memcpy(ChunkData.get(), chunk.data(), chunk.size());
    ChunkDataSize = static_cast<int32_t>(chunk.size());
    if (data != nullptr) *data = ChunkData.get();
    return ChunkDataSize;
  });
}

VstInt32 TVSTiPlugin::SetChunk(void* data, VstInt32 byteSize, bool isPreset) {
  return Guarded(0, [&]() -> VstInt32 {
    {
      std::lock_guard lock(CriticalSection);
      if (byteSize > 0 && data != nullptr) {
        const std::vector<uint8_t> chunk(static_cast<const uint8_t*>(data),
                                         static_cast<const uint8_t*>(data) + byteSize);
        // Read into a copy: a chunk that fails half way leaves the program as it was.
        TVSTiProgram incoming = CloneProgram(Programs[0]);
        ReadProgramChunk(chunk.data(), chunk.size(), isPreset, incoming);
        Programs[0] = std::move(incoming);
      }
    }
    SetProgram(CurrentProgram);
    if (VSTiPluginEditor != nullptr) VSTiPluginEditor->Update();
    return byteSize;
  });
}

// ------------------------------------------------------------ host strings

VstInt32 TVSTiPlugin::CanDo(char* text) {
  if (text == nullptr) return -1;
  static constexpr std::string_view Supported[] = {"receiveVstEvents", "receiveVstMidiEvent", "sendVstEvents",
                                                   "sendVstMidiEvent"};
  const std::string_view asked(text);
  for (std::string_view can : Supported)
    if (asked == can) return 1;
  return -1;
}

bool TVSTiPlugin::GetOutputProperties(VstInt32 index, VstPinProperties* properties) {
  if (index < 0 || index > 1 || properties == nullptr) return false;
  const char label[] = {'K', 'L', 'V', 'N', ' ', static_cast<char>('1' + index), '\0'};
  CopyText(properties->label, label, kVstMaxLabelLen);
  properties->flags = kVstPinIsActive | kVstPinIsStereo;
  return true;
}

bool TVSTiPlugin::GetEffectName(char* name) {
  CopyText(name, "Kelvane", kVstMaxEffectNameLen);
  return true;
}

bool TVSTiPlugin::GetVendorString(char* text) {
  CopyText(text, "Corvin Ashdale", kVstMaxVendorStrLen);
  return true;
}

bool TVSTiPlugin::GetProductString(char* text) {
  CopyText(text, "Kelvane", kVstMaxProductStrLen);
  return true;
}

// ------------------------------------------------------------ audio thread

VstInt32 TVSTiPlugin::ProcessEvents(VstEvents* events) {
  return Guarded(1, [&] {
    if (events == nullptr) return 1;
    // The event lists belong to the audio thread. When the user-interface
    // side holds the lock (a program change loading banks), the events are
    // kept unfiltered: ProcessEx drops what an enforced assignment forbids.
    std::unique_lock lock(CriticalSection, std::try_to_lock);
    const TVSTiProgram* program = lock.owns_lock() ? &Programs[0] : nullptr;
    // The host allocates room for numEvents pointers past the declared two.
    VstEvent* const* list = events->events;
    for (VstInt32 i = 0; i < events->numEvents; ++i) {
      const VstEvent* event = list[i];
      if (event == nullptr) continue;
      if (event->type == kVstMidiType) {
        const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
        const auto status = static_cast<uint8_t>(midi->midiData[0]);
        const auto data1 = static_cast<uint8_t>(midi->midiData[1]);
        if (program != nullptr) {
          const TVSTiMIDIChannel& channel = program->MIDIChannels[status & 0x0F];
          if ((IsBankSelect(status, data1) || IsProgramChange(status)) &&
              channel.HasFlag(mcfEnforceBankAndProgram) && channel.IsSet())
            continue;
        }
        TMIDIEventPtr record = TakeEvent();
        record->DeltaFrames = midi->deltaFrames;
        std::memcpy(record->MIDIData, midi->midiData, 4);
        InsertEvent(std::move(record));
      } else if (event->type == kVstSysExType) {
        const auto* sysEx = reinterpret_cast<const VstMidiSysexEvent*>(event);
        if (sysEx->sysexDump == nullptr || sysEx->dumpBytes <= 0) continue;
        TMIDIEventPtr record = TakeEvent();
        record->DeltaFrames = sysEx->deltaFrames;
        record->MIDIData[0] = 0xF0;
        // The synthesizer's messages end with 0xF7 (its parameter-control
        // lengths count on it); one is added when the host left it off.
        const auto length = static_cast<uint32_t>(sysEx->dumpBytes);
        const bool closed = static_cast<uint8_t>(sysEx->sysexDump[length - 1]) == 0xF7;
        record->SysEx = std::make_unique<uint8_t[]>(length + (closed ? 0 : 1));
        std::memcpy(record->SysEx.get(), sysEx->sysexDump, length);
        if (!closed) record->SysEx[length] = 0xF7;
        record->SysExLength = length + (closed ? 0 : 1);
        InsertEvent(std::move(record));
      }
    }
    return 1;
  });
}

void TVSTiPlugin::ProcessReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) {
  ProcessEx(inputs, outputs, sampleFrames, true);
}

void TVSTiPlugin::Process(float** inputs, float** outputs, VstInt32 sampleFrames) {
  ProcessEx(inputs, outputs, sampleFrames, false);
}

void TVSTiPlugin::ProcessEx(float**, float** outputs, VstInt32 sampleFrames, bool replace) {
  Guarded([&] {
    const int32_t frames = std::max<int32_t>(sampleFrames, 0);
    float* left = outputs != nullptr ? outputs[0] : nullptr;
    float* right = outputs != nullptr ? outputs[1] : nullptr;
    if (replace) {
      if (left != nullptr) std::fill_n(left, frames, 0.0f);
      if (right != nullptr) std::fill_n(right, frames, 0.0f);
    }

    bool assignmentChanged = false;
    {
      // Never wait behind the user-interface side (a program change may be
      // loading a large bank): play silence for this block and keep its
      // events, in order, for the start of the next one.
      std::unique_lock lock(CriticalSection, std::try_to_lock);
      if (!lock.owns_lock()) {
        for (TMIDIEventPtr& event : MIDIEventList) event->DeltaFrames = 0;
        return;
      }
      if (SynthBuffer.size() < static_cast<size_t>(frames)) ResizeSynthBuffer(frames);

      TVSTiProgram& program = Programs[0];
      Synth->SetResamplingMethod(program.Data.ResamplingMethod, program.Data.ResamplingInterpolationMode);
      Synth->ClearEvents();

      std::array<int32_t, 16> trackedBank{};
      for (size_t i = 0; i < trackedBank.size(); ++i) {
        const TChannel& synthChannel = *Synth->Channels[i];
        trackedBank[i] = (i == DrumChannel || synthChannel.DrumMode) ? PercussionBank : synthChannel.Bank;
      }

      kelvane::TMIDIEvent synthEvent;
      for (size_t i = 0; i < program.MIDIChannels.size(); ++i) {
        TVSTiMIDIChannel& channel = program.MIDIChannels[i];
        if (!channel.HasFlag(mcfHasNewBankOrProgram) || !channel.IsSet()) continue;
        if (!channel.HasFlag(mcfEnforceBankAndProgram)) channel.SetFlag(mcfHasNewBankOrProgram, false);
        TChannel& synthChannel = *Synth->Channels[i];
        const bool percussion = channel.BankIndex == PercussionBank;
        const bool mustSend = (i != DrumChannel && synthChannel.DrumMode != percussion) ||
                              (!percussion && channel.BankIndex != synthChannel.Bank) ||
                              synthChannel.ProgramNumber != channel.ProgramIndex;
        if (!mustSend) continue;
        synthChannel.DrumMode = i != DrumChannel && percussion;
        trackedBank[i] = channel.BankIndex;
        const auto status = static_cast<uint8_t>(i);
        synthEvent = {};
        synthEvent.Command = 0xB0 | status;
        synthEvent.Data[0] = 32;
        synthEvent.Data[1] = static_cast<uint8_t>(channel.BankIndex & 127);
        Synth->AddEvent(synthEvent);
        synthEvent.Data[0] = 0;
        synthEvent.Data[1] = static_cast<uint8_t>((channel.BankIndex >> 7) & 127);
        Synth->AddEvent(synthEvent);
        synthEvent = {};
        synthEvent.Command = 0xC0 | status;
        synthEvent.Data[0] = static_cast<uint8_t>(channel.ProgramIndex);
        Synth->AddEvent(synthEvent);
      }

      for (TMIDIEventPtr& slot : MIDIEventList) {
        TMIDIEvent& event = *slot;
        const uint8_t status = event.MIDIData[0];
        const size_t channelIndex = status & 0x0F;
        TVSTiMIDIChannel& channel = program.MIDIChannels[channelIndex];
        bool dropped = false;
        if (status != 0xF0 && IsBankSelect(status, event.MIDIData[1])) {
          if (channel.HasFlag(mcfEnforceBankAndProgram)) {
            dropped = channel.IsSet();
          } else {
            int32_t& bank = trackedBank[channelIndex];
            const int32_t value = event.MIDIData[2] & 127;
            bank = event.MIDIData[1] == 0 ? (bank & 127) | (value << 7) : (bank & ~127) | value;
            if (channelIndex == DrumChannel) bank = PercussionBank;
            if (channel.BankIndex != bank) {
              channel.BankIndex = bank;
              assignmentChanged = true;
            }
          }
        } else if (status != 0xF0 && IsProgramChange(status)) {
          if (channel.HasFlag(mcfEnforceBankAndProgram)) {
            dropped = channel.IsSet();
          } else if (const int32_t number = event.MIDIData[1] & 127; channel.ProgramIndex != number) {
            channel.ProgramIndex = number;
            assignmentChanged = true;
          }
        }
        if (!dropped) {
          synthEvent = {};
          synthEvent.Position = event.DeltaFrames;
          synthEvent.Command = status;
          synthEvent.Data[0] = event.MIDIData[1];
          synthEvent.Data[1] = event.MIDIData[2];
          synthEvent.Data[2] = event.MIDIData[3];
          if (event.SysEx != nullptr) {
            // The synthesizer reads payloads without the leading 0xF0.
            uint32_t length = event.SysExLength;
            if (length > 0 && event.SysEx[0] == 0xF0) {
              std::memmove(event.SysEx.get(), event.SysEx.get() + 1, length - 1);
              --length;
            }
            if (length > 0) {
              synthEvent.SysExLength = length;
              synthEvent.SysEx = event.SysEx.release();
            }
          }
          Synth->AddEvent(synthEvent);
        }
        event.Clear();
        MIDIEventFreeStack.push_back(std::move(slot));
      }
      MIDIEventList.clear();

      if (frames > 0) {
        // After a render-thread failure the synthesizer writes nothing more:
        // play silence rather than repeating the last block forever.
        if (Synth->StopProcessing.load(std::memory_order_acquire))
          std::fill_n(SynthBuffer.begin(), frames, TBufferSample{});
        Synth->FillBuffer(SynthBuffer.data(), frames);
        double gain = program.Parameters[1];
        if (program.Data.LowerVolumeByMinus6dB != SwitchOff)
          gain = static_cast<float>(static_cast<double>(program.Parameters[1]) * Minus6dBFactor);
        for (int32_t k = 0; k < frames; ++k) {
          const TBufferSample& frame = SynthBuffer[static_cast<size_t>(k)];
          if (left != nullptr)
            left[k] = static_cast<float>((replace ? 0.0 : static_cast<double>(left[k])) + frame.Left * gain);
          if (right != nullptr)
            right[k] = static_cast<float>((replace ? 0.0 : static_cast<double>(right[k])) + frame.Right * gain);
        }
      }
    }
    // Only a flag: the window may be closing on the other thread right now.
    if (assignmentChanged && VSTiPluginEditor != nullptr) VSTiPluginEditor->NotifyBankOrProgramChanged();
  });
}

}  // namespace kelvane
