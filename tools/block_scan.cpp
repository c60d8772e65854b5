#include "tools/block_scan.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kelvane {

namespace {

// The frame-by-frame pass; also the one that clears NaN and infinities.
void ScanFrames(TBufferSample* Block, int64_t Frames, float SilenceLevel, TBlockLevels& Levels) {
  for (int64_t i = 0; i < Frames; i++) {
    float loudest = 0.0f;
    for (float& value : Block[i].Values) {
      if (!std::isfinite(value)) {
        Levels.NotFinite = true;
        value = 0.0f;
      }
      const float level = std::fabs(value);
      loudest = std::max(loudest, level);
      if (level > 1.0f) Levels.Clipped++;
    }
    Levels.Peak = std::max(Levels.Peak, loudest);
    Levels.SilentFrames = loudest < SilenceLevel ? Levels.SilentFrames + 1 : 0;
  }
}

}  // namespace

void ScanRenderedBlock(TBufferSample* Block, int64_t Frames, float SilenceLevel, TBlockLevels& Levels) {
  if (Frames <= 0) return;
  const float* values = &Block[0].Values[0];
  const int64_t count = Frames * 2;
  // Without NaN or infinities, the same results from whole-block reductions:
  // the peak, the clipped count, and the silence after the last loud frame.
  const __m128i exponent = _mm_set1_epi32(0x7f800000);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 one = _mm_set1_ps(1.0f);
  __m128i special = _mm_setzero_si128();
  __m128 peak = _mm_setzero_ps();
  __m128i clipped = _mm_setzero_si128();
  int64_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m128 v = _mm_loadu_ps(values + i);
    special = _mm_or_si128(special, _mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(v), exponent), exponent));
    const __m128 level = _mm_and_ps(v, magnitude);
    peak = _mm_max_ps(peak, level);
    clipped = _mm_sub_epi32(clipped, _mm_castps_si128(_mm_cmpgt_ps(level, one)));
  }
  bool finite = _mm_movemask_epi8(special) == 0;
  for (int64_t j = i; j < count; j++) finite = finite && std::isfinite(values[j]);
  if (!finite) {
    ScanFrames(Block, Frames, SilenceLevel, Levels);
    return;
  }
  alignas(16) float peaks[4];
  alignas(16) int32_t clips[4];
  _mm_store_ps(peaks, peak);
  _mm_store_si128(reinterpret_cast<__m128i*>(clips), clipped);
  float blockPeak = std::max(std::max(peaks[0], peaks[1]), std::max(peaks[2], peaks[3]));
  int64_t blockClipped = int64_t{clips[0]} + clips[1] + clips[2] + clips[3];
  for (; i < count; i++) {
    const float level = std::fabs(values[i]);
    blockPeak = std::max(blockPeak, level);
    if (level > 1.0f) blockClipped++;
  }
  Levels.Peak = std::max(Levels.Peak, blockPeak);
  Levels.Clipped += blockClipped;
  // Only the frames after the last loud one count: look from the end.
  for (int64_t f = Frames - 1; f >= 0; f--) {
    if (!(std::max(std::fabs(Block[f].Left), std::fabs(Block[f].Right)) < SilenceLevel)) {
      Levels.SilentFrames = Frames - 1 - f;
      return;
    }
  }
  Levels.SilentFrames += Frames;
}

}  // namespace kelvane
