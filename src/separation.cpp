#include "separation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <utility>
#include <vector>

#include "constants.hpp"
#include "song_buffer.hpp"
#include "spectral.hpp"

namespace {

// The double nearest 2*pi, written out so that the window's bits never depend on a library constant.
constexpr double TWO_PI = 6.283185307179586;
// Added to every weight sum, never used as a floor: the float nearest 1e-8.
constexpr float WEIGHT_EPSILON = 1e-8f;
// Where the song sits in the padded planes, and how they are cut into chunks.
struct Schedule {
  std::int32_t frames;  // n
  std::int32_t padded;  // L
  std::int32_t total;   // chunk count
};

// Whether every position of the schedule of a song of this many frames, up to
// the last chunk's end and L + step - 1, fits 32 bits.
bool schedule_fits(const TransformSizes& z, std::int64_t frames) {
  const std::int64_t q = frames / z.chunk_body();
  return q * z.chunk_body() + 2 * std::int64_t{z.chunk_samples()} - 1 <= INT32_MAX;
}

// acc[i] = fma(samples[i], w[i], acc[i]): the overlap-add kernel computes the
// same single rounding, with the processor's FMA instructions where it has them
// instead of a library call per sample.
void cross_fade_add(float* acc, const float* w, const float* samples, std::int32_t count) {
  if (!spectral_kernels::overlap_add_fused(acc, w, samples, count))
    spectral_kernels::overlap_add_portable(acc, w, samples, count);
}

Schedule make_schedule(const TransformSizes& z, std::int32_t frames) {
  const std::int32_t q = frames / z.chunk_body();
  const std::int32_t padded = (q + 1) * z.chunk_body() + 2 * z.edge();
  return Schedule{frames, padded, (padded + z.chunk_step() - 1) / z.chunk_step()};
}

// The cross-fade sums of one chunk step of positions of the padded song. Each
// chunk adds to its sums in chunk order from zero, so the sums round exactly
// as when they ran over the whole padded song.
struct CrossFadeSums {
  explicit CrossFadeSums(std::int32_t step)
      : left(static_cast<std::size_t>(step)), right(static_cast<std::size_t>(step)), weight(static_cast<std::size_t>(step)) {}
  std::vector<float> left;
  std::vector<float> right;
  std::vector<float> weight;

  // Adds samples [from, from + count) of the chunk, weighted by w.
  void add(const ChunkSamples& chunk, const float* w, std::int32_t from, std::int32_t count) {
    if (count <= 0) return;
    cross_fade_add(left.data(), w + from, chunk.left.data() + from, count);
    cross_fade_add(right.data(), w + from, chunk.right.data() + from, count);
    for (std::int32_t i = 0; i < count; ++i) weight[static_cast<std::size_t>(i)] += w[from + i];
  }

  // Appends the estimate of the song frames these positions hold, of a song of
  // `frames` frames; position 0 is song frame first_frame. Step after step,
  // these are the frames that follow those appended before.
  void divide_into(Stereo& estimate, std::int64_t first_frame, std::int64_t frames) const {
    const std::int64_t begin = std::max<std::int64_t>(first_frame, 0);
    const std::int64_t end = std::min<std::int64_t>(first_frame + static_cast<std::int64_t>(left.size()), frames);
    constexpr std::int64_t BLOCK = 4096;
    float l[BLOCK];
    float r[BLOCK];
    for (std::int64_t from = begin; from < end; from += BLOCK) {
      const std::int64_t count = std::min(BLOCK, end - from);
      for (std::int64_t f = 0; f < count; ++f) {
        const std::size_t i = static_cast<std::size_t>(from + f - first_frame);
        const float divisor = weight[i] + WEIGHT_EPSILON;
        l[f] = left[i] / divisor;
        r[f] = right[i] / divisor;
      }
      estimate.left.insert(estimate.left.end(), l, l + count);
      estimate.right.insert(estimate.right.end(), r, r + count);
    }
  }

  void clear() {
    std::fill(left.begin(), left.end(), 0.0f);
    std::fill(right.begin(), right.end(), 0.0f);
    std::fill(weight.begin(), weight.end(), 0.0f);
  }
};

// The sums of the steps one chunk spans, as a ring: the chunk starting at step
// k is the last to touch step k, which is then divided out and, cleared,
// becomes the ring's last step for the chunk after it.
class CrossFadeRing {
 public:
  explicit CrossFadeRing(const TransformSizes& z) : step_(z.chunk_step()) {
    steps_.reserve(static_cast<std::size_t>(z.steps_per_chunk()));
    for (std::int32_t i = 0; i < z.steps_per_chunk(); ++i) steps_.emplace_back(step_);
  }

  // Adds the first len samples of the chunk that starts at the ring's first step, weighted by w.
  void add(const ChunkSamples& chunk, const std::vector<float>& w, std::int32_t len) {
    for (std::int32_t from = 0, i = 0; from < len; from += step_, ++i)
      at(i).add(chunk, w.data(), from, std::min(step_, len - from));
  }

  // Appends the ring's first step, whose first position is song frame
  // first_frame, to the estimate and moves the ring on by one step.
  void finish_step(Stereo& estimate, std::int64_t first_frame, std::int64_t frames) {
    CrossFadeSums& done = at(0);
    done.divide_into(estimate, first_frame, frames);
    done.clear();
    first_ = (first_ + 1) % steps_.size();
  }

 private:
  CrossFadeSums& at(std::int32_t i) { return steps_[(first_ + static_cast<std::size_t>(i)) % steps_.size()]; }

  std::int32_t step_;
  std::vector<CrossFadeSums> steps_;
  std::size_t first_ = 0;
};

// The chunk of the padded song whose first sample is song frame first_frame:
// the song where it overlaps, zeros before and after it.
void copy_padded(const Stereo& song, std::int64_t first_frame, ChunkSamples& chunk) {
  const std::int64_t frames = static_cast<std::int64_t>(song.left.size());
  const std::int64_t begin = std::clamp<std::int64_t>(first_frame, 0, frames);
  const std::int64_t end = std::clamp<std::int64_t>(first_frame + static_cast<std::int64_t>(chunk.left.size()), 0, frames);
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
  const TransformSizes& z = session.sizes;
  if (input.right.size() != input.left.size()) throw std::invalid_argument("channels of different lengths");
  if (!schedule_fits(z, static_cast<std::int64_t>(input.left.size())))
    throw std::length_error("song too long for the chunk schedule");

  const std::int32_t chunk_samples = z.chunk_samples();
  const std::int32_t step = z.chunk_step();
  const Schedule schedule = make_schedule(z, static_cast<std::int32_t>(input.left.size()));
  Stereo estimate;
  reserve_song(estimate.left, input.left.size());
  reserve_song(estimate.right, input.left.size());

  // Everything a chunk works in is made once.
  ChunkTransforms transforms(make_analysis_window(z.fft_size), z);
  Spectrogram spectrogram(z.spectrogram_floats());
  Spectrogram network_output(z.spectrogram_floats());
  ChunkSamples padded_chunk{std::vector<float>(static_cast<std::size_t>(chunk_samples)),
                            std::vector<float>(static_cast<std::size_t>(chunk_samples))};
  CrossFadeRing sums(z);
  // All chunks but the last few have the full length: their cross-fade window is made once.
  const std::vector<float> full_window = chunk_window(chunk_samples);
  const HighBins high_bins = session.stem == Stem::instrumental ? HighBins::from_mix : HighBins::zero;

  std::int32_t k = 0;
  for (std::int32_t s = 0; s < schedule.padded; s += step, ++k) {
    const std::int32_t len = std::min(s + chunk_samples, schedule.padded) - s;
    const std::vector<float> short_window = len == chunk_samples ? std::vector<float>() : chunk_window(len);
    const std::vector<float>& w = len == chunk_samples ? full_window : short_window;

    const std::int64_t song_start = std::int64_t{s} - z.edge();
    if (song_start >= 0 && song_start + chunk_samples <= schedule.frames) {
      transforms.analyse(input.left.data() + song_start, input.right.data() + song_start, spectrogram);
    } else {
      copy_padded(input, song_start, padded_chunk);
      transforms.analyse(padded_chunk.left.data(), padded_chunk.right.data(), spectrogram);
    }
    infer_chunk(session, spectrogram, network_output);
    sums.add(transforms.resynthesize(network_output, high_bins), w, len);
    sums.finish_step(estimate, song_start, schedule.frames);
    std::fprintf(stderr, "chunk %d/%d\n", k + 1, schedule.total);
  }
  return estimate;
}

std::uint64_t separation_bytes(std::uint64_t frames, const TransformSizes& z, std::int32_t networks) {
  // The spectrogram and the network's output; the resynthesis output and
  // divisor, a padded chunk, the cross-fade sums and two windows (ten chunks'
  // worth); the overlap-add spans and the transform block (under three spans).
  const std::uint64_t chunk_in_flight =
      sizeof(float) * (2 * std::uint64_t{z.spectrogram_floats()} + 10 * std::uint64_t(z.chunk_samples()) +
                       3 * std::uint64_t(z.ola_samples()));
  // The input and the vocals (the instrumental is made in the input's memory);
  // several networks' vocals are summed beside the one running.
  const std::uint64_t songs = networks > 1 ? 3 : 2;
  return songs * 2 * sizeof(float) * frames + chunk_in_flight;
}

Stereo estimate_vocals(Session& session, const Stereo& input) {
  Stereo estimate = process_song(session, input);
  if (session.stem == Stem::instrumental) difference_into(input, estimate, estimate);
  return estimate;
}

void add_into(Stereo& sum, const Stereo& addend) {
  for (std::size_t i = 0; i < sum.left.size(); ++i) {
    sum.left[i] += addend.left[i];
    sum.right[i] += addend.right[i];
  }
}

void divide(Stereo& song, float divisor) {
  for (std::size_t i = 0; i < song.left.size(); ++i) {
    song.left[i] /= divisor;
    song.right[i] /= divisor;
  }
}

void difference_into(const Stereo& a, const Stereo& b, Stereo& out) {
  const std::size_t frames = a.left.size();
  if (a.right.size() != frames || b.left.size() != frames || b.right.size() != frames ||
      out.left.size() != frames || out.right.size() != frames)
    throw std::invalid_argument("stems of different lengths");
  for (std::size_t i = 0; i < frames; ++i) {
    out.left[i] = a.left[i] - b.left[i];
    out.right[i] = a.right[i] - b.right[i];
  }
}

Stereo derive_instrumental(const Stereo& input, const Stereo& vocals) {
  Stereo instrumental = input;
  difference_into(input, vocals, instrumental);
  return instrumental;
}
