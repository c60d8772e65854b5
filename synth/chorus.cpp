#include "synth/chorus.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "synth/aligned_memory.h"
#include "synth/math_helpers.h"
#include "synth/synth.h"

namespace kelvane {

namespace {
enum : int32_t {
  cpType = 0,
  cpModulationRate = 1,
  cpModulationDepth = 2,
  cpFeedback = 3,
  cpSendToReverb = 4,
};

// GM2 chorus types: the values of parameters feedback, rate, depth and send to reverb.
struct TChorusTypeRow {
  int32_t Feedback, Rate, Depth, SendToReverb;
};
constexpr TChorusTypeRow ChorusTypes[] = {
    {0, 3, 5, 0}, {5, 9, 19, 0}, {8, 3, 19, 0}, {16, 9, 16, 0}, {64, 2, 24, 0}, {112, 1, 5, 0},
};

inline double Frac(double x) { return x - std::floor(x); }

// LFO value at phase p (0..1).
inline double LFOValue(int32_t WaveType, double p) {
  if (WaveType == 1) return 1.0 - std::fabs(p - 0.5) * 2.0;
  if (WaveType >= 0 && WaveType <= 16) return std::sin(2.0 * std::numbers::pi * p);
  return p;
}
}  // namespace

TChorus::TChorus(TSynth& Synth) : Synth(Synth) {
  Active = true;
  for (int32_t t = 0; t < SINCTaps; t++) {
    for (int32_t j = 0; j < SINCSteps; j++) {
      const double x = t + j / static_cast<double>(SINCSteps) - 2.5;
      double value = 1.0;
      if (std::fabs(x) >= 0.000001) {
        const double px = std::numbers::pi * x;
        // sinc under a Hann window five taps wide
        value = std::sin(px) / px * (std::cos(2.0 * std::numbers::pi * x / 5.0) + 1.0) * 0.5;
      }
      SINCTable[t][j] = static_cast<float>(value);
    }
  }
  try {
    for (auto& line : ChorusBuffer) AlignedGetMem(line, sizeof(TBufferSample) * LineLength, 16);
  } catch (...) {
    for (auto& line : ChorusBuffer) AlignedFreeMem(line);
    throw;
  }
  Init();
}

TChorus::~TChorus() {
  for (auto& line : ChorusBuffer) AlignedFreeMem(line);
}

void TChorus::Init() {
  for (auto* line : ChorusBuffer) std::fill_n(line, LineLength, TBufferSample{});
  Settings = TChorusSettings{};
  GeneralMIDISettings = Settings;
  const int32_t slot[1] = {GlobalParameterSlot};
  GlobalParameterControlChange(slot, cpType, 2);
  AudioActiveStateTracker.Reset();
  Update();
}

void TChorus::Update() {
  const TChorusSettings& source = Settings.Force ? Settings : GeneralMIDISettings;
  WaveType = source.WaveType;
  DepthMS = source.DepthMS;
  Gain = source.Gain;
  FeedBack = source.FeedBack;
  ReverbSend = source.ReverbSend;
  SpeedHz = source.SpeedHz;
  NumberBlocks = ClipInt(source.NumberBlocks, 0, MaxNumberBlocks);
  Counter = 0;

  const double rate = Synth.SampleRate;
  PhaseIncrement = SpeedHz / rate;
  // A forced set from a bank is untrusted: a non-finite rate or depth must not
  // reach the integer delay arithmetic.
  if (!std::isfinite(PhaseIncrement)) PhaseIncrement = 0.0;
  float depthSamples = static_cast<float>(DepthMS * rate * 0.001);
  if (!(depthSamples > 0.0f)) depthSamples = 0.0f;
  ModulationDepthSamples = std::min(depthSamples, static_cast<float>(LineLength));

  InvNumberBlocks = NumberBlocks < 1 ? 0.0 : 1.0 / NumberBlocks;
}

void TChorus::Process(const TBufferSample* InBuf, TBufferSample* OutBuf, TBufferSample* ReverbBuf, int32_t Samples) {
  if (Samples <= 0) return;
  AudioActiveStateTracker.fSampleRate = Synth.SampleRate;
  AudioActiveStateTracker.ScanInput(InBuf, Samples);
  if (!AudioActiveStateTracker.Active()) {
    // Idle: time moves on, the delay lines keep their contents.
    Counter = (Counter + Samples) & LineMask;
    Phase = Frac(Phase + PhaseIncrement * Samples);
    return;
  }

  const double depth256 = ModulationDepthSamples * SINCSteps;  // 1/256 frames
  for (int32_t i = 0; i < Samples; i++) {
    const TBufferSample in = InBuf[i];
    double accLeft = 0.0, accRight = 0.0;
    for (int32_t b = 0; b < NumberBlocks; b++) {
      const double p = Frac(Phase + b * InvNumberBlocks);
      const double v = LFOValue(WaveType, p);
      const auto d = static_cast<int32_t>(std::lrint((v * 0.5 + 0.5) * depth256));
      const int32_t q = Counter * SINCSteps - d;
      const int32_t f = q & (SINCSteps - 1);
      const int32_t k = SARLongint(q, 8);
      TBufferSample* line = ChorusBuffer[static_cast<size_t>(b)];
      double sLeft = 0.0, sRight = 0.0;
      for (int32_t t = 0; t < SINCTaps; t++) {
        const TBufferSample& s = line[(k - t) & LineMask];
        const double w = SINCTable[t][f];
        sLeft += s.Left * w;
        sRight += s.Right * w;
      }
      accLeft += sLeft;
      accRight += sRight;
      line[Counter].Left = static_cast<float>(in.Left + sLeft * FeedBack);
      line[Counter].Right = static_cast<float>(in.Right + sRight * FeedBack);
    }
    OutBuf[i].Left = static_cast<float>(OutBuf[i].Left + accLeft * Gain);
    OutBuf[i].Right = static_cast<float>(OutBuf[i].Right + accRight * Gain);
    ReverbBuf[i].Left = static_cast<float>(ReverbBuf[i].Left + accLeft * ReverbSend);
    ReverbBuf[i].Right = static_cast<float>(ReverbBuf[i].Right + accRight * ReverbSend);
    AudioActiveStateTracker.ScanSingleOutput(
        TBufferSample{{{static_cast<float>(accLeft), static_cast<float>(accRight)}}});
    Counter = (Counter + 1) & LineMask;
    Phase = Frac(Phase + PhaseIncrement);
  }
}

void TChorus::SetParameter(int32_t Parameter, int32_t Value) {
  // GM2 values are 7-bit; wider value fields must not push feedback past unity.
  const double value = ClipInt(Value, 0, 127);
  switch (Parameter) {
    case cpModulationRate:
      GeneralMIDISettings.SpeedHz = value * 0.122;
      break;
    case cpModulationDepth:
      GeneralMIDISettings.DepthMS = (value + 1.0) / 3.2;
      break;
    case cpFeedback:
      GeneralMIDISettings.FeedBack = value * 0.00763;
      break;
    case cpSendToReverb:
      GeneralMIDISettings.ReverbSend = value * 0.00787;
      break;
    default:
      break;
  }
}

void TChorus::GlobalParameterControlChange(std::span<const int32_t> SlotPath, int32_t Parameter, int32_t Value) {
  if (SlotPath.size() != 1 || SlotPath[0] != GlobalParameterSlot) return;
  if (Parameter == cpType) {
    if (Value < 0 || Value >= static_cast<int32_t>(std::size(ChorusTypes))) return;
    const TChorusTypeRow& row = ChorusTypes[Value];
    SetParameter(cpFeedback, row.Feedback);
    SetParameter(cpModulationRate, row.Rate);
    SetParameter(cpModulationDepth, row.Depth);
    SetParameter(cpSendToReverb, row.SendToReverb);
  } else if (Parameter >= cpModulationRate && Parameter <= cpSendToReverb) {
    SetParameter(Parameter, Value);
  } else {
    return;
  }
  Update();
}

}  // namespace kelvane
