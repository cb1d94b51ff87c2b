// Helpers shared by the tests: running the real executable, scratch
// directories, and assembling WAV files byte by byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs the built duostem with args in working directory cwd (empty: the current one).
RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd = "");

// The words that start the built duostem with args (behind an emulator in a cross build).
std::vector<std::string> tool_argv(const std::vector<std::string>& args);
// The same words without args, quoted for /bin/sh.
std::string tool_shell_command();

// Runs argv[0] with the rest of argv; stdout and stderr captured. Standard input is /dev/null.
RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd = "");

// A fresh directory under $TMPDIR, removed with everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
// The names of the entries of dir, sorted.
std::vector<std::string> names_in(const std::string& dir);

// Path of a generated test model (see tools/make_test_models.py).
std::string test_model(const std::string& name);

// Little-endian byte assembly.
std::string le16(std::uint16_t v);
std::string le32(std::uint32_t v);
std::string f32(float v);

// One RIFF chunk: id, size, body, and the pad byte after an odd body when pad is set.
std::string wav_chunk(const std::string& id, const std::string& body, bool pad = true);
// A chunk header declaring size, with whatever body follows given separately.
std::string wav_chunk_header(const std::string& id, std::uint32_t size);
// The first 16 bytes of a fmt body (byte rate and block align consistent with the rest).
std::string fmt_body(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits);
// "RIFF", a form size (the true one unless given), "WAVE", then the chunks as given.
std::string riff(const std::string& chunks);
std::string riff(const std::string& chunks, std::uint32_t form_size);

// A whole 44100 Hz 16-bit PCM file with the given interleaved samples.
std::string pcm16_wav(std::uint16_t channels, const std::vector<std::int16_t>& samples);
// A whole 44100 Hz 32-bit float file with the given interleaved samples.
std::string float_wav(std::uint16_t channels, const std::vector<float>& samples);

// Bits of a float, and the float of some bits.
std::uint32_t bits_of(float v);
float float_of(std::uint32_t bits);
