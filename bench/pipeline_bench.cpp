// Where the time and the memory of one whole run go, stage by stage.
//
// Runs the tool's own modules over a synthetic song, read from and written to a
// scratch directory the way the tool does, with the chunk loop of process_song
// spelled out so that each stage can be timed. Its vocals are then compared bit
// for bit with what process_song itself returns, so the figures are of the real
// computation. Also measured in the same process: the chunk's 1024 bare
// transforms, the runtime's intra-op thread settings, and peak resident memory
// next to what the song's length predicts.
//
// usage: pipeline_bench --model model.onnx [--seconds 60] [--threads 0,1,2]
//                       [--thread-seconds 30] [--no-verify] [--record file]

#include <gemmi/third_party/pocketfft_hdronly.h>
#include <onnxruntime_c_api.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "constants.hpp"
#include "model.hpp"
#include "separation.hpp"
#include "spectral.hpp"
#include "wav.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double TWO_PI = 6.283185307179586;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Settings {
  std::string model;
  double seconds = 60.0;
  std::vector<int> threads = {0, 1, 2};
  double thread_seconds = 30.0;
  bool verify = true;
  std::string record;
};

// Bytes of a "VmRSS:" or "VmHWM:" line of /proc/self/status.
double status_bytes(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t key_length = std::strlen(key);
  while (std::getline(status, line)) {
    if (line.compare(0, key_length, key) == 0) return std::atof(line.c_str() + key_length) * 1024.0;
  }
  throw std::runtime_error(std::string("no ") + key + " in /proc/self/status");
}

double rss() { return status_bytes("VmRSS:"); }
double peak_rss() { return status_bytes("VmHWM:"); }

// Starts the high-water mark afresh at the current resident size, so that the
// set-up's own buffers do not count towards the run's peak.
void reset_peak_rss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  if (!clear) throw std::runtime_error("cannot reset the peak resident size (/proc/self/clear_refs)");
}

double mb(double bytes) { return bytes / 1e6; }

// A stereo song that is neither silent nor periodic: two detuned chords with a
// slow tremolo, plus a little noise from a fixed linear congruential generator.
Stereo synthetic_song(std::int32_t frames) {
  Stereo song;
  song.left.resize(static_cast<std::size_t>(frames));
  song.right.resize(static_cast<std::size_t>(frames));
  const double tones[] = {110.0, 220.5, 329.6, 440.0, 659.3, 1318.5, 3520.0};
  std::uint32_t state = 12345;
  for (std::int32_t i = 0; i < frames; ++i) {
    const double t = i / 44100.0;
    double l = 0.0, r = 0.0;
    for (int k = 0; k < 7; ++k) {
      l += std::sin(TWO_PI * tones[k] * t + k) / (k + 2);
      r += std::sin(TWO_PI * tones[k] * 1.003 * t + 2 * k) / (k + 2);
    }
    const double tremolo = 0.75 + 0.25 * std::sin(TWO_PI * 0.5 * t);
    state = state * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 0.02;
    song.left[static_cast<std::size_t>(i)] = static_cast<float>(0.3 * tremolo * l + noise);
    song.right[static_cast<std::size_t>(i)] = static_cast<float>(0.3 * tremolo * r - noise);
  }
  return song;
}

// The whole run of the tool, with the chunk loop of process_song inlined.
struct StageTimes {
  double read = 0, open = 0, setup = 0, window = 0, copy = 0, spectrogram = 0, model = 0,
         resynthesis = 0, crossfade = 0, vocals = 0, instrumental = 0, write = 0, total = 0;
  double first_model = 0, min_model = 1e300, max_model = 0;
  int chunks = 0;
  double rss_before_open = 0, rss_after_open = 0, rss_before_run = 0, rss_after_run = 0;
  std::int64_t padded = 0;
};

void time_chunk_model(StageTimes& times, double t) {
  times.model += t;
  if (times.chunks == 0) times.first_model = t;
  times.min_model = std::min(times.min_model, t);
  times.max_model = std::max(times.max_model, t);
}

// Reads the song, separates it and writes both stems; keeps the input and the vocals for the check.
StageTimes run_pipeline(const std::string& song_path, const std::string& model_path, const std::string& out_dir,
                        Session& session, Stereo& input, Stereo& vocals) {
  StageTimes times;
  const Clock::time_point run_start = Clock::now();

  Clock::time_point t = Clock::now();
  input = read_wav(song_path);
  times.read = seconds_since(t);

  times.rss_before_open = rss();
  t = Clock::now();
  open_session(session, model_path);
  times.open = seconds_since(t);
  times.rss_after_open = rss();

  // The chunk loop as process_song runs it: the same buffers, windows and arithmetic.
  t = Clock::now();
  const std::vector<float> analysis_window = make_analysis_window();
  const std::int32_t n = static_cast<std::int32_t>(input.left.size());
  const std::int32_t padded = (n / CHUNK_BODY + 1) * CHUNK_BODY + 2 * EDGE_SAMPLES;
  const std::int32_t total = (padded + CHUNK_STEP - 1) / CHUNK_STEP;
  times.padded = padded;
  const std::size_t L = static_cast<std::size_t>(padded);
  std::vector<float> left_plane(L, 0.0f);
  std::vector<float> right_plane(L, 0.0f);
  std::copy(input.left.begin(), input.left.end(), left_plane.begin() + EDGE_SAMPLES);
  std::copy(input.right.begin(), input.right.end(), right_plane.begin() + EDGE_SAMPLES);
  std::vector<float> left_result(L, 0.0f);
  std::vector<float> right_result(L, 0.0f);
  std::vector<float> weight_sum(L, 0.0f);
  times.setup = seconds_since(t);

  t = Clock::now();
  const std::vector<float> full_window = chunk_window(CHUNK_SAMPLES);
  times.window = seconds_since(t);

  std::int32_t k = 0;
  for (std::int32_t s = 0; s < padded; s += CHUNK_STEP, ++k) {
    const std::int32_t len = std::min(s + CHUNK_SAMPLES, padded) - s;
    t = Clock::now();
    const std::vector<float> short_window = len == CHUNK_SAMPLES ? std::vector<float>() : chunk_window(len);
    const std::vector<float>& w = len == CHUNK_SAMPLES ? full_window : short_window;
    times.window += seconds_since(t);

    t = Clock::now();
    std::vector<float> chunk_left(CHUNK_SAMPLES, 0.0f);
    std::vector<float> chunk_right(CHUNK_SAMPLES, 0.0f);
    std::copy_n(left_plane.begin() + s, len, chunk_left.begin());
    std::copy_n(right_plane.begin() + s, len, chunk_right.begin());
    times.copy += seconds_since(t);

    t = Clock::now();
    Spectrogram spectrogram = chunk_spectrogram(chunk_left, chunk_right, analysis_window);
    times.spectrogram += seconds_since(t);

    if (k == 0) times.rss_before_run = rss();
    t = Clock::now();
    infer_chunk(session, spectrogram);
    time_chunk_model(times, seconds_since(t));
    if (k == 0) times.rss_after_run = rss();

    t = Clock::now();
    const ChunkSamples resynthesized = resynthesize_chunk(spectrogram, analysis_window);
    times.resynthesis += seconds_since(t);

    t = Clock::now();
    float* left_acc = left_result.data() + s;
    float* right_acc = right_result.data() + s;
    float* weight_acc = weight_sum.data() + s;
    for (std::int32_t i = 0; i < len; ++i) {
      const std::size_t u = static_cast<std::size_t>(i);
      left_acc[i] = std::fma(resynthesized.left[u], w[u], left_acc[i]);
      right_acc[i] = std::fma(resynthesized.right[u], w[u], right_acc[i]);
      weight_acc[i] = weight_acc[i] + w[u];
    }
    std::fprintf(stderr, "chunk %d/%d\n", k + 1, total);
    times.crossfade += seconds_since(t);
    ++times.chunks;
  }

  t = Clock::now();
  vocals.left.resize(input.left.size());
  vocals.right.resize(input.left.size());
  for (std::size_t i = 0; i < vocals.left.size(); ++i) {
    const float divisor = weight_sum[i + EDGE_SAMPLES] + 1e-8f;
    vocals.left[i] = left_result[i + EDGE_SAMPLES] / divisor;
    vocals.right[i] = right_result[i + EDGE_SAMPLES] / divisor;
  }
  // Released before the instrumental is made, as process_song's return does.
  std::vector<float>().swap(weight_sum);
  std::vector<float>().swap(right_result);
  std::vector<float>().swap(left_result);
  std::vector<float>().swap(right_plane);
  std::vector<float>().swap(left_plane);
  times.vocals = seconds_since(t);

  t = Clock::now();
  const Stereo instrumental = derive_instrumental(input, vocals);
  times.instrumental = seconds_since(t);

  t = Clock::now();
  std::filesystem::create_directories(out_dir);
  write_wav(out_dir + "/song_(Vocals).wav", vocals.left, vocals.right);
  write_wav(out_dir + "/song_(Instrumental).wav", instrumental.left, instrumental.right);
  times.write = seconds_since(t);

  times.total = seconds_since(run_start);
  return times;
}

// The chunk's 512 forward and 512 backward transforms alone, with the arguments
// the spectral module passes, over frames of the song; seconds per chunk, best of reps.
double bare_transforms_per_chunk(const std::vector<float>& samples, int reps) {
  const pocketfft::shape_t shape{static_cast<std::size_t>(FFT_SIZE)};
  const pocketfft::stride_t real_stride{sizeof(float)};
  const pocketfft::stride_t complex_stride{sizeof(std::complex<float>)};
  const float inverse_scale = 1.0f / static_cast<float>(FFT_SIZE);
  std::vector<float> frame(static_cast<std::size_t>(FFT_SIZE));
  std::vector<std::complex<float>> bins(static_cast<std::size_t>(SPECTRUM_BINS));
  const std::size_t span = samples.size() - static_cast<std::size_t>(FFT_SIZE);
  double best = 1e300;
  volatile float sink = 0.0f;
  for (int r = 0; r < reps; ++r) {
    const Clock::time_point t = Clock::now();
    for (int f = 0; f < 2 * MODEL_FRAMES; ++f) {
      const float* source = samples.data() + (static_cast<std::size_t>(f) * HOP_SIZE) % span;
      pocketfft::r2c(shape, real_stride, complex_stride, 0, true, source, bins.data(), 1.0f, 1);
      pocketfft::c2r(shape, complex_stride, real_stride, 0, false, bins.data(), frame.data(), inverse_scale, 1);
      sink = sink + frame[static_cast<std::size_t>(f)];
    }
    best = std::min(best, seconds_since(t));
  }
  return best;
}

// A session like open_session's but with the given intra-op thread count, and
// one inference with the calls infer_chunk makes.
struct ThreadedSession {
  const OrtApi* api;
  OrtSessionOptions* options = nullptr;
  OrtSession* session = nullptr;

  ThreadedSession(const Session& base, const std::string& model_path, int threads) : api(base.api) {
    check(api->CreateSessionOptions(&options));
    check(api->SetIntraOpNumThreads(options, threads));
    check(api->SetSessionGraphOptimizationLevel(options, ORT_ENABLE_ALL));
    check(api->CreateSession(base.env, model_path.c_str(), options, &session));
  }
  ~ThreadedSession() {
    if (session) api->ReleaseSession(session);
    if (options) api->ReleaseSessionOptions(options);
  }
  ThreadedSession(const ThreadedSession&) = delete;
  ThreadedSession& operator=(const ThreadedSession&) = delete;

  void check(OrtStatus* status) const {
    if (!status) return;
    const std::string text = api->GetErrorMessage(status);
    api->ReleaseStatus(status);
    throw std::runtime_error(text);
  }

  double run(const OrtMemoryInfo* memory_info, Spectrogram& spectrogram) const {
    const std::int64_t shape[4] = {1, 4, MODEL_BINS, MODEL_FRAMES};
    const char* input_name = "input";
    const char* output_name = "output";
    OrtValue* input = nullptr;
    OrtValue* output = nullptr;
    const Clock::time_point t = Clock::now();
    check(api->CreateTensorWithDataAsOrtValue(memory_info, spectrogram.data(), spectrogram.size() * sizeof(float),
                                              shape, 4, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &input));
    OrtStatus* status = api->Run(session, nullptr, &input_name, &input, 1, &output_name, 1, &output);
    if (!status) {
      void* data = nullptr;
      status = api->GetTensorMutableData(output, &data);
      if (!status) std::memcpy(spectrogram.data(), data, spectrogram.size() * sizeof(float));
    }
    if (output) api->ReleaseValue(output);
    api->ReleaseValue(input);
    check(status);
    return seconds_since(t);
  }
};

struct ThreadFigures {
  int threads;
  std::vector<double> runs;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t m = values.size() / 2;
  return values.size() % 2 ? values[m] : 0.5 * (values[m - 1] + values[m]);
}

// Interleaves the settings round by round, so that a change in the machine's
// load falls on all of them alike.
std::vector<ThreadFigures> compare_threads(const Session& base, const Settings& settings, const Spectrogram& input,
                                           double model_seconds) {
  std::vector<ThreadFigures> figures;
  std::vector<std::unique_ptr<ThreadedSession>> sessions;
  for (int threads : settings.threads) {
    sessions.push_back(std::make_unique<ThreadedSession>(base, settings.model, threads));
    figures.push_back(ThreadFigures{threads, {}});
  }
  Spectrogram spectrogram;
  for (auto& s : sessions) {  // first runs size the runtime's buffers: not counted
    spectrogram = input;
    s->run(base.memory_info, spectrogram);
  }
  const double per_round = std::max(model_seconds, 1e-4) * static_cast<double>(sessions.size());
  const int rounds = std::clamp(static_cast<int>(settings.thread_seconds / per_round), 3, 200);
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < sessions.size(); ++i) {
      spectrogram = input;
      figures[i].runs.push_back(sessions[i]->run(base.memory_info, spectrogram));
    }
  }
  return figures;
}

std::vector<int> parse_threads(const std::string& text) {
  std::vector<int> threads;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, end - start);
    char* rest = nullptr;
    const long value = std::strtol(item.c_str(), &rest, 10);
    if (item.empty() || *rest != '\0' || value < 0 || value > 64)
      throw std::invalid_argument("--threads wants a list like 0,1,2 of counts from 0 to 64, not " + text);
    threads.push_back(static_cast<int>(value));
    start = end + 1;
  }
  return threads;
}

Settings parse_arguments(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
      return argv[++i];
    };
    const auto number = [&](double low, double high) {
      const std::string text = value();
      char* rest = nullptr;
      const double v = std::strtod(text.c_str(), &rest);
      if (text.empty() || *rest != '\0' || !(v >= low && v <= high))
        throw std::invalid_argument(arg + " wants a number from " + std::to_string(low) + " to " +
                                    std::to_string(high) + ", not " + text);
      return v;
    };
    if (arg == "--model") {
      settings.model = value();
    } else if (arg == "--seconds") {
      settings.seconds = number(0.0, 3600.0);
    } else if (arg == "--threads") {
      settings.threads = parse_threads(value());
    } else if (arg == "--thread-seconds") {
      settings.thread_seconds = number(0.0, 3600.0);
    } else if (arg == "--no-verify") {
      settings.verify = false;
    } else if (arg == "--record") {
      settings.record = value();
    } else {
      throw std::invalid_argument("unknown argument " + arg);
    }
  }
  if (settings.model.empty()) throw std::invalid_argument("--model is required");
  return settings;
}

// Scratch directory for the song and the stems, removed on every way out.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pipeline_bench.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
    path = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
};

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  try {
    settings = parse_arguments(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr,
                 "pipeline_bench: %s\nusage: pipeline_bench --model model.onnx [--seconds 60] [--threads 0,1,2]\n"
                 "                      [--thread-seconds 30] [--no-verify] [--record file]\n",
                 e.what());
    return 2;
  }
  try {
    const ScratchDir scratch;
    const std::string song_path = scratch.path + "/song.wav";
    const std::int32_t frames = static_cast<std::int32_t>(std::llround(settings.seconds * 44100.0));
    {
      const Stereo song = synthetic_song(frames);
      write_wav(song_path, song.left, song.right);
    }

    const double baseline = rss();
    reset_peak_rss();
    Session session;
    Stereo input, vocals;
    const StageTimes times = run_pipeline(song_path, settings.model, scratch.path + "/out", session, input, vocals);
    const double peak = peak_rss();

    // The chunk's bare transforms in the same process, over the song's own samples.
    std::vector<float> bare_source(input.left);
    bare_source.resize(std::max<std::size_t>(bare_source.size(), CHUNK_SAMPLES), 0.0f);
    const double bare = bare_transforms_per_chunk(bare_source, std::max(5, std::min(times.chunks, 30)));
    std::vector<float>().swap(bare_source);

    std::FILE* record = settings.record.empty() ? nullptr : std::fopen(settings.record.c_str(), "w");
    if (!settings.record.empty() && !record) throw std::runtime_error("cannot write " + settings.record);
    const auto figure = [&](const char* key, double value) {
      if (record) std::fprintf(record, "%s %.9g\n", key, value);
    };

    const double n = static_cast<double>(frames);
    const double chunks = times.chunks;
    std::printf("pipeline_bench: model %s\n", settings.model.c_str());
    std::printf("song %.1f s, %d frames, padded %lld samples, %d chunks\n\n", settings.seconds, frames,
                static_cast<long long>(times.padded), times.chunks);

    struct Row {
      const char* key;
      const char* label;
      double seconds;
    };
    const double assembly = times.window + times.copy + times.crossfade + times.setup + times.vocals +
                            times.instrumental;
    const Row rows[] = {
        {"read", "read_wav (song)", times.read},
        {"open", "open_session", times.open},
        {"spectrogram", "chunk_spectrogram", times.spectrogram},
        {"model", "infer_chunk (model runs)", times.model},
        {"resynthesis", "resynthesize_chunk", times.resynthesis},
        {"window", "  chunk_window", times.window},
        {"copy", "  chunk copies", times.copy},
        {"crossfade", "  cross-fade + progress", times.crossfade},
        {"setup", "  padding + accumulators", times.setup},
        {"vocals", "  vocals + release", times.vocals},
        {"instrumental", "  derive_instrumental", times.instrumental},
        {"assembly", "cross-fade and assembly", assembly},
        {"write", "write_wav (2 stems)", times.write},
    };
    const double stage_sum = times.read + times.open + times.spectrogram + times.model + times.resynthesis +
                             assembly + times.write;
    std::printf("%-28s %12s %12s %8s\n", "stage", "total s", "per chunk ms", "share");
    for (const Row& row : rows) {
      std::printf("%-28s %12.4f %12.3f %7.2f%%\n", row.label, row.seconds, 1e3 * row.seconds / chunks,
                  100.0 * row.seconds / times.total);
      figure(row.key, row.seconds);
    }
    std::printf("%-28s %12.4f %12.3f %7.2f%%\n", "unaccounted", times.total - stage_sum,
                1e3 * (times.total - stage_sum) / chunks, 100.0 * (times.total - stage_sum) / times.total);
    std::printf("%-28s %12.4f\n\n", "whole run (wall)", times.total);
    figure("total", times.total);
    figure("chunks", chunks);
    figure("seconds", settings.seconds);

    std::printf("model runs: first %.4f s, min %.4f s, max %.4f s, mean %.4f s\n", times.first_model,
                times.min_model, times.max_model, times.model / chunks);
    const double pipeline = times.total - times.open;
    std::printf("whole run / model runs: %.4f (without open_session: %.4f)\n", times.total / times.model,
                pipeline / times.model);
    std::printf("chunks per second: %.3f\n", chunks / times.total);
    const double own = times.total - times.model - times.open;
    const double own_compute = times.spectrogram + times.resynthesis + assembly;
    std::printf("tool's own time per chunk: %.3f ms (without reading and writing: %.3f ms)\n", 1e3 * own / chunks,
                1e3 * own_compute / chunks);
    std::printf("bare 512 r2c + 512 c2r per chunk: %.3f ms; own / bare: %.3f (without I/O: %.3f)\n\n", 1e3 * bare,
                own / chunks / bare, own_compute / chunks / bare);
    figure("bare", bare);

    // The Overview's estimate: 20 bytes per padded sample, 8 per frame for the
    // input, the vocals and the instrumental, about 21 MB for the chunk in flight.
    const double song_bytes = 20.0 * static_cast<double>(times.padded) + 3.0 * 8.0 * n;
    const double chunk_bytes = 21e6;
    const double runtime_load = times.rss_after_open - times.rss_before_open;
    const double runtime_run = times.rss_after_run - times.rss_before_run;
    const double predicted = baseline + song_bytes + chunk_bytes + runtime_load + runtime_run;
    std::printf("resident memory, MB: process before the run %.1f; runtime: %.1f at open_session + %.1f at the "
                "first Run\n",
                mb(baseline), mb(runtime_load), mb(runtime_run));
    std::printf("  formula: song %.1f + chunk %.1f + runtime %.1f + process %.1f = %.1f\n", mb(song_bytes),
                mb(chunk_bytes), mb(runtime_load + runtime_run), mb(baseline), mb(predicted));
    std::printf("  peak (VmHWM) %.1f, %.3f of the formula\n\n", mb(peak), peak / predicted);
    figure("peak_rss", peak);
    figure("predicted_rss", predicted);

    if (settings.verify) {
      const Clock::time_point t = Clock::now();
      const Stereo reference = process_song(session, input);
      const double elapsed = seconds_since(t);
      const bool same = same_bits(reference.left, vocals.left) && same_bits(reference.right, vocals.right);
      std::printf("process_song: %.4f s (the staged loop: %.4f s); vocals %s\n\n", elapsed,
                  times.setup + times.window + times.copy + times.spectrogram + times.model + times.resynthesis +
                      times.crossfade + times.vocals,
                  same ? "identical bit for bit" : "DIFFER");
      if (!same) {
        std::fprintf(stderr, "pipeline_bench: the staged loop's vocals differ from process_song's\n");
        return 1;
      }
    }

    if (!settings.threads.empty()) {
      Spectrogram spectrogram;
      {
        std::vector<float> left(input.left.begin(), input.left.begin() + std::min<std::int32_t>(frames, CHUNK_SAMPLES));
        std::vector<float> right(input.right.begin(), input.right.begin() + static_cast<std::ptrdiff_t>(left.size()));
        left.resize(CHUNK_SAMPLES, 0.0f);
        right.resize(CHUNK_SAMPLES, 0.0f);
        spectrogram = chunk_spectrogram(left, right, make_analysis_window());
      }
      std::vector<float>().swap(input.left);
      std::vector<float>().swap(input.right);
      std::vector<float>().swap(vocals.left);
      std::vector<float>().swap(vocals.right);
      const std::vector<ThreadFigures> figures =
          compare_threads(session, settings, spectrogram, times.model / chunks);
      std::printf("intra-op threads (%zu runs each, interleaved):\n", figures.front().runs.size());
      double best = 1e300, tool = -1;
      for (const ThreadFigures& f : figures) {
        const double m = median(f.runs);
        best = std::min(best, m);
        if (f.threads == 0) tool = m;
        std::printf("  %2d: median %.4f s, min %.4f s\n", f.threads, m,
                    *std::min_element(f.runs.begin(), f.runs.end()));
        figure(("threads_" + std::to_string(f.threads)).c_str(), m);
      }
      if (tool >= 0) {
        std::printf("the tool's setting 0: %.3f of the fastest median (%s)\n", tool / best,
                    tool <= best * 1.03 ? "fastest or equal within 3%" : "SLOWER than another setting");
      }
    }
    if (record) std::fclose(record);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pipeline_bench: %s\n", e.what());
    return 1;
  }
}
