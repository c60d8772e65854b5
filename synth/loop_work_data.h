#pragma once

#include <cstdint>

#include "banks/sample.h"

namespace kelvane {

// How the frames around a loop are rewritten so that multi-point kernels read
// across the loop boundary as the loop plays.
enum TLoopWrapMode : uint8_t {
  lwmNone,     // loop types without a loop: nothing to rewrite
  lwmWrap,     // forward and backward loops
  lwmReflect,  // ping-pong loops
};

// Wrap mode of a loop type: forward and backward wrap, ping-pong reflects.
TLoopWrapMode LoopWrapModeOf(TLoopType LoopType);

// Source frame that the loop plays at frame index Index (LoopStart < LoopEnd).
int32_t LoopSourceFrame(TLoopWrapMode Mode, int32_t LoopStart, int32_t LoopEnd, int32_t Index);

// Where the windows of a loop lie for a kernel reach of Reach frames, in a
// WorkData of Capacity floats for a sample of Total guarded elements: a
// capacity holding the whole sample gets one window over all of it; a short
// loop one window from Reach * 3 frames before its start to as many after its
// end; a long loop one such window at each end, reaching Reach * 2 +
// WorkWindowRunFrames frames into the loop. Count is 0 when they do not fit.
void PlaceWorkWindows(int64_t Capacity, int64_t Total, int32_t LoopStart, int32_t LoopEnd, int64_t Reach,
                      TSampleWorkWindow (&Windows)[2], int32_t& Count);

// Fills Destination with the elements of Window: Data, but frames LoopStart -
// Reach .. LoopStart take the frames the loop plays before its start and
// frames LoopEnd .. LoopEnd + Reach those it plays from its end on.
void FillWorkWindow(const float* Data, int32_t Length, TLoopWrapMode Mode, int32_t LoopStart, int32_t LoopEnd,
                    int64_t Reach, const TSampleWorkWindow& Window, float* Destination);

// Prepares the sample's windows for a voice's loop unless they already are.
// Caller holds the sample's lock for reading; when this returns true it holds
// it for writing instead and turns it back into a read lock after resampling.
// WorkData is sized at load time (and when the kernel changes) for any loop;
// only a sample loaded without a loop that a layer loops allocates here.
bool PrepareSampleWorkData(TSample& Sample, TLoopType LoopType, int32_t LoopStart, int32_t LoopEnd, int32_t Points);

// The buffer the resampler reads, addressed like Data, for a run of Frames
// positions from Position on when the loop-wrapped data is due: a window that
// holds every frame the run reads, or Data when the run reads no rewritten
// frame (the two agree there). Served tells how many of the run's positions
// it serves: fewer than Frames only when no one buffer holds the whole run;
// the caller goes on with the rest from where it stopped. Read lock held.
const float* LoopReadData(const TSample& Sample, int64_t Position, int64_t Increment, int32_t Frames, int32_t Points,
                          int32_t& Served);

// Gives a loaded looped sample the WorkData that the kernel of Points points
// needs, so that voices never grow it while rendering. Takes the sample's
// write lock; not while the synth renders.
void FitSampleWorkData(TSample& Sample, int32_t Points);

}  // namespace kelvane
