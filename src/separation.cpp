#include "separation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

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

  const std::vector<float> analysis_window = make_analysis_window();
  const Schedule schedule = make_schedule(static_cast<std::int32_t>(input.left.size()));
  const std::size_t padded = static_cast<std::size_t>(schedule.padded);

  std::vector<float> left_plane(padded, 0.0f);
  std::vector<float> right_plane(padded, 0.0f);
  std::copy(input.left.begin(), input.left.end(), left_plane.begin() + EDGE_SAMPLES);
  std::copy(input.right.begin(), input.right.begin() + static_cast<std::ptrdiff_t>(input.left.size()),
            right_plane.begin() + EDGE_SAMPLES);
  std::vector<float> left_result(padded, 0.0f);
  std::vector<float> right_result(padded, 0.0f);
  std::vector<float> weight_sum(padded, 0.0f);

  // All chunks but the last two have the full length: their cross-fade window is made once.
  const std::vector<float> full_window = chunk_window(CHUNK_SAMPLES);

  std::int32_t k = 0;
  for (std::int32_t s = 0; s < schedule.padded; s += CHUNK_STEP, ++k) {
    const std::int32_t len = std::min(s + CHUNK_SAMPLES, schedule.padded) - s;
    const std::vector<float> short_window = len == CHUNK_SAMPLES ? std::vector<float>() : chunk_window(len);
    const std::vector<float>& w = len == CHUNK_SAMPLES ? full_window : short_window;

    std::vector<float> chunk_left(CHUNK_SAMPLES, 0.0f);
    std::vector<float> chunk_right(CHUNK_SAMPLES, 0.0f);
    std::copy_n(left_plane.begin() + s, len, chunk_left.begin());
    std::copy_n(right_plane.begin() + s, len, chunk_right.begin());

    Spectrogram spectrogram = chunk_spectrogram(chunk_left, chunk_right, analysis_window);
    infer_chunk(session, spectrogram);
    const ChunkSamples resynthesized = resynthesize_chunk(spectrogram, analysis_window);

    float* left_acc = left_result.data() + s;
    float* right_acc = right_result.data() + s;
    float* weight_acc = weight_sum.data() + s;
    cross_fade_add(left_acc, w.data(), resynthesized.left.data(), len);
    cross_fade_add(right_acc, w.data(), resynthesized.right.data(), len);
    for (std::int32_t i = 0; i < len; ++i) weight_acc[i] = weight_acc[i] + w[static_cast<std::size_t>(i)];
    std::fprintf(stderr, "chunk %d/%d\n", k + 1, schedule.total);
  }

  Stereo vocals;
  vocals.left.resize(input.left.size());
  vocals.right.resize(input.left.size());
  for (std::size_t i = 0; i < vocals.left.size(); ++i) {
    const float divisor = weight_sum[i + EDGE_SAMPLES] + WEIGHT_EPSILON;
    vocals.left[i] = left_result[i + EDGE_SAMPLES] / divisor;
    vocals.right[i] = right_result[i + EDGE_SAMPLES] / divisor;
  }
  return vocals;
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
