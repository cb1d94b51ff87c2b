#include "separation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <utility>
#include <vector>

#include "constants.hpp"
#include "spectral.hpp"

namespace {

// The double nearest 2*pi, written out so that the window's bits never depend on a library constant.
constexpr double TWO_PI = 6.283185307179586;
// Added to every weight sum, never used as a floor: the float nearest 1e-8.
constexpr float WEIGHT_EPSILON = 1e-8f;
// Below this many frames every position of the schedule, up to L + CHUNK_STEP - 1, fits 32 bits.
constexpr std::int64_t MAX_SCHEDULE_FRAMES = std::int64_t{8421} * CHUNK_BODY;
static_assert(8420 * std::int64_t{CHUNK_BODY} + CHUNK_SAMPLES + CHUNK_STEP - 1 <= INT32_MAX,
              "the longest schedule must fit 32-bit positions");

// Where the song sits in the padded planes, and how they are cut into chunks.
struct Schedule {
  std::int32_t frames;  // n
  std::int32_t padded;  // L
  std::int32_t total;   // chunk count
};

// acc[i] = fma(samples[i], w[i], acc[i]): the overlap-add kernel computes the
// same single rounding, with the processor's FMA instructions where it has them
// instead of a library call per sample.
void cross_fade_add(float* acc, const float* w, const float* samples, std::int32_t count) {
  if (!spectral_kernels::overlap_add_fused(acc, w, samples, count))
    spectral_kernels::overlap_add_portable(acc, w, samples, count);
}

Schedule make_schedule(std::int32_t frames) {
  const std::int32_t q = frames / CHUNK_BODY;
  const std::int32_t padded = (q + 1) * CHUNK_BODY + 2 * EDGE_SAMPLES;
  return Schedule{frames, padded, (padded + CHUNK_STEP - 1) / CHUNK_STEP};
}

// The cross-fade sums of CHUNK_STEP positions of the padded song. Every
// position is covered by at most two chunks, and each chunk adds to its sums
// in chunk order from zero, so the sums round exactly as when they ran over the
// whole padded song.
struct CrossFadeSums {
  std::vector<float> left = std::vector<float>(CHUNK_STEP);
  std::vector<float> right = std::vector<float>(CHUNK_STEP);
  std::vector<float> weight = std::vector<float>(CHUNK_STEP);

  // Adds samples [from, from + count) of the chunk, weighted by w.
  void add(const ChunkSamples& chunk, const float* w, std::int32_t from, std::int32_t count) {
    if (count <= 0) return;
    cross_fade_add(left.data(), w + from, chunk.left.data() + from, count);
    cross_fade_add(right.data(), w + from, chunk.right.data() + from, count);
    for (std::int32_t i = 0; i < count; ++i) weight[static_cast<std::size_t>(i)] += w[from + i];
  }

  // Writes the vocals of the song frames these positions hold; position 0 is song frame first_frame.
  void divide_into(Stereo& vocals, std::int64_t first_frame) const {
    const std::int64_t frames = static_cast<std::int64_t>(vocals.left.size());
    const std::int64_t begin = std::max<std::int64_t>(first_frame, 0);
    const std::int64_t end = std::min<std::int64_t>(first_frame + CHUNK_STEP, frames);
    for (std::int64_t f = begin; f < end; ++f) {
      const std::size_t i = static_cast<std::size_t>(f - first_frame);
      const float divisor = weight[i] + WEIGHT_EPSILON;
      vocals.left[static_cast<std::size_t>(f)] = left[i] / divisor;
      vocals.right[static_cast<std::size_t>(f)] = right[i] / divisor;
    }
  }

  void clear() {
    std::fill(left.begin(), left.end(), 0.0f);
    std::fill(right.begin(), right.end(), 0.0f);
    std::fill(weight.begin(), weight.end(), 0.0f);
  }
};

// The chunk of the padded song whose first sample is song frame first_frame:
// the song where it overlaps, zeros before and after it.
void copy_padded(const Stereo& song, std::int64_t first_frame, ChunkSamples& chunk) {
  const std::int64_t frames = static_cast<std::int64_t>(song.left.size());
  const std::int64_t begin = std::clamp<std::int64_t>(first_frame, 0, frames);
  const std::int64_t end = std::clamp<std::int64_t>(first_frame + CHUNK_SAMPLES, 0, frames);
  const auto copy = [&](const std::vector<float>& from, std::vector<float>& to) {
    std::fill(to.begin(), to.end(), 0.0f);
    std::copy(from.begin() + begin, from.begin() + end, to.begin() + (begin - first_frame));
  };
  copy(song.left, chunk.left);
  copy(song.right, chunk.right);
}

}  // namespace

std::vector<float> chunk_window(std::int32_t len) {
  std::vector<float> window(static_cast<std::size_t>(std::max<std::int32_t>(len, 0)), 1.0f);
  if (len > 1) {
    // Symmetric (denominator len - 1): both ends are 0, unlike the periodic analysis window.
    const double denominator = static_cast<double>(len - 1);
    for (std::int32_t i = 0; i < len; ++i) {
      const double c = std::cos(static_cast<double>(i) * TWO_PI / denominator);
      window[static_cast<std::size_t>(i)] = static_cast<float>(std::fma(-0.5, c, 0.5));
    }
  }
  return window;
}

Stereo process_song(Session& session, const Stereo& input) {
  if (input.right.size() != input.left.size()) throw std::invalid_argument("channels of different lengths");
  if (static_cast<std::int64_t>(input.left.size()) >= MAX_SCHEDULE_FRAMES)
    throw std::length_error("song too long for the chunk schedule");

  const Schedule schedule = make_schedule(static_cast<std::int32_t>(input.left.size()));
  Stereo vocals;
  vocals.left.resize(input.left.size());
  vocals.right.resize(input.left.size());

  // Everything a chunk works in is made once. The cross-fade sums of positions
  // [s, s + CHUNK_STEP) are in `head`, those of the next CHUNK_STEP in `tail`:
  // the chunk at s is the last to touch `head`, which is then divided out into
  // the vocals and, cleared, becomes the next chunk's `tail`.
  ChunkTransforms transforms(make_analysis_window());
  Spectrogram spectrogram(SPECTROGRAM_FLOATS);
  Spectrogram estimate(SPECTROGRAM_FLOATS);
  ChunkSamples padded_chunk{std::vector<float>(CHUNK_SAMPLES), std::vector<float>(CHUNK_SAMPLES)};
  CrossFadeSums head, tail;
  // All chunks but the last two have the full length: their cross-fade window is made once.
  const std::vector<float> full_window = chunk_window(CHUNK_SAMPLES);

  std::int32_t k = 0;
  for (std::int32_t s = 0; s < schedule.padded; s += CHUNK_STEP, ++k) {
    const std::int32_t len = std::min(s + CHUNK_SAMPLES, schedule.padded) - s;
    const std::vector<float> short_window = len == CHUNK_SAMPLES ? std::vector<float>() : chunk_window(len);
    const std::vector<float>& w = len == CHUNK_SAMPLES ? full_window : short_window;

    const std::int64_t song_start = std::int64_t{s} - EDGE_SAMPLES;
    if (song_start >= 0 && song_start + CHUNK_SAMPLES <= schedule.frames) {
      transforms.analyse(input.left.data() + song_start, input.right.data() + song_start, spectrogram);
    } else {
      copy_padded(input, song_start, padded_chunk);
      transforms.analyse(padded_chunk.left.data(), padded_chunk.right.data(), spectrogram);
    }
    infer_chunk(session, spectrogram, estimate);
    const ChunkSamples& chunk = transforms.resynthesize(estimate);

    const std::int32_t in_head = std::min(len, CHUNK_STEP);
    head.add(chunk, w.data(), 0, in_head);
    tail.add(chunk, w.data(), CHUNK_STEP, len - in_head);
    head.divide_into(vocals, song_start);
    std::swap(head, tail);
    tail.clear();
    std::fprintf(stderr, "chunk %d/%d\n", k + 1, schedule.total);
  }
  return vocals;
}

std::uint64_t separation_bytes(std::uint64_t frames) {
  // The spectrogram and the model's estimate; the resynthesis output and
  // divisor, a padded chunk, the cross-fade sums and two windows (ten chunks'
  // worth); the overlap-add spans and the transform block (under three spans).
  constexpr std::uint64_t CHUNK_IN_FLIGHT =
      sizeof(float) * (2 * std::uint64_t{SPECTROGRAM_FLOATS} + 10 * std::uint64_t{CHUNK_SAMPLES} +
                       3 * std::uint64_t{OLA_SAMPLES});
  return 3 * 2 * sizeof(float) * frames + CHUNK_IN_FLIGHT;
}

Stereo derive_instrumental(const Stereo& input, const Stereo& vocals) {
  const std::size_t frames = input.left.size();
  if (input.right.size() != frames || vocals.left.size() != frames || vocals.right.size() != frames)
    throw std::invalid_argument("stems of different lengths");
  Stereo instrumental;
  instrumental.left.resize(frames);
  instrumental.right.resize(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    instrumental.left[i] = input.left[i] - vocals.left[i];
    instrumental.right[i] = input.right[i] - vocals.right[i];
  }
  return instrumental;
}
