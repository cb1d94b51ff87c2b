// The transform and chunking sizes shared by the spectral, model and
// separation modules. A network fixes its bins and frames, the FFT size comes
// from the user or the network; everything else follows from those three and
// the hop, through the relations written out once here.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::int32_t HOP_SIZE = 1024;
// Bins 0 to 2 (below 20 Hz) never reach the network.
constexpr std::int32_t ZEROED_BINS = 3;
// The FFT sizes a user may ask for; even, so that the periodic window and the bin count work out.
constexpr std::int32_t MIN_FFT_SIZE = 1024;
constexpr std::int32_t MAX_FFT_SIZE = 16384;
// Longer chunks would take the chunk schedule's 32-bit positions past their range on long songs.
constexpr std::int32_t MAX_MODEL_FRAMES = 65536;
// The share of a chunk that the next one covers again, in thousandths: a
// whole number, so that the chunk step is exact on every platform.
constexpr std::int32_t MIN_OVERLAP = 50;
constexpr std::int32_t MAX_OVERLAP = 950;

struct TransformSizes {
  std::int32_t bins = 3072;      // B: frequency bins the network sees
  std::int32_t frames = 256;     // T: frames per chunk
  std::int32_t fft_size = 6144;  // N
  std::int32_t overlap = 500;    // R in thousandths: the user's, not the network's

  // Frame t is centred on chunk sample t * HOP_SIZE, so half a frame overhangs each end.
  constexpr std::int32_t edge() const { return fft_size / 2; }
  constexpr std::int32_t chunk_samples() const { return HOP_SIZE * (frames - 1); }
  constexpr std::int32_t chunk_body() const { return chunk_samples() - fft_size; }
  // chunk_samples() - round(R * chunk_samples()), at least 1; R = 0.5 halves the chunk exactly.
  constexpr std::int32_t chunk_step() const {
    const std::int64_t covered = (std::int64_t{chunk_samples()} * overlap + 500) / 1000;
    return chunk_samples() - covered > 1 ? static_cast<std::int32_t>(chunk_samples() - covered) : 1;
  }
  // The most chunks that cover one position, so the most steps one chunk spans.
  constexpr std::int32_t steps_per_chunk() const { return (chunk_samples() + chunk_step() - 1) / chunk_step(); }
  // One channel's overlap-add span: the chunk plus one margin at each end.
  constexpr std::int32_t ola_samples() const { return chunk_samples() + fft_size; }
  // Complex values of one real transform; bins from `bins` up are never passed on.
  constexpr std::int32_t spectrum_bins() const { return fft_size / 2 + 1; }
  constexpr std::size_t plane_floats() const { return static_cast<std::size_t>(bins) * static_cast<std::size_t>(frames); }
  constexpr std::size_t spectrogram_floats() const { return 4 * plane_floats(); }
};

// The sizes of the bundled network, and of any network that leaves them open.
constexpr TransformSizes DEFAULT_SIZES{};

static_assert(DEFAULT_SIZES.bins == DEFAULT_SIZES.fft_size / 2,
              "the default network sees every bin but the Nyquist bin");
static_assert(DEFAULT_SIZES.chunk_samples() == 261120 && DEFAULT_SIZES.chunk_body() == 254976 &&
                  DEFAULT_SIZES.chunk_step() == 130560,
              "the default network was trained on chunks of this size");
static_assert(DEFAULT_SIZES.chunk_body() == DEFAULT_SIZES.chunk_samples() - 2 * DEFAULT_SIZES.edge(),
              "a chunk's body is the chunk less both margins");
static_assert(DEFAULT_SIZES.spectrogram_floats() == 3145728, "the default network's tensor is [1, 4, 3072, 256]");
static_assert(HOP_SIZE * (MAX_MODEL_FRAMES - 1) + MAX_FFT_SIZE < (1 << 27), "the longest chunk fits 32-bit positions");
