#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kelvane {

// Auto-reset event: SetEvent releases one waiter (or the next one to wait).
// Each SetEvent made while threads are blocked releases one more of them, so
// two quick SetEvents with two blocked waiters release both.
class TSyncEvent {
 public:
  static constexpr uint32_t INFINITE_WAIT = 0xFFFFFFFFu;

  explicit TSyncEvent(bool initiallySignalled = false) : fSignalled(initiallySignalled) {}

  void SetEvent();
  void ResetEvent();
  // Returns true when the event was signalled (and resets it), false on timeout.
  bool WaitFor(uint32_t timeoutMs = INFINITE_WAIT);
  // Threads blocked in WaitFor right now (diagnostics and tests).
  int32_t WaitingCount();

 private:
  std::mutex fMutex;
  std::condition_variable fCondition;
  bool fSignalled;
  int32_t fWaiting = 0;  // threads blocked in WaitFor
  int32_t fWakeUps = 0;  // releases handed to blocked threads, not yet taken; never above fWaiting
};

}  // namespace kelvane
