#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "synth/audio_active_state_tracker.h"
#include "synth/buffer_sample.h"
#include "synth/synth_class.h"

namespace kelvane {

class TSynth;

// One reverb parameter set.
struct TReverbSettings {
  bool Force = false;       // this set overrides the GM2 set
  double Gain = 0.015;      // input gain on the mono sum of the send
  double RoomSize = 0.84;   // comb feedback
  double Damp = 0.2;        // comb low-pass damping, 0..1
  double Wet = 1.5;         // output level
  double Width = 1.0;       // stereo width, 0..1
  double Stretch = 1.0;     // scale of all delay lengths
  double DelayTime = 0.0;   // pre-delay, seconds
};

// Delay storage of one filter: 32-bit floats, 16-byte aligned. Grows only, so
// parameter changes after the first Update never allocate.
class TReverbDelayLine {
 public:
  TReverbDelayLine() = default;
  ~TReverbDelayLine();
  TReverbDelayLine(const TReverbDelayLine&) = delete;
  TReverbDelayLine& operator=(const TReverbDelayLine&) = delete;

  // Sets the length, clears it and rewinds; allocates only beyond the capacity.
  void Resize(int32_t NewSize);
  void Free();

  float* Buffer = nullptr;
  int32_t Size = 0;   // frames in use
  int32_t Index = 0;  // current position, 0..Size-1
  int32_t Capacity = 0;
};

// Damped feedback comb filter.
struct TReverbComb {
  float Feedback = 0.0f;
  float FilterStore = 0.0f;  // state of the one-pole low-pass in the loop
  float Damp1 = 0.0f;
  float Damp2 = 0.0f;
  float Damp = 0.0f;
  TReverbDelayLine Line;

  inline float Process(float Input) {
    float* slot = Line.Buffer + Line.Index;
    const float y = *slot;
    FilterStore = y * Damp2 + FilterStore * Damp1;
    *slot = Input + FilterStore * Feedback;
    if (++Line.Index >= Line.Size) Line.Index = 0;
    return y;
  }
};

// Schroeder all-pass filter.
struct TReverbAllPass {
  float Feedback = 0.5f;
  TReverbDelayLine Line;

  inline float Process(float Input) {
    float* slot = Line.Buffer + Line.Index;
    const float b = *slot;
    *slot = Input + b * Feedback;
    if (++Line.Index >= Line.Size) Line.Index = 0;
    return b - Input;
  }
};

// The reverb send effect: optional pre-delay, then per channel 8 parallel
// damped combs and 4 serial all-passes at the classic tunings scaled to the
// sample rate. Parameters come from GM2 Global Parameter Control or from a
// forced set (Settings.Force). Process runs on the rendering thread;
// everything else under the owner's lock.
class TReverb : public TSynthClass {
 public:
  static constexpr int32_t GlobalParameterSlot = 129;  // GM2 slot 01 01
  static constexpr int32_t NumberOfCombs = 8;
  static constexpr int32_t NumberOfAllPasses = 4;
  // Delay tunings in frames at 44100 Hz, [line][channel].
  static constexpr int32_t CombTunings[NumberOfCombs][2] = {{1116, 1139}, {1188, 1211}, {1277, 1300},
                                                            {1356, 1379}, {1422, 1445}, {1491, 1514},
                                                            {1557, 1580}, {1617, 1640}};
  static constexpr int32_t AllPassTunings[NumberOfAllPasses][2] = {{556, 579}, {441, 464}, {341, 364}, {225, 248}};

  explicit TReverb(TSynth& Synth);
  ~TReverb() override;
  TReverb(const TReverb&) = delete;
  TReverb& operator=(const TReverb&) = delete;

  // Back to the default set; clears the pre-delay.
  void Init();
  void Reset() { Init(); }
  // Takes the working values from the effective set, sizes every filter for
  // the synth's sample rate and clears all filter memory (the tail).
  void Update();
  // InBuf: reverb send, pre-delayed in place; OutBuf: dry mix (wet added).
  // Allocates nothing.
  void Process(TBufferSample* InBuf, TBufferSample* OutBuf, int32_t Samples);
  // Acts only on the one-element slot path 129 (reverb); edits GeneralMIDISettings.
  void GlobalParameterControlChange(std::span<const int32_t> SlotPath, int32_t Parameter, int32_t Value);

  TSynth& Synth;
  TAudioActiveStateTracker AudioActiveStateTracker;
  bool Active = true;  // the plug-in's per-program switch
  std::array<std::array<TReverbAllPass, 2>, NumberOfAllPasses> AllPass;
  std::array<std::array<TReverbComb, 2>, NumberOfCombs> Comb;
  TBufferSample* DelayBuffer = nullptr;  // pre-delay line, 16-byte aligned
  int32_t DelayBufferSize = 0;           // frames in use
  int32_t DelayBufferIndex = 0;
  int32_t NewDelayBufferSize = 0;
  TReverbSettings Settings;
  TReverbSettings GeneralMIDISettings;

  // Working values of the effective set.
  float Gain = 0.0f;
  float RoomSize = 0.0f;
  float RoomSizeI = 0.0f;
  float Damp = 0.0f;
  float DampA = 0.0f;
  float Wet = 0.0f;
  float Wet1 = 0.0f;  // own channel
  float Wet2 = 0.0f;  // opposite channel
  float Width = 0.0f;
  float Stretch = 0.0f;


 private:
  static constexpr int32_t ChunkFrames = 256;
  // Left, Right: per-frame comb outputs added in comb order.
  void RunCombs(const float* X, float* Left, float* Right, int32_t Frames);
  // Both channels through their all-pass series, in place.
  void RunAllPasses(float* Left, float* Right, int32_t Frames);
  void SetRoomSizeFromReverbTime(double Seconds);
  void SetDampFromFrequency(double Hz);
  void ReserveDelayBuffer(int32_t Frames);

  int32_t DelayBufferCapacity = 0;
};

}  // namespace kelvane
