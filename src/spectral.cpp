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

#if defined(__SSE__)
#include <xmmintrin.h>
#define DUOSTEM_X86_SSE 1
#endif

namespace {

// Smallest divisor of the resynthesis normalisation; the envelope only falls
// this low in the margins that are dropped.
constexpr float ENVELOPE_FLOOR = 1e-8f;
static_assert(ENVELOPE_FLOOR == 0x1.5798eep-27f, "1e-8 as a float: bits 0x322BCC77");

// The backward transform is unnormalised; the caller passes 1/N as a float.
static_assert(1.0f / static_cast<float>(DEFAULT_SIZES.fft_size) == 0x1.555556p-13f, "1/6144 as a float: bits 0x392AAAAB");

// Frames are transformed in blocks so that each bin's run of frames is written
// (and read back) contiguously instead of one float every `frames` floats.
constexpr std::int32_t BLOCK_FRAMES = 16;
static_assert(BLOCK_FRAMES % 4 == 0, "blocks split into whole groups of four frames");
// Frames of a block lie this many floats apart. An FFT size of many KiB would
// put the same bin of all sixteen frames into one set of an 8-way level-1
// cache; one more cache line apart, they spread over sixteen sets.
inline std::size_t block_stride(std::int32_t fft_size) { return static_cast<std::size_t>(fft_size) + 16; }

// The same plan pocketfft::r2c and c2r look up for the FFT size, run in place.
// Its packed layout: r0, r1, i1, r2, i2, ..., r(N/2 - 1), i(N/2 - 1), r(N/2).
using RealPlan = pocketfft::detail::pocketfft_r<float>;

inline std::size_t packed_real(std::int32_t bin) { return bin == 0 ? 0 : static_cast<std::size_t>(2 * bin - 1); }
inline std::size_t packed_imag(std::int32_t bin) { return static_cast<std::size_t>(2 * bin); }

// Chunk position read by tap n of frame t: the chunk mirrored about its first
// and last sample, neither of which is repeated. One mirroring suffices, since
// a chunk is longer than a frame.
inline std::int32_t tap_position(const TransformSizes& z, std::int32_t frame, std::int32_t tap) {
  std::int32_t j = frame * HOP_SIZE + tap - z.edge();
  if (j < 0) {
    j = -j;
  } else if (j > z.chunk_samples() - 1) {
    j = 2 * (z.chunk_samples() - 1) - j;
  }
  return j;
}

// Frames whose taps all lie inside the chunk read it without mirroring.
inline bool reads_directly(const TransformSizes& z, std::int32_t frame) {
  const std::int32_t first = frame * HOP_SIZE - z.edge();
  return first >= 0 && first + z.fft_size <= z.chunk_samples();
}

void window_frame(const TransformSizes& z, const float* chunk, const float* window, std::int32_t frame, float* out) {
  const std::int32_t n_max = z.fft_size;
  if (reads_directly(z, frame)) {
    const float* taps = chunk + (frame * HOP_SIZE - z.edge());
    for (std::int32_t n = 0; n < n_max; ++n) out[n] = taps[n] * window[n];
  } else {
    for (std::int32_t n = 0; n < n_max; ++n) out[n] = chunk[tap_position(z, frame, n)] * window[n];
  }
}

// A block of `count` packed frames, `stride` floats apart, against the
// spectrogram's rows of `row` floats: re and im point at bin 0 of the block's
// first frame in their planes.
struct BlockView {
  float* block;
  std::size_t stride;
  std::int32_t count;
  std::size_t row;
  float* frame(std::int32_t b) const { return block + static_cast<std::size_t>(b) * stride; }
  std::size_t bin_row(std::int32_t k) const { return static_cast<std::size_t>(k) * row; }
};

// Bins from `bins` up (the Nyquist bin at least) are not kept; bin 0 has no
// imaginary part. Bins k and k + 1 (k odd) are four neighbouring floats of a
// frame, so four frames at a time they are a 4 x 4 transpose; pure moves, no arithmetic.
void scatter_block(const BlockView& v, std::int32_t bins, float* re, float* im) {
  for (std::int32_t b = 0; b < v.count; ++b) {
    re[b] = v.frame(b)[0];
    im[b] = 0.0f;
  }
  std::int32_t k = 1;
  std::int32_t b = 0;
#ifdef DUOSTEM_X86_SSE
  for (; k + 1 < bins; k += 2) {
    const std::size_t p = packed_real(k);
    for (b = 0; b + 4 <= v.count; b += 4) {
      __m128 r0 = _mm_loadu_ps(v.frame(b) + p);
      __m128 r1 = _mm_loadu_ps(v.frame(b + 1) + p);
      __m128 r2 = _mm_loadu_ps(v.frame(b + 2) + p);
      __m128 r3 = _mm_loadu_ps(v.frame(b + 3) + p);
      _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
      _mm_storeu_ps(re + v.bin_row(k) + b, r0);
      _mm_storeu_ps(im + v.bin_row(k) + b, r1);
      _mm_storeu_ps(re + v.bin_row(k + 1) + b, r2);
      _mm_storeu_ps(im + v.bin_row(k + 1) + b, r3);
    }
    for (; b < v.count; ++b) {
      re[v.bin_row(k) + b] = v.frame(b)[packed_real(k)];
      im[v.bin_row(k) + b] = v.frame(b)[packed_imag(k)];
      re[v.bin_row(k + 1) + b] = v.frame(b)[packed_real(k + 1)];
      im[v.bin_row(k + 1) + b] = v.frame(b)[packed_imag(k + 1)];
    }
  }
#endif
  for (; k < bins; ++k) {
    for (b = 0; b < v.count; ++b) {
      re[v.bin_row(k) + b] = v.frame(b)[packed_real(k)];
      im[v.bin_row(k) + b] = v.frame(b)[packed_imag(k)];
    }
  }
}

// The inverse of scatter_block, leaving the bins from `bins` up alone; the
// imaginary part of bin 0 has no effect on a real transform.
void gather_block(const float* re, const float* im, std::int32_t bins, const BlockView& v) {
  for (std::int32_t b = 0; b < v.count; ++b) v.frame(b)[0] = re[b];
  std::int32_t k = 1;
  std::int32_t b = 0;
#ifdef DUOSTEM_X86_SSE
  for (; k + 1 < bins; k += 2) {
    const std::size_t p = packed_real(k);
    for (b = 0; b + 4 <= v.count; b += 4) {
      __m128 r0 = _mm_loadu_ps(re + v.bin_row(k) + b);
      __m128 r1 = _mm_loadu_ps(im + v.bin_row(k) + b);
      __m128 r2 = _mm_loadu_ps(re + v.bin_row(k + 1) + b);
      __m128 r3 = _mm_loadu_ps(im + v.bin_row(k + 1) + b);
      _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
      _mm_storeu_ps(v.frame(b) + p, r0);
      _mm_storeu_ps(v.frame(b + 1) + p, r1);
      _mm_storeu_ps(v.frame(b + 2) + p, r2);
      _mm_storeu_ps(v.frame(b + 3) + p, r3);
    }
    for (; b < v.count; ++b) {
      v.frame(b)[packed_real(k)] = re[v.bin_row(k) + b];
      v.frame(b)[packed_imag(k)] = im[v.bin_row(k) + b];
      v.frame(b)[packed_real(k + 1)] = re[v.bin_row(k + 1) + b];
      v.frame(b)[packed_imag(k + 1)] = im[v.bin_row(k + 1) + b];
    }
  }
#endif
  for (; k < bins; ++k) {
    for (b = 0; b < v.count; ++b) {
      v.frame(b)[packed_real(k)] = re[v.bin_row(k) + b];
      v.frame(b)[packed_imag(k)] = im[v.bin_row(k) + b];
    }
  }
}

BlockView block_of(const TransformSizes& z, float* block, std::int32_t first) {
  return BlockView{block, block_stride(z.fft_size), std::min(BLOCK_FRAMES, z.frames - first),
                   static_cast<std::size_t>(z.frames)};
}

// The packed floats of one frame from bin `bins` up, the Nyquist bin's real part among them.
inline std::size_t high_floats(const TransformSizes& z) { return static_cast<std::size_t>(z.fft_size) - packed_real(z.bins); }

// high: where this channel's frames keep their bins from z.bins up.
void forward_channel(const TransformSizes& z, const float* chunk, const float* window, std::int32_t channel,
                     const RealPlan& plan, float* block, Spectrogram& spec, float* high) {
  const std::size_t kept = high_floats(z);
  for (std::int32_t first = 0; first < z.frames; first += BLOCK_FRAMES) {
    const BlockView v = block_of(z, block, first);
    for (std::int32_t b = 0; b < v.count; ++b) {
      float* frame = v.frame(b);
      window_frame(z, chunk, window, first + b, frame);
      plan.exec(frame, 1.0f, true);
      std::copy(frame + packed_real(z.bins), frame + z.fft_size, high + static_cast<std::size_t>(first + b) * kept);
    }
    scatter_block(v, z.bins, &spec[spectrogram_index(z, 2 * channel, 0, first)],
                  &spec[spectrogram_index(z, 2 * channel + 1, 0, first)]);
  }
}

// high: this channel's analysed bins from z.bins up, or null to resynthesise them as zero.
void backward_channel(const TransformSizes& z, const Spectrogram& spec, std::int32_t channel, const float* window,
                      const RealPlan& plan, float* block, float* span, const float* high) {
  const std::size_t dropped_from = packed_real(z.bins);
  const std::size_t kept = high_floats(z);
  for (std::int32_t first = 0; first < z.frames; first += BLOCK_FRAMES) {
    const BlockView v = block_of(z, block, first);
    gather_block(&spec[spectrogram_index(z, 2 * channel, 0, first)],
                 &spec[spectrogram_index(z, 2 * channel + 1, 0, first)], z.bins, v);
    for (std::int32_t b = 0; b < v.count; ++b) {
      float* frame = v.frame(b);
      if (high != nullptr) {
        const float* from = high + static_cast<std::size_t>(first + b) * kept;
        std::copy(from, from + kept, frame + dropped_from);
      } else {
        std::fill(frame + dropped_from, frame + z.fft_size, 0.0f);
      }
      plan.exec(frame, 1.0f / static_cast<float>(z.fft_size), false);
      fused_multiply_add_span(span + static_cast<std::size_t>(first + b) * HOP_SIZE, window, frame, z.fft_size);
    }
  }
}

}  // namespace

std::vector<float> make_analysis_window(std::int32_t fft_size) {
  // Periodic Hann (denominator fft_size, not fft_size - 1): at a hop of a sixth
  // of the default FFT size its squares overlap-add to a flat 2.25.
  constexpr double TWO_PI = 6.283185307179586;
  std::vector<float> window(static_cast<std::size_t>(fft_size));
  for (std::int32_t i = 0; i < fft_size; ++i) {
    const double x = (static_cast<double>(i) * TWO_PI) / static_cast<double>(fft_size);
    window[static_cast<std::size_t>(i)] = static_cast<float>(std::fma(-0.5, std::cos(x), 0.5));
  }
  return window;
}

ChunkTransforms::ChunkTransforms(std::vector<float> window, const TransformSizes& sizes)
    : sizes_(sizes),
      window_(std::move(window)),
      divisor_(static_cast<std::size_t>(sizes.chunk_samples())),
      block_(static_cast<std::size_t>(BLOCK_FRAMES) * block_stride(sizes.fft_size)),
      span_(2 * static_cast<std::size_t>(sizes.ola_samples())),
      high_(2 * static_cast<std::size_t>(sizes.frames) * high_floats(sizes)) {
  if (window_.size() != static_cast<std::size_t>(sizes_.fft_size))
    throw std::invalid_argument("the analysis window must have as many samples as the FFT");
  // The squared windows summed frame by frame in frame order: the same for every chunk.
  std::vector<float> squared(window_.size());
  for (std::size_t n = 0; n < squared.size(); ++n) squared[n] = window_[n] * window_[n];
  std::vector<float> envelope(static_cast<std::size_t>(sizes_.ola_samples()));
  for (std::int32_t t = 0; t < sizes_.frames; ++t) {
    float* env = envelope.data() + static_cast<std::size_t>(t) * HOP_SIZE;
    for (std::int32_t n = 0; n < sizes_.fft_size; ++n) env[n] = env[n] + squared[static_cast<std::size_t>(n)];
  }
  for (std::int32_t n = 0; n < sizes_.chunk_samples(); ++n) {
    float d = envelope[static_cast<std::size_t>(sizes_.edge() + n)];
    if (d < ENVELOPE_FLOOR) d = ENVELOPE_FLOOR;
    divisor_[static_cast<std::size_t>(n)] = d;
  }
  out_.left.resize(static_cast<std::size_t>(sizes_.chunk_samples()));
  out_.right.resize(static_cast<std::size_t>(sizes_.chunk_samples()));
}

void ChunkTransforms::analyse(const float* left, const float* right, Spectrogram& spec) {
  const TransformSizes& z = sizes_;
  spec.resize(z.spectrogram_floats());
  const auto plan = pocketfft::detail::get_plan<RealPlan>(static_cast<std::size_t>(z.fft_size));
  const std::size_t channel_high = high_.size() / 2;
  forward_channel(z, left, window_.data(), 0, *plan, block_.data(), spec, high_.data());
  forward_channel(z, right, window_.data(), 1, *plan, block_.data(), spec, high_.data() + channel_high);
  for (std::int32_t plane = 0; plane < 4; ++plane) {
    for (std::int32_t k = 0; k < std::min(ZEROED_BINS, z.bins); ++k) {
      float* bin = &spec[spectrogram_index(z, plane, k, 0)];
      std::fill(bin, bin + z.frames, 0.0f);
    }
  }
}

const ChunkSamples& ChunkTransforms::resynthesize(const Spectrogram& spec, HighBins high) {
  const TransformSizes& z = sizes_;
  if (spec.size() != z.spectrogram_floats())
    throw std::invalid_argument("a spectrogram must have as many floats as the network's tensor");
  const auto plan = pocketfft::detail::get_plan<RealPlan>(static_cast<std::size_t>(z.fft_size));
  float* left_span = span_.data();
  float* right_span = span_.data() + z.ola_samples();
  std::fill(span_.begin(), span_.end(), 0.0f);
  const bool from_mix = high == HighBins::from_mix;
  const float* left_high = from_mix ? high_.data() : nullptr;
  const float* right_high = from_mix ? high_.data() + high_.size() / 2 : nullptr;
  backward_channel(z, spec, 0, window_.data(), *plan, block_.data(), left_span, left_high);
  backward_channel(z, spec, 1, window_.data(), *plan, block_.data(), right_span, right_high);
  for (std::int32_t n = 0; n < z.chunk_samples(); ++n) {
    const std::size_t m = static_cast<std::size_t>(z.edge() + n);
    const float d = divisor_[static_cast<std::size_t>(n)];
    out_.left[static_cast<std::size_t>(n)] = left_span[m] / d;
    out_.right[static_cast<std::size_t>(n)] = right_span[m] / d;
  }
  return out_;
}
