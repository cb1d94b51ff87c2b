#include "test_support.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

std::string slurp_fd(int fd) {
  std::string text;
  if (lseek(fd, 0, SEEK_SET) < 0) return text;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// An unlinked temporary file, so that large outputs never fill a pipe.
int scratch_fd() {
  char name[] = "/tmp/duostem-run-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  return fd;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd) {
  int out_fd = scratch_fd();
  int err_fd = scratch_fd();
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execvp(args[0], args.data());
    _exit(127);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  RunResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.out = slurp_fd(out_fd);
  result.err = slurp_fd(err_fd);
  close(out_fd);
  close(err_fd);
  return result;
}

RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv{DUOSTEM_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, cwd);
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/duostem-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = name.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; make them removable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write test file " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read test file " + path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool file_exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

std::string test_model(const std::string& name) { return std::string(DUOSTEM_TEST_MODELS) + "/" + name; }

std::string le16(std::uint16_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string le32(std::uint32_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                     static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

std::string f32(float v) { return le32(bits_of(v)); }

std::string wav_chunk_header(const std::string& id, std::uint32_t size) { return id + le32(size); }

std::string wav_chunk(const std::string& id, const std::string& body, bool pad) {
  std::string chunk = wav_chunk_header(id, static_cast<std::uint32_t>(body.size())) + body;
  if (pad && body.size() % 2 == 1) chunk += '\0';
  return chunk;
}

std::string fmt_body(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  const std::uint16_t align = static_cast<std::uint16_t>(channels * (bits / 8));
  return le16(tag) + le16(channels) + le32(rate) + le32(rate * align) + le16(align) + le16(bits);
}

std::string riff(const std::string& chunks, std::uint32_t form_size) {
  return "RIFF" + le32(form_size) + "WAVE" + chunks;
}

std::string riff(const std::string& chunks) {
  return riff(chunks, static_cast<std::uint32_t>(4 + chunks.size()));
}

std::string pcm16_wav(std::uint16_t channels, const std::vector<std::int16_t>& samples) {
  std::string data;
  for (std::int16_t s : samples) data += le16(static_cast<std::uint16_t>(s));
  return riff(wav_chunk("fmt ", fmt_body(1, channels, 44100, 16)) + wav_chunk("data", data));
}

std::string float_wav(std::uint16_t channels, const std::vector<float>& samples) {
  std::string data;
  data.reserve(samples.size() * 4);
  for (float s : samples) data += f32(s);
  return riff(wav_chunk("fmt ", fmt_body(3, channels, 44100, 32)) + wav_chunk("data", data));
}

std::uint32_t bits_of(float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

float float_of(std::uint32_t bits) {
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}
