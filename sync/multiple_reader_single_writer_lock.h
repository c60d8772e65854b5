#pragma once

#include <shared_mutex>

namespace kelvane {

// Shared/exclusive lock. ReadToWrite and WriteToRead are not atomic: other
// holders may take the lock in between.
class TMultipleReaderSingleWriterLock {
 public:
  void AcquireRead() { fMutex.lock_shared(); }
  bool TryAcquireRead() { return fMutex.try_lock_shared(); }
  void ReleaseRead() { fMutex.unlock_shared(); }
  void AcquireWrite() { fMutex.lock(); }
  bool TryAcquireWrite() { return fMutex.try_lock(); }
  void ReleaseWrite() { fMutex.unlock(); }
  void ReadToWrite() {
    fMutex.unlock_shared();
    fMutex.lock();
  }
  void WriteToRead() {
    fMutex.unlock();
    fMutex.lock_shared();
  }

 private:
  std::shared_mutex fMutex;
};

// RAII holds for the scopes that take the lock for a whole block.
class TReadLockGuard {
 public:
  explicit TReadLockGuard(TMultipleReaderSingleWriterLock& lock) : fLock(lock) { fLock.AcquireRead(); }
  ~TReadLockGuard() { fLock.ReleaseRead(); }
  TReadLockGuard(const TReadLockGuard&) = delete;
  TReadLockGuard& operator=(const TReadLockGuard&) = delete;

 private:
  TMultipleReaderSingleWriterLock& fLock;
};

class TWriteLockGuard {
 public:
  explicit TWriteLockGuard(TMultipleReaderSingleWriterLock& lock) : fLock(lock) { fLock.AcquireWrite(); }
  ~TWriteLockGuard() { fLock.ReleaseWrite(); }
  TWriteLockGuard(const TWriteLockGuard&) = delete;
  TWriteLockGuard& operator=(const TWriteLockGuard&) = delete;

 private:
  TMultipleReaderSingleWriterLock& fLock;
};

}  // namespace kelvane
