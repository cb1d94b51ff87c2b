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

#include "locate.hpp"
#include "model.hpp"
#include "separation.hpp"
#include "version.hpp"
#include "wav.hpp"

namespace {

const char USAGE[] = "usage: duostem <44100 Hz wav> [--model model.onnx] [--out-dir dir]\n";

struct Settings {
  std::string input_path;
  std::optional<std::string> model_path;  // none given: default_model_path()
  std::string out_dir = ".";
};

// Fills settings from the arguments. Returns the exit status when the scan
// ends the run (help, an unknown argument), nothing when the run goes on.
// Matching is exact over the whole argument; an option's value is taken
// whatever it looks like.
std::optional<int> scan_arguments(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--model" && i + 1 < argc) {
      settings.model_path = argv[++i];
    } else if (a == "--out-dir" && i + 1 < argc) {
      settings.out_dir = argv[++i];
    } else if (a == "--version") {
      std::printf("%s\n", version_line().c_str());
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

// One whole run; every failure is an exception carrying the message to show.
// The locals are made in the order input, session, vocals, instrumental, paths,
// so the runtime's handles are released after the printing and before any
// message of a failure is printed.
void run(const Settings& settings) {
  // The input is read and checked before anything costly is set up.
  const Stereo input = read_song(settings.input_path);
  // A stem that no output file can hold is refused now, not after hours of work.
  if (input.left.size() > static_cast<std::size_t>(MAX_WAV_FRAMES))
    throw std::runtime_error(settings.input_path + " has " + std::to_string(input.left.size()) +
                             " frames; an output file holds at most " + std::to_string(MAX_WAV_FRAMES));

  Session session;
  // A model the user names is used as named; only the default is searched for.
  open_session(session, settings.model_path ? *settings.model_path : default_model_path());
  Stereo vocals;
  Stereo instrumental;
  try {
    vocals = process_song(session, input);
    instrumental = derive_instrumental(input, vocals);
  } catch (const std::bad_alloc&) {
    const std::uint64_t megabytes = (separation_bytes(input.left.size()) + 999999) / 1000000;
    throw std::runtime_error("not enough memory to separate " + settings.input_path + ": its " +
                             std::to_string(input.left.size()) + " frames need about " + std::to_string(megabytes) +
                             " MB besides the model");
  }

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
  try {
    run(settings);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "duostem: %s\n", e.what());
    return 1;
  }
  return 0;
}
