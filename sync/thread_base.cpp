#include "sync/thread_base.h"

namespace kelvane {

TThreadBase::~TThreadBase() {
  Terminate();
  WaitFor();
}

void TThreadBase::Start() {
  if (!fThread.joinable()) fThread = std::thread(&TThreadBase::Run, this);
}

void TThreadBase::WaitFor() {
  if (fThread.joinable() && fThread.get_id() != std::this_thread::get_id()) fThread.join();
}

void TThreadBase::Run() {
  // An exception must not reach std::thread (that would terminate the process):
  // keep it for the owner, which decides how to report it.
  try {
    Execute();
  } catch (...) {
    fFatalException = std::current_exception();
  }
  fFinished.store(true, std::memory_order_release);
}

}  // namespace kelvane
