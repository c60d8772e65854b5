#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "sync/critical_section_lock.h"
#include "sync/slim_reader_writer_lock.h"
#include "thread_test_helpers.h"

namespace kelvane {
namespace {

using test::OnOtherThread;

template <class TLock>
class MutualExclusionLock : public ::testing::Test {};

using MutualExclusionLocks = ::testing::Types<TSlimReaderWriterLock, TCriticalSectionLock>;
TYPED_TEST_SUITE(MutualExclusionLock, MutualExclusionLocks);

TYPED_TEST(MutualExclusionLock, HeldLockRefusesOtherThreads) {
  TypeParam lock;
  lock.Acquire();
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryAcquire(); }));
  lock.Release();
  EXPECT_TRUE(OnOtherThread([&] {
    if (!lock.TryAcquire()) return false;
    lock.Release();
    return true;
  }));
}

// Read-modify-write split by a yield: without exclusion increments get lost
// (and TSan reports the plain counter).
TYPED_TEST(MutualExclusionLock, OneHolderAtATimeUnderContention) {
  TypeParam lock;
  constexpr int kThreads = 4, kRounds = 5000;
  long counter = 0;
  std::atomic<int> inside{0};
  std::atomic<int> violations{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard<TypeParam> guard(lock);
        if (inside.fetch_add(1) != 0) ++violations;
        const long value = counter;
        if (i % 64 == 0) std::this_thread::yield();
        counter = value + 1;
        inside.fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(counter, long{kThreads} * kRounds);
}

TEST(TCriticalSectionLock, SameThreadReentersAndHoldsUntilLastRelease) {
  TCriticalSectionLock lock;
  constexpr int kDepth = 3;
  for (int i = 0; i < kDepth; ++i) lock.Acquire();
  EXPECT_TRUE(lock.TryAcquire());  // re-entry through TryAcquire too
  lock.Release();
  for (int i = 0; i < kDepth - 1; ++i) {
    lock.Release();
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryAcquire(); })) << "released " << i + 1 << " of " << kDepth;
  }
  lock.Release();
  EXPECT_TRUE(OnOtherThread([&] {
    if (!lock.TryAcquire()) return false;
    lock.Release();
    return true;
  }));
}

// Nested holds under contention, the way the dispatcher re-enters the lock
// from a callback while it already holds it.
TEST(TCriticalSectionLock, NestedHoldsStillExcludeOtherThreads) {
  TCriticalSectionLock lock;
  constexpr int kThreads = 3, kRounds = 3000;
  long counter = 0;
  std::atomic<int> owners{0};
  std::atomic<int> violations{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard<TCriticalSectionLock> outer(lock);
        if (owners.fetch_add(1) != 0) ++violations;
        {
          std::lock_guard<TCriticalSectionLock> inner(lock);
          ++counter;
        }
        const long value = counter;  // still held by the outer guard
        if (i % 64 == 0) std::this_thread::yield();
        if (counter != value) ++violations;
        owners.fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(counter, long{kThreads} * kRounds);
}

}  // namespace
}  // namespace kelvane
