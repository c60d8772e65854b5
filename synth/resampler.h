#pragma once

#include <cstdint>

#include "synth/resampling_tables.h"

namespace kelvane {

struct TVoiceBuffers;

// Positions and increments are 32.32 fixed point.
inline constexpr int64_t ResampleOne = int64_t{1} << 32;

// What a resampler routine reads besides its arguments. Audio thread; the
// shared tables are read under ResamplingTablesLock held shared.
struct TResampleContext {
  // Element 0 of the guarded frames (Data or WorkData): frame k is SampleData[k + 2048].
  const float* SampleData = nullptr;
  // Fast-sinc cut-off level 0..63 of the current run (SINCCutOffCurrentLevel).
  int32_t CutOffLevel = 0;
  // Kernel length N of ResampleSINC (the synthesizer's ResamplingPoints).
  int32_t Points = 8;
};

// Writes Samples output frames into Buffer, reading from Position on, and
// advances Position by Samples * Increment. Writes nothing without sample data.
using TResampleProc = void (*)(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                               int64_t& Position);

void ResampleNone(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                  int64_t& Position);
void ResampleNearest(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                     int64_t& Position);
void ResampleLinear(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                    int64_t& Position);
void ResampleCubicSpline(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                         int64_t& Position);
void ResamplePolyphaseFIR(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                          int64_t& Position);
void ResampleFastSINC8(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                       int64_t& Position);
void ResampleFastSINC16(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                        int64_t& Position);
void ResampleFastSINC32(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                        int64_t& Position);
void ResampleFastSINC64(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                        int64_t& Position);
void ResampleFastSINC128(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                         int64_t& Position);
void ResampleFastSINC256(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                         int64_t& Position);
void ResampleFastSINC512(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                         int64_t& Position);
void ResampleFastSINC1024(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                          int64_t& Position);
// Windowed sinc computed per output frame with Context.Points taps.
void ResampleSINC(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                  int64_t& Position);

// The resampler of a synthesizer method code (UpdateResamplingProc): 12..19
// share ResampleSINC, codes outside 1..19 give ResampleNearest.
TResampleProc ResamplerForMethod(int32_t Method);

// Destination[i] := A[i] * (1 - Weight) + B[i] * Weight, in single precision.
void ProcessBufferInterpolation(float* Destination, const float* A, const float* B, int32_t Count, float Weight);

// Fast-sinc cut-off levels for an increment (computed per modulation step).
// Reads the increment table that InitSynth builds.
struct TSINCCutOff {
  int32_t Level = 0;
  int32_t NextLevel = 0;
  float Frac = 0.0f;  // blend from Level (0) to NextLevel (1)
};
TSINCCutOff ComputeSINCCutOff(int64_t Increment, bool FastSINCActive);

// The resampler a voice uses for one modulation step.
struct TResamplerChoice {
  int32_t Method = 0;  // -1 none, 0 nearest, else the synthesizer's code
  bool FastSINCActive = false;
  TResampleProc Proc = nullptr;
};
// Increment: PositionIncrement; PhaseInc: the same ratio as a double;
// PreviousMethod: the voice's method of its previous step; ResamplingProc:
// the voice's resampler for the synthesizer's method.
TResamplerChoice ChooseResampler(int64_t Increment, double PhaseInc, int32_t PreviousMethod, int32_t SynthMethod,
                                 bool SynthFastSINCActive, TResampleProc ResamplingProc);

// A voice's resampling state for one modulation step plus the synthesizer's
// interpolation settings, as read by ResampleInterpolated.
struct TResampleInterpolation {
  TResampleProc ProcToUse = ResampleNearest;  // ResamplingProcToUse
  int32_t Method = 0;                         // the voice's ResamplingMethod
  bool FastSINCActive = false;                // the voice's flag
  TSINCCutOff CutOff;
  int32_t InterpolationMode = 0;  // 0 table phase as is, 1 blend phases, 2 also blend levels
  int64_t FracMask = 0;           // ResamplingFracMask
  double FracFactor = 0.0;        // ResamplingFracFactor
};

// Scratch buffers of at least Samples floats each (the four interpolation
// buffers of the rendering context).
struct TResampleScratch {
  float* A0 = nullptr;
  float* A1 = nullptr;
  float* B0 = nullptr;
  float* B1 = nullptr;
};

// The four interpolation buffers of a rendering context's scratch.
TResampleScratch InterpolationScratch(TVoiceBuffers& Buffers);

// TVoice.Resample: runs ProcToUse into Buffer, blending two adjacent table
// phases (modes 1 and 2) and two cut-off levels (mode 2, fast sinc). Sets
// Context.CutOffLevel; only the run from Position advances it.
void ResampleInterpolated(TResampleContext& Context, const TResampleInterpolation& Interpolation,
                          const TResampleScratch& Scratch, float* Buffer, int32_t Samples, int64_t Increment,
                          int64_t& Position);

namespace detail {
// Table kernels: plain C++ (the reference) and the SSE2 build used by the
// routines above (the cubic spline runs an AVX2 build where it can). Same
// summation order, so they agree bit for bit.
void ResampleTableScalar(const float* SampleData, const float* Table, int32_t Points, int32_t FirstTap,
                         float* Buffer, int32_t Samples, int64_t Increment, int64_t& Position);
void ResampleTableSIMD(const float* SampleData, const float* Table, int32_t Points, int32_t FirstTap,
                       float* Buffer, int32_t Samples, int64_t Increment, int64_t& Position);
// ResampleLinear one frame at a time (the reference of its vector builds),
// and its SSE2 build (ResampleLinear runs the AVX2 one where it can).
void ResampleLinearScalar(const float* SampleData, float* Buffer, int32_t Samples, int64_t Increment,
                          int64_t& Position);
void ResampleLinearSIMD(const float* SampleData, float* Buffer, int32_t Samples, int64_t Increment,
                        int64_t& Position);
}  // namespace detail

}  // namespace kelvane
