#pragma once

namespace kelvane {

// 10^y as std::pow(10.0, y) gives it, bit for bit wherever pow rounds to
// within 0.54 ulp (glibc's does). For |y| <= 8 (gains of 0..1600 centibels)
// on a processor with FMA it usually takes a short path faster than pow, and
// pow itself when the result lies too near a rounding boundary to be sure of
// it. With a looser pow (MinGW's) the short path's result may be an ulp away
// from pow's: it is the correctly rounded one.
double Exp10(double y);

}  // namespace kelvane
