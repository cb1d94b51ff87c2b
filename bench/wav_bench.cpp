// Reading a four-minute 16-bit stereo song and writing a four-minute float stereo stem.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "wav.hpp"

namespace {

constexpr std::uint32_t FOUR_MINUTES = 240 * 44100;  // 10,584,000 frames

std::string scratch_path(const char* name) {
  const char* base = std::getenv("TMPDIR");
  return std::string(base && *base ? base : "/tmp") + "/" + name + "-" + std::to_string(getpid()) + ".wav";
}

void put16(std::vector<unsigned char>& out, std::uint32_t v) {
  out.push_back(static_cast<unsigned char>(v));
  out.push_back(static_cast<unsigned char>(v >> 8));
}

void put32(std::vector<unsigned char>& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// A 16-bit stereo file of the given length holding a sawtooth, so every value occurs.
void make_pcm16_song(const std::string& path, std::uint32_t frames) {
  std::vector<unsigned char> bytes;
  bytes.reserve(44 + 4 * std::size_t(frames));
  bytes.insert(bytes.end(), {'R', 'I', 'F', 'F'});
  put32(bytes, 36 + 4 * frames);
  bytes.insert(bytes.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put32(bytes, 16);
  put16(bytes, 1);
  put16(bytes, 2);
  put32(bytes, 44100);
  put32(bytes, 44100 * 4);
  put16(bytes, 4);
  put16(bytes, 16);
  bytes.insert(bytes.end(), {'d', 'a', 't', 'a'});
  put32(bytes, 4 * frames);
  for (std::uint32_t i = 0; i < frames; ++i) {
    put16(bytes, i & 0xFFFF);
    put16(bytes, ~i & 0xFFFF);
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0)
    throw std::runtime_error("cannot write benchmark input " + path);
}

void BM_ReadFourMinutePcm16Stereo(benchmark::State& state) {
  const std::string path = scratch_path("duostem-bench-in");
  make_pcm16_song(path, FOUR_MINUTES);
  for (auto _ : state) {
    const Stereo song = read_wav(path);
    benchmark::DoNotOptimize(song.left.data());
    if (song.left.size() != FOUR_MINUTES) state.SkipWithError("wrong frame count");
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(state.iterations() * (44 + 4 * std::int64_t(FOUR_MINUTES)));
}

void BM_WriteFourMinuteFloatStereo(benchmark::State& state) {
  const std::string path = scratch_path("duostem-bench-out");
  std::vector<float> left(FOUR_MINUTES), right(FOUR_MINUTES);
  for (std::uint32_t i = 0; i < FOUR_MINUTES; ++i) {
    left[i] = static_cast<float>(i % 44100) / 44100.0f;
    right[i] = -left[i];
  }
  for (auto _ : state) write_wav(path, left, right);
  std::remove(path.c_str());
  state.SetBytesProcessed(state.iterations() * (44 + 8 * std::int64_t(FOUR_MINUTES)));
}

BENCHMARK(BM_ReadFourMinutePcm16Stereo)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteFourMinuteFloatStereo)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
