#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "synth/audio_active_state_tracker.h"
#include "synth/buffer_sample.h"
#include "synth/synth_class.h"

namespace kelvane {

class TSynth;

// One chorus parameter set.
struct TChorusSettings {
  bool Force = false;       // this set overrides the GM2 set
  int32_t WaveType = 0;     // LFO shape: 1 triangle, 0 and 2..16 sine, else a ramp
  double DepthMS = 8.0;     // modulation depth, milliseconds
  double Gain = 1.0;        // wet level into the dry mix
  double FeedBack = 0.0;    // per delay line
  double ReverbSend = 0.0;  // wet level into the reverb send
  double SpeedHz = 0.3;     // LFO rate
  int32_t NumberBlocks = 3;  // delay lines (chorus voices)
};

// The chorus send effect: up to 32 delay lines whose read positions an LFO
// sweeps, spread evenly over its cycle, each read through a 5-tap windowed
// sinc. Parameters come from GM2 Global Parameter Control or from a forced set
// (Settings.Force). Process runs on the rendering thread; everything else
// under the owner's lock.
class TChorus : public TSynthClass {
 public:
  static constexpr int32_t GlobalParameterSlot = 130;  // GM2 slot 01 02
  static constexpr int32_t MaxNumberBlocks = 32;
  static constexpr int32_t LineLength = 4096;  // frames per delay line
  static constexpr int32_t LineMask = LineLength - 1;
  static constexpr int32_t SINCTaps = 5;
  static constexpr int32_t SINCSteps = 256;  // fractional positions per frame

  explicit TChorus(TSynth& Synth);
  ~TChorus() override;
  TChorus(const TChorus&) = delete;
  TChorus& operator=(const TChorus&) = delete;

  // Clears the delay lines and returns to chorus type 2.
  void Init();
  void Reset() { Init(); }
  // Takes the working values from the effective set and the synth's sample
  // rate; keeps the delay-line contents.
  void Update();
  // InBuf: chorus send; OutBuf: dry mix (wet added); ReverbBuf: reverb send
  // (wet share added). Allocates nothing.
  void Process(const TBufferSample* InBuf, TBufferSample* OutBuf, TBufferSample* ReverbBuf, int32_t Samples);
  // Acts only on the one-element slot path 130 (chorus); edits GeneralMIDISettings.
  void GlobalParameterControlChange(std::span<const int32_t> SlotPath, int32_t Parameter, int32_t Value);

  TSynth& Synth;
  TAudioActiveStateTracker AudioActiveStateTracker;
  bool Active = true;  // the plug-in's per-program switch
  TChorusSettings GeneralMIDISettings;
  TChorusSettings Settings;

  // Working values of the effective set.
  int32_t WaveType = 0;
  double DepthMS = 0.0;
  double Gain = 0.0;
  double FeedBack = 0.0;
  double ReverbSend = 0.0;
  double SpeedHz = 0.0;
  int32_t NumberBlocks = 0;
  double InvNumberBlocks = 0.0;

  std::array<TBufferSample*, MaxNumberBlocks> ChorusBuffer{};  // delay lines, 16-byte aligned
  int32_t Counter = 0;                                          // write position, 0..LineMask
  double Phase = 0.0;                                           // LFO phase, 0..1
  double PhaseIncrement = 0.0;                                  // per frame
  double ModulationDepthSamples = 0.0;                          // frames, 0..LineLength
  // Sine and cosine of each line's LFO phase offset (in turns, b * InvNumberBlocks).
  std::array<double, MaxNumberBlocks> LineSine{}, LineCosine{};
  float SINCTable[SINCTaps][SINCSteps];
  // SINCTable as doubles, each twice (left and right), by step then tap.
  alignas(16) double SINCPairs[SINCSteps][SINCTaps][2];

 private:
  static constexpr int32_t ChunkFrames = 64;
  void SetParameter(int32_t Parameter, int32_t Value);
};

}  // namespace kelvane
