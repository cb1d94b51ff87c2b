// What only the tests and the benchmarks call, built on the modules' own
// declarations: the default network's sizes by name, one chunk's transforms
// on their own, and separations of songs held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "constants.hpp"
#include "model.hpp"
#include "separation.hpp"
#include "spectral.hpp"
#include "wav.hpp"

constexpr std::int32_t FFT_SIZE = DEFAULT_SIZES.fft_size;
constexpr std::int32_t MODEL_FRAMES = DEFAULT_SIZES.frames;
constexpr std::int32_t MODEL_BINS = DEFAULT_SIZES.bins;
constexpr std::int32_t EDGE_SAMPLES = DEFAULT_SIZES.edge();
constexpr std::int32_t CHUNK_SAMPLES = DEFAULT_SIZES.chunk_samples();
constexpr std::int32_t CHUNK_BODY = DEFAULT_SIZES.chunk_body();
constexpr std::int32_t CHUNK_STEP = DEFAULT_SIZES.chunk_step();
constexpr std::int32_t SPECTRUM_BINS = DEFAULT_SIZES.spectrum_bins();
constexpr std::int32_t SPECTROGRAM_FLOATS = static_cast<std::int32_t>(DEFAULT_SIZES.spectrogram_floats());
constexpr std::int32_t OLA_SAMPLES = DEFAULT_SIZES.ola_samples();

// Position of (plane, bin, frame) in a spectrogram of the default network.
inline std::size_t spectrogram_index(std::int32_t plane, std::int32_t bin, std::int32_t frame) {
  return spectrogram_index(DEFAULT_SIZES, plane, bin, frame);
}

// Spectrogram of one chunk of CHUNK_SAMPLES samples per channel.
Spectrogram chunk_spectrogram(const std::vector<float>& left, const std::vector<float>& right,
                              const std::vector<float>& window);

// CHUNK_SAMPLES samples per channel resynthesised from a spectrogram, the high bins zero.
ChunkSamples resynthesize_chunk(const Spectrogram& spectrogram, const std::vector<float>& window);

// Runs the model over the spectrogram and overwrites it with the model's output,
// leaving it as it was when the run fails.
void infer_chunk(Session& session, Spectrogram& spectrogram);

// process_song's estimate of a song held in memory, as many frames as the song.
Stereo process_song(Session& session, const Stereo& song, const ProgressReport& progress = {});
