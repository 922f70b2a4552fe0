// round8: a double rounded to 8 decimal places, halves away from zero. Every
// double that a run stores passes through it exactly once; nothing reads a
// rounded value back into the computation.
#ifndef TALPEN_CORE_ROUND8_H_
#define TALPEN_CORE_ROUND8_H_

#include <cmath>

namespace talpen {

// round(x * 1e8) / 1e8, with round(y) = trunc(y + copysign(0.49999999999999994, y)):
// the largest double below one half, so that y = 0.49999999999999994 itself
// does not round up through the addition.
// Where x * 1e8 overflows (|x| above about 1.8e300) x has no digits past the
// eighth decimal to drop, and it is returned unchanged rather than turned
// into an infinity. NaN and infinities come back as they went in.
inline double round8(double x) {
  const double scaled = x * 1e8;
  if (!std::isfinite(scaled)) return x;
  return std::trunc(scaled + std::copysign(0.49999999999999994, scaled)) / 1e8;
}

}  // namespace talpen

#endif  // TALPEN_CORE_ROUND8_H_
