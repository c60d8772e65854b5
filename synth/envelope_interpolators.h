#pragma once

#include <cmath>

namespace kelvane {

// Interpolators of a point envelope segment running from y1 (t = 0) to y2
// (t = 1); y0 is the point before y1, y3 the point after y2. Single precision.

inline float SynthNearestInterpolate(float /*t*/, float /*y0*/, float y1, float /*y2*/, float /*y3*/) { return y1; }

inline float SynthLinearInterpolate(float t, float /*y0*/, float y1, float y2, float /*y3*/) {
  return y1 * (1.0f - t) + y2 * t;
}

inline float SynthCosineInterpolate(float t, float /*y0*/, float y1, float y2, float /*y3*/) {
  const float d = (1.0f - std::sin((t + 0.5f) * 3.14159265358979f)) * 0.5f;
  return y1 * (1.0f - d) + y2 * d;
}

inline float SynthCubicInterpolate(float t, float y0, float y1, float y2, float y3) {
  const float a = y3 - y2 - y0 + y1;
  const float t2 = t * t;
  return a * t2 * t + (y0 - y1 - a) * t2 + (y2 - y0) * t + y1;
}

inline float SynthHermiteInterpolate(float t, float y0, float y1, float y2, float y3) {
  return ((((y1 - y2) * 1.5f + (y3 - y0) * 0.5f) * t + (y0 - 2.5f * y1 + 2.0f * y2 - 0.5f * y3)) * t +
          (y2 - y0) * 0.5f) *
             t +
         y1;
}

using TSynthInterpolate = float (*)(float t, float y0, float y1, float y2, float y3);

// Indexed by a point's Mode 0..4.
inline constexpr TSynthInterpolate SynthInterpolators[5] = {SynthNearestInterpolate, SynthLinearInterpolate,
                                                            SynthCosineInterpolate, SynthCubicInterpolate,
                                                            SynthHermiteInterpolate};

}  // namespace kelvane
