// duostem: splits a 44100 Hz WAV song into vocals and instrumental.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cores.hpp"
#include "locate.hpp"
#include "model.hpp"
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

// A whole decimal number from low to high, without sign, spaces or anything after it.
std::optional<std::int32_t> number_in(const std::string& text, std::int32_t low, std::int32_t high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::int32_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = 10 * n + (c - '0');
  }
  if (n < low || n > high) return std::nullopt;
  return n;
}

// A decimal such as "0.25" or ".75" in thousandths: digits, then at most three
// after a point; nothing else.
std::optional<std::int32_t> thousandths_in(const std::string& text) {
  const std::size_t point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
  if ((whole.empty() && fraction.empty()) || fraction.size() > 3 || (point != std::string::npos && fraction.empty()))
    return std::nullopt;
  const std::optional<std::int32_t> units = whole.empty() ? 0 : number_in(whole, 0, 1000);
  const std::optional<std::int32_t> parts = fraction.empty() ? 0 : number_in(fraction + std::string(3 - fraction.size(), '0'), 0, 999);
  if (!units || !parts) return std::nullopt;
  return *units * 1000 + *parts;
}

// Reads the value of --fft-size, --stem, --threads or --overlap into settings; false when it is not one.
bool take_value(const std::string& option, const std::string& value, Settings& settings) {
  if (option == "--fft-size") {
    const std::optional<std::int32_t> n = number_in(value, MIN_FFT_SIZE, MAX_FFT_SIZE);
    if (!n || *n % 2 != 0) return false;
    settings.network.fft_size = n;
  } else if (option == "--stem") {
    if (value != "vocals" && value != "instrumental") return false;
    settings.network.stem = value == "vocals" ? Stem::vocals : Stem::instrumental;
  } else if (option == "--overlap") {
    const std::optional<std::int32_t> r = thousandths_in(value);
    if (!r || *r < MIN_OVERLAP || *r > MAX_OVERLAP) return false;
    settings.network.overlap = *r;
  } else {
    const std::optional<std::int32_t> n = number_in(value, 1, 1024);
    if (!n) return false;
    settings.network.threads = *n;
  }
  return true;
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

// read_wav, with running out of memory put in words; the song's length is not known yet.
Stereo read_song(const std::string& path) {
  try {
    return read_wav(path);
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("not enough memory to read " + path);
  }
}

std::string megabytes(std::uint64_t bytes) { return std::to_string((bytes + 999999) / 1000000); }

// The vocals of the song: one network's, or the average of several networks'
// (summed in the order given, then divided once). Each network is loaded,
// run and released before the next, so memory holds one at a time.
Stereo separate_vocals(const Settings& settings, const std::vector<std::string>& models, const Stereo& input) {
  const std::int32_t count = static_cast<std::int32_t>(models.size());
  if (count > 1) {
    // A network that does not load or fit is refused before any chunk of any network runs.
    for (const std::string& path : models) {
      Session session;
      open_session(session, path, settings.network);
    }
  }
  Stereo vocals;
  TransformSizes sizes;
  try {
    for (std::int32_t i = 0; i < count; ++i) {
      if (count > 1) std::fprintf(stderr, "network %d/%d: %s\n", i + 1, count, models[i].c_str());
      Session session;
      open_session(session, models[i], settings.network);
      sizes = session.sizes;
      Stereo estimate = estimate_vocals(session, input);
      if (i == 0) {
        vocals = std::move(estimate);
      } else {
        add_into(vocals, estimate);
      }
    }
    if (count > 1) divide(vocals, static_cast<float>(count));
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("not enough memory to separate " + settings.input_path + ": its " +
                             std::to_string(input.left.size()) + " frames need about " +
                             megabytes(separation_bytes(input.left.size(), sizes, count)) + " MB besides the model");
  }
  return vocals;
}

// One whole run; every failure is an exception carrying the message to show.
// The song is read into `song`, which becomes the instrumental once the vocals
// are made, so that two song-sized buffers are held at once, not three. Each
// network's runtime handles are released once it has run.
void run(const Settings& settings) {
  // The input is read and checked before anything costly is set up.
  Stereo song = read_song(settings.input_path);

  // A model the user names is used as named; only the default is searched for.
  const std::vector<std::string> models =
      settings.model_paths.empty() ? std::vector<std::string>{default_model_path()} : settings.model_paths;
  const Stereo vocals = separate_vocals(settings, models, song);
  difference_into(song, vocals, song);
  const Stereo& instrumental = song;

  // Only now, with both stems in memory: a failed separation leaves nothing on disk.
  // The name is UTF-8 on every platform, as argv carries it.
  std::filesystem::create_directories(std::filesystem::u8path(settings.out_dir));
  const std::string stem = file_stem(settings.input_path);
  const std::string vocals_path = settings.out_dir + "/" + stem + "_(Vocals).wav";
  const std::string instrumental_path = settings.out_dir + "/" + stem + "_(Instrumental).wav";
  write_wav(vocals_path, vocals.left, vocals.right);
  write_wav(instrumental_path, instrumental.left, instrumental.right);

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
  } catch (const std::exception& e) {
    std::fprintf(stderr, "duostem: %s\n", e.what());
    return 1;
  }
  return 0;
}
