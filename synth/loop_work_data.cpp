#include "synth/loop_work_data.h"

#include <algorithm>

namespace kelvane {

namespace {

constexpr int32_t GuardFrames = 2048;

int64_t PositiveModulo(int64_t value, int64_t period) {
  const int64_t r = value % period;
  return r < 0 ? r + period : r;
}

// Rewrites WorkData frames From..To (clamped to the guarded buffer) from the
// frames the loop plays there, and records the range.
void RewriteRange(const float* data, float* workData, int32_t length, TLoopWrapMode mode, int32_t loopStart,
                  int32_t loopEnd, int64_t from, int64_t to, TWorkDataRange* modifications, int32_t& count) {
  from = std::max<int64_t>(from, -GuardFrames);
  to = std::min<int64_t>(to, int64_t{length} + GuardFrames - 1);
  if (from > to || count >= MaxWorkDataModifications) return;
  modifications[count++] = {static_cast<int32_t>(from), static_cast<int32_t>(to)};
  for (int64_t d = from; d <= to; ++d) {
    const int32_t s = std::clamp(LoopSourceFrame(mode, loopStart, loopEnd, static_cast<int32_t>(d)), 0, length - 1);
    workData[d + GuardFrames] = data[s + GuardFrames];
  }
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

namespace {

// Rewrites the wrapped frames of the sample's prepared loop into a WorkData
// that holds plain Data. Caller holds the write lock.
void RewritePreparedLoop(TSample& Sample, int32_t Points) {
  PrepareLoopWorkData(Sample.Data.get(), Sample.WorkDataBase(), Sample.Length,
                      LoopWrapModeOf(Sample.IndexLookupLoopType), Sample.IndexLookupLoopStart,
                      Sample.IndexLookupLoopEnd, Points, Sample.WorkDataModifications,
                      Sample.CountWorkDataModifications);
}

// Makes WorkData hold elements First .. End - 1 besides those it holds, and
// keeps the prepared loop's rewrite. Caller holds the write lock.
void WidenWorkData(TSample& Sample, int64_t First, int64_t End, int32_t Points) {
  if (Sample.WorkData) {
    First = std::min(First, Sample.WorkDataFirst);
    End = std::max(End, Sample.WorkDataFirst + Sample.WorkDataSize());
  }
  const TLoopType type = Sample.IndexLookupLoopType;
  const int32_t loopStart = Sample.IndexLookupLoopStart;
  const int32_t loopEnd = Sample.IndexLookupLoopEnd;
  Sample.AllocateWorkData(First, End);
  if (!Sample.WorkData) return;
  Sample.IndexLookupLoopType = type;
  Sample.IndexLookupLoopStart = loopStart;
  Sample.IndexLookupLoopEnd = loopEnd;
  if (type != ltUNKNOWN) RewritePreparedLoop(Sample, Points);
}

bool RangesMeet(int64_t aFirst, int64_t aLast, int64_t bFirst, int64_t bLast) {
  return aFirst <= bLast && bFirst <= aLast;
}

}  // namespace

bool PrepareSampleWorkData(TSample& Sample, TLoopType LoopType, int32_t LoopStart, int32_t LoopEnd, int32_t Points) {
  const auto prepared = [&] {
    return Sample.IndexLookupLoopType == LoopType && Sample.IndexLookupLoopStart == LoopStart &&
           Sample.IndexLookupLoopEnd == LoopEnd;
  };
  if (prepared()) return false;
  // Another voice may have prepared the same loop while the lock was free.
  Sample.MultipleReaderSingleWriterLock.ReadToWrite();
  if (prepared()) return true;
  if (Sample.Data) {
    // The window must hold every frame the rewrite touches; a loop moved by
    // its voice's offsets may lie outside the one made at load time.
    const auto [first, end] = TSample::LoopWorkDataElements(LoopStart, LoopEnd);
    if (first < end && !Sample.WorkDataCovers(first, end - 1)) {
      RestoreWorkData(Sample.Data.get(), Sample.WorkDataBase(), Sample.Length, Sample.WorkDataModifications,
                      Sample.CountWorkDataModifications);
      Sample.IndexLookupLoopType = ltUNKNOWN;
      WidenWorkData(Sample, first, end, Points);
    }
  }
  Sample.IndexLookupLoopType = LoopType;
  Sample.IndexLookupLoopStart = LoopStart;
  Sample.IndexLookupLoopEnd = LoopEnd;
  if (Sample.Data && Sample.WorkData) RewritePreparedLoop(Sample, Points);
  return true;
}

const float* LoopReadData(TSample& Sample, int64_t Position, int64_t Increment, int32_t Frames, int32_t Points,
                          bool& WriteHold) {
  const float* data = Sample.Data.get();
  if (Frames <= 0 || !data) return data;
  // Frames the kernel may read: every position of the run, widened by more
  // than any kernel reaches.
  const int64_t lastPosition = Position + int64_t{Frames - 1} * Increment;
  const int64_t reach = int64_t{std::max(Points, 0)} + 2;
  const int64_t first = (std::min(Position, lastPosition) >> 32) - reach + GuardFrames;
  const int64_t last = (std::max(Position, lastPosition) >> 32) + reach + GuardFrames;
  if (Sample.WorkDataCovers(first, last)) return Sample.WorkDataBase();
  // Outside the rewritten ranges WorkData equals Data.
  bool meets = false;
  for (int32_t m = 0; m < std::min(Sample.CountWorkDataModifications, MaxWorkDataModifications); ++m) {
    const TWorkDataRange& range = Sample.WorkDataModifications[m];
    meets = meets || RangesMeet(first, last, int64_t{range.From} + GuardFrames, int64_t{range.To_} + GuardFrames);
  }
  if (!meets) return data;
  // A run reaching from a rewritten frame beyond the window: widen it.
  if (!WriteHold) {
    Sample.MultipleReaderSingleWriterLock.ReadToWrite();
    WriteHold = true;
  }
  if (!Sample.WorkDataCovers(first, last)) WidenWorkData(Sample, first, last + 1, Points);
  return Sample.WorkDataCovers(first, last) ? Sample.WorkDataBase() : data;
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

void RestoreWorkData(const float* Data, float* WorkData, int32_t Length, TWorkDataRange* Modifications,
                     int32_t& CountModifications) {
  const int64_t last = int64_t{std::max(Length, 0)} + GuardFrames - 1;
  for (int32_t m = 0; m < std::min(CountModifications, MaxWorkDataModifications); ++m) {
    const int64_t from = std::max<int64_t>(Modifications[m].From, -GuardFrames);
    const int64_t to = std::min<int64_t>(Modifications[m].To_, last);
    if (from <= to) std::copy(Data + from + GuardFrames, Data + to + GuardFrames + 1, WorkData + from + GuardFrames);
  }
  CountModifications = 0;
}

void PrepareLoopWorkData(const float* Data, float* WorkData, int32_t Length, TLoopWrapMode Mode, int32_t LoopStart,
                         int32_t LoopEnd, int32_t Points, TWorkDataRange* Modifications, int32_t& CountModifications) {
  RestoreWorkData(Data, WorkData, Length, Modifications, CountModifications);
  if (Mode == lwmNone || Length <= 0 || LoopEnd <= LoopStart) return;
  const int64_t reach = int64_t{std::max(Points, 0)} + 1;
  RewriteRange(Data, WorkData, Length, Mode, LoopStart, LoopEnd, int64_t{LoopStart} - reach, LoopStart,
               Modifications, CountModifications);
  RewriteRange(Data, WorkData, Length, Mode, LoopStart, LoopEnd, LoopEnd, int64_t{LoopEnd} + reach, Modifications,
               CountModifications);
}

}  // namespace kelvane
