// The whole run through the real executable: chunk schedule, output naming,
// the printed paths, and what a failed run leaves behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "wav.hpp"

namespace {

std::string progress_lines(int total) {
  std::string lines;
  for (int k = 1; k <= total; ++k) lines += "chunk " + std::to_string(k) + "/" + std::to_string(total) + "\n";
  return lines;
}

// A quiet 16-bit stereo song of the given length, with something in it.
std::string song_bytes(std::size_t frames) {
  std::vector<std::int16_t> samples(2 * frames);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>((i * 7919) % 2001 - 1000);
  return pcm16_wav(2, samples);
}

const std::string IDENTITY = test_model("identity.onnx");

#ifndef _WIN32
// The SHA-256 of a file, as sha256sum prints it.
std::string sha256_of(const std::string& path) {
  const RunResult r = run_program({"sha256sum", path});
  return r.status == 0 ? r.out.substr(0, 64) : "sha256sum failed: " + r.err;
}
#endif

}  // namespace

TEST(Run, ChunkScheduleFollowsTheSongLength) {
  struct Case {
    std::size_t frames;
    int chunks;
  };
  for (const Case& c : std::vector<Case>{{0, 2}, {1, 2}, {254975, 2}, {254976, 4}, {441000, 4}, {509952, 6}}) {
    SCOPED_TRACE("frames " + std::to_string(c.frames));
    TempDir dir;
    write_file(dir / "song.wav", song_bytes(c.frames));
    const RunResult r = run_tool({"song.wav", "--model", IDENTITY}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, progress_lines(c.chunks));
    EXPECT_EQ(r.out, "./song_(Instrumental).wav\n./song_(Vocals).wav\n");
    for (const char* name : {"song_(Vocals).wav", "song_(Instrumental).wav"}) {
      const Stereo stem = read_wav(dir / name);
      EXPECT_EQ(stem.left.size(), c.frames) << name;
      EXPECT_EQ(read_file(dir / name).size(), 44 + 8 * c.frames) << name;
    }
  }
}

#ifndef _WIN32
TEST(Run, ProgressOnATerminalIsOneLineRedrawnInPlace) {
  if (run_program({"sh", "-c", "command -v script"}).status != 0) GTEST_SKIP() << "script (util-linux) is not installed";
  TempDir dir;
  write_file(dir / "song.wav", song_bytes(441000));
  // script gives the run a terminal for its standard error and copies what it shows.
  const RunResult r = run_program({"script", "-qec", tool_shell_command() + " song.wav --model '" + IDENTITY + "'",
                                   "/dev/null"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\r25% [######------------------] chunk 1/4  0:0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\r100% [########################] chunk 4/4  0:0"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("chunk 1/4\r\n"), std::string::npos) << r.out;
  // The line is ended before the paths are printed.
  const std::size_t paths = r.out.find("\r\n./song_(Instrumental).wav\r\n");
  const std::size_t elapsed = r.out.rfind(" elapsed", paths);
  ASSERT_NE(paths, std::string::npos) << r.out;
  ASSERT_NE(elapsed, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find_first_not_of(' ', elapsed + 8), paths) << r.out;
  // Several networks: the averaging pass has a bar of its own after the last network's chunks.
  const RunResult two = run_program({"script", "-qec", tool_shell_command() + " song.wav --model '" + IDENTITY +
                                     "' --model '" + IDENTITY + "'", "/dev/null"}, dir.path());
  ASSERT_EQ(two.status, 0) << two.out;
  const std::size_t averaged = two.out.find("\r100% [########################] averaging  0:0");
  EXPECT_GT(averaged, two.out.find("\r100% [########################] chunk 4/4  0:0")) << two.out;
  EXPECT_NE(averaged, std::string::npos) << two.out;
}
#endif

TEST(Run, OutputNamesAndPrintedPaths) {
  struct Case {
    std::string input;      // relative to the working directory
    std::vector<std::string> out_dir;  // the --out-dir arguments, if any
    std::string vocals;     // expected path, as printed
    std::string instrumental;
  };
  const std::vector<Case> cases = {
      {"music/song.wav", {}, "./song_(Vocals).wav", "./song_(Instrumental).wav"},
      {"song.wav", {"--out-dir", "out/"}, "out//song_(Vocals).wav", "out//song_(Instrumental).wav"},
      {"song.wav", {"--out-dir", "a/b/c"}, "a/b/c/song_(Vocals).wav", "a/b/c/song_(Instrumental).wav"},
      {"music/live.set/take.1.wav", {"--out-dir", "x"}, "x/take.1_(Vocals).wav", "x/take.1_(Instrumental).wav"},
      {"music/.wav", {}, "./_(Vocals).wav", "./_(Instrumental).wav"},
      {"music/noext", {}, "./noext_(Vocals).wav", "./noext_(Instrumental).wav"},
      {"music/song.", {}, "./song_(Vocals).wav", "./song_(Instrumental).wav"},
      {"music\\win\\song.wav", {}, "./song_(Vocals).wav", "./song_(Instrumental).wav"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    TempDir dir;
    std::filesystem::create_directories(std::filesystem::path(dir / c.input).parent_path());
    write_file(dir / c.input, song_bytes(1000));
    std::vector<std::string> args{c.input, "--model", IDENTITY};
    args.insert(args.end(), c.out_dir.begin(), c.out_dir.end());
    const RunResult r = run_tool(args, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.instrumental + "\n" + c.vocals + "\n");
    EXPECT_EQ(read_wav(dir / c.vocals).left.size(), 1000u);
    EXPECT_EQ(read_wav(dir / c.instrumental).left.size(), 1000u);
  }
}

TEST(Run, FailuresLeaveNothingBehind) {
  struct Case {
    std::string name;
    std::vector<std::string> args;   // after the input song.wav
    bool write_song;
    std::string err_prefix;          // standard error starts with this
    std::string err_contains;        // and holds this
  };
  const std::vector<Case> cases = {
      {"missing model", {"--model", "nowhere.onnx", "--out-dir", "out"}, true, "duostem: ", "nowhere.onnx"},
      {"wrong output name", {"--model", test_model("wrong_output_name.onnx"), "--out-dir", "out"}, true, "duostem: ",
       "output"},
      {"missing input and model", {"--model", "nowhere.onnx", "--out-dir", "out"}, false,
       "duostem: cannot open song.wav\n", ""},
      // Networks that cannot run are refused when loaded, before any chunk, naming the model file.
      {"input of rank 3", {"--model", test_model("refuse_rank3.onnx"), "--out-dir", "out"}, true,
       "duostem: " + test_model("refuse_rank3.onnx") + ": its input is a tensor of 32-bit float values [1, 4, 3072]; "
       "duostem needs a 4-dimensional tensor of 32-bit floats [1, 4, bins, frames]\n", ""},
      {"input of int64", {"--model", test_model("refuse_int64.onnx"), "--out-dir", "out"}, true,
       "duostem: " + test_model("refuse_int64.onnx") + ": its input is a tensor of int64 values [1, 4, 3072, 256]; "
       "duostem needs a 4-dimensional tensor of 32-bit floats [1, 4, bins, frames]\n", ""},
      {"batch of 2", {"--model", test_model("refuse_batch2.onnx"), "--out-dir", "out"}, true,
       "duostem: " + test_model("refuse_batch2.onnx") +
           ": its input is [2, 4, 3072, 256]; duostem needs batch 1 and 4 planes [1, 4, bins, frames]\n", ""},
      {"more bins than the FFT has", {"--model", IDENTITY, "--fft-size", "4096", "--out-dir", "out"}, true,
       "duostem: " + IDENTITY + ": its 3072 bins do not fit an FFT of 4096 points, which has 2048\n", ""},
      {"chunk not longer than the FFT", {"--model", test_model("refuse_frames6.onnx"), "--out-dir", "out"}, true,
       "duostem: " + test_model("refuse_frames6.onnx") +
           ": its 6 frames make chunks of 5120 samples, not longer than the FFT of 6144 points\n", ""},
      {"FFT size in the metadata", {"--model", test_model("refuse_fft_metadata.onnx"), "--out-dir", "out"}, true,
       "duostem: " + test_model("refuse_fft_metadata.onnx") +
           ": its metadata fft_size \"6145\" is not an even number from 1024 to 16384\n", ""},
      {"stem in the metadata", {"--model", test_model("refuse_stem_metadata.onnx"), "--out-dir", "out"}, true,
       "duostem: " + test_model("refuse_stem_metadata.onnx") +
           ": its metadata stem \"drums\" is neither vocals nor instrumental\n", ""},
      {"output of another layout", {"--model", test_model("transposed_output.onnx"), "--out-dir", "out"}, true,
       "duostem: " + test_model("transposed_output.onnx") + ": its output is [1, 4, 256, 3072] but its input is "
       "[1, 4, 3072, 256]; duostem reads the output in the input's layout\n", ""},
      {"the second of two networks", {"--model", IDENTITY, "--model", test_model("refuse_batch2.onnx"), "--out-dir", "out"},
       true, "duostem: " + test_model("refuse_batch2.onnx") + ": its input is [2, 4, 3072, 256]", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.write_song) write_file(dir / "song.wav", song_bytes(1000));
    std::vector<std::string> args{"song.wav"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = run_tool(args, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(c.err_prefix, 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.err_contains), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("chunk "), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir / "out")) << "the output directory was created";
  }
}

TEST(Run, OutputDirectoryThatIsAFileFailsBeforeTheSeparation) {
  TempDir dir;
  write_file(dir / "song.wav", song_bytes(1000));
  write_file(dir / "taken", "a regular file");
  const RunResult r = run_tool({"song.wav", "--model", IDENTITY, "--out-dir", "taken"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(r.err.rfind("duostem: ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("chunk "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.back(), '\n');
  EXPECT_EQ(read_file(dir / "taken"), "a regular file");
  EXPECT_FALSE(file_exists(dir / "taken/song_(Vocals).wav"));
}

TEST(Run, ASongPastTheRiffLimitIsReadAsTheChunksNeedIt) {
  // One frame more than a RIFF stem holds, mono 16-bit; sparse, so it costs no
  // disk. Within 2 GB of address space, where decoding it whole would take 5.4 GB,
  // the run gets as far as the model.
  const std::uint64_t frames = MAX_WAV_FRAMES + 1;
  TempDir dir;
  const std::string header = riff(wav_chunk("fmt ", fmt_body(1, 1, 44100, 16)) +
                                  wav_chunk_header("data", static_cast<std::uint32_t>(2 * frames)));
  write_file(dir / "long.wav", header);
  std::filesystem::resize_file(dir / "long.wav", header.size() + 2 * frames);
  // The sanitizer's shadow memory and an emulator need more than any such limit.
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
  const bool bounded = false;
#else
  const bool bounded = tool_argv({}).size() == 1;
#endif
  const RunResult r =
      bounded ? run_program({"/bin/sh", "-c", "ulimit -v 2000000; exec " + tool_shell_command() +
                                                  " long.wav --model nowhere.onnx"},
                            dir.path())
              : run_tool({"long.wav", "--model", "nowhere.onnx"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("duostem: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("nowhere.onnx"), std::string::npos) << r.err;
}

// These need sha256sum or Python, which a Windows test cannot start; the platform
// script compares the Windows build's stems with the Linux build's instead.
#ifndef _WIN32
TEST(Run, ThreadCountLeavesEveryBitAlone) {
  TempDir dir;
  write_file(dir / "song.wav", song_bytes(300000));
  const RunResult made = run_program({DUOSTEM_PYTHON, std::string(DUOSTEM_SOURCE_DIR) + "/tools/make_bench_model.py",
                                      "--g", "2", dir / "unet.onnx"});
  ASSERT_EQ(made.status, 0) << made.err;
  for (const std::string& model : {std::string(DUOSTEM_SOURCE_DIR) + "/models/vocals.onnx", dir / "unet.onnx"}) {
    std::vector<std::string> stems;
    // No --threads: every core the process may use (duostem --cores); 3 is more threads than most test machines' cores.
    for (const std::vector<std::string>& threads :
         {std::vector<std::string>{}, {"--threads", "1"}, {"--threads", "2"}, {"--threads", "3"}}) {
      SCOPED_TRACE(model + (threads.empty() ? " default" : " --threads " + threads[1]));
      std::vector<std::string> args{"song.wav", "--model", model, "--out-dir", "out"};
      args.insert(args.end(), threads.begin(), threads.end());
      const RunResult r = run_tool(args, dir.path());
      ASSERT_EQ(r.status, 0) << r.err;
      stems.push_back(read_file(dir / "out/song_(Vocals).wav") + read_file(dir / "out/song_(Instrumental).wav"));
      EXPECT_EQ(stems.back(), stems.front());
    }
  }
}

TEST(Run, StemsKeepTheirBitsSongByModel) {
  // Digests made before the pipeline was reworked for speed: any change to a
  // single output bit shows here. "ends" is loud up to both of its ends, and its
  // last two chunks are short (400000 frames: chunks of 261120, 261120, 254976
  // and 124416 samples).
  struct Case {
    std::string song;
    std::string model;
    std::string vocals;
    std::string instrumental;
  };
  const std::string DEFAULT_MODEL = std::string(DUOSTEM_SOURCE_DIR) + "/models/vocals.onnx";
  const std::string GAIN = test_model("gain_half.onnx");
  const std::vector<Case> cases = {
      {"demo", DEFAULT_MODEL, "747a758c40c8788e0585df20ef2e6e0e7f6d99715163442b706581b8ca31b153",
       "817349e8acd34fd11773aea372fb03e286e42dcc5aa2c51d146c55470df4281b"},
      {"demo", GAIN, "a483559a54ca8584d6592f51c64d9032930b9e88b84fad48c313f37133874bfe",
       "f081d6802881b44773ff22847514f988d50688af011d8bc0201854a0890e35cd"},
      {"ends", DEFAULT_MODEL, "218d11ffbf20105924ebb6db232bb81fb970d972f6246b0683439c87ba541107",
       "867f68c0805783df4e377f8b3ab86752cc0eb9677699410227d7226b177670fb"},
      {"ends", GAIN, "032ed505bbe38c1f261e65edbff677009b359f985effd70aaaac7e20589ca680",
       "becadfa82c295f0f505082eccb01df7b8bba089aabb850ed93e41b6c3a9dd8ec"},
  };
  TempDir songs;
  const RunResult demo = run_program({DUOSTEM_PYTHON, std::string(DUOSTEM_SOURCE_DIR) + "/tools/make_demo_song.py",
                                      "--seed", "1", "--out", songs / "demo.wav"});
  ASSERT_EQ(demo.status, 0) << demo.err;
  ASSERT_EQ(sha256_of(songs / "demo.wav"), "959415a2513e3368a8f44902a2951ee90342f8f9e6802e8c375a2958cd0f3db7") << "the demo song generator changed";
  std::vector<float> ends(2 * 400000);
  for (std::size_t f = 0; f < ends.size() / 2; ++f) {
    ends[2 * f] = static_cast<float>(static_cast<int>((f * 7919) % 2001) - 1000) / 1250.0f;
    ends[2 * f + 1] = static_cast<float>(static_cast<int>((f * 104729) % 1999) - 999) / 1500.0f;
  }
  write_file(songs / "ends.wav", float_wav(2, ends));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.song + " with " + c.model);
    TempDir dir;
    const RunResult r = run_tool({songs / (c.song + ".wav"), "--model", c.model, "--out-dir", dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sha256_of(dir / (c.song + "_(Vocals).wav")), c.vocals);
    EXPECT_EQ(sha256_of(dir / (c.song + "_(Instrumental).wav")), c.instrumental);
  }
}
#endif
