#include "platform.hpp"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif
#endif

namespace studio {

namespace {

std::string hex(const unsigned char* bytes, std::size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

#ifdef _WIN32

namespace {

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// The quoting CommandLineToArgvW undoes: backslashes double only before a quote.
std::wstring quote_argument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

}  // namespace

struct Child::Handles {
  HANDLE process = nullptr;
  HANDLE job = nullptr;
  HANDLE output = nullptr;
  HANDLE error = nullptr;
};

Child::Child(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::filesystem::path& folder)
    : handles_(std::make_unique<Handles>()) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output_write = nullptr, error_write = nullptr;
  if (!CreatePipe(&handles_->output, &output_write, &inherit, 0) ||
      !CreatePipe(&handles_->error, &error_write, &inherit, 0))
    throw std::runtime_error("cannot create a pipe");
  SetHandleInformation(handles_->output, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(handles_->error, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  OPEN_EXISTING, 0, nullptr);
  std::wstring command = quote_argument(program.wstring());
  for (const auto& arg : args) command += L" " + quote_argument(widen(arg));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_input;
  startup.hStdOutput = output_write;
  startup.hStdError = error_write;
  PROCESS_INFORMATION info{};
  BOOL started = CreateProcessW(program.wstring().c_str(), command.data(), nullptr, nullptr, TRUE,
                                CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, folder.wstring().c_str(), &startup,
                                &info);
  CloseHandle(output_write);
  CloseHandle(error_write);
  if (null_input != INVALID_HANDLE_VALUE) CloseHandle(null_input);
  if (!started) throw std::runtime_error("cannot start " + program.u8string());
  // A job that ends the child when the studio's last handle to it closes,
  // however the studio itself ends.
  handles_->job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (handles_->job) {
    SetInformationJobObject(handles_->job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    AssignProcessToJobObject(handles_->job, info.hProcess);
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  handles_->process = info.hProcess;
}

Child::~Child() {
  terminate();
  wait();
  for (HANDLE h : {handles_->output, handles_->error, handles_->job})
    if (h) CloseHandle(h);
}

bool Child::read_error_line(std::string& line) {
  for (;;) {
    auto end = error_buffer_.find('\n');
    if (end != std::string::npos) {
      line = error_buffer_.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      error_buffer_.erase(0, end + 1);
      return true;
    }
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(handles_->error, buffer, sizeof(buffer), &got, nullptr) || got == 0) {
      line = error_buffer_;
      bool any = !error_buffer_.empty();
      error_buffer_.clear();
      return any;
    }
    error_buffer_.append(buffer, got);
  }
}

std::string Child::read_output() {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(handles_->output, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
  return text;
}

void Child::terminate() {
  if (handles_->process && WaitForSingleObject(handles_->process, 0) == WAIT_TIMEOUT)
    TerminateProcess(handles_->process, 1);
}

int Child::wait() {
  if (!handles_->process) return -1;
  WaitForSingleObject(handles_->process, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(handles_->process, &code);
  return static_cast<int>(code);
}

std::filesystem::path executable_folder() {
  std::wstring path(32768, L'\0');
  DWORD size = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(size);
  return std::filesystem::path(path).parent_path();
}

long process_id() { return static_cast<long>(GetCurrentProcessId()); }

bool process_alive(long id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

std::string random_hex(std::size_t bytes) {
  std::vector<unsigned char> data(bytes);
  if (BCryptGenRandom(nullptr, data.data(), static_cast<ULONG>(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    throw std::runtime_error("cannot read the system's random generator");
  return hex(data.data(), bytes);
}

void open_in_browser(const std::string& url) {
  ShellExecuteW(nullptr, L"open", widen(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

#else

struct Child::Handles {
  pid_t pid = -1;
  int output = -1;
  int error = -1;
  bool reaped = false;
  int status = -1;
};

Child::Child(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::filesystem::path& folder)
    : handles_(std::make_unique<Handles>()) {
  int output[2], error[2];
  if (pipe(output) != 0) throw std::runtime_error("cannot create a pipe");
  if (pipe(error) != 0) {
    close(output[0]);
    close(output[1]);
    throw std::runtime_error("cannot create a pipe");
  }
  std::vector<std::string> argv_text{program.string()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string working_folder = folder.string();
  pid_t pid = fork();
  if (pid == 0) {
    // The studio blocks INT and TERM for its signal thread and ignores PIPE;
    // the child starts with the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
#ifdef __linux__
    // Ends the child if the studio is killed outright.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    int null_input = open("/dev/null", O_RDONLY);
    if (null_input >= 0) dup2(null_input, 0);
    dup2(output[1], 1);
    dup2(error[1], 2);
    for (int fd : {output[0], output[1], error[0], error[1], null_input})
      if (fd > 2) close(fd);
    if (chdir(working_folder.c_str()) != 0) _exit(127);
    execv(argv[0], argv.data());
    const char* message = "cannot start the separation program\n";
    ssize_t ignored = write(2, message, std::strlen(message));
    (void)ignored;
    _exit(127);
  }
  close(output[1]);
  close(error[1]);
  if (pid < 0) {
    close(output[0]);
    close(error[0]);
    throw std::runtime_error("cannot start " + program.string());
  }
  // Later children must not inherit these ends, or a pipe never reports its end.
  fcntl(output[0], F_SETFD, FD_CLOEXEC);
  fcntl(error[0], F_SETFD, FD_CLOEXEC);
  handles_->pid = pid;
  handles_->output = output[0];
  handles_->error = error[0];
}

Child::~Child() {
  terminate();
  wait();
  close(handles_->output);
  close(handles_->error);
}

bool Child::read_error_line(std::string& line) {
  for (;;) {
    auto end = error_buffer_.find('\n');
    if (end != std::string::npos) {
      line = error_buffer_.substr(0, end);
      error_buffer_.erase(0, end + 1);
      return true;
    }
    char buffer[4096];
    ssize_t got = read(handles_->error, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      line = error_buffer_;
      bool any = !error_buffer_.empty();
      error_buffer_.clear();
      return any;
    }
    error_buffer_.append(buffer, static_cast<std::size_t>(got));
  }
}

std::string Child::read_output() {
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(handles_->output, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

void Child::terminate() {
  // Only a child not yet reaped: its process id cannot have been reused.
  if (!handles_->reaped) kill(handles_->pid, SIGTERM);
}

int Child::wait() {
  if (!handles_->reaped) {
    int status = 0;
    while (waitpid(handles_->pid, &status, 0) < 0 && errno == EINTR) {
    }
    handles_->reaped = true;
    handles_->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return handles_->status;
}

std::filesystem::path executable_folder() {
#ifdef __APPLE__
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  _NSGetExecutablePath(path.data(), &size);
  return std::filesystem::canonical(path.c_str()).parent_path();
#else
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
#endif
}

long process_id() { return static_cast<long>(getpid()); }

bool process_alive(long id) { return kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH; }

std::string random_hex(std::size_t bytes) {
  std::vector<unsigned char> data(bytes);
  std::ifstream source("/dev/urandom", std::ios::binary);
  if (!source.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(bytes)))
    throw std::runtime_error("cannot read /dev/urandom");
  return hex(data.data(), bytes);
}

void open_in_browser(const std::string& url) {
#ifdef __APPLE__
  const char* opener = "open";
#else
  const char* opener = "xdg-open";
#endif
  pid_t pid = fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int null_output = open("/dev/null", O_WRONLY);
    if (null_output >= 0) {
      dup2(null_output, 1);
      dup2(null_output, 2);
    }
    execlp(opener, opener, url.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
}

#endif

}  // namespace studio
