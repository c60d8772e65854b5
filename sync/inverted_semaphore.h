#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kelvane {

// A counter that waiters watch fall to zero: Acquire(n) adds work, Release()
// marks one unit done, Wait blocks until nothing is left.
class TInvertedSemaphore {
 public:
  TInvertedSemaphore(int32_t initialCount = 0, int32_t maximumCount = 2147483647);

  void Acquire(int32_t count = 1);  // adds count, saturating at the maximum
  void Release();                   // subtracts 1, never below 0; wakes all waiters at 0
  // Blocks until the count is 0. Every Release that finds work left counts as
  // progress and restarts the timeout, so Wait gives up only after timeoutMs
  // without any progress. Returns true on success, false on timeout.
  bool Wait(uint32_t timeoutMs);
  int32_t Count();

 private:
  using TClock = std::chrono::steady_clock;

  std::mutex fMutex;
  std::condition_variable fZero;
  int32_t fCount;
  int32_t fMaximum;
  TClock::time_point fLastRelease{};  // time of the last Release that lowered the count
};

}  // namespace kelvane
