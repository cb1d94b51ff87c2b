// The command line through the real executable: the argument scan, the exit
// statuses, and the one error line for every refused input.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cores.hpp"
#include "test_support.hpp"

namespace {

const std::string USAGE =
    "usage: duostem <44100 Hz wav> [--model model.onnx]... [--out-dir dir] [--fft-size N] "
    "[--stem vocals|instrumental] [--threads N] [--overlap R]\n";

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += "[" + a + "] ";
  return text;
}

// Inputs are named relative to the working directory: song.wav is a valid file,
// bad.wav is not a WAV file (so opening it would show), missing.wav does not
// exist, models/vocals.onnx is the default model found first.
TEST(Cli, ArgumentScan) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string out = "";
  };
  const std::string missing = "duostem: cannot open missing.wav\n";
  // The runtime's version is the loaded library's.
  const std::string version = "duostem " DUOSTEM_VERSION " (ONNX Runtime 1.31.1)\n";
  const std::string cores = std::to_string(usable_physical_cores()) + "\n";
  const Case cases[] = {
      {{}, 2, USAGE},
      {{"-h"}, 0, USAGE},
      {{"--help"}, 0, USAGE},
      {{"bad.wav", "--model", "m.onnx", "--out-dir", "out", "--help"}, 0, USAGE},
      {{"bad.wav", "-h", "--bogus"}, 0, USAGE},
      {{"--bogus", "--help"}, 2, "unknown argument --bogus\n"},
      {{"bad.wav", "--model"}, 2, "unknown argument --model\n"},
      {{"bad.wav", "--out-dir"}, 2, "unknown argument --out-dir\n"},
      {{"-", "bad.wav"}, 2, "unknown argument -\n"},
      {{"--model=x.onnx", "bad.wav"}, 2, "unknown argument --model=x.onnx\n"},
      {{"--Model", "x.onnx", "bad.wav"}, 2, "unknown argument --Model\n"},
      {{"-m", "x.onnx"}, 2, "unknown argument -m\n"},
      {{"-help"}, 2, "unknown argument -help\n"},
      {{"--", "bad.wav"}, 2, "unknown argument --\n"},
      {{"bad.wav", "--fft-size", "6145"}, 2, "invalid value for --fft-size: 6145\n" + USAGE},
      {{"bad.wav", "--fft-size", "1022"}, 2, "invalid value for --fft-size: 1022\n" + USAGE},
      {{"bad.wav", "--fft-size", "16386"}, 2, "invalid value for --fft-size: 16386\n" + USAGE},
      {{"bad.wav", "--fft-size", "+6144"}, 2, "invalid value for --fft-size: +6144\n" + USAGE},
      {{"bad.wav", "--stem", "Vocals"}, 2, "invalid value for --stem: Vocals\n" + USAGE},
      {{"bad.wav", "--threads", "0"}, 2, "invalid value for --threads: 0\n" + USAGE},
      {{"bad.wav", "--threads", "1025"}, 2, "invalid value for --threads: 1025\n" + USAGE},
      {{"bad.wav", "--threads", "2x"}, 2, "invalid value for --threads: 2x\n" + USAGE},
      {{"bad.wav", "--threads"}, 2, "unknown argument --threads\n"},
      {{"bad.wav", "--overlap", "0.049"}, 2, "invalid value for --overlap: 0.049\n" + USAGE},
      {{"bad.wav", "--overlap", "0.951"}, 2, "invalid value for --overlap: 0.951\n" + USAGE},
      {{"bad.wav", "--overlap", "0.2505"}, 2, "invalid value for --overlap: 0.2505\n" + USAGE},
      {{"bad.wav", "--overlap", "1"}, 2, "invalid value for --overlap: 1\n" + USAGE},
      {{"bad.wav", "--overlap", "0."}, 2, "invalid value for --overlap: 0.\n" + USAGE},
      {{"bad.wav", "--overlap", "."}, 2, "invalid value for --overlap: .\n" + USAGE},
      {{"bad.wav", "--overlap", "0,5"}, 2, "invalid value for --overlap: 0,5\n" + USAGE},
      {{"bad.wav", "--overlap", "-0.5"}, 2, "invalid value for --overlap: -0.5\n" + USAGE},
      {{"bad.wav", "--overlap", "5e-1"}, 2, "invalid value for --overlap: 5e-1\n" + USAGE},
      {{"bad.wav", "--overlap"}, 2, "unknown argument --overlap\n"},
      {{"--overlap", "0.05", "--overlap", ".95", "bad.wav"}, 1, "duostem: bad.wav is not a WAV file\n"},
      {{"--fft-size", "16384", "--stem", "instrumental", "--threads", "1024", "bad.wav"}, 1,
       "duostem: bad.wav is not a WAV file\n"},
      {{"--out-dir", "--help", "missing.wav"}, 1, missing},
      {{"--model", "--help", "missing.wav"}, 1, missing},
      {{"--model", "-h"}, 2, USAGE},
      {{"--version"}, 0, "", version},
      {{"bad.wav", "--version", "--bogus"}, 0, "", version},
      {{"--bogus", "--version"}, 2, "unknown argument --bogus\n"},
      {{"--model", "--version", "missing.wav"}, 1, missing},
      {{"--version=1"}, 2, "unknown argument --version=1\n"},
      {{"bad.wav", "--cores", "--bogus"}, 0, "", cores},
      {{"--cores=2"}, 2, "unknown argument --cores=2\n"},
      {{"bad.wav", "--print-model", "--bogus"}, 0, "", "models/vocals.onnx\n"},
      {{"--model", "--print-model", "missing.wav"}, 1, missing},
      {{"--print-model=x"}, 2, "unknown argument --print-model=x\n"},
      {{"bad.wav", "missing.wav"}, 1, missing},
      {{"missing.wav", "bad.wav"}, 1, "duostem: bad.wav is not a WAV file\n"},
      {{"bad.wav", ""}, 2, USAGE},
      {{""}, 2, USAGE},
      {{"", "missing.wav"}, 1, missing},
      {{"missing.wav", "--model", "missing.onnx", "--out-dir", "out"}, 1, missing},
      // UTF-8 names with blanks reach the file system and the messages unchanged.
      {{"Ünïcödé bad ßong.wav"}, 1, "duostem: Ünïcödé bad ßong.wav is not a WAV file\n"},
      {{"missing ünïcödé.wav", "--model", "m ö.onnx"}, 1, "duostem: cannot open missing ünïcödé.wav\n"},
  };
  TempDir dir;
  write_file(dir / "song.wav", pcm16_wav(2, {1, 2, 3, 4}));
  write_file(dir / "bad.wav", "not a wav file at all");
  write_file(dir / "Ünïcödé bad ßong.wav", "not a wav file either");
  std::filesystem::create_directory(std::filesystem::u8path(dir / "models"));
  write_file(dir / "models/vocals.onnx", "never loaded");
  for (const Case& c : cases) {
    const RunResult r = run_tool(c.args, dir.path());
    EXPECT_EQ(r.status, c.status) << joined(c.args);
    EXPECT_EQ(r.err, c.err) << joined(c.args);
    EXPECT_EQ(r.out, c.out) << joined(c.args);
  }
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"bad.wav", "models", "song.wav", "Ünïcödé bad ßong.wav"}));
}

TEST(Cli, EveryRefusedInputEndsWithOneErrorLine) {
  const std::string data = wav_chunk("data", le16(1) + le16(2));
  struct Case {
    const char* name;
    std::string bytes;
    std::string message;
  };
  const Case cases[] = {
      {"empty", "", "in.wav is not a WAV file"},
      {"no fmt", riff(data), "in.wav is missing fmt or data"},
      {"data declares 2^32-1",
       riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 16)) + wav_chunk_header("data", 0xFFFFFFFF) + "abcd"),
       "in.wav is missing fmt or data"},
      {"48 kHz", riff(wav_chunk("fmt ", fmt_body(1, 2, 48000, 16)) + data),
       "in.wav is 48000 Hz; duostem separates 44100 Hz stereo WAV"},
      {"3 channels", riff(wav_chunk("fmt ", fmt_body(1, 3, 44100, 16)) + wav_chunk("data", std::string(6, 'x'))),
       "in.wav must be mono or stereo"},
      {"24-bit", riff(wav_chunk("fmt ", fmt_body(1, 1, 44100, 24)) + wav_chunk("data", "abc")),
       "in.wav must be 16-bit PCM or 32-bit float WAV"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_file(dir / "in.wav", c.bytes);
    const RunResult r = run_tool({"in.wav", "--out-dir", "out"}, dir.path());
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, "duostem: " + c.message + "\n") << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"in.wav"}) << c.name;
  }
}

// Inputs that are not regular files: a directory, and on POSIX systems a pipe and a FIFO.
TEST(Cli, InputsThatCannotBeMeasuredAreNamed) {
  TempDir dir;
  write_file(dir / "song.wav", pcm16_wav(2, {1, 2, 3, 4}));
  std::filesystem::create_directory(std::filesystem::u8path(dir / "folder.wav"));
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"directory", tool_argv({"folder.wav"}), "duostem: cannot open folder.wav: it is a directory\n"},
#ifndef _WIN32
      {"pipe", {"sh", "-c", "cat song.wav | exec " + tool_shell_command() + " /dev/stdin"},
       "duostem: cannot measure /dev/stdin: not a seekable file\n"},
      {"fifo", {"sh", "-c", "mkfifo f && { cat song.wav > f & } && " + tool_shell_command() + " f; s=$?; rm f; exit $s"},
       "duostem: cannot measure f: not a seekable file\n"},
#endif
  };
  for (const Case& c : cases) {
    const RunResult r = run_program(c.argv, dir.path());
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"folder.wav", "song.wav"})) << c.name;
  }
}

}  // namespace
