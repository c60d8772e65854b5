#pragma once

#include <atomic>
#include <exception>
#include <thread>

namespace kelvane {

// A thread object whose Execute runs on its own system thread. Derived classes
// call Start() at the end of their constructor (once their members exist) and
// Terminate()+WaitFor() in their destructor before their members go away.
class TThreadBase {
 public:
  TThreadBase() = default;
  virtual ~TThreadBase();
  TThreadBase(const TThreadBase&) = delete;
  TThreadBase& operator=(const TThreadBase&) = delete;

  void Start();
  void Terminate() { fTerminated.store(true, std::memory_order_release); }
  bool Terminated() const { return fTerminated.load(std::memory_order_acquire); }
  void WaitFor();  // join; safe to call more than once
  bool Finished() const { return fFinished.load(std::memory_order_acquire); }
  // The exception that ended Execute, if any (available once Finished).
  std::exception_ptr FatalException() const { return fFatalException; }

 protected:
  virtual void Execute() = 0;

 private:
  void Run();

  std::thread fThread;
  std::atomic<bool> fTerminated{false};
  std::atomic<bool> fFinished{false};
  std::exception_ptr fFatalException;
};

}  // namespace kelvane
