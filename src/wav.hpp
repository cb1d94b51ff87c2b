// Reading 44100 Hz WAV files into float samples, and writing stereo float WAV files,
// both a block of frames at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// A decoded song or stem: two channels of equal length. Mono input fills both.
struct Stereo {
  std::vector<float> left;
  std::vector<float> right;
};

// The most frames a plain RIFF file's 32-bit size fields can describe: 36 + 8 * n < 2^32.
// A longer stem is written as RF64.
constexpr std::int64_t MAX_WAV_FRAMES = 536870907;

// A RIFF/WAVE or RF64 file, checked when opened and then decoded in order, a
// block of frames at a time, so that a song of any length takes the memory of
// one block. Every failure is a std::runtime_error naming the file.
class WavReader {
 public:
  explicit WavReader(const std::string& path);
  ~WavReader();
  WavReader(const WavReader&) = delete;
  WavReader& operator=(const WavReader&) = delete;

  std::uint64_t frames() const { return frames_; }
  // Decodes the next count frames into left and right; an early end of the
  // file or a read error partway through throws.
  void read(float* left, float* right, std::size_t count);
  // Back to the first frame, to read the song again.
  void rewind();

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  std::uint64_t data_offset_ = 0;
  std::uint64_t frames_ = 0;
  std::uint64_t next_frame_ = 0;
  bool float32_ = false;
  int channels_ = 0;
  std::vector<unsigned char> block_;
};

// Reads, checks and decodes a whole RIFF/WAVE or RF64 file; throws std::runtime_error naming the file.
Stereo read_wav(const std::string& path);

// How a stem's new file is staged before it replaces the target; the tests reach both ways.
namespace wav_staging {
enum class Staging {
  anonymous,  // an unnamed file, named only when complete; falls back to named where unsupported
  named,      // "<path>.tmp-<pid>" from the start
};
// Whether this build has unnamed files at all (Linux only).
#if defined(__linux__) && !defined(DUOSTEM_NO_LINUX_EXTRAS)
#define DUOSTEM_UNNAMED_FILES 1
constexpr bool HAS_UNNAMED_FILES = true;
#else
constexpr bool HAS_UNNAMED_FILES = false;
#endif
}  // namespace wav_staging

// A two-channel, 44100 Hz, 32-bit float WAV file of a known number of frames,
// written as the frames are made: the canonical 44-byte RIFF header, or RF64
// with a ds64 chunk for more than riff_frames frames. The file is staged beside
// path and replaces it only in commit(), so an earlier file at path survives
// any failure; a writer destroyed before commit() removes what it staged.
class StemWriter {
 public:
  StemWriter(const std::string& path, std::uint64_t frames,
             wav_staging::Staging staging = wav_staging::Staging::anonymous,
             std::uint64_t riff_frames = MAX_WAV_FRAMES);
  ~StemWriter();
  StemWriter(const StemWriter&) = delete;
  StemWriter& operator=(const StemWriter&) = delete;

  // Appends count frames; throws "cannot write <path>" when the file system refuses them.
  void append(const float* left, const float* right, std::size_t count);
  // Completes the staged file (all frames appended, every byte down); throws on failure.
  void finish();
  // Puts the finished file in the place of path.
  void commit();
  const std::string& path() const { return path_; }

 private:
  [[noreturn]] void fail();

  std::string path_;
  std::string temporary_;
  std::FILE* file_ = nullptr;
  bool named_ = false;  // the staged file has a name on disk to remove
  bool finished_ = false;
  std::uint64_t frames_ = 0;
  std::uint64_t written_ = 0;
  std::vector<unsigned char> block_;
};

// Writes a whole stem through a StemWriter; throws "channel length mismatch" before touching the disk.
void write_wav(const std::string& path, const std::vector<float>& left, const std::vector<float>& right);

// Frames of 32-bit float pairs kept in a file without a name beside stem_path
// (removed however the process ends, where the system allows it), written
// once, then read back from the start. Scratch files of one process that exist
// at once have different indexes.
class FrameScratch {
 public:
  FrameScratch(const std::string& stem_path, int index);
  ~FrameScratch();
  FrameScratch(const FrameScratch&) = delete;
  FrameScratch& operator=(const FrameScratch&) = delete;

  void append(const float* left, const float* right, std::size_t count);
  void rewind();
  void read(float* left, float* right, std::size_t count);

 private:
  std::string stem_path_;
  std::FILE* file_ = nullptr;
  std::vector<unsigned char> block_;
};
