#include "sync/inverted_semaphore.h"

#include <chrono>

namespace kelvane {

TInvertedSemaphore::TInvertedSemaphore(int32_t initialCount, int32_t maximumCount)
    : fCount(initialCount < 0 ? 0 : initialCount), fMaximum(maximumCount) {
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
  bool reachedZero = false;
  {
    std::lock_guard<std::mutex> guard(fMutex);
    if (fCount > 0) {
      --fCount;
      reachedZero = fCount == 0;
    }
  }
  if (reachedZero) fZero.notify_all();
}

bool TInvertedSemaphore::Wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(fMutex);
  // Each wake-up that still finds work left restarts the timeout: progress by
  // the workers keeps the waiter patient.
  while (fCount > 0) {
    if (fZero.wait_for(lock, std::chrono::milliseconds(timeoutMs)) == std::cv_status::timeout && fCount > 0) {
      return false;
    }
  }
  return true;
}

int32_t TInvertedSemaphore::Count() {
  std::lock_guard<std::mutex> guard(fMutex);
  return fCount;
}

}  // namespace kelvane
