#include "synth/loop_work_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "synth/resampler_fixtures.h"

namespace kelvane {
namespace {

using test::TGuardedFrames;

// A sample whose frame k holds k + 1, and a window over all of it.
class LoopWorkDataTest : public ::testing::Test {
 protected:
  static constexpr int32_t Length = 400;
  LoopWorkDataTest() : data(Length, [](int32_t k) { return float(k + 1); }), work(data) {}

  float Work(int32_t k) const { return work.Frame(k); }
  void Fill(TLoopWrapMode mode, int32_t start, int32_t end, int64_t reach) {
    const TSampleWorkWindow whole{0, Length + 2 * TGuardedFrames::Guard, 0};
    FillWorkWindow(data.Data(), Length, mode, start, end, reach, whole, work.Data());
  }
  bool WorkEqualsData() const {
    for (int32_t k = -2048; k < Length + 2048; ++k) {
      if (work.Frame(k) != data.Frame(k)) return false;
    }
    return true;
  }

  TGuardedFrames data;
  TGuardedFrames work;
};

TEST_F(LoopWorkDataTest, ForwardLoopRewritesReachFramesAtEachEnd) {
  const int32_t s = 150, e = 250, reach = 6;
  Fill(lwmWrap, s, e, reach);
  // Before the start: the frames before the end; from the end on: those from the start on.
  for (int32_t j = 1; j <= reach; ++j) EXPECT_EQ(Work(s - j), data.Frame(e - j)) << j;
  EXPECT_EQ(Work(s), data.Frame(s));
  for (int32_t j = 0; j <= reach; ++j) EXPECT_EQ(Work(e + j), data.Frame(s + j)) << j;
  // Outside the ranges nothing changes.
  EXPECT_EQ(Work(s - reach - 1), data.Frame(s - reach - 1));
  EXPECT_EQ(Work(e + reach + 1), data.Frame(e + reach + 1));
  EXPECT_EQ(Work(200), data.Frame(200));
}

TEST_F(LoopWorkDataTest, PingPongLoopReflectsAtBothEnds) {
  const int32_t s = 150, e = 250;
  Fill(lwmReflect, s, e, 4);
  for (int32_t j = 0; j <= 4; ++j) {
    EXPECT_EQ(Work(s - j), data.Frame(s + j)) << j;
    EXPECT_EQ(Work(e + j), data.Frame(e - j)) << j;
  }
}

TEST_F(LoopWorkDataTest, KernelsLongerThanTheLoopWrapRepeatedly) {
  // 10-frame loop, 32-point kernel: reads reach two loop lengths away.
  const int32_t s = 200, e = 210;
  const int64_t reach = WorkWindowReach(32);
  Fill(lwmWrap, s, e, reach);
  for (int64_t d = s - reach; d < s; ++d) EXPECT_EQ(Work(int32_t(d)), data.Frame(s + ((d - s) % 10 + 10) % 10)) << d;
  for (int64_t d = e; d <= e + reach; ++d) EXPECT_EQ(Work(int32_t(d)), data.Frame(s + (d - s) % 10)) << d;
  Fill(lwmReflect, s, e, reach);
  // Mirrored with a period of two loop lengths: 211 -> 209, 221 -> 201, 228 -> 208.
  EXPECT_EQ(Work(211), data.Frame(209));
  EXPECT_EQ(Work(221), data.Frame(201));
  EXPECT_EQ(Work(228), data.Frame(208));
  EXPECT_EQ(Work(188), data.Frame(208));
}

TEST_F(LoopWorkDataTest, RewritesStayInsideTheGuardedBufferAndTheWindow) {
  // A loop from the first to the last frame with the longest kernel.
  const int64_t reach = WorkWindowReach(1024);
  Fill(lwmWrap, 0, Length, reach);
  for (int32_t j = 1; j <= reach; ++j) ASSERT_EQ(Work(-j), data.Frame(Length - 1 - (j - 1) % Length)) << j;
  EXPECT_EQ(Work(int32_t(Length + reach)), data.Frame(reach % Length));
  EXPECT_EQ(Work(int32_t(Length + reach + 1)), data.Frame(Length + reach + 1));
  // No loop: a plain copy.
  work = data;
  Fill(lwmWrap, 300, 300, 8);
  EXPECT_TRUE(WorkEqualsData());
  // A window of frames 140..160 holds only those, rewritten where they meet the loop.
  std::vector<float> part(21, -1.0f);
  FillWorkWindow(data.Data(), Length, lwmWrap, 150, 250, 6, {140 + 2048, 21, 0}, part.data());
  for (int32_t k = 140; k <= 160; ++k) {
    const float expected = (k >= 144 && k < 150) ? data.Frame(k + 100) : data.Frame(k);
    EXPECT_EQ(part[size_t(k - 140)], expected) << k;
  }
}

TEST(PlaceWorkWindows, ShortLoopsGetOneWindowLongLoopsOneAtEachEnd) {
  const int64_t r = WorkWindowReach(8);  // 6
  const int64_t capacity = LoopWorkDataCapacity(8);
  const int64_t total = 100000 + SampleGuardElements;
  const int64_t inner = 2 * r + WorkWindowRunFrames;
  struct TCase {
    const char* Name;
    int64_t Capacity;
    int32_t Start, End;
    int32_t Count;
    TSampleWorkWindow First, Second;
  };
  const TCase cases[] = {
      {"whole copy", -1, 100, 200, 1, {0, total, 0}, {}},
      {"short loop", capacity, 1000, 1100, 1, {1000 - 3 * r + 2048, 100 + 6 * r + 1, 0}, {}},
      {"longest one-window loop", capacity, 1000, int32_t(1000 + 2 * inner), 1,
       {1000 - 3 * r + 2048, 2 * inner + 6 * r + 1, 0}, {}},
      {"long loop", capacity, 1000, 90000, 2, {1000 - 3 * r + 2048, 5 * r + WorkWindowRunFrames + 1, 0},
       {90000 - inner + 2048, 5 * r + WorkWindowRunFrames + 1, 5 * r + WorkWindowRunFrames + 1}},
      {"loop to the last frame", capacity, 50000, 100000, 2, {50000 - 3 * r + 2048, 5 * r + WorkWindowRunFrames + 1, 0},
       {100000 - inner + 2048, 5 * r + WorkWindowRunFrames + 1, 5 * r + WorkWindowRunFrames + 1}},
      {"too small for the kernel", LoopWorkDataCapacity(4), 1000, 90000, 0, {}, {}},
      {"no loop", capacity, 1000, 1000, 0, {}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSampleWorkWindow windows[2];
    int32_t count = -1;
    PlaceWorkWindows(c.Capacity < 0 ? total : c.Capacity, total, c.Start, c.End, r, windows, count);
    ASSERT_EQ(count, c.Count);
    const TSampleWorkWindow* expected[] = {&c.First, &c.Second};
    int64_t used = 0;
    for (int32_t w = 0; w < count; ++w) {
      EXPECT_EQ(windows[w].First, expected[w]->First) << w;
      EXPECT_EQ(windows[w].Elements, expected[w]->Elements) << w;
      EXPECT_EQ(windows[w].Offset, expected[w]->Offset) << w;
      used += windows[w].Elements;
    }
    EXPECT_LE(used, c.Capacity < 0 ? total : c.Capacity);
  }
}

// A loaded sample of 400 frames, frame k = k + 1, as Load leaves it, with a
// whole copy as WorkData.
std::unique_ptr<TSample> LoadedSample() {
  auto sample = std::make_unique<TSample>(nullptr);
  sample->Length = 400;
  const size_t elements = 400 + 4096;
  sample->Data = std::make_unique<float[]>(elements);
  for (size_t i = 0; i < elements; ++i) sample->Data[i] = float(std::clamp<int64_t>(int64_t(i) - 2048, 0, 399) + 1);
  sample->WorkData = std::make_unique<float[]>(elements);
  std::copy(sample->Data.get(), sample->Data.get() + elements, sample->WorkData.get());
  sample->Loaded = true;
  return sample;
}

TEST(SampleWorkDataTest, PreparesOnceUnderTheWriteLockPerLoopAndKernel) {
  auto sample = LoadedSample();
  TMultipleReaderSingleWriterLock& lock = sample->MultipleReaderSingleWriterLock;
  const float* work = sample->WorkData.get() + 2048;
  const float* data = sample->Data.get() + 2048;

  lock.AcquireRead();
  ASSERT_TRUE(PrepareSampleWorkData(*sample, ltFORWARD, 150, 250, 8));
  bool otherReader = true;  // another thread cannot read while the loop is written
  std::thread([&] {
    otherReader = lock.TryAcquireRead();
    if (otherReader) lock.ReleaseRead();
  }).join();
  EXPECT_FALSE(otherReader);
  lock.WriteToRead();
  EXPECT_EQ(sample->IndexLookupLoopType, ltFORWARD);
  EXPECT_EQ(sample->IndexLookupLoopStart, 150);
  EXPECT_EQ(sample->IndexLookupLoopEnd, 250);
  EXPECT_EQ(sample->CountWorkWindows, 1);
  EXPECT_EQ(work[149], data[249]);
  EXPECT_EQ(work[251], data[151]);
  // The same loop again: nothing to do, the read lock stays.
  EXPECT_FALSE(PrepareSampleWorkData(*sample, ltFORWARD, 150, 250, 8));

  ASSERT_TRUE(PrepareSampleWorkData(*sample, ltBIDI, 150, 250, 8));
  lock.WriteToRead();
  EXPECT_EQ(work[149], data[151]);
  EXPECT_EQ(work[251], data[249]);
  EXPECT_EQ(work[143], data[143]);  // beyond an 8-point kernel's reach

  // A longer kernel rewrites further out.
  ASSERT_TRUE(PrepareSampleWorkData(*sample, ltBIDI, 150, 250, 64));
  lock.WriteToRead();
  EXPECT_EQ(work[143], data[157]);

  ASSERT_TRUE(PrepareSampleWorkData(*sample, ltNONE, 150, 250, 8));
  lock.WriteToRead();
  EXPECT_EQ(sample->CountWorkWindows, 0);
  int32_t served = 0;
  EXPECT_EQ(LoopReadData(*sample, int64_t{200} << 32, int64_t{1} << 32, 32, 8, served), sample->Data.get());
  lock.ReleaseRead();
}

// A long loop's two windows: runs read the window at their end, Data in the
// loop's middle, and a run striding across the window's edge is served in
// parts that each read one buffer.
TEST(SampleWorkDataTest, LongStridesAreServedInParts) {
  auto sample = std::make_unique<TSample>(nullptr);
  sample->Length = 100000;
  sample->LoopStart = 1000;
  sample->LoopEnd = 90000;
  sample->Data = std::make_unique<float[]>(size_t(sample->BufferElements()));
  sample->AllocateLoopWorkData();
  ASSERT_EQ(sample->WorkDataSize(), LoopWorkDataCapacity(1024));
  sample->Loaded = true;
  sample->MultipleReaderSingleWriterLock.AcquireRead();
  if (PrepareSampleWorkData(*sample, ltFORWARD, 1000, 90000, 64)) sample->MultipleReaderSingleWriterLock.WriteToRead();
  ASSERT_EQ(sample->CountWorkWindows, 2);
  const float* start = sample->WorkWindowBase(0);
  const float* end = sample->WorkWindowBase(1);
  const float* data = sample->Data.get();
  const int64_t one = int64_t{1} << 32;
  struct TCase {
    const char* Name;
    int64_t Position, Increment;
    int32_t Frames;
    const float* Buffer;
    int32_t Served;
  };
  // Reach of 64 points: 34 frames; the start window holds frames 898 .. 1324.
  const TCase cases[] = {
      {"start, slow", 1000 * one, one, 32, start, 32},
      {"middle", 50000 * one, 3 * one, 32, data, 32},
      {"end, backwards", 89990 * one, -one / 2, 32, end, 32},
      {"striding out of the start window", 1000 * one, 100 * one, 32, start, 3},
      {"on from the stride", 1300 * one, 100 * one, 29, data, 29},
      {"striding into the end window", 89500 * one, 120 * one, 5, data, 4},
      {"on into the end window", 89980 * one, 120 * one, 1, end, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    int32_t served = -1;
    EXPECT_EQ(LoopReadData(*sample, c.Position, c.Increment, c.Frames, 64, served), c.Buffer);
    EXPECT_EQ(served, c.Served);
  }
  sample->MultipleReaderSingleWriterLock.ReleaseRead();
}

TEST(SampleWorkDataTest, LoopTypesMapToWrapModes) {
  EXPECT_EQ(LoopWrapModeOf(ltFORWARD), lwmWrap);
  EXPECT_EQ(LoopWrapModeOf(ltBACKWARD), lwmWrap);
  EXPECT_EQ(LoopWrapModeOf(ltBIDI), lwmReflect);
  EXPECT_EQ(LoopWrapModeOf(ltNONE), lwmNone);
  EXPECT_EQ(LoopWrapModeOf(ltUNKNOWN), lwmNone);
}

}  // namespace
}  // namespace kelvane
