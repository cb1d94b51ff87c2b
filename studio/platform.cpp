#include "platform.hpp"

#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include "utf8.hpp"

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <mutex>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#ifdef __linux__
#include <sys/prctl.h>
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

// The browser reads this and goes on to the address.
std::string forward_html(const std::string& url) {
  return "<!doctype html>\n<meta charset=\"utf-8\">\n<meta http-equiv=\"refresh\" content=\"0;url=" + url +
         "\">\n<title>duostem studio</title>\n<a href=\"" + url + "\">duostem studio</a>\n";
}

const char LOCK_NAME[] = "lock";

}  // namespace

bool Child::read_error_line(std::string& line) {
  for (;;) {
    const std::size_t end = error_buffer_.find('\n');
    if (end != std::string::npos) {
      line = error_buffer_.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      error_buffer_.erase(0, end + 1);
      return true;
    }
    char buffer[4096];
    const std::size_t got = read_some(true, buffer, sizeof(buffer));
    if (got == 0) {
      line = std::move(error_buffer_);
      error_buffer_.clear();
      return !line.empty();
    }
    error_buffer_.append(buffer, got);
  }
}

std::string Child::read_output() {
  std::string text;
  char buffer[4096];
  while (const std::size_t got = read_some(false, buffer, sizeof(buffer))) text.append(buffer, got);
  return text;
}

#ifdef _WIN32

namespace {

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
  for (const auto& arg : args) command += L" " + quote_argument(utf8_to_wide(arg));
  // The child inherits its three standard handles and nothing else: no
  // socket, no upload being written.
  std::vector<HANDLE> inherited{output_write, error_write};
  if (null_input != INVALID_HANDLE_VALUE) inherited.push_back(null_input);
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list_memory(list_size);
  auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
  const bool listed = InitializeProcThreadAttributeList(list, 1, 0, &list_size) &&
                      UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                                inherited.size() * sizeof(HANDLE), nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null_input;
  startup.StartupInfo.hStdOutput = output_write;
  startup.StartupInfo.hStdError = error_write;
  startup.lpAttributeList = list;
  PROCESS_INFORMATION info{};
  BOOL started = listed && CreateProcessW(program.wstring().c_str(), command.data(), nullptr, nullptr, TRUE,
                                          CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                          folder.wstring().c_str(), &startup.StartupInfo, &info);
  if (listed) DeleteProcThreadAttributeList(list);
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

std::size_t Child::read_some(bool from_error, char* buffer, std::size_t size) {
  DWORD got = 0;
  const BOOL read = ReadFile(from_error ? handles_->error : handles_->output, buffer, static_cast<DWORD>(size), &got, nullptr);
  return read ? got : 0;
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

void set_up_process() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

struct StopHandler::State {
  std::function<void()> stop;
  std::once_flag once;  // Ctrl-C then a closed console: the second waits for the first
};

namespace {

// The console's handler runs on a thread the system starts and takes no
// argument: the live StopHandler's state is reached through this one pointer,
// set and cleared by that StopHandler's own lifetime.
StopHandler::State* console_stop = nullptr;

BOOL WINAPI on_console(DWORD) {
  if (StopHandler::State* state = console_stop) std::call_once(state->once, state->stop);
  return TRUE;
}

}  // namespace

StopHandler::StopHandler(std::function<void()> stop) : state_(std::make_unique<State>()) {
  state_->stop = std::move(stop);
  console_stop = state_.get();
  SetConsoleCtrlHandler(on_console, TRUE);
}

StopHandler::~StopHandler() {
  SetConsoleCtrlHandler(on_console, FALSE);
  console_stop = nullptr;
}

std::string random_hex(std::size_t bytes) {
  std::vector<unsigned char> data(bytes);
  if (BCryptGenRandom(nullptr, data.data(), static_cast<ULONG>(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    throw std::runtime_error("cannot read the system's random generator");
  return hex(data.data(), bytes);
}

// The user's temporary folder lies in their profile, which other users cannot read.
ForwardPage::ForwardPage(const std::string& url)
    : path_(std::filesystem::temp_directory_path() / ("duostem-studio-" + random_hex(8) + ".html")) {
  HANDLE file = CreateFileW(path_.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path_.u8string());
  const std::string page = forward_html(url);
  DWORD written = 0;
  const BOOL wrote = WriteFile(file, page.data(), static_cast<DWORD>(page.size()), &written, nullptr);
  CloseHandle(file);
  if (!wrote || written != page.size()) {
    DeleteFileW(path_.wstring().c_str());
    throw std::runtime_error("cannot write " + path_.u8string());
  }
}

ForwardPage::~ForwardPage() { DeleteFileW(path_.wstring().c_str()); }

void ForwardPage::open() const {
  ShellExecuteW(nullptr, L"open", path_.wstring().c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

struct FolderLock::Handle {
  HANDLE file = INVALID_HANDLE_VALUE;
};

FolderLock::FolderLock(const std::filesystem::path& folder) : handle_(std::make_unique<Handle>()) {
  const std::filesystem::path temporary = folder / ("lock." + random_hex(4));
  HANDLE file = CreateFileW(temporary.wstring().c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  OVERLAPPED whole{};
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + temporary.u8string());
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole) ||
      !MoveFileExW(temporary.wstring().c_str(), (folder / LOCK_NAME).wstring().c_str(), 0)) {
    CloseHandle(file);
    DeleteFileW(temporary.wstring().c_str());
    throw std::runtime_error("cannot lock " + folder.u8string());
  }
  handle_->file = file;
}

FolderLock::~FolderLock() { CloseHandle(handle_->file); }

void remove_if_unlocked(const std::filesystem::path& folder) {
  HANDLE file = CreateFileW((folder / LOCK_NAME).wstring().c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  OVERLAPPED whole{};
  const bool free = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole);
  // A folder holding an open file cannot be removed here.
  CloseHandle(file);
  std::error_code ignored;
  if (free) std::filesystem::remove_all(folder, ignored);
}

bool rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (MoveFileExW(from.wstring().c_str(), to.wstring().c_str(), 0)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return false;
  throw std::runtime_error("cannot move " + from.u8string() + " to " + to.u8string());
}

bool backslash_separates_folders() { return true; }

#else

namespace {

// In a child between fork and exec: closes every descriptor above standard
// error, whatever opened it (sockets, uploads being written, pipes).
void close_inherited(long limit) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
  if (limit < 0 || limit > 65536) limit = 65536;
  for (int fd = 3; fd < limit; ++fd) close(fd);
}

std::string system_message(const std::string& what) { return what + ": " + std::strerror(errno); }

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

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
  const long descriptors = sysconf(_SC_OPEN_MAX);
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // The studio blocks INT and TERM for its signal thread and ignores PIPE;
    // the child starts with the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
#ifdef __linux__
    // Ends the child if the studio is killed outright, also when that
    // happened before the request was made.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
#endif
    int null_input = open("/dev/null", O_RDONLY);
    if (null_input >= 0) dup2(null_input, 0);
    dup2(output[1], 1);
    dup2(error[1], 2);
    close_inherited(descriptors);
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

std::size_t Child::read_some(bool from_error, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = read(from_error ? handles_->error : handles_->output, buffer, size);
    if (got >= 0 || errno != EINTR) return got > 0 ? static_cast<std::size_t>(got) : 0;
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

void set_up_process() {
  sigset_t stop_signals = stop_signal_set();
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

struct StopHandler::State {
  std::function<void()> stop;
  std::atomic<bool> ending{false};  // the destructor's own TERM, not the user's
  std::thread thread;
};

StopHandler::StopHandler(std::function<void()> stop) : state_(std::make_unique<State>()) {
  state_->stop = std::move(stop);
  state_->thread = std::thread([state = state_.get()] {
    const sigset_t stop_signals = stop_signal_set();
    int received = 0;
    sigwait(&stop_signals, &received);
    if (!state->ending) state->stop();
  });
}

StopHandler::~StopHandler() {
  state_->ending = true;
  pthread_kill(state_->thread.native_handle(), SIGTERM);
  state_->thread.join();
}

std::string random_hex(std::size_t bytes) {
  std::vector<unsigned char> data(bytes);
  std::ifstream source("/dev/urandom", std::ios::binary);
  if (!source.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(bytes)))
    throw std::runtime_error("cannot read /dev/urandom");
  return hex(data.data(), bytes);
}

// The user's runtime folder (mode 0700 by design), else the temporary folder,
// where the file's own mode 0600 keeps it to the user.
ForwardPage::ForwardPage(const std::string& url) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code error;
  std::filesystem::path folder = runtime && runtime[0] == '/' && std::filesystem::is_directory(runtime, error)
                                     ? std::filesystem::path(runtime)
                                     : std::filesystem::temp_directory_path();
  path_ = folder / ("duostem-studio-" + random_hex(8) + ".html");
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error(system_message("cannot create " + path_.string()));
  const std::string page = forward_html(url);
  const bool wrote = ::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
  close(fd);
  if (!wrote) {
    unlink(path_.c_str());
    throw std::runtime_error("cannot write " + path_.string());
  }
}

ForwardPage::~ForwardPage() { unlink(path_.c_str()); }

void ForwardPage::open() const {
#ifdef __APPLE__
  const char* opener = "open";
#else
  const char* opener = "xdg-open";
#endif
  const long descriptors = sysconf(_SC_OPEN_MAX);
  pid_t pid = fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int null_output = ::open("/dev/null", O_WRONLY);
    if (null_output >= 0) {
      dup2(null_output, 1);
      dup2(null_output, 2);
    }
    close_inherited(descriptors);
    execlp(opener, opener, path_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
}

struct FolderLock::Handle {
  int fd = -1;
};

FolderLock::FolderLock(const std::filesystem::path& folder) : handle_(std::make_unique<Handle>()) {
  const std::filesystem::path temporary = folder / ("lock." + random_hex(4));
  const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error(system_message("cannot create " + temporary.string()));
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || std::rename(temporary.c_str(), (folder / LOCK_NAME).c_str()) != 0) {
    const std::string message = system_message("cannot lock " + folder.string());
    close(fd);
    unlink(temporary.c_str());
    throw std::runtime_error(message);
  }
  handle_->fd = fd;
}

FolderLock::~FolderLock() { close(handle_->fd); }

void remove_if_unlocked(const std::filesystem::path& folder) {
  const int fd = ::open((folder / LOCK_NAME).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  close(fd);
}

bool rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
#ifdef __linux__
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST) return false;
  // File systems without the flag: a hard link fails the same way on a taken name.
  if (errno != EINVAL && errno != ENOSYS)
    throw std::runtime_error(system_message("cannot move " + from.string() + " to " + to.string()));
#endif
  if (link(from.c_str(), to.c_str()) != 0) {
    if (errno == EEXIST) return false;
    throw std::runtime_error(system_message("cannot move " + from.string() + " to " + to.string()));
  }
  unlink(from.c_str());
  return true;
}

bool backslash_separates_folders() { return false; }

#endif

}  // namespace studio
