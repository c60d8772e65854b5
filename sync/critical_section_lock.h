#pragma once

#include <mutex>

namespace kelvane {

// Recursive lock: the thread that holds it may take it again.
class TCriticalSectionLock {
 public:
  void Acquire() { fMutex.lock(); }
  bool TryAcquire() { return fMutex.try_lock(); }
  void Release() { fMutex.unlock(); }

  void lock() { Acquire(); }
  void unlock() { Release(); }
  bool try_lock() { return TryAcquire(); }

 private:
  std::recursive_mutex fMutex;
};

}  // namespace kelvane
