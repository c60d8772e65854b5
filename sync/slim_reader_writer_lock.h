#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace kelvane {

// A light mutual-exclusion lock (render threads merge their mixes under it).
// Held for microseconds at a time: a waiter spins a little before it sleeps.
// TryAcquire and Release are sequentially consistent, so that a thread that
// publishes work and then fails TryAcquire can rely on the holder looking for
// that work after its Release.
class TSlimReaderWriterLock {
 public:
  void Acquire() {
    for (int32_t spins = 0; !TryAcquire(); spins++) {
      if (spins < SpinLimit) {
        Pause();
        continue;
      }
      fWaiters.fetch_add(1);
      // Announced before the last look, so a Release either sees the waiter
      // or happens before that look.
      if (fLocked.load()) fLocked.wait(true);
      fWaiters.fetch_sub(1);
    }
  }
  bool TryAcquire() { return !fLocked.load() && !fLocked.exchange(true); }
  void Release() {
    fLocked.store(false);
    if (fWaiters.load() != 0) fLocked.notify_one();
  }

  // BasicLockable, so std::lock_guard and std::scoped_lock work with it.
  void lock() { Acquire(); }
  void unlock() { Release(); }

 private:
  static constexpr int32_t SpinLimit = 4000;
  static void Pause() {
#if defined(__SSE2__) || defined(_M_X64)
    _mm_pause();
#else
    std::this_thread::yield();
#endif
  }

  std::atomic<bool> fLocked{false};
  std::atomic<int32_t> fWaiters{0};
};

}  // namespace kelvane
