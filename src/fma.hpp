// Single-precision fused multiply-adds with one rounding on every C library
// and processor.
#pragma once

#include <cmath>
#include <cstdint>

// The product of two floats is exact in double and the sum rounds once to
// double; rounding that on to float is wrong only when the double lands exactly
// halfway between two floats while the exact sum does not, and then the sign of
// the sum's rounding error says which neighbour is right.
inline float fma_through_double(float a, float b, float c) {
  const double product = static_cast<double>(a) * static_cast<double>(b);
  const double sum = product + static_cast<double>(c);
  const float nearest = static_cast<float>(sum);
  if (!std::isfinite(nearest) || static_cast<double>(nearest) == sum) return nearest;
  const float other = std::nextafter(nearest, sum > static_cast<double>(nearest) ? INFINITY : -INFINITY);
  if ((static_cast<double>(nearest) + static_cast<double>(other)) / 2 != sum) return nearest;
  // Knuth's two-sum: the exact error of product + c rounded to double.
  const double c_part = sum - product;
  const double error = (product - (sum - c_part)) + (static_cast<double>(c) - c_part);
  if (error == 0) return nearest;
  return (error > 0) == (other > nearest) ? other : nearest;
}

// mingw-w64's fmaf rounds twice (through double without the check above).
inline float fused_multiply_add(float a, float b, float c) {
#ifdef __MINGW32__
  return fma_through_double(a, b, c);
#else
  return std::fma(a, b, c);
#endif
}

// acc[n] = fused_multiply_add(a[n], b[n], acc[n]) for n below count, with the
// processor's fused instructions where it has them: the same bits either way.
void fused_multiply_add_span(float* acc, const float* a, const float* b, std::int32_t count);
