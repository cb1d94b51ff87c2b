#include "separation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

#include "constants.hpp"
#include "fma.hpp"
#include "spectral.hpp"

namespace {

// The double nearest 2*pi, written out so that the window's bits never depend on a library constant.
constexpr double TWO_PI = 6.283185307179586;
// Added to every weight sum, never used as a floor: the float nearest 1e-8.
constexpr float WEIGHT_EPSILON = 1e-8f;
// Where the song sits in the padded song, and how that is cut into chunks;
// 64-bit, so that a song of any length has its positions.
struct Schedule {
  std::int64_t frames;  // n
  std::int64_t padded;  // L
  std::int64_t total;   // chunk count
};

Schedule make_schedule(const TransformSizes& z, std::uint64_t frames) {
  const std::int64_t n = static_cast<std::int64_t>(frames);
  const std::int64_t q = n / z.chunk_body();
  const std::int64_t padded = (q + 1) * z.chunk_body() + 2 * std::int64_t{z.edge()};
  return Schedule{n, padded, (padded + z.chunk_step() - 1) / z.chunk_step()};
}

// The frames of the song that the chunks in flight need, read as the chunks
// move on: room for one chunk and one step, so the song itself is never held.
class SongWindow {
 public:
  SongWindow(const FrameSource& read, std::int64_t frames, std::int32_t capacity)
      : read_(read), frames_(frames), left_(static_cast<std::size_t>(capacity)), right_(static_cast<std::size_t>(capacity)) {}

  // Makes song frames [begin, end) (clipped to the song) available; begin never moves back.
  void cover(std::int64_t begin, std::int64_t end) {
    begin = std::clamp<std::int64_t>(begin, 0, frames_);
    end = std::clamp<std::int64_t>(end, 0, frames_);
    if (end <= first_ + held_) return;
    if (end - first_ > static_cast<std::int64_t>(left_.size())) {
      // Frames before begin are done with; the rest moves to the front.
      const std::int64_t drop = begin - first_;
      std::copy(left_.begin() + drop, left_.begin() + held_, left_.begin());
      std::copy(right_.begin() + drop, right_.begin() + held_, right_.begin());
      held_ -= drop;
      first_ = begin;
    }
    const std::size_t count = static_cast<std::size_t>(end - first_ - held_);
    read_(left_.data() + held_, right_.data() + held_, count);
    held_ += static_cast<std::int64_t>(count);
  }

  const float* left(std::int64_t frame) const { return left_.data() + (frame - first_); }
  const float* right(std::int64_t frame) const { return right_.data() + (frame - first_); }

 private:
  const FrameSource& read_;
  std::int64_t frames_;
  std::vector<float> left_, right_;
  std::int64_t first_ = 0;  // the song frame at left_[0]
  std::int64_t held_ = 0;
};

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
    fused_multiply_add_span(left.data(), w + from, chunk.left.data() + from, count);
    fused_multiply_add_span(right.data(), w + from, chunk.right.data() + from, count);
    for (std::int32_t i = 0; i < count; ++i) weight[static_cast<std::size_t>(i)] += w[from + i];
  }

  // Hands the estimate of the song frames these positions hold, of a song of
  // `frames` frames, to write, beside the song's frames; position 0 is song
  // frame first_frame. Step after step, these are the frames that follow
  // those handed over before.
  void divide_into(const FrameSink& write, const SongWindow& song, std::int64_t first_frame, std::int64_t frames) const {
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
      write(FrameBlock{song.left(from), song.right(from), l, r, static_cast<std::size_t>(count)});
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

  // Hands the ring's first step, whose first position is song frame
  // first_frame, to write and moves the ring on by one step.
  void finish_step(const FrameSink& write, const SongWindow& song, std::int64_t first_frame, std::int64_t frames) {
    CrossFadeSums& done = at(0);
    done.divide_into(write, song, first_frame, frames);
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
void copy_padded(const SongWindow& song, std::int64_t frames, std::int64_t first_frame, ChunkSamples& chunk) {
  const std::int64_t size = static_cast<std::int64_t>(chunk.left.size());
  const std::int64_t begin = std::clamp<std::int64_t>(first_frame, 0, frames);
  const std::int64_t end = std::clamp<std::int64_t>(first_frame + size, 0, frames);
  const auto copy = [&](const float* from, std::vector<float>& to) {
    std::fill(to.begin(), to.end(), 0.0f);
    std::copy(from, from + (end - begin), to.begin() + (begin - first_frame));
  };
  copy(song.left(begin), chunk.left);
  copy(song.right(begin), chunk.right);
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

void process_song(Session& session, std::uint64_t frames, const FrameSource& read, const FrameSink& write,
                  const ProgressReport& progress) {
  const TransformSizes& z = session.sizes;
  const std::int32_t chunk_samples = z.chunk_samples();
  const std::int32_t step = z.chunk_step();
  const Schedule schedule = make_schedule(z, frames);
  // Beyond any file a file system holds; the progress count is 32-bit.
  if (schedule.total > INT32_MAX) throw std::length_error("song too long for the chunk schedule");

  // Everything a chunk works in is made once.
  SongWindow song(read, schedule.frames, chunk_samples + step);
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
  for (std::int64_t s = 0; s < schedule.padded; s += step, ++k) {
    const std::int32_t len = static_cast<std::int32_t>(std::min<std::int64_t>(s + chunk_samples, schedule.padded) - s);
    const std::vector<float> short_window = len == chunk_samples ? std::vector<float>() : chunk_window(len);
    const std::vector<float>& w = len == chunk_samples ? full_window : short_window;

    const std::int64_t song_start = s - z.edge();
    song.cover(song_start, song_start + chunk_samples);
    if (song_start >= 0 && song_start + chunk_samples <= schedule.frames) {
      transforms.analyse(song.left(song_start), song.right(song_start), spectrogram);
    } else {
      copy_padded(song, schedule.frames, song_start, padded_chunk);
      transforms.analyse(padded_chunk.left.data(), padded_chunk.right.data(), spectrogram);
    }
    infer_chunk(session, spectrogram, network_output);
    sums.add(transforms.resynthesize(network_output, high_bins), w, len);
    sums.finish_step(write, song, song_start, schedule.frames);
    if (progress) progress(k + 1, static_cast<std::int32_t>(schedule.total));
  }
}

FrameBlock OtherStem::of(const FrameBlock& b) {
  left_.resize(b.count);
  right_.resize(b.count);
  for (std::size_t i = 0; i < b.count; ++i) {
    left_[i] = b.song_left[i] - b.left[i];
    right_[i] = b.song_right[i] - b.right[i];
  }
  return FrameBlock{b.song_left, b.song_right, left_.data(), right_.data(), b.count};
}

void estimate_vocals(Session& session, std::uint64_t frames, const FrameSource& read, const FrameSink& write,
                     const ProgressReport& progress) {
  if (session.stem == Stem::vocals) return process_song(session, frames, read, write, progress);
  // The vocals are the song less the network's estimate of the instrumental.
  OtherStem vocals;
  process_song(session, frames, read, [&](const FrameBlock& b) { write(vocals.of(b)); }, progress);
}

std::uint64_t separation_bytes(const TransformSizes& z, std::int32_t networks) {
  // The spectrogram and the network's output; the resynthesis output and
  // divisor, a padded chunk and two cross-fade windows (seven chunks' worth);
  // the cross-fade sums, three floats a position over the steps a chunk
  // spans; the song's window, two channels of a chunk and a step; the
  // overlap-add spans and the transform block (under three spans).
  const std::uint64_t chunk = std::uint64_t(z.chunk_samples());
  const std::uint64_t step = std::uint64_t(z.chunk_step());
  const std::uint64_t floats = 2 * std::uint64_t{z.spectrogram_floats()} + 7 * chunk +
                               3 * step * std::uint64_t(z.steps_per_chunk()) + 2 * (chunk + step) +
                               3 * std::uint64_t(z.ola_samples());
  // Blocks on their way to and from the files: the stems' (and the reader's),
  // and for several networks those they are averaged in.
  const std::uint64_t blocks = (networks > 1 ? 10 : 4) * 8192 * 8;
  return sizeof(float) * floats + blocks;
}
