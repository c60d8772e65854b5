#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "synth/exp10.h"

namespace kelvane {
namespace {

// glibc's pow rounds to within 0.54 ulp, and there Exp10 gives its results
// bit for bit. Other libraries' pow may be a few ulps off (MinGW's, at
// negative whole powers).
#if defined(__GLIBC__)
constexpr bool PowRoundsClosely = true;
#else
constexpr bool PowRoundsClosely = false;
#endif

// Counts the arguments whose result differs from pow's (in any bit, or by
// more than a few ulps where pow rounds loosely), printing the first few.
class TPowComparison {
 public:
  void Check(double y) {
    const double got = Exp10(y), want = std::pow(10.0, y);
    const bool equal = std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(want) ||
                       (std::isnan(got) && std::isnan(want)) ||
                       (!PowRoundsClosely && std::fabs(got - want) <= 2e-15 * want);
    if (!equal) {
      if (Mismatches++ < 5) ADD_FAILURE() << std::hexfloat << "Exp10(" << y << ") = " << got << ", pow: " << want;
    }
  }
  int64_t Mismatches = 0;
};

TEST(Exp10, EqualsPowOverTheGainDomain) {
  TPowComparison c;
  // The voice's gains: 10^(-v/200) and the two attenuation curves, every 1/256 centibel.
  for (int32_t i = 0; i <= 1441 * 256; i++) {
    const double v = i / 256.0;
    c.Check(-v / 200.0);
    c.Check(v / 200.0);
    c.Check(-0.005 * v);
    c.Check(-v * 0.0018814356859432296);
  }
  // Densely through the whole short-path range, and at random.
  for (int32_t i = -800000; i <= 800000; i++) c.Check(i * 1e-5);
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> uniform(-8.0, 8.0);
  for (int32_t i = 0; i < 1000000; i++) c.Check(uniform(rng));
  for (int32_t i = 0; i < 200000; i++) c.Check(std::ldexp(uniform(rng), -static_cast<int32_t>(rng() % 64)));
  EXPECT_EQ(c.Mismatches, 0);
}

TEST(Exp10, EqualsPowAtTheEdgesAndBeyond) {
  TPowComparison c;
  const double inf = std::numeric_limits<double>::infinity();
  for (double y : {0.0, -0.0, 1.0, -1.0, 2.0, -7.205, 8.0, -8.0, std::nextafter(8.0, 9.0), std::nextafter(-8.0, -9.0),
                   1e-300, -1e-300, 5e-324, 300.0, 309.0, -320.0, -400.0, inf, -inf,
                   std::numeric_limits<double>::quiet_NaN()}) {
    c.Check(y);
  }
  EXPECT_EQ(c.Mismatches, 0);
  EXPECT_EQ(Exp10(0.0), 1.0);
  EXPECT_EQ(Exp10(-2.0), 0.01);
}

}  // namespace
}  // namespace kelvane
