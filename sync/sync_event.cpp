#include "sync/sync_event.h"

#include <chrono>

namespace kelvane {

void TSyncEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> guard(fMutex);
    fSignalled = true;
  }
  fCondition.notify_one();
}

void TSyncEvent::ResetEvent() {
  std::lock_guard<std::mutex> guard(fMutex);
  fSignalled = false;
}

bool TSyncEvent::WaitFor(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(fMutex);
  if (timeoutMs == INFINITE_WAIT) {
    fCondition.wait(lock, [this] { return fSignalled; });
  } else if (!fCondition.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return fSignalled; })) {
    return false;
  }
  fSignalled = false;  // auto-reset: exactly one waiter passes per SetEvent
  return true;
}

}  // namespace kelvane
