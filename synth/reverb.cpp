#include "synth/reverb.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "synth/aligned_memory.h"
#include "synth/math_helpers.h"
#include "synth/synth.h"

namespace kelvane {

namespace {
enum : int32_t {
  rpType = 0,
  rpReverbTime = 1,
};

// GM2 reverb types, selected by the GPC type value.
struct TReverbTypeRow {
  int32_t TypeValue;
  double ReverbTimeSeconds;
  double DampingHz;
  double Width;
  double GainValue;
  double PreDelaySeconds;
};
constexpr TReverbTypeRow ReverbTypes[] = {
    {0, 1.1, 5000.0, 0.5, 4.0, 0.0},     {1, 1.3, 5000.0, 0.5, 3.0, 0.0},
    {2, 1.5, 5000.0, 0.5, 2.0, 0.0},     {3, 1.8, 24000.0, 0.5, 1.5, 0.02},
    {4, 1.8, 24000.0, 0.8, 1.5, 0.03},   {8, 1.3, 2500.0, 0.5, 6.0, 0.0},
};
constexpr double LongestPresetPreDelaySeconds = 0.03;

// Forced sets come from banks and are untrusted: every length is kept within
// 1..MaxFilterFrames (a filter always has storage) and the pre-delay within
// 0..MaxPreDelayFrames.
constexpr int32_t MaxFilterFrames = 1 << 20;
constexpr int32_t MaxPreDelayFrames = 1 << 20;

int32_t ScaledFilterSize(float Scale, int32_t Tuning) {
  const double size = std::nearbyint(static_cast<double>(Scale) * Tuning);
  if (!(size >= 1.0)) return 1;
  return size > MaxFilterFrames ? MaxFilterFrames : static_cast<int32_t>(size);
}

int32_t PreDelayFrames(double Seconds, double Rate) {
  const double frames = std::trunc(std::fabs(Seconds * Rate));
  if (!(frames >= 0.0)) return 0;
  return frames > MaxPreDelayFrames ? MaxPreDelayFrames : static_cast<int32_t>(frames);
}

float ClampOr(float Value, float Min, float Max, float Fallback) {
  if (std::isnan(Value)) return Fallback;
  return std::clamp(Value, Min, Max);
}
}  // namespace

TReverbDelayLine::~TReverbDelayLine() { Free(); }

void TReverbDelayLine::Resize(int32_t NewSize) {
  if (NewSize > Capacity) {
    Free();
    AlignedGetMem(Buffer, sizeof(float) * static_cast<size_t>(NewSize), 16);
    Capacity = NewSize;
  }
  Size = NewSize;
  Index = 0;
  std::fill_n(Buffer, Size, 0.0f);
}

void TReverbDelayLine::Free() {
  AlignedFreeMem(Buffer);
  Capacity = Size = Index = 0;
}

TReverb::TReverb(TSynth& Synth) : Synth(Synth) {
  Active = true;
  Init();
}

TReverb::~TReverb() { AlignedFreeMem(DelayBuffer); }

void TReverb::Init() {
  for (auto& pair : AllPass) {
    for (auto& allPass : pair) allPass.Feedback = 0.5f;
  }
  AlignedFreeMem(DelayBuffer);
  DelayBufferCapacity = DelayBufferSize = DelayBufferIndex = NewDelayBufferSize = 0;
  Settings = TReverbSettings{};
  GeneralMIDISettings = Settings;
  AudioActiveStateTracker.Reset();
  Update();
}

void TReverb::ReserveDelayBuffer(int32_t Frames) {
  if (Frames <= DelayBufferCapacity) return;
  AlignedFreeMem(DelayBuffer);
  DelayBufferCapacity = 0;
  AlignedGetMem(DelayBuffer, sizeof(TBufferSample) * static_cast<size_t>(Frames), 16);
  DelayBufferCapacity = Frames;
  std::fill_n(DelayBuffer, Frames, TBufferSample{});
}

void TReverb::Update() {
  const TReverbSettings& source = Settings.Force ? Settings : GeneralMIDISettings;
  Wet = static_cast<float>(source.Wet);
  Gain = static_cast<float>(source.Gain);
  RoomSize = static_cast<float>(source.RoomSize);
  Damp = static_cast<float>(source.Damp);
  Width = static_cast<float>(source.Width);
  Stretch = static_cast<float>(source.Stretch);
  const double rate = Synth.SampleRate;
  NewDelayBufferSize = PreDelayFrames(source.DelayTime, rate);

  const auto scale = static_cast<float>(rate * source.Stretch / 44100.0);

  Wet1 = Wet * (Width * 0.5f + 0.5f);
  Wet2 = Wet * (1.0f - Width) * 0.5f;
  // A comb loop gain beyond unity would grow without bound.
  RoomSizeI = ClampOr(RoomSize, -1.0f, 1.0f, 0.0f);
  DampA = ClampOr(Damp, 0.0f, 1.0f, 0.0f);

  for (int32_t line = 0; line < NumberOfCombs; line++) {
    for (int32_t channel = 0; channel < 2; channel++) {
      TReverbComb& comb = Comb[static_cast<size_t>(line)][static_cast<size_t>(channel)];
      comb.Feedback = RoomSizeI;
      comb.Damp = DampA;
      comb.Damp1 = comb.Damp;
      comb.Damp2 = 1.0f - comb.Damp;
      comb.FilterStore = 0.0f;
      comb.Line.Resize(ScaledFilterSize(scale, CombTunings[line][channel]));
    }
  }
  for (int32_t line = 0; line < NumberOfAllPasses; line++) {
    for (int32_t channel = 0; channel < 2; channel++) {
      TReverbAllPass& allPass = AllPass[static_cast<size_t>(line)][static_cast<size_t>(channel)];
      allPass.Line.Resize(ScaledFilterSize(scale, AllPassTunings[line][channel]));
      allPass.Feedback = 0.5f;
    }
  }

  // Room for the longest GM2 pre-delay, so switching reverb types from a
  // message on the render thread never allocates.
  ReserveDelayBuffer(std::max(NewDelayBufferSize, PreDelayFrames(LongestPresetPreDelaySeconds, rate)));
  if (DelayBufferSize != NewDelayBufferSize) {
    DelayBufferSize = NewDelayBufferSize;
    DelayBufferIndex = 0;
    std::fill_n(DelayBuffer, DelayBufferSize, TBufferSample{});
  }
}

void TReverb::Process(TBufferSample* InBuf, TBufferSample* OutBuf, int32_t Samples) {
  if (Samples <= 0) return;
  AudioActiveStateTracker.fSampleRate = Synth.SampleRate;
  AudioActiveStateTracker.ScanInput(InBuf, Samples);
  if (!AudioActiveStateTracker.Active()) return;  // filter states stay frozen

  if (DelayBuffer != nullptr && DelayBufferSize > 0) {
    int32_t index = DelayBufferIndex;
    if (index < 0 || index >= DelayBufferSize) index = 0;
    for (int32_t i = 0; i < Samples; i++) {
      std::swap(InBuf[i], DelayBuffer[index]);
      if (++index >= DelayBufferSize) index = 0;
    }
    DelayBufferIndex = index;
  }

  for (int32_t i = 0; i < Samples; i++) {
    const float x = (InBuf[i].Left + InBuf[i].Right) * Gain;
    float left = 0.0f, right = 0.0f;
    for (auto& pair : Comb) {
      left += pair[0].Process(x);
      right += pair[1].Process(x);
    }
    for (auto& pair : AllPass) {
      left = pair[0].Process(left);
      right = pair[1].Process(right);
    }
    AudioActiveStateTracker.ScanSingleOutput(TBufferSample{{{left, right}}});
    OutBuf[i].Left += left * Wet1 + right * Wet2;
    OutBuf[i].Right += right * Wet1 + left * Wet2;
  }
}

void TReverb::SetRoomSizeFromReverbTime(double Seconds) {
  if (std::fabs(Seconds) < 1e-12) Seconds = 1.0;
  GeneralMIDISettings.RoomSize = 1.0 - 0.17 / Seconds;
}

void TReverb::SetDampFromFrequency(double Hz) {
  const double c = 2.0 - std::cos(2.0 * std::numbers::pi * Hz / Synth.SampleRate);
  const auto d = static_cast<float>(c - std::sqrt(c * c - 1.0));
  GeneralMIDISettings.Damp = std::clamp(d, 0.0f, 1.0f);
}

void TReverb::GlobalParameterControlChange(std::span<const int32_t> SlotPath, int32_t Parameter, int32_t Value) {
  if (SlotPath.size() != 1 || SlotPath[0] != GlobalParameterSlot) return;
  if (Parameter == rpType) {
    const TReverbTypeRow* row = nullptr;
    for (const auto& candidate : ReverbTypes) {
      if (candidate.TypeValue == Value) row = &candidate;
    }
    if (row == nullptr) return;
    GeneralMIDISettings.Wet = 1.0;
    GeneralMIDISettings.Stretch = 1.0;
    GeneralMIDISettings.Gain = row->GainValue * 0.009;
    SetRoomSizeFromReverbTime(row->ReverbTimeSeconds);
    SetDampFromFrequency(row->DampingHz);
    GeneralMIDISettings.Width = row->Width;
    GeneralMIDISettings.DelayTime = row->PreDelaySeconds;
  } else if (Parameter == rpReverbTime) {
    // GM2 values are 7-bit; wider value fields must not reach a time near zero
    // (a negative room size) or overflow the exponential.
    SetRoomSizeFromReverbTime(std::exp((ClipInt(Value, 0, 127) - 40) * 0.025));
  } else {
    return;
  }
  Update();
}

}  // namespace kelvane
