#include "wav.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "song_buffer.hpp"
#include "utf8.hpp"

namespace {

using Byte = unsigned char;

std::uint16_t load_le16(const Byte* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t load_le32(const Byte* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void store_le16(Byte* p, std::uint16_t v) {
  p[0] = static_cast<Byte>(v);
  p[1] = static_cast<Byte>(v >> 8);
}

void store_le32(Byte* p, std::uint32_t v) {
  p[0] = static_cast<Byte>(v);
  p[1] = static_cast<Byte>(v >> 8);
  p[2] = static_cast<Byte>(v >> 16);
  p[3] = static_cast<Byte>(v >> 24);
}

std::uint32_t bits_of(float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

float float_of(std::uint32_t bits) {
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

bool has_id(const Byte* p, const char (&id)[5]) { return std::memcmp(p, id, 4) == 0; }

std::runtime_error bit_depth_error(const std::string& path) {
  return std::runtime_error(path + " must be 16-bit PCM or 32-bit float WAV");
}

#ifdef _WIN32
std::FILE* open_for_reading(const std::string& path) { return _wfopen(utf8_to_wide(path).c_str(), L"rb"); }
std::FILE* open_for_writing(const std::string& path) { return _wfopen(utf8_to_wide(path).c_str(), L"wb"); }
bool remove_file(const std::string& path) { return _wremove(utf8_to_wide(path).c_str()) == 0; }
// Unlike rename on Windows, this replaces an existing target.
bool replace_file(const std::string& from, const std::string& to) {
  return MoveFileExW(utf8_to_wide(from).c_str(), utf8_to_wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
unsigned long process_id() { return GetCurrentProcessId(); }
// long is 32 bits on Windows: the 64-bit calls measure files past 2 GiB.
std::int64_t file_length(std::FILE* file) {
  _fseeki64(file, 0, SEEK_END);
  const std::int64_t length = _ftelli64(file);
  _fseeki64(file, 0, SEEK_SET);
  return length;
}
// Windows refuses to open a directory at all, so it is recognised by name.
bool is_directory(std::FILE*, const std::string& path) {
  const DWORD attributes = GetFileAttributesW(utf8_to_wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
#else
std::FILE* open_for_reading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }
std::FILE* open_for_writing(const std::string& path) { return std::fopen(path.c_str(), "wb"); }
bool remove_file(const std::string& path) { return std::remove(path.c_str()) == 0; }
bool replace_file(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }
unsigned long process_id() { return static_cast<unsigned long>(getpid()); }
std::int64_t file_length(std::FILE* file) {
  std::fseek(file, 0, SEEK_END);
  const std::int64_t length = std::ftell(file);
  std::fseek(file, 0, SEEK_SET);
  return length;
}
// A directory opens for reading on POSIX systems, and its "length" is meaningless.
bool is_directory(std::FILE* file, const std::string&) {
  struct stat info;
  return file && fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode);
}
#endif

struct FileBytes {
  std::unique_ptr<Byte[]> data;
  std::size_t size = 0;
};

// The whole file in one buffer, through one read request; the buffer is not
// zero-filled first, since the read writes every byte of it.
FileBytes load_file(const std::string& path) {
  std::FILE* file = open_for_reading(path);
  const bool directory = is_directory(file, path);
  if (file && directory) std::fclose(file);
  if (directory) throw std::runtime_error("cannot open " + path + ": it is a directory");
  if (!file) throw std::runtime_error("cannot open " + path);

  const std::int64_t length = file_length(file);
  // A pipe or other unseekable stream has no position to report.
  if (length < 0) {
    std::fclose(file);
    throw std::runtime_error("cannot measure " + path + ": not a seekable file");
  }

  FileBytes bytes;
  std::size_t got = 0;
  try {
    if (static_cast<std::uint64_t>(length) > SIZE_MAX) throw std::bad_alloc();
    bytes.size = static_cast<std::size_t>(length);
    bytes.data = unwritten_bytes(bytes.size);
  } catch (...) {
    std::fclose(file);
    throw;
  }
  if (length > 0) got = std::fread(bytes.data.get(), 1, bytes.size, file);
  std::fclose(file);
  if (got != bytes.size) throw std::runtime_error("short read " + path);
  return bytes;
}

// Frames assembled per write request: 64 KiB.
constexpr std::size_t WRITE_BLOCK_FRAMES = 8192;
constexpr std::size_t HEADER_BYTES = 44;

void write_header(Byte* h, std::uint32_t data_bytes) {
  std::memcpy(h + 0, "RIFF", 4);
  store_le32(h + 4, 36 + data_bytes);
  std::memcpy(h + 8, "WAVE", 4);
  std::memcpy(h + 12, "fmt ", 4);
  store_le32(h + 16, 16);
  store_le16(h + 20, 3);  // IEEE float
  store_le16(h + 22, 2);
  store_le32(h + 24, 44100);
  store_le32(h + 28, 44100 * 8);
  store_le16(h + 32, 8);
  store_le16(h + 34, 32);
  std::memcpy(h + 36, "data", 4);
  store_le32(h + 40, data_bytes);
}

// Writes header and frames to an open file through block; false when any write fails.
bool write_frames(std::FILE* file, const std::vector<float>& left, const std::vector<float>& right,
                  std::vector<Byte>& block) {
  const std::size_t frames = left.size();
  Byte header[HEADER_BYTES];
  write_header(header, static_cast<std::uint32_t>(8 * frames));
  if (std::fwrite(header, 1, HEADER_BYTES, file) != HEADER_BYTES) return false;

  for (std::size_t start = 0; start < frames; start += WRITE_BLOCK_FRAMES) {
    const std::size_t count = std::min(WRITE_BLOCK_FRAMES, frames - start);
    Byte* p = block.data();
    for (std::size_t i = start; i < start + count; ++i, p += 8) {
      store_le32(p, bits_of(left[i]));
      store_le32(p + 4, bits_of(right[i]));
    }
    if (std::fwrite(block.data(), 1, 8 * count, file) != 8 * count) return false;
  }
  return true;
}

#ifdef DUOSTEM_UNNAMED_FILES
// The directory that will hold path, for opening an anonymous file in it.
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Gives the unnamed file the name temporary, replacing a stale file of that
// name left by an earlier process with the same id.
bool name_unnamed(std::FILE* file, const std::string& temporary) {
  const std::string self = "/proc/self/fd/" + std::to_string(fileno(file));
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST || std::remove(temporary.c_str()) != 0) return false;
  }
  return false;
}

// A new file without a name in the directory of path, or null where the file
// system (FAT, NFS) or the system (no /proc) offers none.
std::FILE* open_unnamed(const std::string& path) {
  if (access("/proc/self/fd", X_OK) != 0) return nullptr;
  const int fd = open(directory_of(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (!file) close(fd);
  return file;
}
#else
std::FILE* open_unnamed(const std::string&) { return nullptr; }
bool name_unnamed(std::FILE*, const std::string&) { return false; }
#endif

}  // namespace

Stereo read_wav(const std::string& path) {
  Stereo song;
  {
    const FileBytes bytes = load_file(path);
    const Byte* file = bytes.data.get();
    const std::uint64_t length = bytes.size;

    if (length < 12 || !has_id(file, "RIFF") || !has_id(file + 8, "WAVE"))
      throw std::runtime_error(path + " is not a WAV file");
    if (length < 20) throw std::runtime_error(path + " is missing fmt or data");

    // Of each kind, the last chunk lying wholly inside the file counts. The RIFF
    // form size is not trusted: writers get it wrong, and it never bounds the walk.
    const Byte* fmt = nullptr;
    std::uint64_t fmt_size = 0;
    const Byte* data = nullptr;
    std::uint64_t data_size = 0;
    std::uint64_t offset = 12;
    while (offset <= length && length - offset >= 8) {
      const std::uint64_t size = load_le32(file + offset + 4);
      if (size > length - offset - 8) break;
      if (has_id(file + offset, "fmt ")) {
        fmt = file + offset + 8;
        fmt_size = size;
      } else if (has_id(file + offset, "data")) {
        data = file + offset + 8;
        data_size = size;
      }
      // An odd body is followed by a pad byte; a last chunk may lack it.
      offset += 8 + size + (size & 1);
    }
    if (!fmt || fmt_size < 16 || !data) throw std::runtime_error(path + " is missing fmt or data");

    const std::uint16_t format_tag = load_le16(fmt + 0);
    const std::uint16_t channels = load_le16(fmt + 2);
    const std::uint32_t sample_rate = load_le32(fmt + 4);
    const std::uint16_t bits_per_sample = load_le16(fmt + 14);

    if (sample_rate != 44100)
      throw std::runtime_error(path + " is " + std::to_string(sample_rate) +
                               " Hz; duostem separates 44100 Hz stereo WAV");
    if (channels != 1 && channels != 2) throw std::runtime_error(path + " must be mono or stereo");

    // The format is judged at the first sample, so a file without a whole frame
    // is accepted whatever it claims to hold.
    auto decode_sample = [&format_tag, &bits_per_sample, &path](const Byte* p) -> float {
      if (format_tag == 3 && bits_per_sample == 32) return float_of(load_le32(p));
      if (format_tag == 1 && bits_per_sample == 16) {
        const std::uint16_t u = load_le16(p);
        const int value = u < 0x8000 ? int(u) : int(u) - 0x10000;
        return static_cast<float>(value) * (1.0f / 32768.0f);
      }
      throw bit_depth_error(path);
    };

    const std::size_t sample_bytes = bits_per_sample / 8;
    const std::size_t frame_bytes = sample_bytes * channels;
    // Below 8 bits a frame has no size to count frames with.
    if (frame_bytes == 0) throw bit_depth_error(path);
    const std::size_t frames = static_cast<std::size_t>(data_size / frame_bytes);
    // A stem that no output file can hold is refused before gigabytes are
    // decoded; an unusable format is still named first, as for any song.
    if (frames > static_cast<std::size_t>(MAX_WAV_FRAMES)) {
      decode_sample(data);
      throw std::runtime_error(path + " has " + std::to_string(frames) + " frames; an output file holds at most " +
                               std::to_string(MAX_WAV_FRAMES));
    }

    // Decoded a block at a time and appended, so each channel is written once.
    reserve_song(song.left, frames);
    reserve_song(song.right, frames);
    constexpr std::size_t BLOCK = 4096;
    float left[BLOCK];
    float right[BLOCK];
    const Byte* p = data;
    for (std::size_t start = 0; start < frames; start += BLOCK) {
      const std::size_t count = std::min(BLOCK, frames - start);
      for (std::size_t i = 0; i < count; ++i, p += frame_bytes) {
        left[i] = decode_sample(p);
        right[i] = channels == 2 ? decode_sample(p + sample_bytes) : left[i];
      }
      song.left.insert(song.left.end(), left, left + count);
      song.right.insert(song.right.end(), right, right + count);
    }
  }
  return song;
}

namespace wav_staging {

void write_wav_staged(const std::string& path, const std::vector<float>& left, const std::vector<float>& right,
                      Staging staging) {
  if (left.size() != right.size()) throw std::runtime_error("channel length mismatch");
  if (left.size() > static_cast<std::uint64_t>(MAX_WAV_FRAMES))
    throw std::runtime_error("cannot write " + path + ": a WAV file holds at most " +
                             std::to_string(MAX_WAV_FRAMES) + " frames");

  // The new file is made beside the target and renamed over it only when
  // complete, so a failed or killed run never destroys an earlier good file.
  // Anonymous staging also leaves nothing behind when the process is killed
  // mid-write: the file gets a name only once every byte is down.
  const std::string temporary = path + ".tmp-" + std::to_string(process_id());
  std::vector<Byte> block(8 * std::min(left.size(), WRITE_BLOCK_FRAMES));

  // Where there are no unnamed files the temporary file is named from the start.
  std::FILE* file = staging == Staging::anonymous ? open_unnamed(path) : nullptr;
  const bool anonymous = file != nullptr;
  if (!anonymous) file = open_for_writing(temporary);
  if (!file) throw std::runtime_error("cannot write " + path);

  bool complete = write_frames(file, left, right, block) && std::fflush(file) == 0;
  if (anonymous) complete = complete && name_unnamed(file, temporary);
  complete = std::fclose(file) == 0 && complete;
  if (complete && replace_file(temporary, path)) return;
  remove_file(temporary);
  throw std::runtime_error("cannot write " + path);
}

}  // namespace wav_staging

void write_wav(const std::string& path, const std::vector<float>& left, const std::vector<float>& right) {
  wav_staging::write_wav_staged(path, left, right, wav_staging::Staging::anonymous);
}
