#include "sync/thread_base.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "thread_test_helpers.h"

namespace kelvane {
namespace {

using test::SpinUntil;

// Runs the given body as Execute; follows the rule for derived classes
// (Start last in the constructor, Terminate + WaitFor first in the destructor).
class TProbeThread : public TThreadBase {
 public:
  explicit TProbeThread(std::function<void(TProbeThread&)> body) : fBody(std::move(body)) { Start(); }
  ~TProbeThread() override {
    Terminate();
    WaitFor();
  }
  using TThreadBase::Terminated;

 protected:
  void Execute() override { fBody(*this); }

 private:
  std::function<void(TProbeThread&)> fBody;
};

TEST(TThreadBase, ExecuteRunsOnItsOwnThreadAndWaitForJoins) {
  std::thread::id executedOn;
  int result = 0;  // plain: visible after WaitFor only through the join
  TProbeThread thread([&](TProbeThread&) {
    executedOn = std::this_thread::get_id();
    result = 42;
  });
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  EXPECT_NE(executedOn, std::this_thread::get_id());
  EXPECT_NE(executedOn, std::thread::id());
  EXPECT_EQ(result, 42);
  EXPECT_EQ(thread.FatalException(), nullptr);
  thread.WaitFor();  // a second join is harmless
}

TEST(TThreadBase, TerminateSetsTheFlagTheLoopWatches) {
  std::atomic<bool> running{false};
  TProbeThread thread([&](TProbeThread& self) {
    while (!self.Terminated()) {
      running = true;
      std::this_thread::yield();
    }
  });
  ASSERT_TRUE(SpinUntil([&] { return running.load(); }));
  // The loop cannot end before Terminate, so these hold at any speed.
  EXPECT_FALSE(thread.Terminated());
  EXPECT_FALSE(thread.Finished());
  thread.Terminate();
  EXPECT_TRUE(thread.Terminated());
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
}

TEST(TThreadBase, DestructorStopsARunningThread) {
  std::atomic<bool> running{false}, left{false};
  {
    TProbeThread thread([&](TProbeThread& self) {
      while (!self.Terminated()) {
        running = true;
        std::this_thread::yield();
      }
      left = true;
    });
    ASSERT_TRUE(SpinUntil([&] { return running.load(); }));
  }
  EXPECT_TRUE(left.load());
}

// An exception leaving Execute is kept for the owner; the process (this test)
// goes on.
TEST(TThreadBase, ExceptionFromExecuteIsCapturedNotFatal) {
  TProbeThread thread([](TProbeThread&) { throw std::runtime_error("render failed"); });
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  const std::exception_ptr error = thread.FatalException();
  ASSERT_NE(error, nullptr);
  try {
    std::rethrow_exception(error);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "render failed");
  } catch (...) {
    ADD_FAILURE() << "unexpected exception type";
  }
}

TEST(TThreadBase, FinishedIsSeenWithoutJoining) {
  TProbeThread thread([](TProbeThread&) { throw 7; });
  ASSERT_TRUE(SpinUntil([&] { return thread.Finished(); }));
  // Finished publishes the captured exception.
  EXPECT_NE(thread.FatalException(), nullptr);
}

}  // namespace
}  // namespace kelvane
