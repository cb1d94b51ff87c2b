#include "locate.hpp"

#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#elif defined(__APPLE__)
#include <mach-o/dyld.h>

#include <cstdint>
#include <vector>
#endif

namespace {

namespace fs = std::filesystem;

const char DEFAULT_MODEL[] = "models/vocals.onnx";

fs::path executable_path() {
#ifdef _WIN32
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    // A full buffer means the name was cut short.
    if (n < buffer.size()) return fs::path(buffer.substr(0, n));
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
#elif defined(__APPLE__)
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buffer(size + 1, '\0');
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return {};
  std::error_code ignored;
  // The loader's path may run through symbolic links; the files lie beside the real one.
  const fs::path real = fs::canonical(buffer.data(), ignored);
  return ignored ? fs::path(buffer.data()) : real;
#else
  std::error_code failed;
  const fs::path self = fs::read_symlink("/proc/self/exe", failed);
  return failed ? fs::path() : self;
#endif
}

bool is_file(const fs::path& path) {
  std::error_code ignored;
  return fs::is_regular_file(path, ignored);
}

}  // namespace

std::string executable_folder() {
  const fs::path exe = executable_path();
  if (exe.empty() || !exe.has_parent_path()) return {};
  return (exe.parent_path() / "").u8string();
}

std::string default_model_path() {
  if (is_file(fs::u8path(DEFAULT_MODEL))) return DEFAULT_MODEL;
  const std::string folder = executable_folder();
  if (!folder.empty()) {
    for (const char* relative : {"models/vocals.onnx", "../share/duostem/models/vocals.onnx"}) {
      const fs::path candidate = fs::u8path(folder + relative);
      if (is_file(candidate)) return candidate.u8string();
    }
  }
  return DEFAULT_MODEL;
}
