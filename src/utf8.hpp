// File names are UTF-8 everywhere in the tool; Windows' own calls take UTF-16.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

inline std::wstring utf8_to_wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], count);
  return text;
}
#endif
