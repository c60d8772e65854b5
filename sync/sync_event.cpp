#include "sync/sync_event.h"

#include <chrono>

namespace kelvane {

void TSyncEvent::SetEvent() {
  std::lock_guard<std::mutex> guard(fMutex);
  if (fWaiting > fWakeUps) {
    ++fWakeUps;
    // Under the mutex: the released thread may destroy the event as soon as it runs.
    fCondition.notify_one();
  } else {
    fSignalled = true;
  }
}

void TSyncEvent::ResetEvent() {
  std::lock_guard<std::mutex> guard(fMutex);
  fSignalled = false;
}

bool TSyncEvent::WaitFor(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(fMutex);
  if (fSignalled) {
    fSignalled = false;  // auto-reset: exactly one thread passes per SetEvent
    return true;
  }
  if (timeoutMs == 0) return false;
  ++fWaiting;
  const auto released = [this] { return fWakeUps > 0; };
  bool passed = true;
  if (timeoutMs == INFINITE_WAIT) {
    fCondition.wait(lock, released);
  } else {
    // Also true when a release arrived together with the timeout: taking it
    // keeps fWakeUps <= fWaiting.
    passed = fCondition.wait_for(lock, std::chrono::milliseconds(timeoutMs), released);
  }
  --fWaiting;
  if (passed) --fWakeUps;
  return passed;
}

int32_t TSyncEvent::WaitingCount() {
  std::lock_guard<std::mutex> guard(fMutex);
  return fWaiting - fWakeUps;
}

}  // namespace kelvane
