// A run reads and writes nothing but the song, the model and the two stems, and
// opens no socket: the runtime's telemetry stays off whatever the environment says.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"

TEST(Privacy, ARunLeavesNothingBehindAndOpensNoSocket) {
  for (const std::string setting : {"", "ORT_DISABLE_TELEMETRY=0"}) {
    SCOPED_TRACE("environment: " + setting);
    TempDir dir;
    for (const char* name : {"home", "cache", "tmp"}) std::filesystem::create_directory(dir / name);
    write_file(dir / "song.wav", pcm16_wav(2, std::vector<std::int16_t>(2000, 100)));
    std::vector<std::string> argv{"env", "HOME=" + (dir / "home"), "XDG_CACHE_HOME=" + (dir / "cache"),
                                  "TMPDIR=" + (dir / "tmp")};
    if (!setting.empty()) argv.push_back(setting);
    // LeakSanitizer cannot work under a tracer; the sanitizer build checks leaks everywhere else.
    const char* asan = std::getenv("ASAN_OPTIONS");
    argv.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
    for (const char* a : {"strace", "-f", "-qq", "-o", "trace.txt", "-e", "trace=socket,connect", "-e", "signal=none"})
      argv.push_back(a);
    for (const std::string& a :
         tool_argv({"song.wav", "--model", DUOSTEM_SOURCE_DIR "/models/vocals.onnx", "--out-dir", "out"}))
      argv.push_back(a);
    const RunResult r = run_program(argv, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"home", "cache", "tmp"}) EXPECT_EQ(names_in(dir / name), std::vector<std::string>{}) << name;
    EXPECT_EQ(read_file(dir / "trace.txt"), "");
    EXPECT_EQ(names_in(dir / "out"), (std::vector<std::string>{"song_(Instrumental).wav", "song_(Vocals).wav"}));
  }
}
