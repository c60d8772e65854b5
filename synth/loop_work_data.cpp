#include "synth/loop_work_data.h"

#include <algorithm>

namespace kelvane {

namespace {

constexpr int64_t GuardFrames = SampleGuardFrames;
constexpr int64_t FixedOne = int64_t{1} << 32;

int64_t PositiveModulo(int64_t value, int64_t period) {
  const int64_t r = value % period;
  return r < 0 ? r + period : r;
}

bool RangesMeet(int64_t aFirst, int64_t aLast, int64_t bFirst, int64_t bLast) {
  return aFirst <= bLast && bFirst <= aLast;
}

// How many leading positions of a run (32.32, stepping by Increment) lie in
// frames FirstFrame .. LastFrame; 0 when the first does not.
int32_t LeadingFramesInside(int64_t Position, int64_t Increment, int32_t Frames, int64_t FirstFrame,
                            int64_t LastFrame) {
  constexpr int64_t frameLimit = (int64_t{1} << 31) - 2;  // keeps the products below in range
  FirstFrame = std::max(FirstFrame, -frameLimit);
  LastFrame = std::min(LastFrame, frameLimit);
  const int64_t first = Position >> 32;
  if (FirstFrame > LastFrame || first < FirstFrame || first > LastFrame) return 0;
  int64_t count = Frames;
  if (Increment > 0) count = ((LastFrame + 1) * FixedOne - 1 - Position) / Increment + 1;
  if (Increment < 0) count = (Position - FirstFrame * FixedOne) / -Increment + 1;
  return static_cast<int32_t>(std::min<int64_t>(count, Frames));
}

}  // namespace

TLoopWrapMode LoopWrapModeOf(TLoopType LoopType) {
  switch (LoopType) {
    case ltFORWARD:
    case ltBACKWARD: return lwmWrap;
    case ltBIDI: return lwmReflect;
    default: return lwmNone;
  }
}

int32_t LoopSourceFrame(TLoopWrapMode Mode, int32_t LoopStart, int32_t LoopEnd, int32_t Index) {
  const int64_t span = int64_t{LoopEnd} - LoopStart;
  if (span <= 0) return Index;
  if (Mode == lwmWrap && (Index < LoopStart || Index >= LoopEnd)) {
    // As many loop lengths as it takes: kernels may be longer than the loop.
    return static_cast<int32_t>(LoopStart + PositiveModulo(int64_t{Index} - LoopStart, span));
  }
  if (Mode == lwmReflect && (Index < LoopStart || Index > LoopEnd)) {
    // Mirror about both ends: period of two loop lengths, the end frame itself unmirrored.
    int64_t u = PositiveModulo(int64_t{Index} - LoopStart, 2 * span);
    if (u > span) u = 2 * span - u;
    return static_cast<int32_t>(LoopStart + u);
  }
  return Index;
}

void PlaceWorkWindows(int64_t Capacity, int64_t Total, int32_t LoopStart, int32_t LoopEnd, int64_t Reach,
                      TSampleWorkWindow (&Windows)[2], int32_t& Count) {
  Count = 0;
  if (Total <= 0 || Capacity <= 0 || LoopEnd <= LoopStart) return;
  if (Capacity >= Total) {
    Windows[0] = {0, Total, 0};
    Count = 1;
    return;
  }
  const auto window = [Total](int64_t firstFrame, int64_t lastFrame, int64_t offset) {
    const int64_t first = std::clamp<int64_t>(firstFrame + GuardFrames, 0, Total);
    const int64_t end = std::clamp<int64_t>(lastFrame + GuardFrames + 1, 0, Total);
    return TSampleWorkWindow{first, std::max<int64_t>(end - first, 0), offset};
  };
  // A kernel at a loop point reads Reach frames either side of it, and the
  // rewritten frames reach Reach beyond the loop: a window holds every frame
  // a position touching them reads.
  const int64_t outer = 3 * Reach;
  const int64_t inner = 2 * Reach + WorkWindowRunFrames;
  if (int64_t{LoopEnd} - LoopStart <= 2 * inner) {
    const TSampleWorkWindow whole = window(int64_t{LoopStart} - outer, int64_t{LoopEnd} + outer, 0);
    if (whole.Elements > Capacity) return;
    Windows[0] = whole;
    Count = 1;
    return;
  }
  const TSampleWorkWindow start = window(int64_t{LoopStart} - outer, int64_t{LoopStart} + inner, 0);
  const TSampleWorkWindow end = window(int64_t{LoopEnd} - inner, int64_t{LoopEnd} + outer, start.Elements);
  if (start.Elements + end.Elements > Capacity) return;
  Windows[0] = start;
  Windows[1] = end;
  Count = 2;
}

void FillWorkWindow(const float* Data, int32_t Length, TLoopWrapMode Mode, int32_t LoopStart, int32_t LoopEnd,
                    int64_t Reach, const TSampleWorkWindow& Window, float* Destination) {
  std::copy_n(Data + Window.First, Window.Elements, Destination);
  if (Mode == lwmNone || Length <= 0 || LoopEnd <= LoopStart) return;
  const auto rewrite = [&](int64_t fromFrame, int64_t toFrame) {
    const int64_t from = std::max(fromFrame + GuardFrames, Window.First);
    const int64_t to = std::min(toFrame + GuardFrames, Window.First + Window.Elements - 1);
    for (int64_t e = from; e <= to; ++e) {
      const int32_t frame = static_cast<int32_t>(e - GuardFrames);
      const int32_t source = std::clamp(LoopSourceFrame(Mode, LoopStart, LoopEnd, frame), 0, Length - 1);
      Destination[e - Window.First] = Data[source + GuardFrames];
    }
  };
  rewrite(int64_t{LoopStart} - Reach, LoopStart);
  rewrite(LoopEnd, int64_t{LoopEnd} + Reach);
}

bool PrepareSampleWorkData(TSample& Sample, TLoopType LoopType, int32_t LoopStart, int32_t LoopEnd, int32_t Points) {
  const int64_t reach = WorkWindowReach(Points);
  const auto prepared = [&] {
    return Sample.IndexLookupLoopType == LoopType && Sample.IndexLookupLoopStart == LoopStart &&
           Sample.IndexLookupLoopEnd == LoopEnd && Sample.IndexLookupReach == reach;
  };
  if (prepared()) return false;
  // Another voice may have prepared the same loop while the lock was free.
  Sample.MultipleReaderSingleWriterLock.ReadToWrite();
  if (prepared()) return true;
  const auto remember = [&] {
    Sample.IndexLookupLoopType = LoopType;
    Sample.IndexLookupLoopStart = LoopStart;
    Sample.IndexLookupLoopEnd = LoopEnd;
    Sample.IndexLookupReach = static_cast<int32_t>(reach);
    Sample.CountWorkWindows = 0;
  };
  remember();
  const TLoopWrapMode mode = LoopWrapModeOf(LoopType);
  if (!Sample.Data || mode == lwmNone || LoopEnd <= LoopStart) return true;
  TSampleWorkWindow windows[2];
  int32_t count = 0;
  PlaceWorkWindows(Sample.WorkDataSize(), Sample.BufferElements(), LoopStart, LoopEnd, reach, windows, count);
  if (count == 0) {
    // A sample loaded without a loop of its own that a layer loops.
    Sample.AllocateWorkData(LoopWorkDataCapacity(Points));
    remember();
    PlaceWorkWindows(Sample.WorkDataSize(), Sample.BufferElements(), LoopStart, LoopEnd, reach, windows, count);
  }
  for (int32_t w = 0; w < count; ++w) {
    FillWorkWindow(Sample.Data.get(), Sample.Length, mode, LoopStart, LoopEnd, reach, windows[w],
                   Sample.WorkData.get() + windows[w].Offset);
    Sample.WorkWindows[w] = windows[w];
  }
  Sample.CountWorkWindows = count;
  return true;
}

const float* LoopReadData(const TSample& Sample, int64_t Position, int64_t Increment, int32_t Frames, int32_t Points,
                          int32_t& Served) {
  Served = Frames;
  const float* data = Sample.Data.get();
  if (Frames <= 0 || !data || Sample.CountWorkWindows <= 0) return data;
  // Frames the kernel reads for the whole run.
  const int64_t reach = WorkWindowReach(Points);
  const int64_t lastPosition = Position + int64_t{Frames - 1} * Increment;
  const int64_t first = (std::min(Position, lastPosition) >> 32) - reach;
  const int64_t last = (std::max(Position, lastPosition) >> 32) + reach;
  const int32_t windows = std::min(Sample.CountWorkWindows, 2);
  for (int32_t w = 0; w < windows; ++w) {
    if (Sample.WorkWindowCovers(w, first + GuardFrames, last + GuardFrames)) return Sample.WorkWindowBase(w);
  }
  // Outside the rewritten frames the windows equal Data.
  const int64_t loopStart = Sample.IndexLookupLoopStart, loopEnd = Sample.IndexLookupLoopEnd;
  const int64_t rewritten = Sample.IndexLookupReach;
  if (!RangesMeet(first, last, loopStart - rewritten, loopStart) &&
      !RangesMeet(first, last, loopEnd, loopEnd + rewritten))
    return data;
  // No one buffer holds the run (a long stride): serve the longest lead.
  // Every position has one that holds its own frames, so the lead is never empty.
  int32_t best = 0;
  const float* result = data;
  const auto consider = [&](int64_t firstFrame, int64_t lastFrame, const float* buffer) {
    const int32_t count = LeadingFramesInside(Position, Increment, Frames, firstFrame + reach, lastFrame - reach);
    if (count > best) {
      best = count;
      result = buffer;
    }
  };
  for (int32_t w = 0; w < windows; ++w) {
    const TSampleWorkWindow& window = Sample.WorkWindows[w];
    consider(window.First - GuardFrames, window.First + window.Elements - 1 - GuardFrames, Sample.WorkWindowBase(w));
  }
  const int64_t lowest = -GuardFrames, highest = Sample.BufferElements() - 1 - GuardFrames;
  consider(lowest, loopStart - rewritten - 1, data);
  consider(loopStart + 1, loopEnd - 1, data);
  consider(loopEnd + rewritten + 1, highest, data);
  if (best > 0) Served = best;
  return result;
}

void FitSampleWorkData(TSample& Sample, int32_t Points) {
  TWriteLockGuard guard(Sample.MultipleReaderSingleWriterLock);
  // Whole copies (made by hand) hold any window already.
  if (!Sample.Data || (Sample.WorkData && Sample.WorkDataCapacity < 0)) return;
  const bool looped = Sample.LoopEnd > Sample.LoopStart || Sample.WorkData;
  const int64_t elements = looped ? LoopWorkDataCapacity(Points) : 0;
  if (Sample.WorkDataSize() != elements) Sample.AllocateWorkData(elements);
}

}  // namespace kelvane
