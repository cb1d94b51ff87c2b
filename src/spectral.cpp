#include "spectral.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include <pocketfft_hdronly.h>

#include "fma.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DUOSTEM_X86_FMA 1
#endif
#if defined(__SSE__)
#include <xmmintrin.h>
#define DUOSTEM_X86_SSE 1
#endif

namespace {

// Smallest divisor of the resynthesis normalisation; the envelope only falls
// this low in the margins that are dropped.
constexpr float ENVELOPE_FLOOR = 1e-8f;
static_assert(ENVELOPE_FLOOR == 0x1.5798eep-27f, "1e-8 as a float: bits 0x322BCC77");

// The backward transform is unnormalised; the caller passes 1/FFT_SIZE.
constexpr float INVERSE_SCALE = 1.0f / static_cast<float>(FFT_SIZE);
static_assert(INVERSE_SCALE == 0x1.555556p-13f, "1/6144 as a float: bits 0x392AAAAB");

// Frames are transformed in blocks so that each bin's run of frames is written
// (and read back) contiguously instead of one float every MODEL_FRAMES floats.
constexpr std::int32_t BLOCK_FRAMES = 16;
static_assert(MODEL_FRAMES % BLOCK_FRAMES == 0 && BLOCK_FRAMES % 4 == 0, "frames split into whole blocks of fours");
// Frames of a block lie this many floats apart. FFT_SIZE floats are a multiple
// of 4 KiB, which would put the same bin of all sixteen frames into one set of
// an 8-way level-1 cache; one more cache line apart, they spread over sixteen sets.
constexpr std::int32_t BLOCK_STRIDE = FFT_SIZE + 16;

// The first and last frame that read the chunk without mirroring.
constexpr std::int32_t FIRST_DIRECT_FRAME = (EDGE_SAMPLES + HOP_SIZE - 1) / HOP_SIZE;
constexpr std::int32_t LAST_DIRECT_FRAME = (CHUNK_SAMPLES - FFT_SIZE + EDGE_SAMPLES) / HOP_SIZE;
static_assert(FIRST_DIRECT_FRAME == 3 && LAST_DIRECT_FRAME == 252, "three mirrored frames at each end");

// The same plan pocketfft::r2c and c2r look up for FFT_SIZE, run in place.
// Its packed layout: r0, r1, i1, r2, i2, ..., r(FFT_SIZE/2 - 1), i(FFT_SIZE/2 - 1), r(FFT_SIZE/2).
using RealPlan = pocketfft::detail::pocketfft_r<float>;

inline std::size_t packed_real(std::int32_t bin) { return bin == 0 ? 0 : static_cast<std::size_t>(2 * bin - 1); }
inline std::size_t packed_imag(std::int32_t bin) { return static_cast<std::size_t>(2 * bin); }

// Chunk position read by tap n of frame t: the chunk mirrored about its first
// and last sample, neither of which is repeated.
inline std::int32_t tap_position(std::int32_t frame, std::int32_t tap) {
  std::int32_t j = frame * HOP_SIZE + tap - EDGE_SAMPLES;
  if (j < 0) {
    j = -j;
  } else if (j > CHUNK_SAMPLES - 1) {
    j = 2 * (CHUNK_SAMPLES - 1) - j;
  }
  return j;
}

void window_frame(const float* chunk, const float* window, std::int32_t frame, float* out) {
  if (frame >= FIRST_DIRECT_FRAME && frame <= LAST_DIRECT_FRAME) {
    const float* taps = chunk + (frame * HOP_SIZE - EDGE_SAMPLES);
    for (std::int32_t n = 0; n < FFT_SIZE; ++n) out[n] = taps[n] * window[n];
  } else {
    for (std::int32_t n = 0; n < FFT_SIZE; ++n) out[n] = chunk[tap_position(frame, n)] * window[n];
  }
}

// Between a block's packed frames and the spectrogram's rows of BLOCK_FRAMES
// frames: re and im point at bin 0 of the block's first frame in their planes.
// Bins k and k + 1 (k odd) are four neighbouring floats of a frame, so four
// frames at a time they are a 4 x 4 transpose; pure moves, no arithmetic.
inline float* frame_in(float* block, std::int32_t b) { return block + static_cast<std::size_t>(b) * BLOCK_STRIDE; }
inline std::size_t bin_row(std::int32_t k) { return static_cast<std::size_t>(k) * MODEL_FRAMES; }

// Bin MODEL_BINS (the Nyquist bin, last in the packed layout) is not kept; bin 0 has no imaginary part.
void scatter_block(float* block, float* re, float* im) {
  for (std::int32_t b = 0; b < BLOCK_FRAMES; ++b) {
    re[b] = frame_in(block, b)[0];
    im[b] = 0.0f;
  }
  std::int32_t k = 1;
#ifdef DUOSTEM_X86_SSE
  for (; k + 1 < MODEL_BINS; k += 2) {
    const std::size_t p = packed_real(k);
    for (std::int32_t b = 0; b < BLOCK_FRAMES; b += 4) {
      __m128 r0 = _mm_loadu_ps(frame_in(block, b) + p);
      __m128 r1 = _mm_loadu_ps(frame_in(block, b + 1) + p);
      __m128 r2 = _mm_loadu_ps(frame_in(block, b + 2) + p);
      __m128 r3 = _mm_loadu_ps(frame_in(block, b + 3) + p);
      _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
      _mm_storeu_ps(re + bin_row(k) + b, r0);
      _mm_storeu_ps(im + bin_row(k) + b, r1);
      _mm_storeu_ps(re + bin_row(k + 1) + b, r2);
      _mm_storeu_ps(im + bin_row(k + 1) + b, r3);
    }
  }
#endif
  for (; k < MODEL_BINS; ++k) {
    for (std::int32_t b = 0; b < BLOCK_FRAMES; ++b) {
      re[bin_row(k) + b] = frame_in(block, b)[packed_real(k)];
      im[bin_row(k) + b] = frame_in(block, b)[packed_imag(k)];
    }
  }
}

// The inverse of scatter_block; the imaginary part of bin 0 has no effect on a real transform.
void gather_block(const float* re, const float* im, float* block) {
  for (std::int32_t b = 0; b < BLOCK_FRAMES; ++b) frame_in(block, b)[0] = re[b];
  std::int32_t k = 1;
#ifdef DUOSTEM_X86_SSE
  for (; k + 1 < MODEL_BINS; k += 2) {
    const std::size_t p = packed_real(k);
    for (std::int32_t b = 0; b < BLOCK_FRAMES; b += 4) {
      __m128 r0 = _mm_loadu_ps(re + bin_row(k) + b);
      __m128 r1 = _mm_loadu_ps(im + bin_row(k) + b);
      __m128 r2 = _mm_loadu_ps(re + bin_row(k + 1) + b);
      __m128 r3 = _mm_loadu_ps(im + bin_row(k + 1) + b);
      _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
      _mm_storeu_ps(frame_in(block, b) + p, r0);
      _mm_storeu_ps(frame_in(block, b + 1) + p, r1);
      _mm_storeu_ps(frame_in(block, b + 2) + p, r2);
      _mm_storeu_ps(frame_in(block, b + 3) + p, r3);
    }
  }
#endif
  for (; k < MODEL_BINS; ++k) {
    for (std::int32_t b = 0; b < BLOCK_FRAMES; ++b) {
      frame_in(block, b)[packed_real(k)] = re[bin_row(k) + b];
      frame_in(block, b)[packed_imag(k)] = im[bin_row(k) + b];
    }
  }
}

void forward_channel(const float* chunk, const float* window, std::int32_t channel, const RealPlan& plan,
                     float* block, Spectrogram& spec) {
  for (std::int32_t first = 0; first < MODEL_FRAMES; first += BLOCK_FRAMES) {
    for (std::int32_t b = 0; b < BLOCK_FRAMES; ++b) {
      float* frame = frame_in(block, b);
      window_frame(chunk, window, first + b, frame);
      plan.exec(frame, 1.0f, true);
    }
    scatter_block(block, &spec[spectrogram_index(2 * channel, 0, first)],
                  &spec[spectrogram_index(2 * channel + 1, 0, first)]);
  }
}

void overlap_add_fallback(float* acc, const float* window, const float* frame, std::int32_t count) {
  for (std::int32_t n = 0; n < count; ++n) acc[n] = fused_multiply_add(window[n], frame[n], acc[n]);
}

#ifdef DUOSTEM_X86_FMA
// Baseline x86-64 has no fused multiply-add instruction, so std::fma would be a
// library call per sample; this build is chosen at run time where the processor
// has one. Each lane rounds once, exactly as std::fma.
__attribute__((target("avx,fma"))) void overlap_add_x86_fma(float* acc, const float* window, const float* frame,
                                                              std::int32_t count) {
  std::int32_t n = 0;
  for (; n + 8 <= count; n += 8) {
    const __m256 sum = _mm256_fmadd_ps(_mm256_loadu_ps(window + n), _mm256_loadu_ps(frame + n),
                                       _mm256_loadu_ps(acc + n));
    _mm256_storeu_ps(acc + n, sum);
  }
  for (; n < count; ++n) {
    const __m128 sum = _mm_fmadd_ss(_mm_set_ss(window[n]), _mm_set_ss(frame[n]), _mm_set_ss(acc[n]));
    acc[n] = _mm_cvtss_f32(sum);
  }
}

bool processor_has_fma() { return __builtin_cpu_supports("avx") && __builtin_cpu_supports("fma"); }
#endif

using OverlapAdd = void (*)(float*, const float*, const float*, std::int32_t);

OverlapAdd choose_overlap_add() {
#ifdef DUOSTEM_X86_FMA
  if (processor_has_fma()) return overlap_add_x86_fma;
#endif
  return overlap_add_fallback;
}

void backward_channel(const Spectrogram& spec, std::int32_t channel, const float* window, const RealPlan& plan,
                      OverlapAdd overlap_add, float* block, float* span) {
  for (std::int32_t first = 0; first < MODEL_FRAMES; first += BLOCK_FRAMES) {
    gather_block(&spec[spectrogram_index(2 * channel, 0, first)], &spec[spectrogram_index(2 * channel + 1, 0, first)],
                 block);
    for (std::int32_t b = 0; b < BLOCK_FRAMES; ++b) {
      float* frame = frame_in(block, b);
      frame[FFT_SIZE - 1] = 0.0f;
      plan.exec(frame, INVERSE_SCALE, false);
      overlap_add(span + static_cast<std::size_t>(first + b) * HOP_SIZE, window, frame, FFT_SIZE);
    }
  }
}

}  // namespace

namespace spectral_kernels {

void overlap_add_portable(float* acc, const float* window, const float* frame, std::int32_t count) {
  overlap_add_fallback(acc, window, frame, count);
}

bool overlap_add_fused(float* acc, const float* window, const float* frame, std::int32_t count) {
#ifdef DUOSTEM_X86_FMA
  if (processor_has_fma()) {
    overlap_add_x86_fma(acc, window, frame, count);
    return true;
  }
#endif
  (void)acc;
  (void)window;
  (void)frame;
  (void)count;
  return false;
}

}  // namespace spectral_kernels

std::vector<float> make_analysis_window() {
  // Periodic Hann (denominator FFT_SIZE, not FFT_SIZE - 1): at a hop of
  // FFT_SIZE / 6 its squares overlap-add to a flat 2.25.
  constexpr double TWO_PI = 6.283185307179586;
  std::vector<float> window(FFT_SIZE);
  for (std::int32_t i = 0; i < FFT_SIZE; ++i) {
    const double x = (static_cast<double>(i) * TWO_PI) / static_cast<double>(FFT_SIZE);
    window[static_cast<std::size_t>(i)] = static_cast<float>(std::fma(-0.5, std::cos(x), 0.5));
  }
  return window;
}

ChunkTransforms::ChunkTransforms(std::vector<float> window)
    : window_(std::move(window)),
      divisor_(CHUNK_SAMPLES),
      block_(static_cast<std::size_t>(BLOCK_FRAMES) * BLOCK_STRIDE),
      span_(2 * static_cast<std::size_t>(OLA_SAMPLES)) {
  if (window_.size() != static_cast<std::size_t>(FFT_SIZE))
    throw std::invalid_argument("the analysis window must have FFT_SIZE samples");
  // The squared windows summed frame by frame in frame order: the same for every chunk.
  std::vector<float> squared(FFT_SIZE);
  for (std::size_t n = 0; n < squared.size(); ++n) squared[n] = window_[n] * window_[n];
  std::vector<float> envelope(OLA_SAMPLES);
  for (std::int32_t t = 0; t < MODEL_FRAMES; ++t) {
    float* env = envelope.data() + static_cast<std::size_t>(t) * HOP_SIZE;
    for (std::int32_t n = 0; n < FFT_SIZE; ++n) env[n] = env[n] + squared[static_cast<std::size_t>(n)];
  }
  for (std::int32_t n = 0; n < CHUNK_SAMPLES; ++n) {
    float d = envelope[static_cast<std::size_t>(EDGE_SAMPLES + n)];
    if (d < ENVELOPE_FLOOR) d = ENVELOPE_FLOOR;
    divisor_[static_cast<std::size_t>(n)] = d;
  }
  out_.left.resize(CHUNK_SAMPLES);
  out_.right.resize(CHUNK_SAMPLES);
}

void ChunkTransforms::analyse(const float* left, const float* right, Spectrogram& spec) {
  spec.resize(SPECTROGRAM_FLOATS);
  const auto plan = pocketfft::detail::get_plan<RealPlan>(FFT_SIZE);
  forward_channel(left, window_.data(), 0, *plan, block_.data(), spec);
  forward_channel(right, window_.data(), 1, *plan, block_.data(), spec);
  // Bins 0 to ZEROED_BINS - 1 (below 20 Hz) never reach the model.
  for (std::int32_t plane = 0; plane < 4; ++plane) {
    for (std::int32_t k = 0; k < ZEROED_BINS; ++k) {
      float* bin = &spec[spectrogram_index(plane, k, 0)];
      for (std::int32_t t = 0; t < MODEL_FRAMES; ++t) bin[t] = 0.0f;
    }
  }
}

const ChunkSamples& ChunkTransforms::resynthesize(const Spectrogram& spec) {
  if (spec.size() != static_cast<std::size_t>(SPECTROGRAM_FLOATS))
    throw std::invalid_argument("a spectrogram must have SPECTROGRAM_FLOATS floats");
  const auto plan = pocketfft::detail::get_plan<RealPlan>(FFT_SIZE);
  const OverlapAdd overlap_add = choose_overlap_add();
  float* left_span = span_.data();
  float* right_span = span_.data() + OLA_SAMPLES;
  std::fill(span_.begin(), span_.end(), 0.0f);
  backward_channel(spec, 0, window_.data(), *plan, overlap_add, block_.data(), left_span);
  backward_channel(spec, 1, window_.data(), *plan, overlap_add, block_.data(), right_span);
  for (std::int32_t n = 0; n < CHUNK_SAMPLES; ++n) {
    const std::size_t m = static_cast<std::size_t>(EDGE_SAMPLES + n);
    const float d = divisor_[static_cast<std::size_t>(n)];
    out_.left[static_cast<std::size_t>(n)] = left_span[m] / d;
    out_.right[static_cast<std::size_t>(n)] = right_span[m] / d;
  }
  return out_;
}

Spectrogram chunk_spectrogram(const std::vector<float>& left, const std::vector<float>& right,
                              const std::vector<float>& window) {
  Spectrogram spec;
  ChunkTransforms(window).analyse(left.data(), right.data(), spec);
  return spec;
}

ChunkSamples resynthesize_chunk(const Spectrogram& spectrogram, const std::vector<float>& window) {
  ChunkTransforms transforms(window);
  return transforms.resynthesize(spectrogram);
}
