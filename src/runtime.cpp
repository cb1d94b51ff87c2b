#include "runtime.hpp"

#include <onnxruntime_c_api.h>

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "locate.hpp"
#endif

#ifdef _WIN32

namespace {

const char RUNTIME_NAME[] = "onnxruntime.dll";
// Where Microsoft keeps the current x64 installer of the runtime that
// onnxruntime.dll imports (MSVCP140, VCRUNTIME140 and their siblings).
const char REDISTRIBUTABLE[] = "https://aka.ms/vs/17/release/vc_redist.x64.exe";

std::string system_message(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n && text ? std::string(text, n) : "error " + std::to_string(code);
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                              message.back() == '.'))
    message.pop_back();
  return message;
}

// Fails with the system's error code in `error` rather than a dialog.
HMODULE load_beside_executable(const std::filesystem::path& library, DWORD& error) {
  DWORD previous = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous);
  // Its own folder first for what it imports, then the system's folders: never
  // the working folder or PATH, where a stranger's DLL could sit.
  HMODULE module = LoadLibraryExW(library.c_str(), nullptr,
                                  LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  error = module ? 0 : GetLastError();
  SetThreadErrorMode(previous, nullptr);
  return module;
}

}  // namespace

// The library stays loaded until the process ends: a second load only counts
// one more reference, and the runtime's threads must never outlive its code.
const OrtApiBase* runtime_api_base() {
  const std::string folder = executable_folder();
  const std::string unloadable = std::string(RUNTIME_NAME) + " could not be loaded";
  if (folder.empty()) throw std::runtime_error(unloadable + " (the executable's folder is unknown)");
  const std::filesystem::path library = std::filesystem::u8path(folder + RUNTIME_NAME);
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(library, ignored))
    throw std::runtime_error(unloadable + " (it is not in " + folder + ")");
  DWORD error = 0;
  HMODULE module = load_beside_executable(library, error);
  if (!module) {
    // A library or a function that onnxruntime.dll imports is not there.
    if (error == ERROR_MOD_NOT_FOUND || error == ERROR_PROC_NOT_FOUND)
      throw std::runtime_error(unloadable + " (the Microsoft Visual C++ Redistributable 2015-2022 for x64 may be missing: " +
                               REDISTRIBUTABLE + ")");
    throw std::runtime_error(unloadable + " (" + system_message(error) + ")");
  }
  using GetApiBase = const OrtApiBase*(ORT_API_CALL*)();
  const auto get = reinterpret_cast<GetApiBase>(reinterpret_cast<void*>(GetProcAddress(module, "OrtGetApiBase")));
  if (!get) throw std::runtime_error(unloadable + " (it has no OrtGetApiBase: not an ONNX Runtime library)");
  return get();
}

#else

const OrtApiBase* runtime_api_base() { return OrtGetApiBase(); }

#endif
