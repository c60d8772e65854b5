#pragma once

#include <cstdint>

namespace kelvane {

// How the frames around a loop are rewritten so that multi-point kernels read
// across the loop boundary as the loop plays.
enum TLoopWrapMode : uint8_t {
  lwmNone,     // loop types without a loop: only restore
  lwmWrap,     // forward and backward loops
  lwmReflect,  // ping-pong loops
};

// A frame range (inclusive) in which WorkData differs from Data.
struct TWorkDataRange {
  int32_t From = 0;
  int32_t To_ = 0;
};

inline constexpr int32_t MaxWorkDataModifications = 4;

// Restores every recorded range of WorkData from Data and empties the list.
// Data and WorkData hold Length + 4096 floats, frame k at element k + 2048.
// Caller holds the sample's lock for writing.
void RestoreWorkData(const float* Data, float* WorkData, int32_t Length, TWorkDataRange* Modifications,
                     int32_t& CountModifications);

// Restores WorkData, then rewrites Points + 2 frames before and from the loop
// points: frames LoopStart - Points - 1 .. LoopStart take the frames the loop
// plays before its start, frames LoopEnd .. LoopEnd + Points + 1 those it plays
// from its end on, and records both ranges. Caller holds the write lock.
void PrepareLoopWorkData(const float* Data, float* WorkData, int32_t Length, TLoopWrapMode Mode, int32_t LoopStart,
                         int32_t LoopEnd, int32_t Points, TWorkDataRange* Modifications, int32_t& CountModifications);

// Source frame that the loop plays at frame index Index (LoopStart < LoopEnd).
int32_t LoopSourceFrame(TLoopWrapMode Mode, int32_t LoopStart, int32_t LoopEnd, int32_t Index);

}  // namespace kelvane
