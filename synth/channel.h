#pragma once

#include <atomic>
#include <cstdint>

#include "synth/buffer_sample.h"
#include "synth/controllers.h"
#include "synth/generators.h"
#include "synth/midi_event.h"
#include "synth/synth_class.h"
#include "synth/tuning_table.h"

namespace kelvane {

class TSynth;
class TVoice;
class TPresetLayer;
class TSample;

// Which parameter kind a data-entry message acts on.
enum TRPNSelection : uint8_t { rsNONE = 0, rsRPN = 1, rsNRPN = 2 };

// Registered / non-registered parameter state of a channel.
struct TRPN {
  int32_t NParameter = 0;  // selected NRPN number, 14-bit
  int32_t Parameter = 0;   // selected RPN number, 14-bit
  int32_t Data = 0;        // data-entry value, 14-bit
  TRPNSelection Selected = rsNONE;  // the kind selected last
};

// RPN and NRPN number that means "no parameter".
inline constexpr int32_t NullParameterNumber = 16383;

// One of the synthesizer's 16 MIDI channels: controller state, pedals, RPN/NRPN,
// tuning, and the note-on path from the preset lookup to started voices. Also
// carries the click-removal residues that stopped voices leave behind.
// Everything runs on the thread that dispatches events (inside FillBuffer,
// between sub-blocks), never while voices render.
class TChannel : public TSynthClass {
 public:
  TChannel(TSynth& Synth, int32_t ChannelIndex, TVoice* const* Voices);
  TChannel(const TChannel&) = delete;
  TChannel& operator=(const TChannel&) = delete;

  void Reset();
  // All = false keeps volume, pan and reverb send (controllers 7, 39, 10, 42, 91).
  void ResetControllers(bool All);
  void AllNotesOff();
  void AllSoundsOff();

  // A channel message (0x80..0xEF) addressed to this channel.
  virtual void ProcessEvent(const TMIDIEvent& Event);
  void ProcessEventNoteOff(const TMIDIEvent& Event);
  void ProcessEventNoteOn(const TMIDIEvent& Event);
  void ProcessEventKeyPressure(const TMIDIEvent& Event);
  void ProcessEventControlChange(const TMIDIEvent& Event);
  void ProcessEventProgramChange(const TMIDIEvent& Event);
  void ProcessEventChannelPressure(const TMIDIEvent& Event);
  void ProcessEventPitchBend(const TMIDIEvent& Event);

  void ProcessControlChange(uint8_t Controller, uint8_t Value);
  // Sets a controller on the active voices of one note only.
  void ProcessControlChangePerNote(uint8_t Note, uint8_t Controller, uint8_t Value);
  void ProcessRPN(int32_t Parameter, int32_t Data);
  // Sound-controller NRPNs; SF2 mode only.
  void ProcessNRPN(int32_t Parameter, int32_t Data);

  // Forwards to every active voice of the channel.
  void Modulate(bool aController, int32_t aSrc);
  void ModulateAll();

  // Voice for a new note of the layer, free or to steal (still active), or
  // null; Synth.VoiceAllocationAlgorithm picks the strategy. NoteID < 0: no
  // current note. Defined in voice_allocation.cpp.
  TVoice* FindFreeVoice(uint8_t Key, int64_t NoteID, TPresetLayer* PresetLayer);

  // Mixes the decaying residues into the three buffers; render thread of the block.
  void FillBuffer(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer, int32_t Samples);

  // GM2 percussion bank select (bank MSB 120).
  bool ImplicitDrumMode() const;
  bool IsInDrumMode() const { return DrumMode || ImplicitDrumMode(); }
  // Channel index 9 or drum mode.
  bool IsPercussionChannel() const { return ChannelIndex == 9 || IsInDrumMode(); }
  bool RPNSelected() const { return RPN.Selected == rsRPN && RPN.Parameter != NullParameterNumber; }
  bool NRPNSelected() const { return RPN.Selected == rsNRPN && RPN.NParameter != NullParameterNumber; }

  TSynth& Synth;
  int32_t ChannelIndex;   // 0..15; MIDI channel 10 is 9
  bool DrumMode = false;  // explicit percussion flag, set by the plug-in
  TVoice* const* Voices;  // the synthesizer's voice pool
  TControllers Controllers{};
  TBufferSample Last{};  // dry residue
  TBufferSample ChorusLast{};
  TBufferSample ReverbLast{};
  int32_t KeyPressure = 0;  // last polyphonic pressure on the channel, any key
  int32_t ChannelPressure = 0;
  TGenWorkValues GenNRPNValues{};  // per-generator offsets from SoundFont NRPNs
  TRPN RPN;
  bool PolyMode = true;
  int32_t TuningBank = 0;     // 0..127
  int32_t TuningProgram = 0;  // 0..127
  TTuningTable TuningTable{};  // per-key offsets, semitones
  std::atomic<bool> TuningTableChanged{true};  // set by tuning SysEx; the next Reset zeroes TuningTable
  TTuningTable ForcedTuningTable{};  // absolute pitches, semitones
  bool UseForcedTuningTable = false;
  int32_t Bank = 0;  // 14-bit, MSB * 128 + LSB
  int32_t ProgramNumber = 0;
  // 14-bit controller copies, GM1/GM2 modes only; sound follows Controllers.
  int32_t MainVolume = 100;
  int32_t Balance = 64;
  int32_t Panning = 64;
  int32_t Expression = 127;
  int32_t Modulation = 0;
  int32_t Breath = 0;
  int32_t PortamentoTime = 0;  // milliseconds
  int32_t FootPedal = 0;
  int32_t PitchBendDepthSemitones = 2;
  int32_t PitchBendDepthCents = 0;
  int32_t PitchBend = 8192;  // 0..16383
  bool HoldPedal = false;
  bool PortamentoPedal = false;
  bool SostenutoPedal = false;
  bool SoftPedal = false;
  bool LegatoPedal = false;
  bool Hold2Pedal = false;
  int32_t NRPNSelect = 0;  // accumulated SoundFont NRPN generator number
  int32_t CoarseTuning = 8192;  // raw RPN 2
  int32_t FineTuning = 8192;    // raw RPN 1
  int64_t LastNoteID = -1;      // NoteID of the latest note-on

 private:
  // Voices of this channel in pool order.
  template <typename F>
  void ForEachVoice(F&& Action);
  // Sets the channel's and its voices' copy of a controller.
  void StoreController(uint8_t Controller, uint8_t Value);
  void DataEntryChanged();
  bool ProcessLayer(TPresetLayer* Layer, int32_t Key, int32_t Velocity);
  void StartVoice(TPresetLayer* Layer, int32_t Key, int32_t Velocity, uintptr_t EventNoteID);
  void StartVoiceWithSample(TVoice* Voice, TPresetLayer* Layer, TSample* Sample, int32_t Key, int32_t Velocity,
                            uintptr_t EventNoteID, bool ResetVoice);
  // Loads the sample if needed; false when it is still not loaded.
  static bool EnsureLoaded(TSample* Sample);
};

}  // namespace kelvane
