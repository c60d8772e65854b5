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

// One of the synthesizer's 16 MIDI channels. For now it carries the
// click-removal residues of voices that stopped on it; channel messages are
// not interpreted yet.
class TChannel : public TSynthClass {
 public:
  TChannel(TSynth& Synth, int32_t ChannelIndex, TVoice* const* Voices);
  TChannel(const TChannel&) = delete;
  TChannel& operator=(const TChannel&) = delete;

  void Reset();
  // A channel message (0x80..0xEF) addressed to this channel.
  virtual void ProcessEvent(const TMIDIEvent& Event);
  // Mixes the decaying residues into the three buffers; render thread of the block.
  void FillBuffer(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer, int32_t Samples);

  TSynth& Synth;
  int32_t ChannelIndex;    // 0..15; MIDI channel 10 is 9
  TVoice* const* Voices;   // the synthesizer's voice pool
  TBufferSample Last{};    // dry residue
  TBufferSample ChorusLast{};
  TBufferSample ReverbLast{};

  // State the voices read (plain fields until the channel interprets messages).
  TControllers Controllers{};
  int32_t KeyPressure = 0;      // last polyphonic pressure on the channel
  int32_t ChannelPressure = 0;
  TGenWorkValues GenNRPNValues{};  // per-generator offsets from SoundFont NRPNs
  int32_t TuningBank = 0;          // 0..127
  int32_t TuningProgram = 0;       // 0..127
  TTuningTable TuningTable{};        // per-key offsets, semitones; set by tuning messages
  std::atomic<bool> TuningTableChanged{true};  // the next Reset zeroes TuningTable
  TTuningTable ForcedTuningTable{};  // absolute pitches, semitones
  bool UseForcedTuningTable = false;
  int32_t Bank = 0;  // 14-bit
  int32_t ProgramNumber = 0;
  int32_t PitchBendDepthSemitones = 2;
  int32_t PitchBendDepthCents = 0;
  int32_t PitchBend = 8192;  // 0..16383
  bool HoldPedal = false;
  bool SostenutoPedal = false;
};

}  // namespace kelvane
