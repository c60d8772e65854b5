// 10^y as pow(10, y) rounds it, without pow's cost where that is safe.
//
// The short path works 10^y out to about 2^-64 relative (a few ten-thousandths
// of an ulp) and rounds that. glibc's pow is within 0.54 ulp of the exact
// value, so both round to the same double unless the exact value lies within
// 0.04 ulp of a midpoint between two doubles: then the short path lets pow
// decide. (About one call in twelve.)

#include "synth/exp10.h"

#include <bit>
#include <cmath>
#include <cstdint>

namespace kelvane {

namespace {

constexpr int TableBits = 5;
constexpr int TableSize = 1 << TableBits;

// 2^(j/32) as a sum of two doubles.
struct TPowerOfTwo {
  double Hi, Lo;
};
constexpr TPowerOfTwo PowersOfTwo[TableSize] = {
    {0x1.0000000000000p+0, 0x0.0p+0},
    {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55},
    {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54},
    {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54},
    {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55},
    {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54},
    {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54},
    {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55},
    {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55},
    {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54},
    {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55},
    {0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59},
    {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56},
    {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55},
    {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54},
    {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54},
    {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54},
    {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55},
    {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55},
    {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54},
    {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54},
    {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57},
    {0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56},
    {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54},
    {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54},
    {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56},
    {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55},
    {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56},
    {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55},
    {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54},
    {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54},
    {0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54},
};

constexpr double Ln10Hi = 0x1.26bb1bbb55516p+1, Ln10Lo = -0x1.f48ad494ea3e9p-53;
constexpr double Ln2By32Hi = 0x1.62e42fefa39efp-6, Ln2By32Lo = 0x1.abc9e3b39803fp-61;
constexpr double ThirtyTwoByLn2 = 0x1.71547652b82fep+5;
constexpr double RoundShift = 0x1.8p52;  // adding it rounds to an integer in the low mantissa bits
// How far from the nearest double the short path's value may lie: beyond,
// it is too near a midpoint.
constexpr double Reach = 0.46;

[[gnu::target("fma")]] double Exp10Fma(double y) {
  if (!(std::fabs(y) <= 8.0)) return std::pow(10.0, y);
  // x = y ln 10 = xh + xl, to about 2^-100.
  const double xh = y * Ln10Hi;
  const double xl = std::fma(y, Ln10Hi, -xh) + y * Ln10Lo;
  // x = k ln2/32 + r, |r| <= ln2/64 or so. r0 is exact: with k != 0 both
  // terms are multiples of 2^-59, and |r0| < 2^-6.
  const double kd = (xh * ThirtyTwoByLn2 + RoundShift) - RoundShift;
  const auto k = static_cast<int64_t>(kd);
  const double r0 = std::fma(-kd, Ln2By32Hi, xh);
  const double r1 = xl - kd * Ln2By32Lo;
  const double rh = r0 + r1;
  const double rl = (r0 - rh) + r1;  // |rl| <= 2^-59.5: rh * rl is below 2^-66
  // e^rh - 1 = ph + pl (Taylor to r^7, truncated below 2^-67).
  auto step = [rh](double c, double acc) { return std::fma(acc, rh, c); };
  const double q = rh * rh * step(0.5, step(1.0 / 6, step(1.0 / 24, step(1.0 / 120, step(1.0 / 720, 1.0 / 5040)))));
  const double ph = rh + q;
  const double pl = ((rh - ph) + q) + rl;
  // 2^(j/32) e^r = T (1 + ph + pl): the large terms exactly, the rest as a tail.
  const TPowerOfTwo& t = PowersOfTwo[k & (TableSize - 1)];
  const double sh = t.Hi * ph;
  const double sl = std::fma(t.Hi, ph, -sh);
  const double zh = t.Hi + sh;
  const double zl = (t.Hi - zh) + sh;
  const double tail = zl + (sl + std::fma(t.Hi, pl, std::fma(t.Lo, ph, t.Lo)));
  const double rounded = zh + tail;
  const double off = (zh - rounded) + tail;  // exact value - rounded, to about 2^-64
  // rounded lies in 0.98..1.98: one ulp is 2^-53 below 1, 2^-52 above; at 1
  // itself the two sides differ, so pow decides.
  const double ulp = rounded < 1.0 ? 0x1p-53 : 0x1p-52;
  if (std::fabs(off) > Reach * ulp || rounded == 1.0) return std::pow(10.0, y);
  const int64_t m = k >> TableBits;  // |m| <= 27: the scale is a normal number
  return rounded * std::bit_cast<double>(static_cast<uint64_t>(1023 + m) << 52);
}

const bool HasFma = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("fma") != 0;
}();

}  // namespace

double Exp10(double y) { return HasFma ? Exp10Fma(y) : std::pow(10.0, y); }

}  // namespace kelvane
