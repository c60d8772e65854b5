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

// A sample whose frame k holds k + 1, with its WorkData copy.
class LoopWorkDataTest : public ::testing::Test {
 protected:
  static constexpr int32_t Length = 400;
  LoopWorkDataTest()
      : data(Length, [](int32_t k) { return float(k + 1); }), work(data) {}

  float Work(int32_t k) const { return work.Frame(k); }
  void Prepare(TLoopWrapMode mode, int32_t start, int32_t end, int32_t points) {
    PrepareLoopWorkData(data.Data(), work.Data(), Length, mode, start, end, points, mods, count);
  }
  bool WorkEqualsData() const {
    for (int32_t k = -2048; k < Length + 2048; ++k) {
      if (work.Frame(k) != data.Frame(k)) return false;
    }
    return true;
  }

  TGuardedFrames data;
  TGuardedFrames work;
  TWorkDataRange mods[MaxWorkDataModifications];
  int32_t count = 0;
};

TEST_F(LoopWorkDataTest, ForwardLoopOf100FramesWith8PointSinc) {
  const int32_t s = 150, e = 250;
  Prepare(lwmWrap, s, e, 8);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(mods[0].From, s - 9);
  EXPECT_EQ(mods[0].To_, s);
  EXPECT_EQ(mods[1].From, e);
  EXPECT_EQ(mods[1].To_, e + 9);
  // Before the start: the frames before the end; from the end on: those from the start on.
  for (int32_t j = 1; j <= 9; ++j) EXPECT_EQ(Work(s - j), data.Frame(e - j)) << j;
  EXPECT_EQ(Work(s), data.Frame(s));
  for (int32_t j = 0; j <= 9; ++j) EXPECT_EQ(Work(e + j), data.Frame(s + j)) << j;
  // Outside the ranges nothing changes.
  EXPECT_EQ(Work(s - 10), data.Frame(s - 10));
  EXPECT_EQ(Work(e + 10), data.Frame(e + 10));
  EXPECT_EQ(Work(200), data.Frame(200));
}

TEST_F(LoopWorkDataTest, PingPongLoopReflectsAtBothEnds) {
  const int32_t s = 150, e = 250;
  Prepare(lwmReflect, s, e, 4);
  ASSERT_EQ(count, 2);
  for (int32_t j = 0; j <= 5; ++j) {
    EXPECT_EQ(Work(s - j), data.Frame(s + j)) << j;
    EXPECT_EQ(Work(e + j), data.Frame(e - j)) << j;
  }
}

TEST_F(LoopWorkDataTest, KernelsLongerThanTheLoopWrapRepeatedly) {
  // 10-frame loop, 32-point kernel: reads reach three loop lengths away.
  const int32_t s = 200, e = 210;
  Prepare(lwmWrap, s, e, 32);
  for (int32_t d = s - 33; d < s; ++d) EXPECT_EQ(Work(d), data.Frame(s + ((d - s) % 10 + 10) % 10)) << d;
  for (int32_t d = e; d <= e + 33; ++d) EXPECT_EQ(Work(d), data.Frame(s + (d - s) % 10)) << d;
  Prepare(lwmReflect, s, e, 32);
  // Mirrored with a period of two loop lengths: 211 -> 209, 221 -> 201, 230 -> 210.
  EXPECT_EQ(Work(211), data.Frame(209));
  EXPECT_EQ(Work(221), data.Frame(201));
  EXPECT_EQ(Work(230), data.Frame(210));
  EXPECT_EQ(Work(188), data.Frame(208));
}

TEST_F(LoopWorkDataTest, LoopAtTheSampleStartReachesIntoTheGuardFrames) {
  Prepare(lwmWrap, 0, 50, 16);
  EXPECT_EQ(mods[0].From, -17);
  for (int32_t j = 1; j <= 17; ++j) EXPECT_EQ(Work(-j), data.Frame(50 - j)) << j;
}

TEST_F(LoopWorkDataTest, NewLoopRestoresThePreviousRanges) {
  Prepare(lwmWrap, 100, 200, 8);
  Prepare(lwmReflect, 300, 350, 2);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(mods[0].From, 297);
  for (int32_t d = 91; d <= 209; ++d) EXPECT_EQ(Work(d), data.Frame(d)) << d;
  Prepare(lwmNone, 300, 350, 2);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(WorkEqualsData());
}

TEST_F(LoopWorkDataTest, RangesStayInsideTheGuardedBuffer) {
  // A loop end at the last frame with a long kernel and a degenerate loop.
  Prepare(lwmWrap, 300, Length, 1024);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(mods[1].To_, Length + 1025);
  EXPECT_EQ(Work(Length + 1025), data.Frame(300 + 1025 % 100));
  Prepare(lwmWrap, 300, 300, 8);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(WorkEqualsData());
}

}  // namespace
}  // namespace kelvane

namespace kelvane {
namespace {

// A loaded sample of 400 frames, frame k = k + 1, as Load leaves it.
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

TEST(SampleWorkDataTest, PreparesOnceUnderTheWriteLockPerLoop) {
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
  EXPECT_EQ(sample->CountWorkDataModifications, 2);
  EXPECT_EQ(work[149], data[249]);
  EXPECT_EQ(work[251], data[151]);
  // The same loop again: nothing to do, the read lock stays.
  EXPECT_FALSE(PrepareSampleWorkData(*sample, ltFORWARD, 150, 250, 8));

  ASSERT_TRUE(PrepareSampleWorkData(*sample, ltBIDI, 150, 250, 8));
  lock.WriteToRead();
  EXPECT_EQ(work[149], data[151]);
  EXPECT_EQ(work[251], data[249]);

  ASSERT_TRUE(PrepareSampleWorkData(*sample, ltNONE, 150, 250, 8));
  lock.WriteToRead();
  EXPECT_EQ(sample->CountWorkDataModifications, 0);
  EXPECT_EQ(work[149], data[149]);
  EXPECT_EQ(work[251], data[251]);
  lock.ReleaseRead();
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
