// Numbers as a user or a model's metadata write them, read the same way by
// duostem and the studio.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "constants.hpp"

// A whole decimal number from low (at least 0) to high: digits only, without
// sign, spaces or anything after them; at most 19, so nothing wraps.
template <typename T>
std::optional<T> whole_number(std::string_view text, T low, T high) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  std::uint64_t n = 0;
  for (const char c : text) n = 10 * n + static_cast<std::uint64_t>(c - '0');
  if (n < static_cast<std::uint64_t>(low) || n > static_cast<std::uint64_t>(high)) return std::nullopt;
  return static_cast<T>(n);
}

// An overlap as a decimal such as "0.25" or ".75" (digits, a point, one to
// three digits; nothing else), in thousandths from MIN_OVERLAP to MAX_OVERLAP.
inline std::optional<std::int32_t> overlap_thousandths(std::string_view text) {
  const std::size_t point = text.find('.');
  const std::size_t decimals = point == std::string_view::npos ? 0 : text.size() - point - 1;
  if (decimals < 1 || decimals > 3 || (point > 0 && !whole_number(text.substr(0, point), 0, 0))) return std::nullopt;
  std::optional<std::int32_t> r = whole_number(text.substr(point + 1), 0, 999);
  for (std::size_t i = decimals; r && i < 3; ++i) *r *= 10;
  if (!r || *r < MIN_OVERLAP || *r > MAX_OVERLAP) return std::nullopt;
  return r;
}
