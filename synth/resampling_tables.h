#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelvane {

// Resampling method codes, in the order the editor lists them.
inline constexpr int32_t rmNearest = 0;
inline constexpr int32_t rmLinear = 1;
inline constexpr int32_t rmCubicSpline = 2;
inline constexpr int32_t rmPolyphaseFIR = 3;
inline constexpr int32_t rmFastSINC8 = 4;      // .. rmFastSINC8 + 7 = FASTSINC1024
inline constexpr int32_t rmSINC8 = 12;         // .. rmSINC8 + 7 = SINC1024
inline constexpr int32_t rmLastMethod = 19;
inline constexpr int32_t ResamplingMethodCount = 20;

// Table phases: bits 20..31 of a 32.32 position.
inline constexpr int32_t ResamplingTablePhaseBits = 12;
inline constexpr int32_t ResamplingTablePhases = 1 << ResamplingTablePhaseBits;
inline constexpr int32_t ResamplingTablePhaseShift = 32 - ResamplingTablePhaseBits;
inline constexpr int64_t ResamplingTableFracLen = int64_t{1} << ResamplingTablePhaseShift;
// Cut-off levels of the fast-sinc tables: one per semitone of upward transposition.
inline constexpr int32_t FastSINCLevels = 64;
inline constexpr int32_t CubicTablePoints = 4;
inline constexpr int32_t PolyphaseTablePoints = 8;
inline constexpr int32_t PolyphaseTableCount = 3;

// What a method code implies for the synthesizer's resampling fields.
struct TResamplingMethodInfo {
  int32_t Points = 1;
  int32_t LoopStartOffset = 0;  // frames
  int32_t LoopEndOffset = 0;    // frames
  int64_t FracLen = 0;          // 2^20 for the table methods, else 0
  bool FastSINCActive = false;
};

// Codes outside 0..19 give the nearest-sample row.
TResamplingMethodInfo ResamplingMethodInfo(int32_t Method);

// Kernel length N of a fast-sinc (4..11) or sinc (12..19) code.
constexpr int32_t SINCMethodPoints(int32_t Method) {
  return Method >= rmSINC8 ? 8 << (Method - rmSINC8) : 8 << (Method - rmFastSINC8);
}

// Modified Bessel function of the first kind, order 0, as the series
// sum(((x/2)^k / k!)^2), summed until a term falls below RelativeTolerance of the sum.
double BesselI0(double X, double RelativeTolerance);

// Kaiser beta for the stop-band attenuation of a 24-bit noise floor (about 14.9645).
double SINCKaiserBeta();

// Shared coefficient tables, one set per method, with use counts. Acquire and
// release only while holding ResamplingTablesLock exclusively; renderers read
// the tables while holding it shared. Acquire may throw std::bad_alloc.
void AcquireResamplingTables(int32_t Method);
void ReleaseResamplingTables(int32_t Method);
// Use count of the table set behind a method code (0 for codes without tables).
int32_t ResamplingTablesUseCount(int32_t Method);

namespace detail {
// Row-major blocks, 64-byte aligned; null while not built.
struct TResamplingTablePointers {
  const float* Cubic = nullptr;                                 // [4096][4]
  std::array<const float*, PolyphaseTableCount> Polyphase = {};  // 3 x [4096][8]
  std::array<const float*, 8> FastSINC = {};                    // per N = 8 << j: [64][4096][N]
};
extern TResamplingTablePointers ResamplingTables;
}  // namespace detail

// Row of the cubic table for a table phase (4 floats), or null when not built.
inline const float* CubicTableRow(int32_t Phase) {
  const float* t = detail::ResamplingTables.Cubic;
  return t ? t + static_cast<size_t>(Phase) * CubicTablePoints : nullptr;
}

// Polyphase table 0 (A, ratio up to 19), 1 (B, up to 24) or 2 (C, above).
inline const float* PolyphaseTable(int32_t Which) { return detail::ResamplingTables.Polyphase[Which]; }

// Index 0..7 of a fast-sinc kernel length N = 8..1024.
constexpr int32_t FastSINCTableIndex(int32_t N) {
  int32_t j = 0;
  while ((8 << j) < N) ++j;
  return j;
}

// The [64][4096][N] block of the fast-sinc table for N, or null when not built.
inline const float* FastSINCTable(int32_t N) { return detail::ResamplingTables.FastSINC[FastSINCTableIndex(N)]; }

}  // namespace kelvane
