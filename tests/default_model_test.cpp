// The bundled default model, models/vocals.onnx, run through the real tool: it
// keeps what is centred and in phase within the voice band, and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "wav.hpp"

namespace {

const std::string DEFAULT_MODEL = std::string(DUOSTEM_SOURCE_DIR) + "/models/vocals.onnx";
constexpr double PI = 3.14159265358979323846;
constexpr std::size_t FRAMES = 88200;  // two seconds
// Compared away from the song's ends, where the first and last frames see the silence around it.
constexpr std::size_t FIRST = 8192;
constexpr std::size_t LAST = FRAMES - 8192;

double tone(double hz, std::size_t i, double phase = 0.0) {
  return 0.25 * std::sin(2.0 * PI * hz * static_cast<double>(i) / 44100.0 + phase);
}

struct Channels {
  double left;
  double right;
};

// One stereo test signal and the part of it the vocals should hold.
struct Case {
  const char* name;
  std::function<Channels(std::size_t)> input;
  std::function<Channels(std::size_t)> vocals;
  double tolerance;  // of the error energy, relative to the input's
};

Channels silent(std::size_t) { return {0.0, 0.0}; }

double energy_ratio(const Stereo& got, const std::function<Channels(std::size_t)>& want, const Stereo& input) {
  double error = 0.0;
  double total = 0.0;
  for (std::size_t i = FIRST; i < LAST; ++i) {
    const Channels w = want(i);
    error += std::pow(got.left[i] - w.left, 2) + std::pow(got.right[i] - w.right, 2);
    total += std::pow(input.left[i], 2) + std::pow(input.right[i], 2);
  }
  return error / total;
}

}  // namespace

TEST(DefaultModel, KeepsTheCentredInPhaseVoiceBand) {
  const std::vector<Case> cases = {
      {"centred 1 kHz stays", [](std::size_t i) { return Channels{tone(1000, i), tone(1000, i)}; },
       [](std::size_t i) { return Channels{tone(1000, i), tone(1000, i)}; }, 1e-4},
      {"centred 2 kHz stays beside a left 1 kHz",
       [](std::size_t i) { return Channels{tone(1000, i) + tone(2000, i), tone(2000, i)}; },
       [](std::size_t i) { return Channels{tone(2000, i), tone(2000, i)}; }, 1e-4},
      // Constant-power pan at -0.6, where the demo song's chords sit: similarity 0.59.
      {"panned left mostly goes",
       [](std::size_t i) { return Channels{0.951 * tone(700, i), 0.309 * tone(700, i)}; }, silent, 1e-2},
      {"hard left goes", [](std::size_t i) { return Channels{tone(1000, i), 0.0}; }, silent, 1e-4},
      {"hard right goes", [](std::size_t i) { return Channels{0.0, tone(440, i)}; }, silent, 1e-4},
      {"anti-phase goes", [](std::size_t i) { return Channels{tone(1000, i), -tone(1000, i)}; }, silent, 1e-4},
      {"quarter-period offset goes",
       [](std::size_t i) { return Channels{tone(1000, i), tone(1000, i, PI / 2)}; }, silent, 1e-4},
      {"centred 60 Hz bass goes", [](std::size_t i) { return Channels{tone(60, i), tone(60, i)}; }, silent, 1e-4},
      {"centred 14 kHz goes", [](std::size_t i) { return Channels{tone(14000, i), tone(14000, i)}; }, silent, 1e-4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<float> samples(2 * FRAMES);
    for (std::size_t i = 0; i < FRAMES; ++i) {
      const Channels s = c.input(i);
      samples[2 * i] = static_cast<float>(s.left);
      samples[2 * i + 1] = static_cast<float>(s.right);
    }
    write_file(dir / "in.wav", float_wav(2, samples));
    const RunResult r = run_tool({dir / "in.wav", "--model", DEFAULT_MODEL, "--out-dir", dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    const Stereo input = read_wav(dir / "in.wav");
    const Stereo vocals = read_wav(dir / "in_(Vocals).wav");
    ASSERT_EQ(vocals.left.size(), FRAMES);
    EXPECT_LT(energy_ratio(vocals, c.vocals, input), c.tolerance);
  }
}

// The Quick start runs the tool from the repository root without --model.
TEST(DefaultModel, IsFoundAtTheDefaultPathFromTheRepositoryRoot) {
  TempDir dir;
  std::vector<float> samples(2 * FRAMES);
  for (std::size_t i = 0; i < FRAMES; ++i) {
    samples[2 * i] = static_cast<float>(tone(1000, i) + tone(300, i));
    samples[2 * i + 1] = static_cast<float>(tone(1000, i));
  }
  write_file(dir / "in.wav", float_wav(2, samples));
  const std::string named = dir / "named";
  const std::string fallback = dir / "default";
  const RunResult with_model = run_tool({dir / "in.wav", "--model", DEFAULT_MODEL, "--out-dir", named});
  ASSERT_EQ(with_model.status, 0) << with_model.err;
  const RunResult without = run_tool({dir / "in.wav", "--out-dir", fallback}, DUOSTEM_SOURCE_DIR);
  ASSERT_EQ(without.status, 0) << without.err;
  EXPECT_EQ(read_file(fallback + "/in_(Vocals).wav"), read_file(named + "/in_(Vocals).wav"));
}

// Without --model the first of models/vocals.onnx in the working directory,
// beside the executable and in ../share/duostem beside it is used; a given
// --model is never searched. The executable is a copy in an installed tree,
// with the runtime in lib/duostem/ as cmake --install lays it out.
TEST(DefaultModel, IsSearchedInTheWorkingDirectoryThenBesideTheExecutableThenItsShareFolder) {
  namespace fs = std::filesystem;
  TempDir dir;
  const fs::path prefix = fs::path(dir.path()) / "prefix";
  const fs::path built = DUOSTEM_BINARY;
#ifdef _WIN32
  // Windows finds the runtime only beside the executable, where the install puts it.
  const fs::path runtime_folder = prefix / "bin";
#else
  const fs::path runtime_folder = prefix / "lib/duostem";
#endif
  const fs::path installed = prefix / "bin" / built.filename();
  fs::create_directories(prefix / "bin");
  fs::create_directories(runtime_folder);
  fs::copy_file(built, installed);
  for (const auto& entry : fs::directory_iterator(built.parent_path())) {
    if (entry.path().filename().string().find("onnxruntime") != std::string::npos)
      fs::copy_file(entry.path(), runtime_folder / entry.path().filename());
  }
  write_file(dir / "song.wav", pcm16_wav(2, std::vector<std::int16_t>(2 * 5000, 1000)));
  const std::map<std::string, fs::path> places = {{"cwd", fs::path(dir.path()) / "work/models"},
                                                 {"beside", prefix / "bin/models"},
                                                 {"share", prefix / "share/duostem/models"}};
  const std::map<std::string, std::string> models = {
      {"cwd", test_model("identity.onnx")}, {"beside", test_model("gain_half.onnx")}, {"share", test_model("band_zero.onnx")}};
  // The vocals each model gives, run by name.
  std::map<std::string, std::string> vocals_of;
  for (const auto& [place, model] : models) {
    const RunResult r = run_tool({dir / "song.wav", "--model", model, "--out-dir", dir / place});
    ASSERT_EQ(r.status, 0) << r.err;
    vocals_of[place] = read_file(dir / place + "/song_(Vocals).wav");
  }
  ASSERT_NE(vocals_of["cwd"], vocals_of["beside"]);
  ASSERT_NE(vocals_of["beside"], vocals_of["share"]);
  const RunResult named_missing = run_tool({dir / "song.wav", "--model", "models/vocals.onnx"}, dir.path());
  ASSERT_EQ(named_missing.status, 1);

  struct Case {
    std::vector<std::string> present;
    std::vector<std::string> args;
    std::string used;  // empty: the run fails as for a missing models/vocals.onnx
  };
  const Case cases[] = {
      {{"cwd", "beside", "share"}, {}, "cwd"},
      {{"beside", "share"}, {}, "beside"},
      {{"share"}, {}, "share"},
      {{}, {}, ""},
      {{"beside", "share"}, {"--model", "models/vocals.onnx"}, ""},
      {{"cwd", "beside"}, {"--model", models.at("share")}, "share"},
  };
  fs::create_directories(fs::path(dir.path()) / "work");
  for (const Case& c : cases) {
    std::string trace;
    for (const std::string& p : c.present) trace += p + " ";
    SCOPED_TRACE("present: " + trace);
    for (const auto& [place, folder] : places) {
      fs::remove_all(folder);
      if (std::find(c.present.begin(), c.present.end(), place) == c.present.end()) continue;
      fs::create_directories(folder);
      fs::copy_file(models.at(place), folder / "vocals.onnx");
    }
    fs::remove_all(fs::path(dir.path()) / "out");
    std::vector<std::string> argv = tool_argv({dir / "song.wav", "--out-dir", dir / "out"});
    std::replace(argv.begin(), argv.end(), built.string(), installed.string());
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = run_program(argv, dir / "work");
    // The query answers with the file a run without --model loads, or fails as that run does.
    argv.erase(std::find(argv.begin(), argv.end(), installed.string()) + 1, argv.end());
    argv.push_back("--print-model");
    const RunResult query = run_program(argv, dir / "work");
    if (c.used.empty()) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, named_missing.err);
      if (c.args.empty()) {
        EXPECT_EQ(query.status, 1);
        EXPECT_EQ(query.err, named_missing.err);
      }
    } else {
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(read_file(dir / "out/song_(Vocals).wav"), vocals_of[c.used]);
      if (c.args.empty()) {
        ASSERT_EQ(query.status, 0) << query.err;
        const std::string printed = query.out.substr(0, query.out.find('\n'));
        EXPECT_EQ(read_file((fs::path(dir / "work") / fs::u8path(printed)).u8string()), read_file(models.at(c.used)));
      }
    }
  }
}
