#include "synth/reverb.h"

#include <emmintrin.h>

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
    for (int32_t i = 0; i < Samples;) {
      const int32_t run = std::min(Samples - i, DelayBufferSize - index);
      std::swap_ranges(InBuf + i, InBuf + i + run, DelayBuffer + index);
      i += run;
      index += run;
      if (index >= DelayBufferSize) index = 0;
    }
    DelayBufferIndex = index;
  }

  // Filter by filter over chunks of frames rather than frame by frame: each
  // filter's state stays in registers and its delay index wraps only at
  // segment ends. Every frame still sees the same operations in the same
  // order (combs summed 0..7, all-passes in series), so the output is exact.
  // The input and output loops do four frames at a time what the scalar
  // tails do frame by frame, in the same order.
  alignas(16) float x[ChunkFrames], left[ChunkFrames], right[ChunkFrames];
  const __m128 gain = _mm_set1_ps(Gain), wet1 = _mm_set1_ps(Wet1), wet2 = _mm_set1_ps(Wet2);
  for (int32_t done = 0; done < Samples; done += ChunkFrames) {
    const int32_t n = std::min(ChunkFrames, Samples - done);
    const float* in = reinterpret_cast<const float*>(InBuf + done);
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m128 f01 = _mm_loadu_ps(in + 2 * i), f23 = _mm_loadu_ps(in + 2 * i + 4);
      const __m128 l = _mm_shuffle_ps(f01, f23, _MM_SHUFFLE(2, 0, 2, 0));
      const __m128 r = _mm_shuffle_ps(f01, f23, _MM_SHUFFLE(3, 1, 3, 1));
      _mm_store_ps(x + i, _mm_mul_ps(_mm_add_ps(l, r), gain));
    }
    for (; i < n; i++) x[i] = (in[2 * i] + in[2 * i + 1]) * Gain;
    std::fill_n(left, n, 0.0f);
    std::fill_n(right, n, 0.0f);
    RunCombs(x, left, right, n);
    RunAllPasses(left, right, n);
    AudioActiveStateTracker.ScanOutputFrames(left, right, n);
    float* out = reinterpret_cast<float*>(OutBuf + done);
    i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m128 l = _mm_load_ps(left + i), r = _mm_load_ps(right + i);
      const __m128 wetLeft = _mm_add_ps(_mm_mul_ps(l, wet1), _mm_mul_ps(r, wet2));
      const __m128 wetRight = _mm_add_ps(_mm_mul_ps(r, wet1), _mm_mul_ps(l, wet2));
      float* o = out + 2 * i;
      _mm_storeu_ps(o, _mm_add_ps(_mm_loadu_ps(o), _mm_unpacklo_ps(wetLeft, wetRight)));
      _mm_storeu_ps(o + 4, _mm_add_ps(_mm_loadu_ps(o + 4), _mm_unpackhi_ps(wetLeft, wetRight)));
    }
    for (; i < n; i++) {
      out[2 * i] += left[i] * Wet1 + right[i] * Wet2;
      out[2 * i + 1] += right[i] * Wet1 + left[i] * Wet2;
    }
  }
}

void TReverb::RunCombs(const float* X, float* Left, float* Right, int32_t Frames) {
  // Comb k: left combs 0..7, then right combs 0..7.
  constexpr size_t count = NumberOfCombs * 2;
  alignas(16) float store[count], damp1[count], damp2[count], feedback[count];
  float* line[count];
  auto comb = [this](size_t k) -> TReverbComb& { return Comb[k % NumberOfCombs][k / NumberOfCombs]; };
  for (size_t k = 0; k < count; k++) {
    store[k] = comb(k).FilterStore;
    damp1[k] = comb(k).Damp1;
    damp2[k] = comb(k).Damp2;
    feedback[k] = comb(k).Feedback;
  }
  __m128 fs[4], d1[4], d2[4], fb[4];
  for (size_t g = 0; g < 4; g++) {
    d1[g] = _mm_load_ps(damp1 + 4 * g);
    d2[g] = _mm_load_ps(damp2 + 4 * g);
    fb[g] = _mm_load_ps(feedback + 4 * g);
  }
  for (int32_t i = 0; i < Frames;) {
    // Longest run in which no comb's index wraps; within it no comb reads a
    // slot it wrote, so frames can be loaded four at a time.
    int32_t run = Frames - i;
    for (size_t k = 0; k < count; k++) {
      const TReverbDelayLine& l = comb(k).Line;
      run = std::min(run, l.Size - l.Index);
      line[k] = l.Buffer + l.Index;
    }
    int32_t t = 0;
    for (size_t g = 0; g < 4; g++) fs[g] = _mm_load_ps(store + 4 * g);
    // Four frames at a time: lanes hold four combs (transposed from their
    // lines) for the filter recursion, and four frames for the sums, which
    // still add the combs of each frame in order 0..7.
    for (; t + 4 <= run; t += 4) {
      __m128 sum[2] = {_mm_loadu_ps(Left + i + t), _mm_loadu_ps(Right + i + t)};
      const __m128 x0 = _mm_set1_ps(X[i + t]), x1 = _mm_set1_ps(X[i + t + 1]);
      const __m128 x2 = _mm_set1_ps(X[i + t + 2]), x3 = _mm_set1_ps(X[i + t + 3]);
      for (size_t g = 0; g < 4; g++) {
        float* const* l = line + 4 * g;
        __m128 r0 = _mm_loadu_ps(l[0] + t), r1 = _mm_loadu_ps(l[1] + t);
        __m128 r2 = _mm_loadu_ps(l[2] + t), r3 = _mm_loadu_ps(l[3] + t);
        __m128& acc = sum[g / 2];
        acc = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_add_ps(acc, r0), r1), r2), r3);
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        __m128 f = fs[g];
        f = _mm_add_ps(_mm_mul_ps(r0, d2[g]), _mm_mul_ps(f, d1[g]));
        r0 = _mm_add_ps(x0, _mm_mul_ps(f, fb[g]));
        f = _mm_add_ps(_mm_mul_ps(r1, d2[g]), _mm_mul_ps(f, d1[g]));
        r1 = _mm_add_ps(x1, _mm_mul_ps(f, fb[g]));
        f = _mm_add_ps(_mm_mul_ps(r2, d2[g]), _mm_mul_ps(f, d1[g]));
        r2 = _mm_add_ps(x2, _mm_mul_ps(f, fb[g]));
        f = _mm_add_ps(_mm_mul_ps(r3, d2[g]), _mm_mul_ps(f, d1[g]));
        r3 = _mm_add_ps(x3, _mm_mul_ps(f, fb[g]));
        fs[g] = f;
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        _mm_storeu_ps(l[0] + t, r0);
        _mm_storeu_ps(l[1] + t, r1);
        _mm_storeu_ps(l[2] + t, r2);
        _mm_storeu_ps(l[3] + t, r3);
      }
      _mm_storeu_ps(Left + i + t, sum[0]);
      _mm_storeu_ps(Right + i + t, sum[1]);
    }
    for (size_t g = 0; g < 4; g++) _mm_store_ps(store + 4 * g, fs[g]);
    for (; t < run; t++) {
      const float input = X[i + t];
      float sum[2] = {Left[i + t], Right[i + t]};
      for (size_t k = 0; k < count; k++) {
        const float y = line[k][t];
        store[k] = y * damp2[k] + store[k] * damp1[k];
        line[k][t] = input + store[k] * feedback[k];
        sum[k / NumberOfCombs] += y;
      }
      Left[i + t] = sum[0];
      Right[i + t] = sum[1];
    }
    for (size_t k = 0; k < count; k++) {
      TReverbDelayLine& l = comb(k).Line;
      l.Index += run;
      if (l.Index >= l.Size) l.Index = 0;
    }
    i += run;
  }
  for (size_t k = 0; k < count; k++) comb(k).FilterStore = store[k];
}

void TReverb::RunAllPasses(float* Left, float* Right, int32_t Frames) {
  // Each all-pass runs over the whole chunk before the next one: its state is
  // its line alone, and within a run its reads never meet its own writes.
  for (size_t k = 0; k < NumberOfAllPasses * 2; k++) {
    TReverbAllPass& allPass = AllPass[k / 2][k % 2];
    TReverbDelayLine& l = allPass.Line;
    float* signal = k % 2 == 0 ? Left : Right;
    const float feedback = allPass.Feedback;
    const __m128 fb = _mm_set1_ps(feedback);
    for (int32_t i = 0; i < Frames;) {
      const int32_t run = std::min(Frames - i, l.Size - l.Index);
      float* line = l.Buffer + l.Index;
      float* s = signal + i;
      int32_t t = 0;
      for (; t + 4 <= run; t += 4) {
        const __m128 b = _mm_loadu_ps(line + t);
        const __m128 in = _mm_loadu_ps(s + t);
        _mm_storeu_ps(line + t, _mm_add_ps(in, _mm_mul_ps(b, fb)));
        _mm_storeu_ps(s + t, _mm_sub_ps(b, in));
      }
      for (; t < run; t++) {
        const float b = line[t];
        line[t] = s[t] + b * feedback;
        s[t] = b - s[t];
      }
      l.Index += run;
      if (l.Index >= l.Size) l.Index = 0;
      i += run;
    }
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
