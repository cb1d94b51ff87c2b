// Faults and hostile files through the real executable: every one ends in one
// "duostem: " line, status 1, nothing on standard output and nothing on disk.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "wav.hpp"

namespace {

std::string quiet_song(std::size_t frames) {
  return pcm16_wav(2, std::vector<std::int16_t>(2 * frames, 100));
}

void expect_clean_failure(const RunResult& r, const TempDir& dir, const std::string& err_contains) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "");
  const std::size_t line = r.err.find("duostem: ");
  ASSERT_NE(line, std::string::npos) << r.err;
  EXPECT_NE(r.err.find(err_contains, line), std::string::npos) << r.err;
  EXPECT_FALSE(file_exists(dir / "out")) << "an output directory was created";
}

#ifndef _WIN32
const std::vector<std::string> STEM_NAMES = {"song_(Instrumental).wav", "song_(Vocals).wav"};
constexpr std::size_t STEM_FRAMES = 100000;  // each stem file is 800044 bytes

// A directory with song.wav of STEM_FRAMES frames and out/ holding an earlier run's stems.
void prepare_earlier_run(const TempDir& dir) {
  write_file(dir / "song.wav", quiet_song(STEM_FRAMES));
  std::filesystem::create_directory(dir / "out");
  write_file(dir / "out/song_(Vocals).wav", "earlier vocals");
  write_file(dir / "out/song_(Instrumental).wav", "earlier instrumental");
}

std::string tool_command(const std::string& out_dir) {
  return tool_shell_command() + " song.wav --model '" + test_model("identity.onnx") +
         "' --out-dir " + out_dir;
}
#endif

}  // namespace

TEST(Faults, HostileModelsEndInAClearError) {
  struct Case {
    std::string name;
    std::string model;        // path given to --model
    std::string err_contains; // beside the "duostem: " prefix
  };
  TempDir models;
  std::filesystem::create_directory(models / "a_directory.onnx");
  const std::vector<Case> cases = {
      {"truncated", test_model("truncated.onnx"), ""},
      {"empty", test_model("empty.onnx"), ""},
      {"not a graph", test_model("not_onnx.onnx"), ""},
      {"a directory", models / "a_directory.onnx", ""},
      {"huge output", test_model("huge_output.onnx"), "duostem needs a tensor of 3145728 32-bit floats"},
      {"wrong shape", test_model("wrong_shape_output.onnx"), "[1, 4, 2048, 256]"},
      {"double output", test_model("double_output.onnx"), "double"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir / "song.wav", quiet_song(1000));
    const RunResult r = run_tool({"song.wav", "--model", c.model, "--out-dir", "out"}, dir.path());
    expect_clean_failure(r, dir, c.err_contains);
    EXPECT_EQ(r.err.find("chunk "), std::string::npos) << "no chunk completes: " << r.err;
  }
}

TEST(Faults, AModelFailingAtALaterChunkWritesNothing) {
  // Loud only from song frame 300000 (plane position 303072): chunk 1 of 4 passes, chunk 2 fails.
  std::vector<std::int16_t> samples(2 * 400000, 100);
  TempDir dir;
  std::string data;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const bool loud = i / 2 >= 300000 && i / 2 < 300100;
    data += f32(loud ? 5000.0f : 0.01f);
  }
  write_file(dir / "song.wav", riff(wav_chunk("fmt ", fmt_body(3, 2, 44100, 32)) + wav_chunk("data", data)));
  const RunResult r =
      run_tool({"song.wav", "--model", test_model("fail_when_loud.onnx"), "--out-dir", "out"}, dir.path());
  expect_clean_failure(r, dir, "");
  EXPECT_EQ(r.err.rfind("chunk 1/4\n", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("chunk 2/4"), std::string::npos) << r.err;
}

TEST(Faults, InputsThatChangeOrLieAreRefused) {
  TempDir dir;
  const std::string identity = test_model("identity.onnx");

  // A 2 GiB data chunk declared in a file of a few bytes is not a whole chunk.
  write_file(dir / "liar.wav",
             riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 16)) + wav_chunk_header("data", 0x80000000u) + "abcd"));
  expect_clean_failure(run_tool({"liar.wav", "--model", identity, "--out-dir", "out"}, dir.path()), dir,
                       "liar.wav is missing fmt or data");

  // A song that worked once, then truncated inside its data chunk, then removed.
  write_file(dir / "song.wav", quiet_song(1000));
  const RunResult first = run_tool({"song.wav", "--model", identity, "--out-dir", "first"}, dir.path());
  ASSERT_EQ(first.status, 0) << first.err;
  std::filesystem::resize_file(dir / "song.wav", 100);
  expect_clean_failure(run_tool({"song.wav", "--model", identity, "--out-dir", "out"}, dir.path()), dir,
                       "song.wav is missing fmt or data");
  std::filesystem::remove(dir / "song.wav");
  expect_clean_failure(run_tool({"song.wav", "--model", identity, "--out-dir", "out"}, dir.path()), dir,
                       "cannot open song.wav");
  // The first run's stems are untouched by the failed ones.
  EXPECT_EQ(read_file(dir / "first/song_(Vocals).wav").size(), 44u + 8 * 1000);
}

// The rest run the tool under a POSIX shell's limits and in Linux mount namespaces.
#ifndef _WIN32
TEST(Faults, AFileSizeLimitOrAKillDuringTheWriteKeepsTheEarlierStems) {
  // The limit (512-byte blocks in sh) is 512000 bytes, inside the vocals file,
  // which is written with the first chunk step, before its progress line.
  struct Case {
    std::string name;
    std::string signal_setting;
    int status;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"write fails", "trap '' XFSZ", 1, "duostem: cannot write out/song_(Vocals).wav\n"},
      {"killed by the signal", "trap - XFSZ", 128 + SIGXFSZ, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    prepare_earlier_run(dir);
    const RunResult r =
        run_program({"/bin/sh", "-c", c.signal_setting + "; ulimit -f 1000; exec " + tool_command("out")}, dir.path());
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(read_file(dir / "out/song_(Vocals).wav"), "earlier vocals");
    EXPECT_EQ(read_file(dir / "out/song_(Instrumental).wav"), "earlier instrumental");
    // Without unnamed files (other systems than Linux) a killed write leaves its named temporary files.
    if (c.status == 1 || wav_staging::HAS_UNNAMED_FILES)
      EXPECT_EQ(names_in(dir / "out"), STEM_NAMES) << "a temporary file was left behind";
    else
      EXPECT_EQ(names_in(dir / "out").size(), STEM_NAMES.size() + 2);
  }
}

TEST(Faults, InterruptingARunLeavesNoStagedFile) {
  // A song of several seconds' work; the interrupt comes once its first chunk is done.
  TempDir dir;
  prepare_earlier_run(dir);
  const std::uint32_t data_bytes = 4 * 20000000u;
  const std::string header = riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 16)) + wav_chunk_header("data", data_bytes));
  write_file(dir / "song.wav", header);
  std::filesystem::resize_file(dir / "song.wav", header.size() + data_bytes);
  const std::vector<std::string> argv =
      tool_argv({"song.wav", "--model", test_model("identity.onnx"), "--out-dir", ""});
  for (const char* out_dir : {"out", "new/out"}) {
    SCOPED_TRACE(out_dir);
    const pid_t pid = fork();
    if (pid == 0) {
      std::vector<std::string> args = argv;
      args.back() = out_dir;
      std::vector<char*> words;
      for (std::string& a : args) words.push_back(&a[0]);
      words.push_back(nullptr);
      const int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (chdir(dir.path().c_str()) != 0 || err < 0 || dup2(err, 2) < 0) _exit(99);
      std::signal(SIGINT, SIG_DFL);
      execvp(words[0], words.data());
      _exit(98);
    }
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 600 && (!file_exists(dir / "err") || read_file(dir / "err").find("chunk 1/") == std::string::npos); ++i)
      usleep(50000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status << ": " << read_file(dir / "err");
    EXPECT_EQ(names_in(dir / "out"), STEM_NAMES) << "a staged file was left behind";
    EXPECT_FALSE(file_exists(dir / "new")) << "the new output folder was left behind";
  }
}

TEST(Faults, AFullOrReadOnlyFileSystemKeepsTheEarlierStems) {
  // out/ becomes a small or read-only file system holding an earlier run's
  // stems, in a private mount namespace that ends with the script; its
  // contents are copied to after/ for the checks. The stems are written as
  // they are made, so every failure comes before the first progress line.
  struct Case {
    std::string name;
    std::string mount_options;
    std::string out_dir;
    std::string err_tail;
  };
  const std::vector<Case> cases = {
      {"full before the vocals fit", "size=400k", "out", "duostem: cannot write out/song_(Vocals).wav\n"},
      {"full after the vocals", "size=1200k", "out", "duostem: cannot write out/song_(Instrumental).wav\n"},
      {"read-only output directory", "size=2m,ro", "out", "duostem: cannot write out/song_(Vocals).wav\n"},
#ifdef _LIBCPP_VERSION
      {"read-only parent of a new directory", "size=2m,ro", "out/new", "Read-only file system [\"out/new\"]\n"},
#else
      {"read-only parent of a new directory", "size=2m,ro", "out/new", "Read-only file system [out/new]\n"},
#endif
  };
  const bool root = geteuid() == 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    prepare_earlier_run(dir);
    std::filesystem::create_directory(dir / "after");
    const std::string script =
        "cp out/* after/ && mount -t tmpfs -o size=2m tmpfs out && cp after/* out/ && rm after/* && "
        "mount -o remount," + c.mount_options + " out || exit 99\n" +
        tool_command(c.out_dir) + "; status=$?\ncp out/* after/; exit $status\n";
    const RunResult r = run_program({"unshare", root ? "-m" : "-rm", "/bin/sh", "-c", script}, dir.path());
    if (r.status == 99 || r.err.rfind("unshare: ", 0) == 0) GTEST_SKIP() << "no private mounts here: " << r.err;
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("chunk "), std::string::npos) << r.err;
    ASSERT_GE(r.err.size(), c.err_tail.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - c.err_tail.size()), c.err_tail) << r.err;
    EXPECT_EQ(names_in(dir / "after"), STEM_NAMES) << "a temporary file was left behind";
    EXPECT_EQ(read_file(dir / "after/song_(Vocals).wav"), "earlier vocals");
    EXPECT_EQ(read_file(dir / "after/song_(Instrumental).wav"), "earlier instrumental");
  }
}

TEST(Faults, RunningOutOfMemoryEndsInOneLineSayingWhatItNeeds) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#endif
  if (tool_argv({}).size() != 1) GTEST_SKIP() << "behind an emulator the limit would bind the emulator";
  // 80 MB of address space: enough for the runtime on one thread and the
  // model, not for the chunk's buffers. What a run needs no longer depends on
  // the song's length.
  TempDir dir;
  write_file(dir / "song.wav", quiet_song(1000));
  const RunResult r = run_program({"/bin/sh", "-c", "ulimit -v 80000; exec " + tool_shell_command() +
                                                        " song.wav --threads 1 --model '" + test_model("identity.onnx") +
                                                        "' --out-dir out"},
                                  dir.path());
  expect_clean_failure(r, dir, "");
  EXPECT_EQ(r.err, "duostem: not enough memory to separate song.wav: its 1000 frames need about 43 MB besides the model\n");
}
#endif
