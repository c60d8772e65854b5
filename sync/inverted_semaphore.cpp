#include "sync/inverted_semaphore.h"

#include <algorithm>

namespace kelvane {

TInvertedSemaphore::TInvertedSemaphore(int32_t initialCount, int32_t maximumCount)
    : fCount(initialCount < 0 ? 0 : initialCount), fMaximum(maximumCount < 0 ? 0 : maximumCount) {
  if (fCount > fMaximum) fCount = fMaximum;
}

void TInvertedSemaphore::Acquire(int32_t count) {
  std::lock_guard<std::mutex> guard(fMutex);
  if (count <= 0) return;
  if (count > fMaximum - fCount) {
    fCount = fMaximum;
  } else {
    fCount += count;
  }
}

void TInvertedSemaphore::Release() {
  std::lock_guard<std::mutex> guard(fMutex);
  if (fCount == 0) return;
  --fCount;
  fLastRelease = TClock::now();
  // Notify while holding the mutex: a waiter that sees 0 may destroy the
  // semaphore as soon as it can lock, and must not find us still inside it.
  if (fCount == 0) fZero.notify_all();
}

bool TInvertedSemaphore::Wait(uint32_t timeoutMs) {
  const auto timeout = std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(fMutex);
  const auto start = TClock::now();
  while (fCount > 0) {
    // The timeout counts from the later of the start of this wait and the
    // last progress. Equivalent to waking on every Release and restarting
    // the timeout, without waking the waiter once per finished unit.
    const auto deadline = std::max(start, fLastRelease) + timeout;
    if (TClock::now() >= deadline) return false;
    fZero.wait_until(lock, deadline);
  }
  return true;
}

int32_t TInvertedSemaphore::Count() {
  std::lock_guard<std::mutex> guard(fMutex);
  return fCount;
}

}  // namespace kelvane
