#pragma once

#include <cstdint>

#include "banks/sample.h"

namespace kelvane {

// How the frames around a loop are rewritten so that multi-point kernels read
// across the loop boundary as the loop plays.
enum TLoopWrapMode : uint8_t {
  lwmNone,     // loop types without a loop: only restore
  lwmWrap,     // forward and backward loops
  lwmReflect,  // ping-pong loops
};

// A frame range (inclusive) in which WorkData differs from Data.
using TWorkDataRange = TSampleWorkDataModification;

inline constexpr int32_t MaxWorkDataModifications = 4;

// Restores every recorded range of WorkData from Data and empties the list.
// Data holds Length + 4096 floats, frame k at element k + 2048; WorkData is
// addressed the same way and must hold every recorded range.
// Caller holds the sample's lock for writing.
void RestoreWorkData(const float* Data, float* WorkData, int32_t Length, TWorkDataRange* Modifications,
                     int32_t& CountModifications);

// Restores WorkData, then rewrites Points + 2 frames before and from the loop
// points: frames LoopStart - Points - 1 .. LoopStart take the frames the loop
// plays before its start, frames LoopEnd .. LoopEnd + Points + 1 those it plays
// from its end on, and records both ranges. Caller holds the write lock.
void PrepareLoopWorkData(const float* Data, float* WorkData, int32_t Length, TLoopWrapMode Mode, int32_t LoopStart,
                         int32_t LoopEnd, int32_t Points, TWorkDataRange* Modifications, int32_t& CountModifications);

// Wrap mode of a loop type: forward and backward wrap, ping-pong reflects.
TLoopWrapMode LoopWrapModeOf(TLoopType LoopType);

// Prepares the sample's WorkData for a voice's loop unless it already is.
// Caller holds the sample's lock for reading; when this returns true it holds
// it for writing instead and turns it back into a read lock after resampling.
bool PrepareSampleWorkData(TSample& Sample, TLoopType LoopType, int32_t LoopStart, int32_t LoopEnd, int32_t Points);

// The buffer the resampler reads for a run of Frames positions from Position
// on, when the loop-wrapped data is due: WorkData, addressed like Data, when it
// holds every frame the run reads, or Data when the run reads no rewritten
// frame (the two agree there). Otherwise WorkData grows to hold the run; that
// takes the write lock, and WriteHold tells the caller it holds it.
const float* LoopReadData(TSample& Sample, int64_t Position, int64_t Increment, int32_t Frames, int32_t Points,
                          bool& WriteHold);

// Source frame that the loop plays at frame index Index (LoopStart < LoopEnd).
int32_t LoopSourceFrame(TLoopWrapMode Mode, int32_t LoopStart, int32_t LoopEnd, int32_t Index);

}  // namespace kelvane
