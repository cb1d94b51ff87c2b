// The installer's hand on the user's Path (HKCU\Environment): NSIS strings
// stop at 1024 characters, and a Path cut there would lose the user's
// entries, so the installer runs this instead.
// usage: path-entry add|remove FOLDER
// Exits 0 when Path holds (add) or no longer holds (remove) FOLDER.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "path_list.hpp"

namespace {

const wchar_t ENVIRONMENT[] = L"Environment";
const wchar_t PATH[] = L"Path";

// Owns an open registry key.
struct Key {
  HKEY handle = nullptr;
  ~Key() {
    if (handle) RegCloseKey(handle);
  }
};

int fail(const char* what, LSTATUS status) {
  std::fprintf(stderr, "path-entry: %s (error %ld)\n", what, static_cast<long>(status));
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring action = argc == 3 ? argv[1] : L"";
  if (action != L"add" && action != L"remove") {
    std::fputs("usage: path-entry add|remove FOLDER\n", stderr);
    return 2;
  }
  const std::wstring folder = argv[2];

  Key key;
  LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, ENVIRONMENT, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                   nullptr, &key.handle, nullptr);
  if (status != ERROR_SUCCESS) return fail("cannot open HKCU\\Environment", status);

  // The value's own type is kept; a new one expands %variables% like Windows' own.
  DWORD type = REG_EXPAND_SZ;
  DWORD bytes = 0;
  std::wstring path;
  status = RegQueryValueExW(key.handle, PATH, nullptr, &type, nullptr, &bytes);
  if (status == ERROR_SUCCESS) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) return fail("Path is not a string value: left as it is", ERROR_INVALID_DATA);
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD read = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    status = RegQueryValueExW(key.handle, PATH, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &read);
    if (status != ERROR_SUCCESS) return fail("cannot read Path", status);
    // Registry strings need not end in a null, and may end in several.
    path.assign(buffer.data(), read / sizeof(wchar_t));
    while (!path.empty() && path.back() == L'\0') path.pop_back();
  } else if (status != ERROR_FILE_NOT_FOUND) {
    return fail("cannot read Path", status);
  }

  const std::wstring changed = action == L"add" ? path_list::with(path, folder) : path_list::without(path, folder);
  if (changed == path) return 0;
  if (changed.empty()) {
    status = RegDeleteValueW(key.handle, PATH);
  } else {
    status = RegSetValueExW(key.handle, PATH, 0, type, reinterpret_cast<const BYTE*>(changed.c_str()),
                            static_cast<DWORD>((changed.size() + 1) * sizeof(wchar_t)));
  }
  if (status != ERROR_SUCCESS) return fail("cannot write Path", status);
  // Programs started from now on (Explorer's, new consoles) see the new Path.
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(ENVIRONMENT), SMTO_ABORTIFHUNG, 5000,
                      &ignored);
  return 0;
}
