#include "song_buffer.hpp"

#include <cstdint>

#if defined(__linux__) && !defined(DUOSTEM_NO_LINUX_EXTRAS)
#include <sys/mman.h>
#endif

namespace {

// Asks for transparent huge pages over the 2 MiB-aligned part of a buffer that
// has not been touched yet: one fault then maps 2 MiB instead of 4 KiB, which
// matters on virtual machines, where a fault is dear. Only a hint; where it is
// refused or unknown, the buffer works as before.
void advise_huge_pages([[maybe_unused]] void* start, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && !defined(DUOSTEM_NO_LINUX_EXTRAS) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(start) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(HUGE_PAGE - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace

void reserve_song(std::vector<float>& samples, std::size_t count) {
  std::vector<float>().swap(samples);
  samples.reserve(count);
  advise_huge_pages(samples.data(), count * sizeof(float));
}

std::unique_ptr<unsigned char[]> unwritten_bytes(std::size_t count) {
  // Default-initialised: bytes of an unsigned char array are left as they are.
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[count]);
  advise_huge_pages(bytes.get(), count);
  return bytes;
}
