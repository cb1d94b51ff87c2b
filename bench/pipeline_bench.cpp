// The whole run against its transform floor.
//
// The floor is what no run can go below: the run's 512 pocketfft::r2c and 512
// pocketfft::c2r calls per chunk (shape {6144}, byte strides {4}/{8}, axis 0,
// scales 1 and 1/6144, one thread) in a hot loop on warm buffers, as a process
// of its own (this program with --floor). Round by round, the tool's executable
// separates a synthetic song and the floor runs its transforms, one after the
// other, both timed as whole processes; the ratios are taken pair by pair, so a
// slow spell of a shared machine falls on both. Beside them, the tool's own
// processor time per chunk: its modules run in this process over the same song
// (reading and writing included), less the model's share.
//
// With --threads N, each round also runs the tool with --threads N, so that the
// wall times at the tool's default thread count and at N stand side by side; the
// stems of both runs must agree to the byte.
//
// usage: pipeline_bench --model model.onnx [--seconds 60] [--rounds 5] [--tool path] [--record file] [--threads N]
//        pipeline_bench --floor chunks

#include <pocketfft_hdronly.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model.hpp"
#include "pipeline_support.hpp"
#include "separation.hpp"
#include "spectral.hpp"
#include "wav.hpp"

namespace {

constexpr double TWO_PI = 6.283185307179586;

double thread_cpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t m = values.size() / 2;
  return values.size() % 2 ? values[m] : 0.5 * (values[m - 1] + values[m]);
}

// The chunk's transforms, chunks times over, on one block of sixteen frames
// that stays in the cache: the least the run's transforms can cost.
class TransformFloor {
 public:
  TransformFloor() : frames_(BLOCK * FFT_SIZE), spectra_(BLOCK * SPECTRUM_BINS), out_(FFT_SIZE) {
    const std::vector<float> window = make_analysis_window(FFT_SIZE);
    for (std::size_t i = 0; i < frames_.size(); ++i)
      frames_[i] = 0.3f * static_cast<float>(std::sin(0.01 * static_cast<double>(i))) * window[i % FFT_SIZE];
  }

  void run(long chunks) {
    for (long c = 0; c < chunks; ++c) {
      for (std::size_t blocks = 0; blocks < 2 * MODEL_FRAMES / BLOCK; ++blocks) {
        for (std::size_t b = 0; b < BLOCK; ++b)
          pocketfft::r2c(shape_, real_stride_, complex_stride_, 0, true, frames_.data() + b * FFT_SIZE,
                         spectra_.data() + b * SPECTRUM_BINS, 1.0f, 1);
        for (std::size_t b = 0; b < BLOCK; ++b)
          pocketfft::c2r(shape_, complex_stride_, real_stride_, 0, false, spectra_.data() + b * SPECTRUM_BINS,
                         out_.data(), 1.0f / static_cast<float>(FFT_SIZE), 1);
        sink_ = sink_ + out_[blocks];
      }
    }
  }

 private:
  static constexpr std::size_t BLOCK = 16;
  const pocketfft::shape_t shape_{static_cast<std::size_t>(FFT_SIZE)};
  const pocketfft::stride_t real_stride_{sizeof(float)};
  const pocketfft::stride_t complex_stride_{sizeof(std::complex<float>)};
  std::vector<float> frames_;
  std::vector<std::complex<float>> spectra_;
  std::vector<float> out_;
  volatile float sink_ = 0.0f;
};

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

// A finished child as the operating system accounts for it.
struct Process {
  double wall = 0, cpu = 0, peak = 0;  // seconds, seconds, bytes
  double minor_faults = 0;
};

Process run_process(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::fflush(nullptr);  // or the child would print what this process has buffered
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // The progress lines and printed paths would only cost the pipe's reader time.
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
  Process p;
  p.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(argv[0] + " failed");
  const auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + 1e-6 * tv.tv_usec; };
  p.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  p.peak = 1024.0 * static_cast<double>(usage.ru_maxrss);
  p.minor_faults = static_cast<double>(usage.ru_minflt);
  return p;
}

std::string read_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Bytes of a "VmRSS:" or "VmHWM:" line of /proc/self/status.
double status_bytes(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + std::strlen(key)) * 1024.0;
  throw std::runtime_error(std::string("no ") + key + " in /proc/self/status");
}

// Starts the high-water mark afresh at the current resident size.
void reset_peak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  if (!clear) throw std::runtime_error("cannot reset the peak resident size (/proc/self/clear_refs)");
}

struct Settings {
  std::string model;
  std::string tool = DUOSTEM_BINARY;
  double seconds = 60.0;
  int rounds = 5;
  std::string record;
  int threads = 0;
};

Settings parse_arguments(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value, or is unknown");
    const std::string value = argv[++i];
    char* rest = nullptr;
    if (arg == "--model") {
      settings.model = value;
    } else if (arg == "--tool") {
      settings.tool = value;
    } else if (arg == "--record") {
      settings.record = value;
    } else if (arg == "--seconds") {
      settings.seconds = std::strtod(value.c_str(), &rest);
      if (*rest || !(settings.seconds >= 0 && settings.seconds <= 3600)) throw std::invalid_argument("--seconds 0 to 3600");
    } else if (arg == "--rounds") {
      settings.rounds = static_cast<int>(std::strtol(value.c_str(), &rest, 10));
      if (*rest || settings.rounds < 1 || settings.rounds > 100) throw std::invalid_argument("--rounds 1 to 100");
    } else if (arg == "--threads") {
      settings.threads = static_cast<int>(std::strtol(value.c_str(), &rest, 10));
      if (*rest || settings.threads < 1 || settings.threads > 1024) throw std::invalid_argument("--threads 1 to 1024");
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

// The tool's run through its modules in this process: this thread's processor time.
// Processor time of the run's steps, as the tool takes them, in this process.
struct Phases {
  double read = 0, loop = 0, rest = 0;  // reading; the chunk loop; the instrumental and writing
  double total() const { return read + loop + rest; }
};

Phases modules_run(Session& session, const std::string& song, const std::string& out) {
  // Reading and writing are interleaved with the chunks, as in the tool: the
  // loop's time includes them, reading only the header's check stands apart.
  Phases p;
  double t = thread_cpu();
  WavReader input(song);
  p.read = thread_cpu() - t;
  t = thread_cpu();
  StemWriter vocals(out + "/song_(Vocals).wav", input.frames());
  StemWriter instrumental(out + "/song_(Instrumental).wav", input.frames());
  OtherStem other;
  estimate_vocals(
      session, input.frames(), [&](float* l, float* r, std::size_t n) { input.read(l, r, n); },
      [&](const FrameBlock& b) {
        vocals.append(b.left, b.right, b.count);
        const FrameBlock rest = other.of(b);
        instrumental.append(rest.left, rest.right, rest.count);
      },
      {});
  p.loop = thread_cpu() - t;
  t = thread_cpu();
  vocals.commit();
  instrumental.commit();
  p.rest = thread_cpu() - t;
  return p;
}

// One chunk's pieces, interleaved rep by rep; medians of this thread's processor time.
struct Pieces {
  double analyse, r2c, model, resynthesize, c2r;
};

Pieces measure_pieces(Session& session, const Stereo& song, int reps) {
  std::vector<float> left(song.left), right(song.right);
  left.resize(CHUNK_SAMPLES, 0.0f);
  right.resize(CHUNK_SAMPLES, 0.0f);
  ChunkTransforms transforms(make_analysis_window(FFT_SIZE), DEFAULT_SIZES);
  Spectrogram spectrogram, estimate;
  transforms.analyse(left.data(), right.data(), spectrogram);
  infer_chunk(session, spectrogram, estimate);  // the runtime sizes its buffers on the first run
  TransformFloor transform_floor;
  transform_floor.run(1);
  std::vector<double> analyse, model, resynthesize, floor;
  for (int r = 0; r < reps; ++r) {
    double t = thread_cpu();
    transforms.analyse(left.data(), right.data(), spectrogram);
    analyse.push_back(thread_cpu() - t);
    t = thread_cpu();
    infer_chunk(session, spectrogram, estimate);
    model.push_back(thread_cpu() - t);
    t = thread_cpu();
    transforms.resynthesize(estimate);
    resynthesize.push_back(thread_cpu() - t);
    t = thread_cpu();
    transform_floor.run(1);
    floor.push_back(thread_cpu() - t);
  }
  // The floor's two halves are the same number of calls of about the same cost.
  const double half = median(floor) / 2;
  return Pieces{median(analyse), half, median(model), median(resynthesize), half};
}

double mb(double bytes) { return bytes / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--floor") {
    TransformFloor().run(std::strtol(argv[2], nullptr, 10));
    return 0;
  }
  Settings settings;
  try {
    settings = parse_arguments(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr,
                 "pipeline_bench: %s\nusage: pipeline_bench --model model.onnx [--seconds 60] [--rounds 5] "
                 "[--tool path] [--record file] [--threads N]\n       pipeline_bench --floor chunks\n",
                 e.what());
    return 2;
  }
  try {
    const ScratchDir scratch;
    const std::string song_path = scratch.path + "/song.wav";
    const std::string out = scratch.path + "/out";
    std::filesystem::create_directories(out);
    const std::int32_t frames = static_cast<std::int32_t>(std::llround(settings.seconds * 44100.0));
    Stereo first_chunk;
    {
      const Stereo song = synthetic_song(frames);
      write_wav(song_path, song.left, song.right);
      const std::size_t n = std::min<std::size_t>(song.left.size(), CHUNK_SAMPLES);
      first_chunk.left.assign(song.left.begin(), song.left.begin() + static_cast<std::ptrdiff_t>(n));
      first_chunk.right.assign(song.right.begin(), song.right.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const std::int32_t padded = (frames / CHUNK_BODY + 1) * CHUNK_BODY + 2 * EDGE_SAMPLES;
    const int chunks = (padded + CHUNK_STEP - 1) / CHUNK_STEP;
    const double process_base = status_bytes("VmRSS:");

    // The runtime's share of memory: what loading adds, and the high-water mark of a run over the resident size.
    Session session;
    const double before_open = status_bytes("VmRSS:");
    open_session(session, settings.model);
    const double runtime_load = status_bytes("VmRSS:") - before_open;
    const Pieces pieces = measure_pieces(session, first_chunk, 15);
    reset_peak();
    const double before_run = status_bytes("VmRSS:");
    {
      Spectrogram spectrogram(SPECTROGRAM_FLOATS, 0.25f), estimate(SPECTROGRAM_FLOATS);
      infer_chunk(session, spectrogram, estimate);
    }
    const double runtime_run = std::max(0.0, status_bytes("VmHWM:") - before_run - 2.0 * 4 * SPECTROGRAM_FLOATS);

    std::printf("pipeline_bench: model %s\ntool %s\n", settings.model.c_str(), settings.tool.c_str());
    std::printf("song %.1f s, %d frames, %d chunks; %d rounds\n\n", settings.seconds, frames, chunks, settings.rounds);
    std::printf("%5s %10s %10s %7s %10s %10s %7s %14s %7s\n", "round", "run wall", "floor wall", "ratio", "run cpu",
                "floor cpu", "ratio", "own cpu/chunk", "/floor");
    const std::vector<std::string> tool = {settings.tool, song_path, "--model", settings.model, "--out-dir", out};
    const std::vector<std::string> floor = {"/proc/self/exe", "--floor", std::to_string(chunks)};
    const bool own_measured = settings.tool == DUOSTEM_BINARY;
    run_process(tool);  // warm-up: the song and the runtime into the page cache
    const std::string threaded_out = scratch.path + "/threaded";
    std::filesystem::create_directories(threaded_out);
    std::vector<std::string> threaded = tool;
    threaded.back() = threaded_out;
    threaded.insert(threaded.end(), {"--threads", std::to_string(settings.threads)});
    std::vector<double> wall_ratio, cpu_ratio, own_ratio, run_wall, run_cpu, floor_wall, own_chunk, floor_chunk,
        threaded_wall, outside, faults;
    double peak = 0;
    for (int r = 0; r < settings.rounds; ++r) {
      if (settings.threads > 0) threaded_wall.push_back(run_process(threaded).wall);
      const Process run = run_process(tool);
      const Process bare = run_process(floor);
      // Another executable's own time cannot be told from its model's; this build's modules stand beside it.
      const Phases phases = own_measured ? modules_run(session, song_path, out) : Phases{};
      const double own = own_measured ? (phases.total() - chunks * pieces.model) / chunks : 0.0;
      if (own_measured) outside.push_back((phases.read + phases.rest) / phases.total());
      faults.push_back(run.minor_faults);
      const double floor_per_chunk = bare.cpu / chunks;
      wall_ratio.push_back(run.wall / bare.wall);
      cpu_ratio.push_back(run.cpu / bare.cpu);
      own_ratio.push_back(own / floor_per_chunk);
      run_wall.push_back(run.wall);
      run_cpu.push_back(run.cpu);
      floor_wall.push_back(bare.wall);
      own_chunk.push_back(own);
      floor_chunk.push_back(floor_per_chunk);
      peak = std::max(peak, run.peak);
      std::printf("%5d %10.3f %10.3f %7.3f %10.3f %10.3f %7.3f", r + 1, run.wall, bare.wall, wall_ratio.back(),
                  run.cpu, bare.cpu, cpu_ratio.back());
      if (own_measured) std::printf(" %11.2f ms %7.3f", 1e3 * own, own_ratio.back());
      std::printf("\n");
    }
    std::printf("\nwhole run / transform floor, wall: median %.3f (cpu %.3f); medians %.3f s / %.3f s\n",
                median(wall_ratio), median(cpu_ratio), median(run_wall), median(floor_wall));
    if (own_measured)
      std::printf("per chunk, own cpu / the chunk's 1024 transforms: median %.3f (%.2f ms / %.2f ms)\n",
                  median(own_ratio), 1e3 * median(own_chunk), 1e3 * median(floor_chunk));
    std::printf("per chunk, the whole run's cpu: %.2f ms\n", 1e3 * median(run_cpu) / chunks);
    std::printf("minor page faults of a run: median %.0f\n", median(faults));
    if (own_measured)
      std::printf("outside the chunk loop (reading, the instrumental, writing; first touches included): "
                  "median %.1f%% of the modules' cpu\n",
                  100.0 * median(outside));
    std::printf("\n");
    if (settings.threads > 0) {
      for (const char* stem : {"/song_(Vocals).wav", "/song_(Instrumental).wav"})
        if (read_bytes(out + stem) != read_bytes(threaded_out + stem))
          throw std::runtime_error(std::string("--threads changed the bits of ") + (stem + 1));
      std::printf("threads, wall (median): the default %.3f s, --threads %d %.3f s, ratio %.3f; "
                  "stems identical\n\n",
                  median(run_wall), settings.threads, median(threaded_wall), median(threaded_wall) / median(run_wall));
    }
    std::printf("one chunk, cpu ms (median of 15):\n  analyse %.2f (512 r2c alone %.2f)\n  model %.2f\n"
                "  resynthesize %.2f (512 c2r alone %.2f)\n\n",
                1e3 * pieces.analyse, 1e3 * pieces.r2c, 1e3 * pieces.model, 1e3 * pieces.resynthesize,
                1e3 * pieces.c2r);

    // The documented formula: the tool's buffers, plus the runtime's share and the process itself.
    const double buffers = static_cast<double>(separation_bytes(DEFAULT_SIZES, 1));
    const double formula = buffers + runtime_load + runtime_run + process_base;
    std::printf("peak resident memory of the run %.1f MB; formula %.1f MB (buffers %.1f + runtime %.1f + %.1f "
                "during a run + process %.1f): peak %.3f of it\n",
                mb(peak), mb(formula), mb(buffers), mb(runtime_load), mb(runtime_run), mb(process_base),
                peak / formula);

    if (!settings.record.empty()) {
      std::FILE* record = std::fopen(settings.record.c_str(), "w");
      if (!record) throw std::runtime_error("cannot write " + settings.record);
      std::fprintf(record, "seconds %.9g\nchunks %d\nrun_wall %.9g\nrun_cpu %.9g\nfloor_wall %.9g\nwall_ratio %.9g\n"
                   "floor_chunk %.9g\npeak %.9g\nformula %.9g\nminor_faults %.9g\n",
                   settings.seconds, chunks, median(run_wall), median(run_cpu), median(floor_wall), median(wall_ratio),
                   median(floor_chunk), peak, formula, median(faults));
      if (own_measured)
        std::fprintf(record, "own_chunk %.9g\nown_ratio %.9g\noutside_share %.9g\n", median(own_chunk),
                     median(own_ratio), median(outside));
      std::fclose(record);
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pipeline_bench: %s\n", e.what());
    return 1;
  }
}
