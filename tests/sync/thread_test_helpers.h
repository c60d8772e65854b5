#pragma once

#include <chrono>
#include <thread>
#include <type_traits>

namespace kelvane::test {

// Yields until pred() holds; false if it still does not after the limit, so a
// broken primitive fails the test instead of hanging it. The limit is a guard,
// never a measurement.
template <class TPredicate>
bool SpinUntil(TPredicate pred, std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Runs f on a fresh thread and returns its result (for Try* calls that must
// come from a thread other than the holder).
template <class TFunction>
auto OnOtherThread(TFunction f) {
  std::invoke_result_t<TFunction> result{};
  std::thread thread([&] { result = f(); });
  thread.join();
  return result;
}

}  // namespace kelvane::test
