// Reading 44100 Hz WAV files into float samples, and writing stereo float WAV files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A decoded song or stem: two channels of equal length. Mono input fills both.
struct Stereo {
  std::vector<float> left;
  std::vector<float> right;
};

// The most frames one output file's 32-bit size fields can describe: 36 + 8 * n < 2^32.
constexpr std::int64_t MAX_WAV_FRAMES = 536870907;

// Reads, checks and decodes a RIFF/WAVE file; throws std::runtime_error naming the file,
// also for a song of more than MAX_WAV_FRAMES frames, before decoding it.
Stereo read_wav(const std::string& path);

// Writes a two-channel, 44100 Hz, 32-bit float WAV file with the canonical 44-byte header.
// Throws std::runtime_error on failure; an earlier file at path survives a failed write.
void write_wav(const std::string& path, const std::vector<float>& left, const std::vector<float>& right);

// How write_wav stages the new file before it replaces the target; the tests reach both ways.
namespace wav_staging {
enum class Staging {
  anonymous,  // an unnamed file, named only when complete; falls back to named where unsupported
  named,      // "<path>.tmp-<pid>" from the start
};
// Whether this build has unnamed staging files at all (Linux only).
#if defined(__linux__) && !defined(DUOSTEM_NO_LINUX_EXTRAS)
#define DUOSTEM_UNNAMED_FILES 1
constexpr bool HAS_UNNAMED_FILES = true;
#else
constexpr bool HAS_UNNAMED_FILES = false;
#endif
void write_wav_staged(const std::string& path, const std::vector<float>& left, const std::vector<float>& right,
                      Staging staging);
}  // namespace wav_staging
