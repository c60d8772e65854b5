#pragma once

#include <cstdint>

#include "synth/synth_class.h"

namespace kelvane {

class TSynth;
class TVoice;
struct TPresetLayerEnvelope;

// Segment indices of TEnvelope.State.
enum TEnvelopeSegment : int32_t {
  esDelay = 0,
  esAttack = 1,
  esHold = 2,
  esDecay = 3,
  esSustain = 4,
  esRelease = 5,
  esOff = 6,
  esSpare = 7
};

struct TEnvData {
  int32_t Count = 0;  // length in modulation steps
  double Coef = 0.0;
  double Increment = 0.0;
  double Min = 0.0;
  double Max = 0.0;
  double ScaleMin = 0.0;
  double ScaleMax = 0.0;
  double Scale = 0.0;
  double InvScale = 0.0;
  int32_t Mode = 0;  // curve: 1 exponential, 2 logarithmic, 3 square, 4 square root, 5 sine, else linear
};

using TEnvDatas = TEnvData[8];

struct TEnvelope {
  TEnvDatas Data;
  int32_t State = 0;       // current segment; esOff = finished
  double Value = 0.0;      // linear segment value
  double RealValue = 0.0;  // output after the curve
  int32_t Counter = 0;     // steps spent in the segment
};

// One envelope of a voice (volume, modulation or second modulation). It
// advances once per modulation step (TSynth::ModulationSamples frames) and
// runs either from its segment data or, when the voice's layer chain supplies
// an active point list, from that list. Audio thread only once the voice
// sounds; nothing here allocates.
//
// The volume envelope's output is a linear amplitude during the attack
// segment and 0..1 = -96..0 dB otherwise.
class TVoiceEnvelope : public TSynthClass {
 public:
  TVoiceEnvelope(TSynth& OwnerSynth, TVoice& OwnerVoice, bool AIsVolumeEnvelope);

  void Reset();
  void KeyOn();
  // Starts the release. VolumeModulation: the voice's summed LFO/envelope
  // volume offset m in centibels (only read by the volume envelope when it is
  // released during its attack).
  void KeyOff(double VolumeModulation = 0.0);
  // Ends the envelope at once (output 0, finished).
  void Kill();
  // Advances one modulation step; returns RealValue.
  double Process() {
    // A segment step that left the value as it was repeats itself until the
    // segment's time is up; only the step count moves.
    if (Envelope.Counter < SteadyEnd) {
      ++Envelope.Counter;
      return Envelope.RealValue;
    }
    return ProcessStep();
  }
  // The next Process repeats the last output (the segment holds its value).
  bool HoldsValue() const { return Envelope.Counter < SteadyEnd; }
  // State 6 or 7: the volume envelope ends its voice.
  bool Finished() const { return Envelope.State >= esOff; }
  double Output() const { return Envelope.RealValue; }
  int32_t Segment() const { return Envelope.State; }

  // Segment set-up from generator values (doubles as the voice reads them).
  void SetDelay(double Timecents);
  void SetAttack(double Timecents, double Curve);
  // Hold and decay times are key-scaled: timecents + KeyToTimecents * (60 - Key).
  void SetHold(double Timecents, double KeyToTimecents, int32_t Key);
  void SetDecay(double Timecents, double KeyToTimecents, int32_t Key, double Curve);
  // Sustain generator in 0.1 % of attenuation (1000 = silent); re-applies the
  // decay, and the release when its curve generator is not 0.
  void SetSustain(double Generator);
  void SetRelease(double Timecents, double Curve);
  // The layer chain's point list, or null for the segment envelope; the list
  // must outlive the note.
  void SetLayerEnvelope(const TPresetLayerEnvelope* List) {
    LayerEnvelope = List;
    SteadyEnd = 0;
  }

  // Modulation steps of a time in timecents at the synthesizer's rate.
  int32_t TimecentsToSteps(double Timecents) const;
  // Key-scaled hold or decay time in output samples.
  static int32_t CalculateHoldDelayCount(double Timecents, double KeyToTimecents, int32_t Key, bool IsDecay,
                                         int32_t SampleRate);

  bool IsKeyOff = false;
  bool EndOfEnvelope = false;
  int32_t FrameRemain = -1;    // steps left in the current point segment
  int32_t FrameCounter = -1;   // steps done in the current point segment
  int32_t CurrentPoint = 0;    // point the segment runs to
  int32_t InterpolationMode = 0;
  int32_t x1 = 0, x2 = 0;      // segment start and end, in steps
  float y0 = 0.0f, y1 = 0.0f, y2 = 0.0f, y3 = 0.0f;
  float X2MX1DF = 0.0f;        // 1 / segment length in steps
  float LastValue = 0.0f;
  TSynth& Synth;
  TVoice& Voice;
  bool IsVolumeEnvelope;
  TEnvelope Envelope;
  const TPresetLayerEnvelope* LayerEnvelope = nullptr;  // null = none

 private:
  double ProcessStep();
  void ApplyDecay();
  void ApplyRelease();
  void ProcessSegments();
  void ProcessPoints();

  // Inputs kept for re-applying the decay and release rows when the sustain changes.
  float SustainLevel = 1.0f;  // linear value of the sustain segment, 0..1
  int32_t DecaySamples = 0;
  double DecayCurve = 0.0;
  double ReleaseTimecents = -12000.0;
  double ReleaseCurve = 0.0;
  // The last segment step kept its segment and its value bit for bit (and
  // did not clamp): with the same data it would do so again until the
  // segment's step count. Then the segment's Count, else 0 (Counter never
  // lies below 0). Cleared by everything that changes the segments, the
  // state or the value.
  int32_t SteadyEnd = 0;
};

}  // namespace kelvane
