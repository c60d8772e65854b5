#include "sync/sync_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "thread_test_helpers.h"

namespace kelvane {
namespace {

using test::SpinUntil;

TEST(TSyncEvent, SignalBeforeWaitIsKeptForOneWaiter) {
  TSyncEvent event;
  EXPECT_FALSE(event.WaitFor(0));
  event.SetEvent();
  event.SetEvent();  // an event already signalled stays signalled once
  EXPECT_TRUE(event.WaitFor(0));
  EXPECT_FALSE(event.WaitFor(0));  // auto-reset

  TSyncEvent initiallySet(true);
  EXPECT_TRUE(initiallySet.WaitFor());
  EXPECT_FALSE(initiallySet.WaitFor(0));

  event.SetEvent();
  event.ResetEvent();
  EXPECT_FALSE(event.WaitFor(0));
}

TEST(TSyncEvent, WaitForTimesOutWhenNotSignalled) {
  TSyncEvent event;
  EXPECT_FALSE(event.WaitFor(50));
  EXPECT_EQ(event.WaitingCount(), 0);
}

// Two threads wait without timeout; each SetEvent lets exactly one through.
TEST(TSyncEvent, OneSetEventReleasesExactlyOneOfTwoWaiters) {
  TSyncEvent event;
  std::atomic<int> passed{0};
  auto waiter = [&] {
    event.WaitFor();
    ++passed;
  };
  std::thread a(waiter), b(waiter);
  ASSERT_TRUE(SpinUntil([&] { return event.WaitingCount() == 2; }));

  event.SetEvent();
  EXPECT_TRUE(SpinUntil([&] { return passed.load() == 1; }));
  // The other one is still blocked, and the signal was used up.
  EXPECT_EQ(event.WaitingCount(), 1);
  EXPECT_EQ(passed.load(), 1);

  event.SetEvent();
  a.join();
  b.join();
  EXPECT_EQ(passed.load(), 2);
  EXPECT_FALSE(event.WaitFor(0));
}

// Two SetEvents in a row, before either released thread has run, must not
// merge into one: both blocked waiters get through.
TEST(TSyncEvent, BackToBackSetEventsReleaseTwoBlockedWaiters) {
  TSyncEvent event;
  std::atomic<int> passed{0};
  auto waiter = [&] {
    if (event.WaitFor(5000)) ++passed;  // the timeout only bounds a failing run
  };
  std::thread a(waiter), b(waiter);
  ASSERT_TRUE(SpinUntil([&] { return event.WaitingCount() == 2; }));
  event.SetEvent();
  event.SetEvent();
  a.join();
  b.join();
  EXPECT_EQ(passed.load(), 2);
  EXPECT_FALSE(event.WaitFor(0));  // nothing left over
}

// Two threads hand a token back and forth; a lost SetEvent stalls the game.
TEST(TSyncEvent, PingPongLosesNoSignal) {
  TSyncEvent ping, pong;
  constexpr int kRounds = 2000;
  int volleys = 0;  // plain: handed over by the events alone
  std::thread partner([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (!ping.WaitFor(5000)) return;
      ++volleys;
      pong.SetEvent();
    }
  });
  int returned = 0;
  for (int i = 0; i < kRounds; ++i) {
    ping.SetEvent();
    if (!pong.WaitFor(5000)) break;
    ++returned;
  }
  partner.join();
  EXPECT_EQ(returned, kRounds);
  EXPECT_EQ(volleys, kRounds);
}

}  // namespace
}  // namespace kelvane
