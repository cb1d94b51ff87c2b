// Numbers as a user or a model's metadata write them, read the same way by
// duostem and the studio.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// A whole decimal number from low (at least 0) to high: digits only, without
// sign, spaces or anything after them; at most 19, so nothing wraps.
template <typename T>
std::optional<T> whole_number(std::string_view text, T low, T high) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = 10 * n + static_cast<std::uint64_t>(c - '0');
  }
  if (n < static_cast<std::uint64_t>(low) || n > static_cast<std::uint64_t>(high)) return std::nullopt;
  return static_cast<T>(n);
}

// A decimal such as "0.25" or ".75" in thousandths: digits, then at most three
// after a point; nothing else.
inline std::optional<std::int32_t> thousandths(std::string_view text) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
  if ((whole.empty() && fraction.empty()) || fraction.size() > 3 || (point != std::string_view::npos && fraction.empty()))
    return std::nullopt;
  const std::optional<std::int32_t> units = whole.empty() ? 0 : whole_number(whole, 0, 1000);
  std::optional<std::int32_t> parts = fraction.empty() ? 0 : whole_number(fraction, 0, 999);
  if (!units || !parts) return std::nullopt;
  for (std::size_t i = fraction.size(); i < 3; ++i) *parts *= 10;
  return *units * 1000 + *parts;
}
