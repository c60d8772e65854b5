#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace kelvane {

// 10^(dB/20), written as e^(dB * ln(10)/20).
inline double dBToLinear(double dB) { return std::exp(dB * 0.11512925464970229); }

inline constexpr int32_t ClipInt(int32_t Value, int32_t Min, int32_t Max) {
  return Value < Min ? Min : (Value > Max ? Max : Value);
}

// Arithmetic shift right of a signed 32-bit value (rounds towards minus infinity).
inline constexpr int32_t SARLongint(int32_t Value, int32_t Shift) {
  // C++20 defines >> on negative values as arithmetic; shifts beyond 31 give 0 or -1.
  return Value >> ClipInt(Shift, 0, 31);
}

// Smallest power of two >= n; 0 yields 0.
inline constexpr uint64_t RoundUpToPowerOfTwoSizeUInt(uint64_t n) {
  n--;
  n |= n >> 1;
  n |= n >> 2;
  n |= n >> 4;
  n |= n >> 8;
  n |= n >> 16;
  n |= n >> 32;
  return n + 1;
}

// frac(Phase + Increment) for a phase in [0, 1); the usual step stays below 1
// or just passes it, where x - 0 and x - 1 are what x - floor(x) gives.
inline double StepPhase(double Phase, double Increment) {
  const double x = Phase + Increment;
  if (x >= 0.0 && x < 1.0) return x - 0.0;
  if (x >= 1.0 && x < 2.0) return x - 1.0;
  return x - std::floor(x);
}

// The last result of a pure function of one double, reused while the argument
// stays the same bit for bit (held notes recompute the same gains and pitches
// at every modulation step). Starts empty.
struct TDoubleMemo {
  uint64_t Argument = ~uint64_t{0};  // a NaN no computation stores
  double Result = 0.0;

  template <typename F>
  double operator()(double X, F Function) {
    const uint64_t bits = std::bit_cast<uint64_t>(X);
    if (bits != Argument) {
      Result = Function(X);
      Argument = bits;
    }
    return Result;
  }
};

}  // namespace kelvane
