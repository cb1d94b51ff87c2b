// The user's Path as the installer edits it: one folder added at the end or
// removed, every other entry kept as it was, in its order, to the character.
#pragma once

#include <cwctype>
#include <string>
#include <vector>

namespace path_list {

inline std::vector<std::wstring> split(const std::wstring& path) {
  std::vector<std::wstring> entries;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find(L';', start);
    entries.push_back(path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    if (end == std::wstring::npos) return entries;
    start = end + 1;
  }
}

// Windows compares folder names without regard to case, and "C:\x\" names "C:\x".
inline bool same_folder(std::wstring a, std::wstring b) {
  for (std::wstring* s : {&a, &b}) {
    if (s->size() >= 2 && s->front() == L'"' && s->back() == L'"') *s = s->substr(1, s->size() - 2);
    while (s->size() > 1 && (s->back() == L'\\' || s->back() == L'/')) s->pop_back();
    for (wchar_t& c : *s) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
  }
  return a == b;
}

inline bool contains(const std::wstring& path, const std::wstring& folder) {
  if (path.empty()) return false;
  for (const std::wstring& entry : split(path))
    if (same_folder(entry, folder)) return true;
  return false;
}

// path with folder as its last entry; unchanged when folder is in it already.
// A path that ends in ";" keeps that ending after the new entry, so removing
// the entry gives back the same text.
inline std::wstring with(const std::wstring& path, const std::wstring& folder) {
  if (contains(path, folder)) return path;
  if (path.empty()) return folder;
  if (path.back() == L';') return path + folder + L";";
  return path + L";" + folder;
}

// path without any entry naming folder.
inline std::wstring without(const std::wstring& path, const std::wstring& folder) {
  if (!contains(path, folder)) return path;
  std::wstring kept;
  bool first = true;
  for (const std::wstring& entry : split(path)) {
    if (same_folder(entry, folder)) continue;
    if (!first) kept += L';';
    kept += entry;
    first = false;
  }
  return kept;
}

}  // namespace path_list
