#include "test_support.hpp"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <random>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
std::wstring wide(const std::string& utf8) { return fs::u8path(utf8).wstring(); }

// One argument as the C runtime splits a command line: quoted when it holds
// blanks or quotes, with the backslashes before a quote doubled.
std::wstring quote_argument(const std::wstring& a) {
  if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
  std::wstring quoted = L"\"";
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    for (; i < a.size() && a[i] == L'\\'; ++i) ++backslashes;
    if (i == a.size()) {
      quoted.append(2 * backslashes, L'\\');
      break;
    }
    quoted.append(a[i] == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    quoted.push_back(a[i]);
  }
  return quoted + L"\"";
}

// An inheritable scratch file that disappears when its last handle closes.
HANDLE scratch_handle() {
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (!GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"dst", 0, name))
    throw std::runtime_error("no scratch file");
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("no scratch file");
  return h;
}

// Under wine, wine and ONNX Runtime write lines of their own to a program's
// standard error: wine's notes, the runtime's failed processor and display
// probes, and its log lines, which open with a colour escape. duostem starts no
// line so; dropping them by these fixed starts leaves its own lines as they are.
const char* const FOREIGN_LINE_STARTS[] = {"wine: ", "Error in cpuinfo: ", "Failed to create DXGI factory.", "\x1B["};

std::string read_back(HANDLE h) {
  std::string text;
  SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(h);
  std::string kept;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
    const auto starts = [&](const char* prefix) { return text.compare(start, std::strlen(prefix), prefix) == 0; };
    if (std::none_of(std::begin(FOREIGN_LINE_STARTS), std::end(FOREIGN_LINE_STARTS), starts))
      kept.append(text, start, end - start);
    start = end;
  }
  return kept;
}
#else
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
#endif

}  // namespace

#ifdef _WIN32
RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd) {
  std::wstring command;
  for (const std::string& a : argv) command += (command.empty() ? L"" : L" ") + quote_argument(wide(a));
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE null_in =
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  HANDLE out = scratch_handle();
  HANDLE err = scratch_handle();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  const std::wstring folder = wide(cwd);
  const BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      cwd.empty() ? nullptr : folder.c_str(), &startup, &process);
  CloseHandle(null_in);
  RunResult result;
  result.status = 127;
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.status = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  result.out = read_back(out);
  result.err = read_back(err);
  return result;
}

TempDir::TempDir() {
  std::random_device seed;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const fs::path candidate = fs::temp_directory_path() / ("duostem-test-" + std::to_string(seed()));
    if (fs::create_directory(candidate)) path_ = candidate.u8string();
  }
  if (path_.empty()) throw std::runtime_error("no scratch directory");
}
#else
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

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/duostem-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = name.data();
}
#endif

std::vector<std::string> tool_argv(const std::vector<std::string>& args) {
  std::vector<std::string> argv;
#ifdef DUOSTEM_EMULATOR
  std::istringstream words(DUOSTEM_EMULATOR);
  for (std::string word; words >> word;) argv.push_back(word);
#endif
  argv.push_back(DUOSTEM_BINARY);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::string tool_shell_command() {
  std::string command;
  for (const std::string& word : tool_argv({})) command += (command.empty() ? "'" : " '") + word + "'";
  return command;
}

RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd) {
  return run_program(tool_argv(args), cwd);
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(fs::u8path(path_), ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(fs::u8path(path_), ignored);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream file(fs::u8path(path), std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write test file " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream file(fs::u8path(path), std::ios::binary);
  if (!file) throw std::runtime_error("cannot read test file " + path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::u8path(dir))) names.push_back(entry.path().filename().u8string());
  std::sort(names.begin(), names.end());
  return names;
}

bool file_exists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::u8path(path), ignored);
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
