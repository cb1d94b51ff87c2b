// The short-time Fourier transform of one chunk into the model's tensor, and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "constants.hpp"

// [1][4][bins][frames] floats, planes: left re, left im, right re, right im.
// One contiguous block: the model reads it in place.
using Spectrogram = std::vector<float>;

// Position of (plane, bin, frame) in a Spectrogram; bin-major, frame-minor.
inline std::size_t spectrogram_index(const TransformSizes& sizes, std::int32_t plane, std::int32_t bin,
                                     std::int32_t frame) {
  return (static_cast<std::size_t>(plane) * static_cast<std::size_t>(sizes.bins) + static_cast<std::size_t>(bin)) *
             static_cast<std::size_t>(sizes.frames) +
         static_cast<std::size_t>(frame);
}

// One chunk's worth of samples per channel.
struct ChunkSamples {
  std::vector<float> left;
  std::vector<float> right;
};

// The periodic Hann window of fft_size samples that both directions use.
std::vector<float> make_analysis_window(std::int32_t fft_size);

// What the resynthesis puts in the bins from `bins` up, which the network
// never sees: zeros, or the last analysed chunk's own values.
enum class HighBins { zero, from_mix };

// Both directions for one chunk after another. The working memory and the
// resynthesis normalisation are made once, so that a chunk neither allocates
// nor clears more than its overlap-add spans.
class ChunkTransforms {
 public:
  // The window's length is the sizes' FFT size.
  ChunkTransforms(std::vector<float> window, const TransformSizes& sizes);

  // Writes every float of spec (spectrogram_floats() of them) from chunk_samples() samples per channel.
  void analyse(const float* left, const float* right, Spectrogram& spec);

  // chunk_samples() samples per channel resynthesised from spec, valid until the next call.
  const ChunkSamples& resynthesize(const Spectrogram& spec, HighBins high = HighBins::zero);

 private:
  TransformSizes sizes_;
  std::vector<float> window_;
  std::vector<float> divisor_;  // the windows' squared overlap-add, floored, over the chunk
  std::vector<float> block_;
  std::vector<float> span_;
  std::vector<float> high_;  // the analysed bins from `bins` up, packed, frame after frame, left then right
  ChunkSamples out_;
};
