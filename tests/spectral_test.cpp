#include "spectral.hpp"

#include <gtest/gtest.h>

#include <pocketfft_hdronly.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "fma.hpp"
#include "pipeline_support.hpp"
#include "test_support.hpp"

namespace {

constexpr double PI = 3.14159265358979323846;
const std::vector<float>& window() {
  static const std::vector<float> w = make_analysis_window(FFT_SIZE);
  return w;
}

std::vector<float> noise(std::size_t count, unsigned seed, float scale = 1.0f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-scale, scale);
  std::vector<float> v(count);
  for (float& x : v) x = dist(gen);
  return v;
}

// amplitude * cos(2 pi * j * cycles / period + phase), the argument reduced exactly first.
std::vector<float> tone(std::int64_t cycles, std::int64_t period, double amplitude, double phase = 0) {
  std::vector<float> v(CHUNK_SAMPLES);
  for (std::int64_t j = 0; j < CHUNK_SAMPLES; ++j)
    v[j] = static_cast<float>(amplitude * std::cos(2 * PI * double(j * cycles % period) / double(period) + phase));
  return v;
}

// Chunk position of the signed index j = t * HOP_SIZE + n - EDGE_SAMPLES.
std::int32_t mirrored(std::int32_t j) { return j < 0 ? -j : j >= CHUNK_SAMPLES ? 2 * (CHUNK_SAMPLES - 1) - j : j; }

// The algorithm step by step, with the library's transform calls as given.
Spectrogram literal_spectrogram(const std::vector<float>& left, const std::vector<float>& right) {
  Spectrogram spec(SPECTROGRAM_FLOATS);
  std::vector<float> frame(FFT_SIZE);
  std::vector<std::complex<float>> bins(SPECTRUM_BINS);
  for (int c = 0; c < 2; ++c) {
    const std::vector<float>& chunk = c == 0 ? left : right;
    for (int t = 0; t < MODEL_FRAMES; ++t) {
      for (int n = 0; n < FFT_SIZE; ++n) frame[n] = chunk[mirrored(t * HOP_SIZE + n - EDGE_SAMPLES)] * window()[n];
      pocketfft::r2c({FFT_SIZE}, {4}, {8}, std::size_t{0}, true, frame.data(), bins.data(), 1.0f, 1);
      for (int k = 0; k < MODEL_BINS; ++k) {
        spec[spectrogram_index(2 * c, k, t)] = bins[k].real();
        spec[spectrogram_index(2 * c + 1, k, t)] = bins[k].imag();
      }
    }
  }
  for (int p = 0; p < 4; ++p)
    for (int k = 0; k < ZEROED_BINS; ++k)
      for (int t = 0; t < MODEL_FRAMES; ++t) spec[spectrogram_index(p, k, t)] = 0.0f;
  return spec;
}

ChunkSamples literal_resynthesis(const Spectrogram& spec) {
  const float scale = float_of(0x392AAAABu);
  std::vector<float> acc(2 * OLA_SAMPLES), env(OLA_SAMPLES), sq(FFT_SIZE), frame(FFT_SIZE);
  std::vector<std::complex<float>> bins(SPECTRUM_BINS);
  for (int n = 0; n < FFT_SIZE; ++n) sq[n] = window()[n] * window()[n];
  for (int c = 0; c < 2; ++c) {
    for (int t = 0; t < MODEL_FRAMES; ++t) {
      for (int k = 0; k < MODEL_BINS; ++k)
        bins[k] = {spec[spectrogram_index(2 * c, k, t)], spec[spectrogram_index(2 * c + 1, k, t)]};
      bins[MODEL_BINS] = 0.0f;
      pocketfft::c2r({FFT_SIZE}, {8}, {4}, std::size_t{0}, false, bins.data(), frame.data(), scale, 1);
      for (int n = 0; n < FFT_SIZE; ++n) {
        const int m = t * HOP_SIZE + n;
        acc[c * OLA_SAMPLES + m] = fused_multiply_add(window()[n], frame[n], acc[c * OLA_SAMPLES + m]);
        if (c == 0) env[m] = env[m] + sq[n];
      }
    }
  }
  ChunkSamples out{std::vector<float>(CHUNK_SAMPLES), std::vector<float>(CHUNK_SAMPLES)};
  for (int n = 0; n < CHUNK_SAMPLES; ++n) {
    const float d = std::max(env[EDGE_SAMPLES + n], float_of(0x322BCC77u));
    out.left[n] = acc[EDGE_SAMPLES + n] / d;
    out.right[n] = acc[OLA_SAMPLES + EDGE_SAMPLES + n] / d;
  }
  return out;
}

// Index of the first element whose bits differ, or -1.
long first_difference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (bits_of(a[i]) != bits_of(b[i])) return static_cast<long>(i);
  return -1;
}

double max_abs_difference(const std::vector<float>& a, const std::vector<float>& b, std::size_t from, std::size_t to) {
  double worst = 0;
  for (std::size_t i = from; i < to; ++i) worst = std::max(worst, std::abs(double(a[i]) - double(b[i])));
  return worst;
}

TEST(AnalysisWindow, CheckValuesBitsAndSymmetry) {
  const auto& w = window();
  ASSERT_EQ(w.size(), static_cast<std::size_t>(FFT_SIZE));
  const struct { int i; std::uint32_t bits; } table[] = {
      {0, 0x00000000u},    {1, 0x348C5E21u},    {6143, 0x348C5E21u}, {512, 0x3D8930A3u}, {1024, 0x3E800000u},
      {1536, 0x3F000000u}, {2048, 0x3F400000u}, {3071, 0x3F7FFFFCu}, {3073, 0x3F7FFFFCu}, {3072, 0x3F800000u},
  };
  for (const auto& row : table) EXPECT_EQ(bits_of(w[row.i]), row.bits) << "w[" << row.i << "]";
  for (int i = 1; i < FFT_SIZE; ++i) ASSERT_EQ(bits_of(w[FFT_SIZE - i]), bits_of(w[i])) << "i = " << i;
}

TEST(Spectral, BlockedTransformsMatchTheStepByStepAlgorithmBitForBit) {
  // Mixed magnitudes so that rounding differences anywhere would show.
  auto left = noise(CHUNK_SAMPLES, 11);
  auto right = noise(CHUNK_SAMPLES, 12, 1e5f);
  for (std::size_t i = 0; i < left.size(); i += 977) left[i] *= 3e-4f;
  // One ChunkTransforms throughout, as the chunk loop keeps it: nothing of an earlier chunk may linger.
  ChunkTransforms transforms(window(), DEFAULT_SIZES);
  Spectrogram spec(SPECTROGRAM_FLOATS, 7.0f);
  transforms.analyse(right.data(), left.data(), spec);
  transforms.analyse(left.data(), right.data(), spec);
  EXPECT_EQ(first_difference(spec, literal_spectrogram(left, right)), -1);

  // A model may return anything, bins 0 to 2 and the imaginary part of bin 0 included.
  const Spectrogram returned = noise(SPECTROGRAM_FLOATS, 13, 300.0f);
  for (const Spectrogram* s : {&returned, static_cast<const Spectrogram*>(&spec), &returned}) {
    const ChunkSamples fast = transforms.resynthesize(*s);
    const ChunkSamples literal = literal_resynthesis(*s);
    EXPECT_EQ(first_difference(fast.left, literal.left), -1);
    EXPECT_EQ(first_difference(fast.right, literal.right), -1);
  }
}

TEST(Spectral, FusedMultiplyAddBuildsRoundOnce) {
  // Each value is an integer below 2^24 in magnitude times a power of two, so
  // w * f + acc is an integer below 2^49 times 2^-38: int64 holds it exactly,
  // its one conversion to float is the single rounding both builds promise, and
  // the scaling by 2^-38 after it is exact (the result stays a normal float).
  const int count = FFT_SIZE + 5;  // not a whole number of vectors
  std::mt19937 gen(21);
  const auto draw = [&gen] { return std::int64_t(gen() % 33554431) - 16777215; };
  std::vector<float> acc(count), w(count), f(count), exact(count);
  for (int n = 0; n < count; ++n) {
    const std::int64_t i = draw(), j = draw(), k = draw();
    w[n] = std::ldexp(static_cast<float>(i), -24);
    f[n] = std::ldexp(static_cast<float>(j), -14);
    acc[n] = std::ldexp(static_cast<float>(k), -24);
    exact[n] = std::ldexp(static_cast<float>(i * j + k * 16384), -38);
  }
  int unfused_differs = 0;
  for (int n = 0; n < count; ++n) unfused_differs += bits_of(exact[n]) != bits_of(w[n] * f[n] + acc[n]);
  ASSERT_GT(unfused_differs, count / 10) << "data must tell a fused from an unfused multiply-add";
  // The span takes the processor's fused instructions where it has them.
  auto span = acc;
  fused_multiply_add_span(span.data(), w.data(), f.data(), count);
  for (int n = 0; n < count; ++n) {
    ASSERT_EQ(bits_of(fused_multiply_add(w[n], f[n], acc[n])), bits_of(exact[n])) << n;
    ASSERT_EQ(bits_of(span[n]), bits_of(exact[n])) << n;
  }
}

// The software fused multiply-add that stands in for a C library's faulty one.
TEST(Spectral, FmaThroughDoubleRoundsOnce) {
  struct Case {
    float a, b, c;
    std::uint32_t bits;
  };
  const Case cases[] = {
      // The double sum lands halfway between two floats; the exact sum lies below it.
      {1.0f + 0x1p-15f, (1.0f - 0x1p-15f) * 0x1p-24f, 1.0f + 0x1p-23f, 0x3F800001u},
      // Its mirror image below zero.
      {-(1.0f + 0x1p-15f), (1.0f - 0x1p-15f) * 0x1p-24f, -(1.0f + 0x1p-23f), 0xBF800001u},
      {2.0f, 3.0f, 1.0f, bits_of(7.0f)},
      {1e30f, 1e30f, 0.0f, bits_of(INFINITY)},
  };
  for (const Case& c : cases) EXPECT_EQ(bits_of(fma_through_double(c.a, c.b, c.c)), c.bits) << c.a << " " << c.c;
#ifndef __MINGW32__
  const auto acc = noise(100000, 31, 1.0f), w = noise(100000, 32, 1.0f), f = noise(100000, 33, 1e3f);
  for (std::size_t n = 0; n < acc.size(); ++n)
    ASSERT_EQ(bits_of(fma_through_double(w[n], f[n], acc[n])), bits_of(std::fma(w[n], f[n], acc[n]))) << n;
#endif
}

// X[k] of a frame given as a few (tap, value) pairs, in double precision.
std::complex<double> sparse_dft(const std::vector<std::pair<int, double>>& taps, int k) {
  std::complex<double> sum = 0;
  for (const auto& [n, v] : taps) sum += v * std::polar(1.0, -2 * PI * double((std::int64_t(k) * n) % FFT_SIZE) / FFT_SIZE);
  return sum;
}

TEST(ChunkSpectrogram, ImpulsesShowWhichTapsReadAPosition) {
  const struct { int frame; int position; std::vector<int> taps; } table[] = {
      {0, 0, {3072}},          // the mirror axis is read once
      {0, 1, {3071, 3073}},    {0, 2000, {1072, 5072}}, {0, 3071, {1, 6143}},
      {1, 5, {2043, 2053}},    {128, 131000, {3000}},   {254, 261000, {3976, 4214}},
      {255, 261119, {3071}},   {255, 261118, {3070, 3072}}, {255, 260000, {1952, 4190}},
      {255, 258047, {6143}},
  };
  for (const auto& row : table) {
    std::vector<float> left(CHUNK_SAMPLES), right(CHUNK_SAMPLES);
    left[row.position] = 1.0f;
    right[row.position] = -2.0f;
    const Spectrogram spec = chunk_spectrogram(left, right, window());
    for (int c = 0; c < 2; ++c) {
      std::vector<std::pair<int, double>> taps;
      double size = 0;
      for (int n : row.taps) {
        taps.emplace_back(n, (c == 0 ? 1.0 : -2.0) * window()[n]);
        size += std::abs(taps.back().second);
      }
      double worst = 0;
      for (int k = ZEROED_BINS; k < MODEL_BINS; ++k) {
        const std::complex<double> x = sparse_dft(taps, k);
        worst = std::max({worst, std::abs(spec[spectrogram_index(2 * c, k, row.frame)] - x.real()),
                          std::abs(spec[spectrogram_index(2 * c + 1, k, row.frame)] - x.imag())});
      }
      EXPECT_LE(worst, 4e-6 * size) << "frame " << row.frame << " position " << row.position << " channel " << c;
    }
  }
}

TEST(ChunkSpectrogram, ExactBinTonesLandAtTheirBinInEveryDirectFrame) {
  const int k_left = 100, k_right = 2500;
  const Spectrogram spec = chunk_spectrogram(tone(k_left, FFT_SIZE, 1.0), tone(k_right, FFT_SIZE, 1.0, -PI / 2), window());
  // A Hann-windowed tone of exact bin frequency: N/4 at its bin, -N/8 either side, nothing elsewhere.
  double worst = 0;
  for (int t = 3; t <= 252; ++t) {
    for (int c = 0; c < 2; ++c) {
      const int k0 = c == 0 ? k_left : k_right;
      const double phase = 2 * PI * double((std::int64_t(k0) * (t * HOP_SIZE - EDGE_SAMPLES)) % FFT_SIZE) / FFT_SIZE -
                           (c == 0 ? 0.0 : PI / 2);
      for (int k = 0; k < MODEL_BINS; ++k) {
        const double size = k < ZEROED_BINS ? 0 : k == k0 ? FFT_SIZE / 4.0 : std::abs(k - k0) == 1 ? -FFT_SIZE / 8.0 : 0;
        const std::complex<double> x = size * std::polar(1.0, phase);
        worst = std::max({worst, std::abs(spec[spectrogram_index(2 * c, k, t)] - x.real()),
                          std::abs(spec[spectrogram_index(2 * c + 1, k, t)] - x.imag())});
      }
    }
  }
  EXPECT_LE(worst, 1e-3);
}

TEST(ChunkSpectrogram, MatchesADirectDoublePrecisionTransform) {
  const auto left = noise(CHUNK_SAMPLES, 31), right = noise(CHUNK_SAMPLES, 32);
  const Spectrogram spec = chunk_spectrogram(left, right, window());
  for (int t : {0, 1, 2, 3, 128, 252, 253, 254, 255}) {
    for (int c = 0; c < 2; ++c) {
      const auto& chunk = c == 0 ? left : right;
      for (int k : {3, 4, 1001, 2047, 3070, 3071}) {
        std::complex<double> x = 0;
        for (int n = 0; n < FFT_SIZE; ++n)
          x += double(chunk[mirrored(t * HOP_SIZE + n - EDGE_SAMPLES)]) * window()[n] *
               std::polar(1.0, -2 * PI * double((std::int64_t(k) * n) % FFT_SIZE) / FFT_SIZE);
        EXPECT_NEAR(spec[spectrogram_index(2 * c, k, t)], x.real(), 1e-4) << t << " " << c << " " << k;
        EXPECT_NEAR(spec[spectrogram_index(2 * c + 1, k, t)], x.imag(), 1e-4) << t << " " << c << " " << k;
      }
    }
  }
}

TEST(ChunkSpectrogram, LowestBinsAreZeroWhateverTheInput) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  auto wild = noise(CHUNK_SAMPLES, 41, 3e38f);
  wild[0] = nan;
  wild[130000] = inf;
  wild[CHUNK_SAMPLES - 1] = -inf;
  const struct { const char* name; std::vector<float> chunk; double bound; } table[] = {
      {"zeros", std::vector<float>(CHUNK_SAMPLES), 0.0},
      {"constant", std::vector<float>(CHUNK_SAMPLES, 0.75f), 5e-4},  // window spectrum lies in bins 0 and 1
      {"noise", noise(CHUNK_SAMPLES, 42), -1},
      {"huge and non-finite", wild, -1},
  };
  for (const auto& row : table) {
    const Spectrogram spec = chunk_spectrogram(row.chunk, row.chunk, window());
    for (int p = 0; p < 4; ++p)
      for (int k = 0; k < ZEROED_BINS; ++k)
        for (int t = 0; t < MODEL_FRAMES; ++t)
          ASSERT_EQ(bits_of(spec[spectrogram_index(p, k, t)]), 0u) << row.name << " " << p << " " << k << " " << t;
    if (row.bound >= 0) {
      double worst = 0;
      for (float v : spec) worst = std::max(worst, double(std::abs(v)));
      EXPECT_LE(worst, row.bound) << row.name;
    }
  }
}

TEST(ResynthesizeChunk, ZerosGiveZeros) {
  const ChunkSamples out = resynthesize_chunk(Spectrogram(SPECTROGRAM_FLOATS), window());
  ASSERT_EQ(out.left.size(), static_cast<std::size_t>(CHUNK_SAMPLES));
  ASSERT_EQ(out.right.size(), static_cast<std::size_t>(CHUNK_SAMPLES));
  EXPECT_EQ(first_difference(out.left, std::vector<float>(CHUNK_SAMPLES)), -1);
  EXPECT_EQ(first_difference(out.right, std::vector<float>(CHUNK_SAMPLES)), -1);
}

TEST(ResynthesizeChunk, SparseSpectrogramMatchesDoublePrecisionOverlapAdd) {
  // Bins 0 to 2 come back as given, not cleared; bin 0's imaginary part has no effect.
  const int bins[] = {0, 1, 2, 700, 3071};
  Spectrogram spec(SPECTROGRAM_FLOATS);
  std::mt19937 gen(51);
  std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
  for (int p = 0; p < 4; ++p)
    for (int k : bins)
      for (int t = 0; t < MODEL_FRAMES; ++t) spec[spectrogram_index(p, k, t)] = dist(gen);
  const ChunkSamples out = resynthesize_chunk(spec, window());

  std::vector<double> cosine(FFT_SIZE), sine(FFT_SIZE);
  for (int m = 0; m < FFT_SIZE; ++m) {
    cosine[m] = std::cos(2 * PI * m / FFT_SIZE);
    sine[m] = std::sin(2 * PI * m / FFT_SIZE);
  }
  for (int c = 0; c < 2; ++c) {
    std::vector<double> acc(OLA_SAMPLES), env(OLA_SAMPLES);
    for (int t = 0; t < MODEL_FRAMES; ++t) {
      for (int n = 0; n < FFT_SIZE; ++n) {
        double y = spec[spectrogram_index(2 * c, 0, t)];
        for (int k : bins) {
          if (k == 0) continue;
          const int m = int((std::int64_t(k) * n) % FFT_SIZE);
          y += 2 * (spec[spectrogram_index(2 * c, k, t)] * cosine[m] - spec[spectrogram_index(2 * c + 1, k, t)] * sine[m]);
        }
        acc[t * HOP_SIZE + n] += window()[n] * y / FFT_SIZE;
        env[t * HOP_SIZE + n] += double(window()[n]) * window()[n];
      }
    }
    const auto& got = c == 0 ? out.left : out.right;
    double worst = 0, size = 0;
    for (int n = 0; n < CHUNK_SAMPLES; ++n) {
      const double expected = acc[EDGE_SAMPLES + n] / env[EDGE_SAMPLES + n];
      worst = std::max(worst, std::abs(got[n] - expected));
      size = std::max(size, std::abs(expected));
    }
    EXPECT_GT(size, 0.1);
    EXPECT_LE(worst, 2e-6 * size) << "channel " << c;
  }
}

TEST(Spectral, RoundTripReturnsTheChunkWithoutItsLowestBins) {
  // Tones of about 1000 and 3000 Hz with a whole number of half cycles from the first to the
  // last position, so that the mirrored edge frames continue them smoothly: no frame has
  // content in bins 0 to 2. (A tone that does not fit so, mirrored with a kink, does.)
  const std::int64_t mirror_period = 2 * (CHUNK_SAMPLES - 1);
  const auto sine_left = tone(11842, mirror_period, 0.5);
  const auto sine_right = tone(35526, mirror_period, 0.25, PI);
  const auto dc = std::vector<float>(CHUNK_SAMPLES, 0.25f);
  const auto bin1 = tone(1, FFT_SIZE, 0.3);
  const struct { const char* name; const std::vector<float>* removed; std::size_t from, to; } table[] = {
      {"steady tones, every position", nullptr, 0, CHUNK_SAMPLES},
      {"constant offset removed", &dc, 0, CHUNK_SAMPLES},
      // The edge frames see a bin-1 tone mirrored with a kink; frames 3 to 252 alone cover these positions.
      {"bin 1 tone removed", &bin1, 5 * HOP_SIZE, 250 * HOP_SIZE},
  };
  for (const auto& row : table) {
    auto left = sine_left, right = sine_right;
    if (row.removed != nullptr)
      for (int n = 0; n < CHUNK_SAMPLES; ++n) {
        left[n] += (*row.removed)[n];
        right[n] -= (*row.removed)[n];
      }
    const ChunkSamples out = resynthesize_chunk(chunk_spectrogram(left, right, window()), window());
    EXPECT_LE(max_abs_difference(out.left, sine_left, row.from, row.to), 1e-6) << row.name;
    EXPECT_LE(max_abs_difference(out.right, sine_right, row.from, row.to), 1e-6) << row.name;
  }
}

}  // namespace
