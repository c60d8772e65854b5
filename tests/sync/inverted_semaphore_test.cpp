#include "sync/inverted_semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "thread_test_helpers.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using test::SpinUntil;

constexpr int32_t kMaximum = 2147483647;
constexpr uint32_t kLongTimeoutMs = 10000;  // the render path's value; only a guard here

TEST(TInvertedSemaphore, StartsAtZeroSoWaitSucceedsAtOnce) {
  TInvertedSemaphore semaphore;
  EXPECT_EQ(semaphore.Count(), 0);
  EXPECT_TRUE(semaphore.Wait(0));
}

TEST(TInvertedSemaphore, ReleasesFromWorkersWakeEveryWaiter) {
  TInvertedSemaphore semaphore;
  constexpr int kWorkers = 8, kWaiters = 3;
  semaphore.Acquire(kWorkers);

  std::atomic<int> results{0}, successes{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (semaphore.Wait(kLongTimeoutMs)) ++successes;
      ++results;
    });
  }
  std::atomic<bool> go{false};
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&] {
      SpinUntil([&] { return go.load(); });
      semaphore.Release();
    });
  }
  // Nobody passes while work is left.
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(results.load(), 0);
  go = true;
  for (auto& t : workers) t.join();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(successes.load(), kWaiters);
  EXPECT_EQ(semaphore.Count(), 0);
}

TEST(TInvertedSemaphore, ReleaseNeverGoesBelowZero) {
  TInvertedSemaphore semaphore;
  semaphore.Release();
  EXPECT_EQ(semaphore.Count(), 0);
  semaphore.Acquire(2);
  for (int i = 0; i < 3; ++i) semaphore.Release();
  EXPECT_EQ(semaphore.Count(), 0);
  // A count that had gone to -1 would read 0 here and let Wait pass.
  semaphore.Acquire(1);
  EXPECT_EQ(semaphore.Count(), 1);
  EXPECT_FALSE(semaphore.Wait(0));
}

struct TAcquireCase {
  const char* name;
  int32_t initial;
  int32_t maximum;
  std::vector<int32_t> acquires;
  int32_t expected;
};

void PrintTo(const TAcquireCase& c, std::ostream* os) { *os << c.name; }

class TInvertedSemaphoreAcquire : public ::testing::TestWithParam<TAcquireCase> {};

TEST_P(TInvertedSemaphoreAcquire, AddsUpToTheMaximum) {
  const auto& c = GetParam();
  TInvertedSemaphore semaphore(c.initial, c.maximum);
  for (int32_t n : c.acquires) semaphore.Acquire(n);
  EXPECT_EQ(semaphore.Count(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TInvertedSemaphoreAcquire,
    ::testing::Values(TAcquireCase{"Adds", 0, kMaximum, {3, 4}, 7},
                      TAcquireCase{"SaturatesAtSmallMaximum", 0, 10, {7, 7}, 10},
                      TAcquireCase{"ReachesMaximumExactly", 0, 10, {4, 6}, 10},
                      TAcquireCase{"SaturatesWithoutOverflow", 0, kMaximum, {kMaximum, 5}, kMaximum},
                      TAcquireCase{"SaturatesFromOneBelow", 0, kMaximum, {kMaximum - 1, kMaximum}, kMaximum},
                      TAcquireCase{"InitialCountCounts", 5, kMaximum, {1}, 6},
                      TAcquireCase{"InitialCountClampedToMaximum", 20, 10, {}, 10},
                      TAcquireCase{"ZeroAndNegativeAddNothing", 2, kMaximum, {0, -3}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TInvertedSemaphore, SaturatedCountFallsToZeroAfterMaximumReleases) {
  TInvertedSemaphore semaphore(0, 10);
  semaphore.Acquire(25);
  for (int i = 0; i < 9; ++i) semaphore.Release();
  EXPECT_FALSE(semaphore.Wait(0));
  semaphore.Release();
  EXPECT_TRUE(semaphore.Wait(0));
}

TEST(TInvertedSemaphore, WaitTimesOutWhileWorkRemains) {
  TInvertedSemaphore semaphore;
  semaphore.Acquire(1);
  EXPECT_FALSE(semaphore.Wait(50));
  EXPECT_FALSE(semaphore.Wait(0));
  EXPECT_EQ(semaphore.Count(), 1);
}

// Progress keeps the waiter patient: the whole wait lasts several timeout
// periods, but no gap between two Releases comes near one. The pacing sleeps
// only spread the releases; the assertion is on Wait's result.
enum class TProgress { Countdown, ReacquireThenRelease };

const char* ProgressName(TProgress p) { return p == TProgress::Countdown ? "Countdown" : "ReacquireThenRelease"; }
void PrintTo(TProgress p, std::ostream* os) { *os << ProgressName(p); }

class TInvertedSemaphoreProgress : public ::testing::TestWithParam<TProgress> {};

TEST_P(TInvertedSemaphoreProgress, EachReleaseRestartsTheTimeout) {
  constexpr uint32_t kTimeoutMs = 100;
  constexpr int kSteps = 60;  // >= 60 x 5 ms = 3 timeout periods in all
  TInvertedSemaphore semaphore;
  semaphore.Acquire(GetParam() == TProgress::Countdown ? kSteps : 1);
  std::atomic<bool> waiting{false};
  std::thread worker([&] {
    SpinUntil([&] { return waiting.load(); });
    for (int i = 0; i < kSteps; ++i) {
      std::this_thread::sleep_for(5ms);
      // Re-acquire before releasing so the count never reaches 0 early.
      if (GetParam() == TProgress::ReacquireThenRelease && i + 1 < kSteps) semaphore.Acquire(1);
      semaphore.Release();
    }
  });
  waiting = true;
  EXPECT_TRUE(semaphore.Wait(kTimeoutMs));
  worker.join();
  EXPECT_EQ(semaphore.Count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Patterns, TInvertedSemaphoreProgress,
                         ::testing::Values(TProgress::Countdown, TProgress::ReacquireThenRelease),
                         [](const auto& info) { return std::string(ProgressName(info.param)); });

// Restarting is not waiting forever: once progress stops with work left,
// the wait still ends in a timeout.
TEST(TInvertedSemaphore, WaitTimesOutOnceProgressStops) {
  TInvertedSemaphore semaphore;
  semaphore.Acquire(4);
  std::atomic<bool> waiting{false};
  std::thread worker([&] {
    SpinUntil([&] { return waiting.load(); });
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(5ms);
      semaphore.Release();
    }
  });
  waiting = true;
  EXPECT_FALSE(semaphore.Wait(50));
  worker.join();
  EXPECT_EQ(semaphore.Count(), 1);
}

}  // namespace
}  // namespace kelvane
