#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace kelvane {

// Frequency of the strongest spectral peak between lo and hi Hz: Hann-windowed
// DFT on a fine grid, refined by parabolic interpolation of the log magnitude.
template <typename T>
double PeakFrequency(const T* x, size_t n, double rate, double lo, double hi) {
  std::vector<double> w(n);
  for (size_t i = 0; i < n; i++) {
    w[i] = static_cast<double>(x[i]) *
           (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n)));
  }
  auto magnitude = [&](double f) {
    double re = 0.0, im = 0.0;
    const double step = 2.0 * std::numbers::pi * f / rate;
    for (size_t i = 0; i < n; i++) {
      re += w[i] * std::cos(step * static_cast<double>(i));
      im -= w[i] * std::sin(step * static_cast<double>(i));
    }
    return std::log(std::hypot(re, im) + 1e-30);
  };
  const double bin = rate / static_cast<double>(n);
  double bestF = lo, best = -1e300;
  for (double f = lo; f <= hi; f += bin / 4.0) {
    const double m = magnitude(f);
    if (m > best) {
      best = m;
      bestF = f;
    }
  }
  const double d = bin / 4.0;
  const double a = magnitude(bestF - d), c = magnitude(bestF + d);
  const double denominator = a - 2.0 * best + c;
  return denominator < 0.0 ? bestF + 0.5 * d * (a - c) / denominator : bestF;
}

}  // namespace kelvane
