// duostem: splits a 44100 Hz WAV song into vocals and instrumental.
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "wav.hpp"

namespace {

const char USAGE[] = "usage: duostem <44100 Hz wav> [--model model.onnx] [--out-dir dir]\n";

struct Settings {
  std::string input_path;
  std::string model_path = "models/vocals.onnx";
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

// One whole run; every failure is an exception carrying the message to show.
void run(const Settings& settings) {
  // The input is read and checked before anything costly is set up.
  const Stereo input = read_wav(settings.input_path);
  (void)input;
}

}  // namespace

int main(int argc, char** argv) {
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
