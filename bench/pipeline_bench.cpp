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

#include <pocketfft_hdronly.h>
#include <onnxruntime_c_api.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
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

double thread_cpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Wall time and this thread's processor time. The processor time of the tool's
// own stages hardly moves when other work shares the machine; the wall time does.
struct Span {
  double wall = 0, cpu = 0;
  double faults = 0;  // minor page faults of this thread: first touches of memory fresh from the system
};

double thread_faults() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_minflt);
}

class Stopwatch {
 public:
  Stopwatch() : wall_(Clock::now()), cpu_(thread_cpu()), faults_(thread_faults()) {}
  Span lap() const { return Span{seconds_since(wall_), thread_cpu() - cpu_, thread_faults() - faults_}; }
  void add_to(Span& total) const {
    const Span s = lap();
    total.wall += s.wall;
    total.cpu += s.cpu;
    total.faults += s.faults;
  }

 private:
  Clock::time_point wall_;
  double cpu_;
  double faults_;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t m = values.size() / 2;
  return values.size() % 2 ? values[m] : 0.5 * (values[m - 1] + values[m]);
}

enum Stage { READ, OPEN, SETUP, WINDOW, COPY, SPECTROGRAM, MODEL, RESYNTHESIS, CROSSFADE, RELEASE, VOCALS,
             INSTRUMENTAL, WRITE, STAGES };

struct StageInfo {
  const char* key;
  const char* label;
  bool own;       // the tool's own work (everything but loading and running the model)
  bool assembly;  // part of the cross-fade and assembly group
};

constexpr StageInfo STAGE_INFO[STAGES] = {
    {"read", "read_wav (song)", true, false},
    {"open", "open_session", false, false},
    {"setup", "padding + accumulators", true, true},
    {"window", "chunk_window", true, true},
    {"copy", "chunk copies", true, true},
    {"spectrogram", "chunk_spectrogram", true, false},
    {"model", "infer_chunk (model runs)", false, false},
    {"resynthesis", "resynthesize_chunk", true, false},
    {"crossfade", "cross-fade + progress line", true, true},
    {"release", "chunk buffer releases", true, true},
    {"vocals", "vocals + release", true, true},
    {"instrumental", "derive_instrumental", true, true},
    {"write", "write_wav (2 stems)", true, false},
};

Span operator+(const Span& a, const Span& b) { return Span{a.wall + b.wall, a.cpu + b.cpu, a.faults + b.faults}; }

// The chunk's 512 forward and 512 backward transforms alone, with the arguments
// of the spectral module's calls, over the chunk's own windowed frames. Frames
// are made (untimed) sixteen at a time, so that the buffers stay small beside
// the run's own and the timer is read only 64 times per chunk.
class BareTransforms {
 public:
  BareTransforms()
      : window_(make_analysis_window()),
        frames_(static_cast<std::size_t>(BLOCK) * FFT_SIZE),
        spectra_(static_cast<std::size_t>(BLOCK) * SPECTRUM_BINS),
        out_(static_cast<std::size_t>(FFT_SIZE)) {}

  struct Times {
    Span forward, backward;
  };

  Times run(const std::vector<float>& left, const std::vector<float>& right) {
    Times times;
    for (int c = 0; c < 2; ++c) {
      for (int first = 0; first < MODEL_FRAMES; first += BLOCK) {
        load(c == 0 ? left : right, first);
        Stopwatch t;
        for (int b = 0; b < BLOCK; ++b)
          pocketfft::r2c(shape_, real_stride_, complex_stride_, 0, true, frame_at(b), spectrum_at(b), 1.0f, 1);
        times.forward = times.forward + t.lap();
        t = Stopwatch();
        for (int b = 0; b < BLOCK; ++b)
          pocketfft::c2r(shape_, complex_stride_, real_stride_, 0, false, spectrum_at(b), out_.data(),
                         INVERSE_SCALE, 1);
        times.backward = times.backward + t.lap();
        sink_ = sink_ + out_[static_cast<std::size_t>(first)];
      }
    }
    return times;
  }

 private:
  static constexpr int BLOCK = 16;
  static constexpr float INVERSE_SCALE = 1.0f / static_cast<float>(FFT_SIZE);
  float* frame_at(int b) { return frames_.data() + static_cast<std::size_t>(b) * FFT_SIZE; }
  std::complex<float>* spectrum_at(int b) { return spectra_.data() + static_cast<std::size_t>(b) * SPECTRUM_BINS; }

  // Frames first ... first + BLOCK - 1 of one channel, mirrored at the chunk's ends and windowed.
  void load(const std::vector<float>& chunk, int first) {
    for (int b = 0; b < BLOCK; ++b) {
      float* frame = frame_at(b);
      for (int n = 0; n < FFT_SIZE; ++n) {
        int j = (first + b) * HOP_SIZE + n - EDGE_SAMPLES;
        if (j < 0) j = -j;
        if (j > CHUNK_SAMPLES - 1) j = 2 * (CHUNK_SAMPLES - 1) - j;
        frame[n] = chunk[static_cast<std::size_t>(j)] * window_[static_cast<std::size_t>(n)];
      }
    }
  }

  const pocketfft::shape_t shape_{static_cast<std::size_t>(FFT_SIZE)};
  const pocketfft::stride_t real_stride_{sizeof(float)};
  const pocketfft::stride_t complex_stride_{sizeof(std::complex<float>)};
  std::vector<float> window_;
  std::vector<float> frames_;
  std::vector<std::complex<float>> spectra_;
  std::vector<float> out_;
  volatile float sink_ = 0.0f;
};

// The whole run of the tool, with the chunk loop of process_song inlined.
struct StageTimes {
  Span stage[STAGES];
  Span total;
  double first_model = 0, min_model = 1e300, max_model = 0;
  double first_own = 0;
  // The chunk's bare transforms, timed beside each chunk; the time they and
  // their preparation take is left out of the whole run's.
  BareTransforms::Times bare;
  Span aside;  // chunk 0's window, copies, spectrogram, resynthesis and cross-fade: plans and first touches
  int chunks = 0;
  double rss_before_open = 0, rss_after_open = 0;
  // Resident size before the first run and after the last; the highest mark during any run.
  double rss_before_runs = 0, rss_after_runs = 0, peak_in_runs = 0;
  double peak_elsewhere = 0;  // the high-water mark outside the runs, folded in before each reset
  std::int64_t padded = 0;
};

// Reads the song, separates it and writes both stems; keeps the input and the vocals for the check.
StageTimes run_pipeline(const std::string& song_path, const std::string& model_path, const std::string& out_dir,
                        Session& session, Stereo& input, Stereo& vocals) {
  StageTimes times;
  Span* stage = times.stage;
  const Stopwatch run;

  {
    const Stopwatch t;
    input = read_wav(song_path);
    t.add_to(stage[READ]);
  }
  times.rss_before_open = rss();
  {
    const Stopwatch t;
    open_session(session, model_path);
    t.add_to(stage[OPEN]);
  }
  times.rss_after_open = rss();

  // The chunk loop as process_song runs it: the same buffers, windows and arithmetic.
  Stopwatch t;
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
  t.add_to(stage[SETUP]);

  // process_song makes the full-length cross-fade window once and only the last two anew.
  t = Stopwatch();
  const std::vector<float> full_window = chunk_window(CHUNK_SAMPLES);
  t.add_to(stage[WINDOW]);
  const double first_window = times.stage[WINDOW].wall;

  BareTransforms bare;
  std::int32_t k = 0;
  for (std::int32_t s = 0; s < padded; s += CHUNK_STEP, ++k) {
    const std::int32_t len = std::min(s + CHUNK_SAMPLES, padded) - s;
    t = Stopwatch();
    std::vector<float> short_window = len == CHUNK_SAMPLES ? std::vector<float>() : chunk_window(len);
    const std::vector<float>& w = len == CHUNK_SAMPLES ? full_window : short_window;
    t.add_to(stage[WINDOW]);

    t = Stopwatch();
    std::vector<float> chunk_left(CHUNK_SAMPLES, 0.0f);
    std::vector<float> chunk_right(CHUNK_SAMPLES, 0.0f);
    std::copy_n(left_plane.begin() + s, len, chunk_left.begin());
    std::copy_n(right_plane.begin() + s, len, chunk_right.begin());
    t.add_to(stage[COPY]);

    t = Stopwatch();
    Spectrogram spectrogram = chunk_spectrogram(chunk_left, chunk_right, analysis_window);
    t.add_to(stage[SPECTROGRAM]);

    // Much of the runtime's working memory of a run is given back before Run
    // returns, so only the high-water mark across each run shows it; and its
    // pools can grow after the first run. The tool's own buffers are the same
    // before every run, so the highest mark of all runs less the resident size
    // before the first is the runtime's share during runs.
    if (k == 0) times.rss_before_runs = rss();
    times.peak_elsewhere = std::max(times.peak_elsewhere, peak_rss());
    reset_peak_rss();
    t = Stopwatch();
    infer_chunk(session, spectrogram);
    const double model = t.lap().wall;
    t.add_to(stage[MODEL]);
    times.peak_in_runs = std::max(times.peak_in_runs, peak_rss());
    times.rss_after_runs = rss();
    if (k == 0) times.first_model = model;
    times.min_model = std::min(times.min_model, model);
    times.max_model = std::max(times.max_model, model);

    t = Stopwatch();
    ChunkSamples resynthesized = resynthesize_chunk(spectrogram, analysis_window);
    t.add_to(stage[RESYNTHESIS]);

    t = Stopwatch();
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
    t.add_to(stage[CROSSFADE]);

    {
      const Stopwatch outside;
      const BareTransforms::Times b = bare.run(chunk_left, chunk_right);
      times.bare.forward = times.bare.forward + b.forward;
      times.bare.backward = times.bare.backward + b.backward;
      times.aside = times.aside + outside.lap();
    }

    t = Stopwatch();
    std::vector<float>().swap(short_window);
    std::vector<float>().swap(chunk_left);
    std::vector<float>().swap(chunk_right);
    Spectrogram().swap(spectrogram);
    std::vector<float>().swap(resynthesized.left);
    std::vector<float>().swap(resynthesized.right);
    t.add_to(stage[RELEASE]);
    if (k == 0) {
      for (int i = WINDOW; i <= RELEASE; ++i) times.first_own += i == MODEL ? 0.0 : stage[i].wall;
      times.first_own -= first_window;
    }
    ++times.chunks;
  }

  t = Stopwatch();
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
  t.add_to(stage[VOCALS]);

  t = Stopwatch();
  const Stereo instrumental = derive_instrumental(input, vocals);
  t.add_to(stage[INSTRUMENTAL]);

  t = Stopwatch();
  std::filesystem::create_directories(out_dir);
  write_wav(out_dir + "/song_(Vocals).wav", vocals.left, vocals.right);
  write_wav(out_dir + "/song_(Instrumental).wav", instrumental.left, instrumental.right);
  t.add_to(stage[WRITE]);

  const Span whole = run.lap();
  times.total = Span{whole.wall - times.aside.wall, whole.cpu - times.aside.cpu, whole.faults - times.aside.faults};
  return times;
}

// One chunk's work piece by piece, the pieces interleaved rep by rep so that a
// slow spell of the machine falls on all of them; medians of processor time.
struct Kernels {
  double r2c = 0, c2r = 0, spectrogram = 0, resynthesis = 0, zeroed_spectrogram = 0, full_window = 0,
         crossfade = 0;
};

Kernels measure_kernels(const std::vector<float>& left, const std::vector<float>& right, int reps) {
  const std::vector<float> window = make_analysis_window();
  BareTransforms bare;
  volatile float sink = 0.0f;
  std::vector<double> r2c, c2r, spectrogram_cpu, resynthesis_cpu, zeroed_cpu, window_cpu, crossfade_cpu;
  std::vector<float> acc_l(CHUNK_SAMPLES), acc_r(CHUNK_SAMPLES), acc_w(CHUNK_SAMPLES);
  for (int r = 0; r < reps; ++r) {
    const BareTransforms::Times transforms = bare.run(left, right);
    r2c.push_back(transforms.forward.cpu);
    c2r.push_back(transforms.backward.cpu);
    Stopwatch t;
    const Spectrogram spectrogram = chunk_spectrogram(left, right, window);
    spectrogram_cpu.push_back(t.lap().cpu);
    t = Stopwatch();
    const ChunkSamples out = resynthesize_chunk(spectrogram, window);
    resynthesis_cpu.push_back(t.lap().cpu);
    t = Stopwatch();
    {
      Spectrogram zeros(SPECTROGRAM_FLOATS);
      sink = sink + zeros[12345];
    }
    zeroed_cpu.push_back(t.lap().cpu);
    t = Stopwatch();
    const std::vector<float> w = chunk_window(CHUNK_SAMPLES);
    window_cpu.push_back(t.lap().cpu);
    t = Stopwatch();
    for (std::size_t i = 0; i < static_cast<std::size_t>(CHUNK_SAMPLES); ++i) {
      acc_l[i] = std::fma(out.left[i], w[i], acc_l[i]);
      acc_r[i] = std::fma(out.right[i], w[i], acc_r[i]);
      acc_w[i] = acc_w[i] + w[i];
    }
    crossfade_cpu.push_back(t.lap().cpu);
    sink = sink + acc_l[100];
  }
  return Kernels{median(r2c), median(c2r), median(spectrogram_cpu), median(resynthesis_cpu), median(zeroed_cpu),
                 median(window_cpu), median(crossfade_cpu)};
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
  std::vector<double> after, after_cpu;  // resynthesize_chunk right after the run, as in the chunk loop
};

// Interleaves the settings round by round, so that a change in the machine's
// load falls on all of them alike.
std::vector<ThreadFigures> compare_threads(const Session& base, const Settings& settings, const Spectrogram& input,
                                           double model_seconds) {
  std::vector<ThreadFigures> figures;
  std::vector<std::unique_ptr<ThreadedSession>> sessions;
  for (int threads : settings.threads) {
    sessions.push_back(std::make_unique<ThreadedSession>(base, settings.model, threads));
    figures.push_back(ThreadFigures{threads, {}, {}, {}});
  }
  const std::vector<float> window = make_analysis_window();
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
      const Stopwatch t;
      const ChunkSamples resynthesized = resynthesize_chunk(spectrogram, window);
      const Span s = t.lap();
      figures[i].after.push_back(s.wall);
      figures[i].after_cpu.push_back(s.cpu);
    }
  }
  return figures;
}

std::vector<int> parse_threads(const std::string& text) {
  std::vector<int> threads;
  if (text.empty() || text == "none") return threads;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, end - start);
    char* rest = nullptr;
    const long value = std::strtol(item.c_str(), &rest, 10);
    if (item.empty() || *rest != '\0' || value < 0 || value > 64)
      throw std::invalid_argument("--threads wants a list like 0,1,2 of counts from 0 to 64, or none, not " + text);
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
    const double peak = std::max(times.peak_elsewhere, peak_rss());

    std::FILE* record = settings.record.empty() ? nullptr : std::fopen(settings.record.c_str(), "w");
    if (!settings.record.empty() && !record) throw std::runtime_error("cannot write " + settings.record);
    const auto figure = [&](const std::string& key, double value) {
      if (record) std::fprintf(record, "%s %.9g\n", key.c_str(), value);
    };

    const double n = static_cast<double>(frames);
    const double chunks = times.chunks;
    std::printf("pipeline_bench: model %s\n", settings.model.c_str());
    std::printf("song %.1f s, %d frames, padded %lld samples, %d chunks\n\n", settings.seconds, frames,
                static_cast<long long>(times.padded), times.chunks);

    Span own, assembly, stage_sum;
    for (int i = 0; i < STAGES; ++i) {
      const Span& s = times.stage[i];
      stage_sum.wall += s.wall;
      if (STAGE_INFO[i].own) own.wall += s.wall, own.cpu += s.cpu;
      if (STAGE_INFO[i].assembly) assembly = assembly + s;
    }
    const auto row = [&](const char* label, const Span& s) {
      std::printf("%-30s %10.4f %10.3f %10.3f %7.2f%% %10.0f\n", label, s.wall, 1e3 * s.wall / chunks,
                  1e3 * s.cpu / chunks, 100.0 * s.wall / times.total.wall, s.faults / chunks);
    };
    std::printf("%-30s %10s %10s %10s %8s %10s\n", "stage", "wall s", "wall ms/ch", "cpu ms/ch", "of wall",
                "faults/ch");
    for (int i = 0; i < STAGES; ++i) {
      row(STAGE_INFO[i].label, times.stage[i]);
      figure(STAGE_INFO[i].key, times.stage[i].wall);
      figure(std::string(STAGE_INFO[i].key) + "_cpu", times.stage[i].cpu);
      figure(std::string(STAGE_INFO[i].key) + "_faults", times.stage[i].faults);
    }
    row("  (cross-fade and assembly)", assembly);
    row("between the stages", Span{times.total.wall - stage_sum.wall, 0.0, 0.0});
    figure("unaccounted", times.total.wall - stage_sum.wall);
    row("whole run", times.total);
    std::printf("\n");
    figure("total", times.total.wall);
    figure("chunks", chunks);
    figure("seconds", settings.seconds);

    const Span& model = times.stage[MODEL];
    std::printf("model runs: first %.4f s, min %.4f s, max %.4f s, mean %.4f s\n", times.first_model,
                times.min_model, times.max_model, model.wall / chunks);
    std::printf("whole run / model runs: %.4f (without open_session: %.4f)\n", times.total.wall / model.wall,
                (times.total.wall - times.stage[OPEN].wall) / model.wall);
    std::printf("chunks per second: %.3f (model runs alone: %.3f)\n\n", chunks / times.total.wall,
                chunks / model.wall);

    // The chunk's bare transforms in the same process, over the song's first chunk.
    std::vector<float> left(input.left.begin(), input.left.begin() + std::min<std::int32_t>(frames, CHUNK_SAMPLES));
    std::vector<float> right(input.right.begin(), input.right.begin() + static_cast<std::ptrdiff_t>(left.size()));
    left.resize(CHUNK_SAMPLES, 0.0f);
    right.resize(CHUNK_SAMPLES, 0.0f);
    const Kernels kernels = measure_kernels(left, right, 15);
    const Span bare{(times.bare.forward.wall + times.bare.backward.wall) / chunks,
                    (times.bare.forward.cpu + times.bare.backward.cpu) / chunks};
    const Span own_compute{own.wall - times.stage[READ].wall - times.stage[WRITE].wall,
                           own.cpu - times.stage[READ].cpu - times.stage[WRITE].cpu};
    std::printf("tool's own time per chunk (all but open_session and the model runs): wall %.3f ms, cpu %.3f ms\n",
                1e3 * own.wall / chunks, 1e3 * own.cpu / chunks);
    std::printf("  without reading and writing:                                   wall %.3f ms, cpu %.3f ms\n",
                1e3 * own_compute.wall / chunks, 1e3 * own_compute.cpu / chunks);
    std::printf("  the first chunk alone (transform plans, first touches of fresh memory): wall %.3f ms\n",
                1e3 * times.first_own);
    std::printf("bare 512 r2c + 512 c2r per chunk (beside each chunk):           wall %.3f ms, cpu %.3f ms\n",
                1e3 * bare.wall, 1e3 * bare.cpu);
    std::printf("own / bare: wall %.3f, cpu %.3f (without reading and writing: wall %.3f, cpu %.3f)\n\n",
                own.wall / chunks / bare.wall, own.cpu / chunks / bare.cpu, own_compute.wall / chunks / bare.wall,
                own_compute.cpu / chunks / bare.cpu);
    figure("bare", bare.wall);
    figure("bare_cpu", bare.cpu);
    std::printf("one chunk piece by piece, the pieces interleaved (median of 15; cpu ms):\n");
    const auto piece = [&](const char* label, double cpu) { std::printf("  %-52s %8.3f\n", label, 1e3 * cpu); };
    piece("chunk_spectrogram", kernels.spectrogram);
    piece("  of it 512 bare r2c", kernels.r2c);
    piece("  of it a zeroed Spectrogram (12.6 MB)", kernels.zeroed_spectrogram);
    piece("resynthesize_chunk", kernels.resynthesis);
    piece("  of it 512 bare c2r", kernels.c2r);
    piece("chunk_window(CHUNK_SAMPLES) (made once per run)", kernels.full_window);
    piece("cross-fade of one full chunk (std::fma)", kernels.crossfade);
    std::printf("\n");

    // The design estimate of memory: 20 bytes per padded sample, 8 per frame for the
    // input, the vocals and the instrumental, about 21 MB for the chunk in flight.
    const double song_bytes = 20.0 * static_cast<double>(times.padded) + 3.0 * 8.0 * n;
    const double chunk_bytes = 21e6;
    const double runtime_load = times.rss_after_open - times.rss_before_open;
    const double runtime_kept = times.rss_after_runs - times.rss_before_runs;
    const double runtime_run = times.peak_in_runs - times.rss_before_runs;
    const double runtime = runtime_load + runtime_run;
    const double predicted = baseline + song_bytes + chunk_bytes + runtime;
    // What is alive together at the peak: the input, the five padded buffers and
    // either the chunk in flight with the runtime's working memory, or the vocals
    // beside what the runtime keeps between runs.
    const double coexisting = baseline + runtime_load + 8.0 * n + 20.0 * static_cast<double>(times.padded) +
                              std::max(chunk_bytes + runtime_run, runtime_kept + 8.0 * n);
    std::printf("resident memory, MB: process before the run %.1f; runtime: %.1f at open_session, %.1f more during "
                "runs (%.1f of it kept after the last)\n",
                mb(baseline), mb(runtime_load), mb(runtime_run), mb(runtime_kept));
    std::printf("  formula: song %.1f + chunk %.1f + runtime %.1f + process %.1f = %.1f\n", mb(song_bytes),
                mb(chunk_bytes), mb(runtime), mb(baseline), mb(predicted));
    std::printf("  peak (VmHWM) %.1f: %.3f of the formula; %.3f of what is alive together at the peak (%.1f: the\n"
                "  instrumental is made only after the padded buffers are gone)\n\n",
                mb(peak), peak / predicted, peak / coexisting, mb(coexisting));
    figure("peak_rss", peak);
    figure("predicted_rss", predicted);
    figure("coexisting_rss", coexisting);
    figure("runtime_rss", runtime);

    if (settings.verify) {
      const Stopwatch t;
      const Stereo reference = process_song(session, input);
      const double elapsed = t.lap().wall;
      const bool same = same_bits(reference.left, vocals.left) && same_bits(reference.right, vocals.right);
      double staged = 0.0;
      for (int i = SETUP; i <= VOCALS; ++i) staged += times.stage[i].wall;
      std::printf("process_song: %.4f s (the staged loop: %.4f s); vocals %s\n\n", elapsed, staged,
                  same ? "identical bit for bit" : "DIFFER");
      figure("process_song", elapsed);
      if (!same) {
        std::fprintf(stderr, "pipeline_bench: the staged loop's vocals differ from process_song's\n");
        return 1;
      }
    }

    if (!settings.threads.empty()) {
      const Spectrogram spectrogram = chunk_spectrogram(left, right, make_analysis_window());
      std::vector<float>().swap(input.left);
      std::vector<float>().swap(input.right);
      std::vector<float>().swap(vocals.left);
      std::vector<float>().swap(vocals.right);
      const std::vector<ThreadFigures> figures =
          compare_threads(session, settings, spectrogram, model.wall / chunks);
      std::printf("intra-op threads (%zu runs each, interleaved):\n", figures.front().runs.size());
      double best = 1e300, tool = -1;
      for (const ThreadFigures& f : figures) {
        const double m = median(f.runs);
        best = std::min(best, m);
        if (f.threads == 0) tool = m;
        std::printf("  %2d: median %.4f s, min %.4f s; resynthesize_chunk right after it: wall %.2f ms, cpu %.2f ms\n",
                    f.threads, m, *std::min_element(f.runs.begin(), f.runs.end()), 1e3 * median(f.after),
                    1e3 * median(f.after_cpu));
        figure("threads_" + std::to_string(f.threads), m);
        figure("after_threads_" + std::to_string(f.threads), median(f.after));
      }
      if (tool >= 0) {
        std::printf("the tool's setting 0: %.3f of the fastest median (%s)\n", tool / best,
                    tool <= best * 1.05 ? "fastest or equal within 5%"
                                        : "SLOWER than another setting");
      }
    }
    if (record) std::fclose(record);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pipeline_bench: %s\n", e.what());
    return 1;
  }
}
