#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kelvane {

// Auto-reset event: SetEvent releases one waiter (or the next one to wait).
class TSyncEvent {
 public:
  static constexpr uint32_t INFINITE_WAIT = 0xFFFFFFFFu;

  explicit TSyncEvent(bool initiallySignalled = false) : fSignalled(initiallySignalled) {}

  void SetEvent();
  void ResetEvent();
  // Returns true when the event was signalled (and resets it), false on timeout.
  bool WaitFor(uint32_t timeoutMs = INFINITE_WAIT);

 private:
  std::mutex fMutex;
  std::condition_variable fCondition;
  bool fSignalled;
};

}  // namespace kelvane
