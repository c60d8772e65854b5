#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "synth/resampling_tables.h"

namespace kelvane::test {

// Sample frames with 2048 guard frames on each side holding the first and last
// frame, as a loaded sample keeps them.
class TGuardedFrames {
 public:
  static constexpr int32_t Guard = 2048;

  explicit TGuardedFrames(const std::vector<float>& frames) : fElements(frames.size() + 2 * Guard) {
    for (size_t k = 0; k < frames.size(); ++k) fElements[k + Guard] = frames[k];
    for (int32_t g = 0; g < Guard; ++g) {
      fElements[size_t(g)] = frames.front();
      fElements[frames.size() + Guard + size_t(g)] = frames.back();
    }
  }
  TGuardedFrames(int32_t length, const std::function<float(int32_t)>& frame)
      : TGuardedFrames(Frames(length, frame)) {}

  const float* Data() const { return fElements.data(); }
  float* Data() { return fElements.data(); }
  float Frame(int64_t k) const { return fElements[size_t(k + Guard)]; }
  int32_t Length() const { return int32_t(fElements.size()) - 2 * Guard; }

 private:
  static std::vector<float> Frames(int32_t length, const std::function<float(int32_t)>& frame) {
    std::vector<float> f(static_cast<size_t>(length));
    for (int32_t k = 0; k < length; ++k) f[size_t(k)] = frame(k);
    return f;
  }
  std::vector<float> fElements;
};

// Holds a use of the shared tables of some methods for a test's duration.
class TResamplingTableUse {
 public:
  explicit TResamplingTableUse(std::initializer_list<int32_t> methods) : fMethods(methods) {
    for (int32_t m : fMethods) AcquireResamplingTables(m);
  }
  ~TResamplingTableUse() {
    for (int32_t m : fMethods) ReleaseResamplingTables(m);
  }
  TResamplingTableUse(const TResamplingTableUse&) = delete;
  TResamplingTableUse& operator=(const TResamplingTableUse&) = delete;

 private:
  std::vector<int32_t> fMethods;
};

// 32.32 fixed point of a frame position.
inline int64_t Fixed(double frames) { return int64_t(frames * 4294967296.0); }

}  // namespace kelvane::test
