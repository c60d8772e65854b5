#pragma once

#include <mutex>

namespace kelvane {

// A light mutual-exclusion lock (render threads merge their mixes under it).
class TSlimReaderWriterLock {
 public:
  void Acquire() { fMutex.lock(); }
  bool TryAcquire() { return fMutex.try_lock(); }
  void Release() { fMutex.unlock(); }

  // BasicLockable, so std::lock_guard and std::scoped_lock work with it.
  void lock() { Acquire(); }
  void unlock() { Release(); }

 private:
  std::mutex fMutex;
};

}  // namespace kelvane
