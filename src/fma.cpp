#include "fma.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DUOSTEM_X86_FMA 1
#endif

#ifdef DUOSTEM_X86_FMA
namespace {

// Baseline x86-64 has no fused multiply-add instruction, so std::fma would be a
// library call per value; this build is chosen at run time where the processor
// has one. Each lane rounds once, exactly as std::fma.
__attribute__((target("avx,fma"))) void span_x86_fma(float* acc, const float* a, const float* b,
                                                       std::int32_t count) {
  std::int32_t n = 0;
  for (; n + 8 <= count; n += 8)
    _mm256_storeu_ps(acc + n, _mm256_fmadd_ps(_mm256_loadu_ps(a + n), _mm256_loadu_ps(b + n), _mm256_loadu_ps(acc + n)));
  for (; n < count; ++n) acc[n] = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(a[n]), _mm_set_ss(b[n]), _mm_set_ss(acc[n])));
}

}  // namespace
#endif

void fused_multiply_add_span(float* acc, const float* a, const float* b, std::int32_t count) {
#ifdef DUOSTEM_X86_FMA
  if (__builtin_cpu_supports("avx") && __builtin_cpu_supports("fma")) return span_x86_fma(acc, a, b, count);
#endif
  for (std::int32_t n = 0; n < count; ++n) acc[n] = fused_multiply_add(a[n], b[n], acc[n]);
}
