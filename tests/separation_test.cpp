// Whole-song separation with the generated test models: the cross-fade and the
// normalisation must give back exactly what the model returned, at every position.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

#include "pipeline_support.hpp"
#include "separation.hpp"
#include "test_support.hpp"

namespace {

constexpr double BIN_HZ = 44100.0 / FFT_SIZE;
// Spelt out: M_PI is an extension that strict C++17 on Windows lacks.
constexpr double PI = 3.14159265358979323846;

// Steady tones on exact bins (no leakage into the cleared bins 0 to 2) with a smooth
// fade at both ends, so that the onset adds no low-frequency content either.
Stereo tones(std::size_t frames, const std::vector<int>& left_bins, const std::vector<int>& right_bins) {
  Stereo song;
  song.left.resize(frames);
  song.right.resize(frames);
  const double fade = 8192.0;
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i);
    double gain = 1.0;
    if (t < fade) gain = 0.5 - 0.5 * std::cos(PI * t / fade);
    if (static_cast<double>(frames - 1 - i) < fade) gain = 0.5 - 0.5 * std::cos(PI * static_cast<double>(frames - 1 - i) / fade);
    double l = 0.0, r = 0.0;
    for (std::size_t j = 0; j < left_bins.size(); ++j)
      l += 0.2 / double(j + 1) * std::sin(2.0 * PI * left_bins[j] * BIN_HZ * t / 44100.0 + double(j));
    for (std::size_t j = 0; j < right_bins.size(); ++j)
      r += 0.2 / double(j + 1) * std::sin(2.0 * PI * right_bins[j] * BIN_HZ * t / 44100.0 + 0.5 * double(j));
    song.left[i] = static_cast<float>(gain * l);
    song.right[i] = static_cast<float>(gain * r);
  }
  return song;
}

double rms(const std::vector<float>& v) {
  double sum = 0.0;
  for (float x : v) sum += double(x) * double(x);
  return v.empty() ? 0.0 : std::sqrt(sum / double(v.size()));
}

double rms_difference(const std::vector<float>& a, const std::vector<float>& b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - double(b[i])) * (double(a[i]) - double(b[i]));
  return a.empty() ? 0.0 : std::sqrt(sum / double(a.size()));
}

// Amplitude of the tone at an exact bin frequency.
double tone_amplitude(const std::vector<float>& v, int bin) {
  double re = 0.0, im = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double phase = 2.0 * PI * bin * BIN_HZ * double(i) / 44100.0;
    re += double(v[i]) * std::cos(phase);
    im += double(v[i]) * std::sin(phase);
  }
  return 2.0 * std::hypot(re, im) / double(v.size());
}

struct Separated {
  Stereo vocals;
  Stereo instrumental;
};

// The song minus an estimate of it, as the tool makes the other stem.
Stereo other_stem(const Stereo& song, const Stereo& estimate) {
  OtherStem other;
  const FrameBlock b =
      other.of({song.left.data(), song.right.data(), estimate.left.data(), estimate.right.data(), song.left.size()});
  return Stereo{{b.left, b.left + b.count}, {b.right, b.right + b.count}};
}

Separated separate(const std::string& model, const Stereo& song) {
  Session session;
  open_session(session, test_model(model));
  Separated result;
  result.vocals = process_song(session, song);
  result.instrumental = other_stem(song, result.vocals);
  return result;
}

}  // namespace

TEST(ChunkWindow, IsASymmetricHannWithZeroEnds) {
  EXPECT_TRUE(chunk_window(0).empty());
  EXPECT_EQ(chunk_window(1), std::vector<float>{1.0f});
  EXPECT_EQ(chunk_window(2), (std::vector<float>{0.0f, 0.0f}));
  EXPECT_EQ(chunk_window(3), (std::vector<float>{0.0f, 1.0f, 0.0f}));
  EXPECT_EQ(chunk_window(5), (std::vector<float>{0.0f, 0.5f, 1.0f, 0.5f, 0.0f}));

  for (std::int32_t len : {CHUNK_SAMPLES, CHUNK_SAMPLES - CHUNK_STEP + 1536, 1536}) {
    const std::vector<float> w = chunk_window(len);
    ASSERT_EQ(w.size(), static_cast<std::size_t>(len));
    for (std::int32_t i = 0; i < len; ++i) ASSERT_EQ(w[i], w[len - 1 - i]) << "len " << len << " i " << i;
  }
}

TEST(ChunkWindow, TwoFullWindowsOverlappingByHalfSumToOne) {
  const std::vector<float> w = chunk_window(CHUNK_SAMPLES);
  for (std::int32_t i = 0; i < CHUNK_STEP; ++i)
    ASSERT_NEAR(double(w[i + CHUNK_STEP]) + double(w[i]), 1.0, 1e-5) << "position " << i;
}

TEST(ProcessSong, IdentityModelGivesBackTheSong) {
  // 441000 frames: four chunks, the last two short.
  const Stereo song = tones(441000, {30, 47, 89, 233, 610}, {41, 61, 140, 400, 1201});
  const Separated out = separate("identity.onnx", song);
  ASSERT_EQ(out.vocals.left.size(), song.left.size());
  ASSERT_EQ(out.vocals.right.size(), song.right.size());
  ASSERT_EQ(out.instrumental.left.size(), song.left.size());

  EXPECT_LT(rms_difference(out.vocals.left, song.left), 1e-5 * rms(song.left));
  EXPECT_LT(rms_difference(out.vocals.right, song.right), 1e-5 * rms(song.right));
  EXPECT_LT(rms(out.instrumental.left), 1e-5 * rms(song.left));
  EXPECT_LT(rms(out.instrumental.right), 1e-5 * rms(song.right));
  for (std::size_t i = 0; i < song.left.size(); ++i) {
    ASSERT_NEAR(out.instrumental.left[i] + out.vocals.left[i], song.left[i], 1e-7) << "frame " << i;
    ASSERT_NEAR(out.instrumental.right[i] + out.vocals.right[i], song.right[i], 1e-7) << "frame " << i;
  }
}

TEST(ProcessSong, MonoInputGivesEqualChannels) {
  Stereo song = tones(100000, {52, 300}, {});
  song.right = song.left;
  const Separated out = separate("identity.onnx", song);
  EXPECT_EQ(out.vocals.left, out.vocals.right);
  EXPECT_EQ(out.instrumental.left, out.instrumental.right);
}

TEST(ProcessSong, GainModelHalvesEverySampleIncludingBothEnds) {
  // No fade: the song's first sample, weighted by chunk 0 alone, is far from zero.
  Stereo song = tones(300000, {35, 77, 500}, {44, 123});
  for (std::size_t i = 0; i < 6; ++i) song.left[i] = song.right[i] = 0.5f;
  song.left.back() = song.right.back() = -0.5f;
  const Separated identity = separate("identity.onnx", song);
  const Separated half = separate("gain_half.onnx", song);
  const double peak = 1.0;
  for (std::size_t i = 0; i < song.left.size(); ++i) {
    ASSERT_NEAR(half.vocals.left[i], 0.5 * identity.vocals.left[i], 1e-6 * peak) << "frame " << i;
    ASSERT_NEAR(half.vocals.right[i], 0.5 * identity.vocals.right[i], 1e-6 * peak) << "frame " << i;
  }
  EXPECT_NEAR(half.vocals.left.front(), 0.25, 0.01);
  EXPECT_NEAR(half.vocals.left.back(), -0.25, 0.01);
}

TEST(ProcessSong, BandModelSplitsALowAndAHighTone) {
  // The band model passes bins below 256 and removes the rest.
  const int low = 40, high = 1000;
  const Stereo song = tones(200000, {low, high}, {low, high});
  const Separated out = separate("band_zero.onnx", song);
  for (const auto* channel : {&out.vocals.left, &out.vocals.right}) {
    EXPECT_NEAR(tone_amplitude(*channel, low), 0.2, 0.01);
    EXPECT_LT(tone_amplitude(*channel, high), 1e-4);
  }
  for (const auto* channel : {&out.instrumental.left, &out.instrumental.right}) {
    EXPECT_LT(tone_amplitude(*channel, low), 1e-4);
    EXPECT_NEAR(tone_amplitude(*channel, high), 0.1, 0.01);
  }
}

TEST(ProcessSong, EmptySongStillRunsTwoChunksAndGivesEmptyStems) {
  const Separated out = separate("identity.onnx", Stereo{});
  EXPECT_TRUE(out.vocals.left.empty());
  EXPECT_TRUE(out.vocals.right.empty());
  EXPECT_TRUE(out.instrumental.left.empty());
}

TEST(ProcessSong, AModelFailureAtALaterChunkPropagatesAfterTheEarlierProgress) {
  // Loud only at plane position 303072: inside chunks 1 and 2, outside chunk 0.
  Stereo song = tones(400000, {60}, {60});
  for (std::size_t i = 300000; i < 300100; ++i) song.left[i] = 5000.0f;
  Session session;
  open_session(session, test_model("fail_when_loud.onnx"));
  std::vector<std::pair<int, int>> reported;
  EXPECT_THROW(process_song(session, song, [&](int done, int total) { reported.emplace_back(done, total); }),
               std::runtime_error);
  EXPECT_EQ(reported, (std::vector<std::pair<int, int>>{{1, 4}}));
}

TEST(ProcessSong, StreamsEachStepBesideTheSongFramesItBelongsTo) {
  // Read in whatever pieces the chunks ask for, handed on in song order, every
  // estimate block beside the very song frames of its positions.
  for (const std::size_t frames : {std::size_t{0}, std::size_t{1000}, std::size_t{509952}, std::size_t{700001}}) {
    SCOPED_TRACE(frames);
    const Stereo song = tones(frames, {60, 200}, {90});
    Session session;
    open_session(session, test_model("identity.onnx"));
    std::size_t read = 0, written = 0;
    bool beside = true;
    process_song(
        session, frames,
        [&](float* left, float* right, std::size_t count) {
          ASSERT_LE(read + count, frames);
          std::copy_n(song.left.begin() + static_cast<std::ptrdiff_t>(read), count, left);
          std::copy_n(song.right.begin() + static_cast<std::ptrdiff_t>(read), count, right);
          read += count;
        },
        [&](const FrameBlock& b) {
          for (std::size_t i = 0; i < b.count; ++i)
            beside = beside && b.song_left[i] == song.left[written + i] && b.song_right[i] == song.right[written + i];
          written += b.count;
        },
        {});
    EXPECT_EQ(read, frames);
    EXPECT_EQ(written, frames);
    EXPECT_TRUE(beside);
  }
}

TEST(OtherStem, SubtractsFrameByFrameWithoutClipping) {
  const Stereo input{{1.5f, -2.0f, 0.25f, NAN}, {0.0f, 3.0f, -1.0f, INFINITY}};
  const Stereo vocals{{0.5f, 1.0f, 0.25f, 0.0f}, {-1.0f, 0.5f, -3.0f, 1.0f}};
  const Stereo instrumental = other_stem(input, vocals);
  EXPECT_EQ(instrumental.left[0], 1.0f);
  EXPECT_EQ(instrumental.left[1], -3.0f);
  EXPECT_EQ(instrumental.left[2], 0.0f);
  EXPECT_TRUE(std::isnan(instrumental.left[3]));
  EXPECT_EQ(instrumental.right, (std::vector<float>{1.0f, 2.5f, 2.0f, INFINITY}));
}
