// Cost of one chunk's analysis and resynthesis against the 1024 bare
// transforms they contain, measured in the same run; prints the ratio.
#include <benchmark/benchmark.h>

#include <pocketfft_hdronly.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pipeline_support.hpp"
#include "spectral.hpp"

namespace {

std::vector<float> noise(std::size_t count, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& x : v) x = dist(gen);
  return v;
}

// As the chunk loop calls them: one ChunkTransforms, its buffers and the spectrogram reused.
void BM_analyse(benchmark::State& state) {
  ChunkTransforms transforms(make_analysis_window(FFT_SIZE), DEFAULT_SIZES);
  const auto left = noise(CHUNK_SAMPLES, 1);
  const auto right = noise(CHUNK_SAMPLES, 2);
  Spectrogram spec;
  for (auto _ : state) {
    transforms.analyse(left.data(), right.data(), spec);
    benchmark::DoNotOptimize(spec.data());
  }
}

void BM_resynthesize(benchmark::State& state) {
  ChunkTransforms transforms(make_analysis_window(FFT_SIZE), DEFAULT_SIZES);
  Spectrogram spec;
  transforms.analyse(noise(CHUNK_SAMPLES, 1).data(), noise(CHUNK_SAMPLES, 2).data(), spec);
  for (auto _ : state) {
    const ChunkSamples& out = transforms.resynthesize(spec);
    benchmark::DoNotOptimize(out.left.data());
    benchmark::DoNotOptimize(out.right.data());
  }
}

// 512 forward and 512 backward transforms with the arguments the module's transforms are defined by.
void BM_bare_transforms(benchmark::State& state) {
  std::vector<float> frame = noise(FFT_SIZE, 3);
  std::vector<std::complex<float>> bins(SPECTRUM_BINS);
  const pocketfft::shape_t shape{static_cast<std::size_t>(FFT_SIZE)};
  const pocketfft::stride_t real_stride{sizeof(float)};
  const pocketfft::stride_t complex_stride{sizeof(std::complex<float>)};
  const float inverse_scale = 1.0f / static_cast<float>(FFT_SIZE);
  for (auto _ : state) {
    for (int i = 0; i < 2 * MODEL_FRAMES; ++i) {
      pocketfft::r2c(shape, real_stride, complex_stride, std::size_t{0}, pocketfft::FORWARD, frame.data(),
                     bins.data(), 1.0f, 1);
      pocketfft::c2r(shape, complex_stride, real_stride, std::size_t{0}, pocketfft::BACKWARD, bins.data(),
                     frame.data(), inverse_scale, 1);
    }
    benchmark::DoNotOptimize(frame.data());
  }
}

BENCHMARK(BM_analyse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_resynthesize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bare_transforms)->Unit(benchmark::kMillisecond);

// Console output as usual, keeping each benchmark's real time per iteration.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // With repetitions, the median stands for the benchmark.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if ((run.run_type == Run::RT_Iteration || median) && !run.error_occurred) {
        times_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, double>& times() const { return times_; }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const auto& t = reporter.times();
  const auto spec = t.find("BM_analyse");
  const auto resynth = t.find("BM_resynthesize");
  const auto bare = t.find("BM_bare_transforms");
  if (spec != t.end() && resynth != t.end() && bare != t.end() && bare->second > 0) {
    std::printf("(analyse + resynthesize) / 1024 bare transforms = %.3f\n",
                (spec->second + resynth->second) / bare->second);
  }
  return 0;
}
