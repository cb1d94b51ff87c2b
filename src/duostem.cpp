// duostem: splits a 44100 Hz WAV song into vocals and instrumental.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cores.hpp"
#include "locate.hpp"
#include "model.hpp"
#include "numbers.hpp"
#include "separation.hpp"
#include "version.hpp"
#include "wav.hpp"

namespace {

const char USAGE[] =
    "usage: duostem <44100 Hz wav> [--model model.onnx]... [--out-dir dir] [--fft-size N] "
    "[--stem vocals|instrumental] [--threads N] [--overlap R]\n";

struct Settings {
  std::string input_path;
  std::vector<std::string> model_paths;  // none given: default_model_path()
  std::string out_dir = ".";
  NetworkOptions network;
};

// Reads the value of --fft-size, --stem, --threads or --overlap into settings; false when it is not one.
bool take_value(const std::string& option, const std::string& value, Settings& settings) {
  if (option == "--fft-size") {
    const std::optional<std::int32_t> n = whole_number(value, MIN_FFT_SIZE, MAX_FFT_SIZE);
    if (!n || *n % 2 != 0) return false;
    settings.network.fft_size = n;
  } else if (option == "--stem") {
    if (value != "vocals" && value != "instrumental") return false;
    settings.network.stem = value == "vocals" ? Stem::vocals : Stem::instrumental;
  } else if (option == "--overlap") {
    const std::optional<std::int32_t> r = overlap_thousandths(value);
    if (!r) return false;
    settings.network.overlap = *r;
  } else {
    const std::optional<std::int32_t> n = whole_number(value, 1, 1024);
    if (!n) return false;
    settings.network.threads = *n;
  }
  return true;
}

// Prints the model a run without --model would load, for front ends that run
// duostem elsewhere; when there is none, fails as such a run would, in the runtime's words.
int print_default_model() {
  const std::string path = default_model_path();
  try {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(std::filesystem::u8path(path), ignored)) {
      Session session;
      open_session(session, path);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "duostem: %s\n", e.what());
    return 1;
  }
  std::printf("%s\n", path.c_str());
  return 0;
}

// Fills settings from the arguments. Returns the exit status when the scan
// ends the run (help, an unknown argument, a value an option cannot take),
// nothing when the run goes on. Matching is exact over the whole argument; a
// path option's value is taken whatever it looks like.
std::optional<int> scan_arguments(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--model" && i + 1 < argc) {
      settings.model_paths.push_back(argv[++i]);
    } else if ((a == "--fft-size" || a == "--stem" || a == "--threads" || a == "--overlap") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (!take_value(a, value, settings)) {
        std::fprintf(stderr, "invalid value for %s: %s\n", a.c_str(), value.c_str());
        std::fputs(USAGE, stderr);
        return 2;
      }
    } else if (a == "--out-dir" && i + 1 < argc) {
      settings.out_dir = argv[++i];
    } else if (a == "--version") {
      std::printf("%s\n", version_line().c_str());
      return 0;
    } else if (a == "--cores") {
      std::printf("%d\n", usable_physical_cores());
      return 0;
    } else if (a == "--print-model") {
      return print_default_model();
    } else if (a == "--help" || a == "-h") {
      std::fputs(USAGE, stderr);
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return 2;
    } else {
      settings.input_path = a;
    }
  }
  return std::nullopt;
}

// The file name of path without its directories and its last extension.
// Both separators count on every platform, so Windows paths name the same file.
std::string file_stem(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string megabytes(std::uint64_t bytes) { return std::to_string((bytes + 999999) / 1000000); }

#ifdef _WIN32
bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }
#else
bool stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }
#endif

// m:ss, or h:mm:ss from an hour on.
std::string clock_text(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// The one place progress is put into words. Where standard error is read by a
// program (the studio, scripts) each chunk is one "chunk k/N" line; on a
// terminal one line is redrawn in place with a carriage return, which every
// terminal and the Windows console honour: percentage, bar, chunk count, time
// elapsed and an estimate of the time left.
class ProgressDisplay {
 public:
  ProgressDisplay() : terminal_(stderr_is_terminal()), start_(std::chrono::steady_clock::now()) {}
  ~ProgressDisplay() { end_line(); }
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  void network(std::int32_t index, std::int32_t count, const std::string& path) {
    end_line();
    std::fprintf(stderr, "network %d/%d: %s\n", index, count, path.c_str());
    start_ = std::chrono::steady_clock::now();
  }

  void chunk(std::int32_t done, std::int32_t total) {
    if (!terminal_) {
      std::fprintf(stderr, "chunk %d/%d\n", done, total);
      return;
    }
    draw(done, total, "chunk " + std::to_string(done) + "/" + std::to_string(total));
  }

  // The pass that averages several networks' estimates, on a terminal only:
  // for a program reading the lines the run ends with the last network's last chunk.
  void averaging(std::uint64_t done, std::uint64_t total) {
    if (!terminal_) return;
    if (done == 0) start_ = std::chrono::steady_clock::now();
    // Redrawn at each whole percent: the pass goes in small blocks.
    const std::uint64_t percent = total > 0 ? done * 100 / total : 100;
    if (done != 0 && percent == percent_) return;
    percent_ = percent;
    draw(static_cast<double>(done), static_cast<double>(total), "averaging");
  }

  // Ends the redrawn line, so that what follows starts on a line of its own.
  void end_line() {
    if (open_) std::fputc('\n', stderr);
    open_ = false;
    width_ = 0;
  }

 private:
  void draw(double done, double total, const std::string& what) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double fraction = total > 0 ? done / total : 1.0;
    constexpr int BAR = 24;
    const int filled = static_cast<int>(fraction * BAR);
    const std::string bar = std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(BAR - filled), '-');
    std::string line = std::to_string(static_cast<int>(fraction * 100)) + "% [" + bar + "] " + what + "  " +
                       clock_text(elapsed) + " elapsed";
    if (done > 0 && done < total) line += ", " + clock_text(elapsed / done * (total - done)) + " left";
    // Blanks over whatever a longer earlier line left.
    const std::size_t shown = line.size();
    if (line.size() < width_) line.append(width_ - line.size(), ' ');
    width_ = shown;
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    open_ = true;
  }

  bool terminal_;
  bool open_ = false;
  std::size_t width_ = 0;
  std::uint64_t percent_ = 0;
  std::chrono::steady_clock::time_point start_;
};

// Ctrl-C and termination are held back while the stems are being written and
// looked at between chunks, so that the unwinding removes the staged files
// before the signal ends the process as it would have. On Windows the console's
// handler ends the process without unwinding; the system then removes the
// staged files, which are marked for deletion until they are complete.
struct Interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

#ifdef _WIN32
class HeldSignals {
 public:
  void check() const {}
};
#else
class HeldSignals {
 public:
  HeldSignals() {
    sigemptyset(&held_);
    // A signal the process ignores (a background job's Ctrl-C) stays ignored.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction action;
      if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) sigaddset(&held_, signal);
    }
    pthread_sigmask(SIG_BLOCK, &held_, &before_);
  }
  // Unblocking delivers a signal that came meanwhile, with its usual effect.
  ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

  void check() const {
    sigset_t pending;
    if (sigpending(&pending) != 0) return;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
      if (sigismember(&held_, signal) && sigismember(&pending, signal) && !sigismember(&before_, signal))
        throw Interrupted();
  }

 private:
  sigset_t held_;
  sigset_t before_;
};
#endif

// The output folder, made with any missing folders above it; unless kept, the
// folders it made are removed again if they are still empty, so that a failed
// run leaves nothing on disk.
class OutputFolder {
 public:
  explicit OutputFolder(const std::string& dir) {
    // The name is UTF-8 on every platform, as argv carries it.
    const std::filesystem::path path = std::filesystem::u8path(dir);
    for (std::filesystem::path p = path; !p.empty() && !std::filesystem::exists(p); p = p.parent_path()) {
      made_.push_back(p);
      if (p == p.parent_path()) break;
    }
    std::filesystem::create_directories(path);
  }
  ~OutputFolder() {
    std::error_code ignored;
    for (const std::filesystem::path& p : made_) std::filesystem::remove(p, ignored);
  }
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;
  void keep() { made_.clear(); }

 private:
  std::vector<std::filesystem::path> made_;  // deepest first
};

// Frames per block when the networks' estimates are averaged.
constexpr std::size_t AVERAGE_BLOCK = 8192;

// Writes the stems as the vocals are made: one network's vocals straight into
// the stems; several networks' each into a scratch file, averaged at the end
// (summed in the order given, then divided once), while the song is read
// again. Each network is loaded, run and released before the next, so memory
// holds one at a time.
void separate_into(const Settings& settings, const std::vector<std::string>& models, WavReader& song,
                   StemWriter& vocals_file, StemWriter& instrumental_file, ProgressDisplay& progress,
                   const HeldSignals& signals, Session& single, TransformSizes& running) {
  const std::int32_t count = static_cast<std::int32_t>(models.size());
  const std::uint64_t frames = song.frames();
  const FrameSource read_song = [&song](float* left, float* right, std::size_t n) { song.read(left, right, n); };
  const ProgressReport report = [&](std::int32_t done, std::int32_t total) {
    progress.chunk(done, total);
    signals.check();
  };
  OtherStem instrumental;
  const FrameSink write_stems = [&](const FrameBlock& vocals) {
    vocals_file.append(vocals.left, vocals.right, vocals.count);
    const FrameBlock other = instrumental.of(vocals);
    instrumental_file.append(other.left, other.right, other.count);
  };

  if (count == 1) {
    running = single.sizes;
    estimate_vocals(single, frames, read_song, write_stems, report);
    return;
  }

  std::vector<std::unique_ptr<FrameScratch>> estimates;
  for (std::int32_t i = 0; i < count; ++i) {
    progress.network(i + 1, count, models[static_cast<std::size_t>(i)]);
    Session session;
    open_session(session, models[static_cast<std::size_t>(i)], settings.network);
    running = session.sizes;
    estimates.push_back(std::make_unique<FrameScratch>(vocals_file.path(), i));
    FrameScratch& estimate = *estimates.back();
    song.rewind();
    estimate_vocals(session, frames, read_song, [&](const FrameBlock& b) { estimate.append(b.left, b.right, b.count); },
                    report);
  }
  song.rewind();
  for (const auto& estimate : estimates) estimate->rewind();
  std::vector<float> song_left(AVERAGE_BLOCK), song_right(AVERAGE_BLOCK), sum_left(AVERAGE_BLOCK),
      sum_right(AVERAGE_BLOCK), left(AVERAGE_BLOCK), right(AVERAGE_BLOCK);
  const float divisor = static_cast<float>(count);
  progress.averaging(0, frames);
  for (std::uint64_t from = 0; from < frames; from += AVERAGE_BLOCK) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(AVERAGE_BLOCK, frames - from));
    song.read(song_left.data(), song_right.data(), n);
    estimates[0]->read(sum_left.data(), sum_right.data(), n);
    for (std::size_t e = 1; e < estimates.size(); ++e) {
      estimates[e]->read(left.data(), right.data(), n);
      for (std::size_t i = 0; i < n; ++i) {
        sum_left[i] += left[i];
        sum_right[i] += right[i];
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      sum_left[i] /= divisor;
      sum_right[i] /= divisor;
    }
    write_stems(FrameBlock{song_left.data(), song_right.data(), sum_left.data(), sum_right.data(), n});
    progress.averaging(from + n, frames);
    signals.check();
  }
}

// One whole run; every failure is an exception carrying the message to show.
// The song is read as the chunks need it and the stems are written as they are
// made, so memory does not grow with the song. The stems replace files of the
// same names only once both are complete.
void run(const Settings& settings) {
  // The input is read and checked before anything costly is set up.
  // Held before the runtime makes its threads, which inherit the mask: a
  // thread that did not hold them would take a Ctrl-C and end the process at
  // once. A signal takes effect only once the staged files and new folders are gone.
  const HeldSignals signals;
  WavReader song(settings.input_path);

  // A model the user names is used as named; only the default is searched for.
  const std::vector<std::string> models =
      settings.model_paths.empty() ? std::vector<std::string>{default_model_path()} : settings.model_paths;
  // A network that does not load or fit is refused before anything is written;
  // of several, each is loaded again when its turn comes, so that one at a time is held.
  Session single;
  for (const std::string& path : models) {
    if (models.size() == 1) {
      open_session(single, path, settings.network);
    } else {
      Session session;
      open_session(session, path, settings.network);
    }
    signals.check();  // a Ctrl-C while a network loads ends the run before anything is written
  }

  const std::string stem = file_stem(settings.input_path);
  const std::string vocals_path = settings.out_dir + "/" + stem + "_(Vocals).wav";
  const std::string instrumental_path = settings.out_dir + "/" + stem + "_(Instrumental).wav";
  OutputFolder folder(settings.out_dir);
  ProgressDisplay progress;
  TransformSizes running;
  {
    StemWriter vocals(vocals_path, song.frames());
    StemWriter instrumental(instrumental_path, song.frames());
    try {
      separate_into(settings, models, song, vocals, instrumental, progress, signals, single, running);
    } catch (const std::bad_alloc&) {
      throw std::runtime_error("not enough memory to separate " + settings.input_path + ": its " +
                               std::to_string(song.frames()) + " frames need about " +
                               megabytes(separation_bytes(running, static_cast<std::int32_t>(models.size()))) +
                               " MB besides the model");
    }
    vocals.finish();
    instrumental.finish();
    vocals.commit();
    instrumental.commit();
  }
  folder.keep();
  progress.end_line();

  std::printf("%s\n%s\n", instrumental_path.c_str(), vocals_path.c_str());
  if (std::fflush(stdout) != 0) throw std::runtime_error("cannot write the output paths to standard output");
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // The same bytes on every platform: lines end in "\n", never "\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  Settings settings;
  if (const std::optional<int> status = scan_arguments(argc, argv, settings)) return *status;
  if (settings.input_path.empty()) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  // Without --threads, every physical core the process may use; 0 (uncounted) leaves the choice to the runtime.
  if (settings.network.threads == 0) settings.network.threads = usable_physical_cores();
  try {
    run(settings);
  } catch (const Interrupted&) {
    // The held signal has been delivered as run unwound; it was ignored then.
    return 130;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "duostem: %s\n", e.what());
    return 1;
  }
  return 0;
}
