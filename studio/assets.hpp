// The page's files, embedded at build time so the studio works offline.
#pragma once

#include <cstddef>

namespace studio {

struct Asset {
  const char* path;  // as requested, "/studio.js"
  const char* type;  // Content-Type
  const unsigned char* data;
  std::size_t size;
};

extern const Asset ASSETS[];
extern const std::size_t ASSET_COUNT;

}  // namespace studio
