#include "wav.hpp"

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

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

// The extensible format (ffmpeg's float WAV, libsndfile's RF64) names its sample
// format in a 40-byte fmt body: extension size at 16 (at least 22), valid bits at
// 18, speaker mask at 20, sub-format GUID at 24. Every KSDATAFORMAT_SUBTYPE GUID
// ends in these 14 bytes and begins with the plain tag (1 PCM, 3 IEEE float).
constexpr std::uint16_t EXTENSIBLE_TAG = 0xFFFE;
constexpr std::size_t EXTENSIBLE_FMT_BYTES = 40;
constexpr Byte SUBTYPE_GUID_TAIL[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// What an extensible fmt body says: the plain tag it stands for (0 for none the
// reader knows, or a short extension) and how many speakers its mask names.
struct Extension {
  std::uint16_t format_tag = 0;
  int speakers = 0;
};

Extension extension_of(const Byte* fmt, std::uint64_t fmt_size) {
  Extension e;
  if (fmt_size < EXTENSIBLE_FMT_BYTES || load_le16(fmt + 16) < 22) return e;
  e.speakers = static_cast<int>(std::bitset<32>(load_le32(fmt + 20)).count());
  // Fewer valid bits than the container holds (20 in 24, say) is another format.
  const bool whole_container = load_le16(fmt + 18) == load_le16(fmt + 14);
  if (whole_container && std::memcmp(fmt + 26, SUBTYPE_GUID_TAIL, sizeof SUBTYPE_GUID_TAIL) == 0)
    e.format_tag = load_le16(fmt + 24);
  return e;
}

#ifdef _WIN32
std::FILE* open_for_reading(const std::string& path) { return _wfopen(utf8_to_wide(path).c_str(), L"rb"); }
// The staged file is marked for deletion from the start, so that Windows
// removes it however the process ends (Ctrl-C, a closed console, a kill);
// keep_staged clears the mark once every byte is down. Where the mark cannot
// be set the file is staged as before.
std::FILE* open_for_writing(const std::string& path) {
  const HANDLE handle = CreateFileW(utf8_to_wide(path).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  FILE_DISPOSITION_INFO disposition{TRUE};
  SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (!file) _close(fd);
  return file;
}
bool keep_staged(std::FILE* file) {
  FILE_DISPOSITION_INFO disposition{FALSE};
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}
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
bool keep_staged(std::FILE*) { return true; }
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

// Positions past 2 GiB: long is 32 bits on Windows.
bool seek_to(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

constexpr std::size_t RIFF_HEADER_BYTES = 44;
// "RF64", "WAVE", a ds64 chunk of 28 bytes, the fmt chunk and the data chunk's header.
constexpr std::size_t RF64_HEADER_BYTES = 80;
// Frames decoded or encoded per read or write request: 64 KiB of float stereo.
constexpr std::size_t BLOCK_FRAMES = 8192;

void store_le64(Byte* p, std::uint64_t v) {
  store_le32(p, static_cast<std::uint32_t>(v));
  store_le32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

std::uint64_t load_le64(const Byte* p) {
  return std::uint64_t{load_le32(p)} | (std::uint64_t{load_le32(p + 4)} << 32);
}

// The fmt chunk and the data chunk's header, common to both forms.
void store_fmt_and_data(Byte* h, std::uint32_t data_field) {
  std::memcpy(h + 0, "fmt ", 4);
  store_le32(h + 4, 16);
  store_le16(h + 8, 3);  // IEEE float
  store_le16(h + 10, 2);
  store_le32(h + 12, 44100);
  store_le32(h + 16, 44100 * 8);
  store_le16(h + 20, 8);
  store_le16(h + 22, 32);
  std::memcpy(h + 24, "data", 4);
  store_le32(h + 28, data_field);
}

std::size_t store_header(Byte* h, std::uint64_t frames, bool rf64) {
  const std::uint64_t data_bytes = 8 * frames;
  if (!rf64) {
    std::memcpy(h + 0, "RIFF", 4);
    store_le32(h + 4, static_cast<std::uint32_t>(36 + data_bytes));
    std::memcpy(h + 8, "WAVE", 4);
    store_fmt_and_data(h + 12, static_cast<std::uint32_t>(data_bytes));
    return RIFF_HEADER_BYTES;
  }
  // The 32-bit sizes say "see ds64"; its table of other chunks' sizes is empty.
  std::memcpy(h + 0, "RF64", 4);
  store_le32(h + 4, 0xFFFFFFFFu);
  std::memcpy(h + 8, "WAVE", 4);
  std::memcpy(h + 12, "ds64", 4);
  store_le32(h + 16, 28);
  store_le64(h + 20, RF64_HEADER_BYTES - 8 + data_bytes);
  store_le64(h + 28, data_bytes);
  store_le64(h + 36, frames);
  store_le32(h + 44, 0);
  store_fmt_and_data(h + 48, 0xFFFFFFFFu);
  return RF64_HEADER_BYTES;
}

// One stored sample: a little-endian IEEE single, or 16-bit two's complement scaled by 2^-15.
float decode_sample(const Byte* p, bool float32) {
  if (float32) return float_of(load_le32(p));
  const std::uint16_t u = load_le16(p);
  const int value = u < 0x8000 ? int(u) : int(u) - 0x10000;
  return static_cast<float>(value) * (1.0f / 32768.0f);
}

void encode_frames(Byte* p, const float* left, const float* right, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, p += 8) {
    store_le32(p, bits_of(left[i]));
    store_le32(p + 4, bits_of(right[i]));
  }
}

void decode_frames(const Byte* p, float* left, float* right, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, p += 8) {
    left[i] = float_of(load_le32(p));
    right[i] = float_of(load_le32(p + 4));
  }
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
// system (FAT, NFS) or the system (no /proc to name it through) offers none.
std::FILE* open_unnamed(const std::string& path, bool read_back = false) {
  if (!read_back && access("/proc/self/fd", X_OK) != 0) return nullptr;
  const int fd = open(directory_of(path).c_str(), O_TMPFILE | (read_back ? O_RDWR : O_WRONLY) | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, read_back ? "w+b" : "wb");
  if (!file) close(fd);
  return file;
}
#else
std::FILE* open_unnamed(const std::string&, bool = false) { return nullptr; }
bool name_unnamed(std::FILE*, const std::string&) { return false; }
#endif

// A file of path's name plus suffix, for reading back what is written, that
// vanishes when closed: unlinked at once where an open file may lose its name,
// deleted on close on Windows.
std::FILE* open_vanishing(const std::string& path) {
#ifdef _WIN32
  return _wfopen(utf8_to_wide(path).c_str(), L"w+bTD");
#else
  std::FILE* file = std::fopen(path.c_str(), "w+b");
  if (file) std::remove(path.c_str());
  return file;
#endif
}

}  // namespace

WavReader::WavReader(const std::string& path) : path_(path) {
  std::FILE* file = open_for_reading(path);
  const bool directory = is_directory(file, path);
  if (file && directory) std::fclose(file);
  if (directory) throw std::runtime_error("cannot open " + path + ": it is a directory");
  if (!file) throw std::runtime_error("cannot open " + path);
  file_ = file;
  try {
    const std::int64_t signed_length = file_length(file);
    // A pipe or other unseekable stream has no position to report.
    if (signed_length < 0) throw std::runtime_error("cannot measure " + path + ": not a seekable file");
    const std::uint64_t length = static_cast<std::uint64_t>(signed_length);

    // Reads bytes [offset, offset + count) that the length says are there.
    const auto read_at = [&](std::uint64_t offset, Byte* to, std::size_t count) {
      if (!seek_to(file, offset) || std::fread(to, 1, count, file) != count)
        throw std::runtime_error("short read " + path);
    };

    Byte head[12];
    if (length < 12) throw std::runtime_error(path + " is not a WAV file");
    read_at(0, head, 12);
    const bool rf64 = has_id(head, "RF64");
    if ((!rf64 && !has_id(head, "RIFF")) || !has_id(head + 8, "WAVE"))
      throw std::runtime_error(path + " is not a WAV file");
    if (length < 20) throw std::runtime_error(path + " is missing fmt or data");

    // RF64 keeps the data chunk's 64-bit size in a ds64 chunk right after "WAVE";
    // a data chunk whose 32-bit size reads 0xFFFFFFFF takes it from there.
    std::uint64_t ds64_data_size = 0;
    std::uint64_t offset = 12;
    if (rf64) {
      Byte ds64[8 + 24];
      if (length < 12 + sizeof ds64) throw std::runtime_error(path + " is not a WAV file");
      read_at(12, ds64, sizeof ds64);
      const std::uint64_t size = load_le32(ds64 + 4);
      if (!has_id(ds64, "ds64") || size < 24 || size > length - 20)
        throw std::runtime_error(path + " is not a WAV file");
      ds64_data_size = load_le64(ds64 + 16);
      offset = 20 + size + (size & 1);
    }

    // Of each kind, the last chunk lying wholly inside the file counts. The RIFF
    // form size is not trusted: writers get it wrong, and it never bounds the walk.
    Byte fmt[EXTENSIBLE_FMT_BYTES];
    bool have_fmt = false;
    std::uint64_t fmt_size = 0;
    bool have_data = false;
    std::uint64_t data_size = 0;
    while (offset <= length && length - offset >= 8) {
      Byte header[8];
      read_at(offset, header, 8);
      std::uint64_t size = load_le32(header + 4);
      const bool data = has_id(header, "data");
      if (rf64 && data && size == 0xFFFFFFFFu) size = ds64_data_size;
      if (size > length - offset - 8) break;
      if (has_id(header, "fmt ")) {
        have_fmt = true;
        fmt_size = size;
        if (size >= 16) read_at(offset + 8, fmt, static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof fmt)));
      } else if (data) {
        have_data = true;
        data_offset_ = offset + 8;
        data_size = size;
      }
      // An odd body is followed by a pad byte; a last chunk may lack it.
      offset += 8 + size + (size & 1);
    }
    if (!have_fmt || fmt_size < 16 || !have_data) throw std::runtime_error(path + " is missing fmt or data");

    std::uint16_t format_tag = load_le16(fmt + 0);
    const std::uint16_t channels = load_le16(fmt + 2);
    const std::uint32_t sample_rate = load_le32(fmt + 4);
    const std::uint16_t bits_per_sample = load_le16(fmt + 14);

    if (sample_rate != 44100)
      throw std::runtime_error(path + " is " + std::to_string(sample_rate) +
                               " Hz; duostem separates 44100 Hz stereo WAV");
    const Extension extension = format_tag == EXTENSIBLE_TAG ? extension_of(fmt, fmt_size) : Extension{};
    // A mask naming more speakers than there are channels describes another layout.
    if ((channels != 1 && channels != 2) || extension.speakers > channels)
      throw std::runtime_error(path + " must be mono or stereo");
    if (format_tag == EXTENSIBLE_TAG) format_tag = extension.format_tag;

    const std::uint64_t frame_bytes = std::uint64_t{bits_per_sample / 8u} * channels;
    // Below 8 bits a frame has no size to count frames with.
    if (frame_bytes == 0) throw bit_depth_error(path);
    frames_ = data_size / frame_bytes;
    // The format is judged as at the first sample, so a file without a whole
    // frame is accepted whatever it claims to hold.
    float32_ = format_tag == 3 && bits_per_sample == 32;
    const bool pcm16 = format_tag == 1 && bits_per_sample == 16;
    if (frames_ > 0 && !float32_ && !pcm16) throw bit_depth_error(path);
    channels_ = channels;
    block_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(frames_, BLOCK_FRAMES) * frame_bytes));
    rewind();
  } catch (...) {
    std::fclose(file_);
    throw;
  }
}

WavReader::~WavReader() { std::fclose(file_); }

void WavReader::rewind() {
  if (!seek_to(file_, data_offset_)) throw std::runtime_error("cannot read " + path_);
  next_frame_ = 0;
}

void WavReader::read(float* left, float* right, std::size_t count) {
  if (count > frames_ - next_frame_) throw std::out_of_range("read past the last frame of " + path_);
  const std::size_t sample_bytes = float32_ ? 4 : 2;
  const std::size_t frame_bytes = sample_bytes * static_cast<std::size_t>(channels_);
  while (count > 0) {
    const std::size_t n = std::min(count, BLOCK_FRAMES);
    // The file may have changed since its chunks were walked.
    if (std::fread(block_.data(), frame_bytes, n, file_) != n) {
      const bool error = std::ferror(file_) != 0;
      throw std::runtime_error((error ? "cannot read " : "short read ") + path_);
    }
    const Byte* p = block_.data();
    for (std::size_t i = 0; i < n; ++i, p += frame_bytes) {
      left[i] = decode_sample(p, float32_);
      right[i] = channels_ == 2 ? decode_sample(p + sample_bytes, float32_) : left[i];
    }
    left += n;
    right += n;
    count -= n;
    next_frame_ += n;
  }
}

Stereo read_wav(const std::string& path) {
  WavReader reader(path);
  Stereo song;
  const std::size_t frames = static_cast<std::size_t>(reader.frames());
  song.left.resize(frames);
  song.right.resize(frames);
  reader.read(song.left.data(), song.right.data(), frames);
  return song;
}

StemWriter::StemWriter(const std::string& path, std::uint64_t frames, wav_staging::Staging staging,
                       std::uint64_t riff_frames)
    : path_(path), temporary_(path + ".tmp-" + std::to_string(process_id())), frames_(frames) {
  // The new file is made beside the target and renamed over it only when
  // complete, so a failed or killed run never destroys an earlier good file.
  // Anonymous staging also leaves nothing behind when the process is killed
  // mid-write: the file gets a name only once every byte is down.
  file_ = staging == wav_staging::Staging::anonymous ? open_unnamed(path) : nullptr;
  if (!file_) {
    file_ = open_for_writing(temporary_);
    named_ = file_ != nullptr;
  }
  if (!file_) throw std::runtime_error("cannot write " + path);
  block_.resize(std::max(RF64_HEADER_BYTES, 8 * static_cast<std::size_t>(std::min<std::uint64_t>(frames, BLOCK_FRAMES))));
  const std::size_t header_bytes = store_header(block_.data(), frames, frames > riff_frames);
  if (std::fwrite(block_.data(), 1, header_bytes, file_) != header_bytes) fail();
}

StemWriter::~StemWriter() {
  if (file_) std::fclose(file_);
  if (named_) remove_file(temporary_);
}

void StemWriter::fail() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  if (named_) remove_file(temporary_);
  named_ = false;
  throw std::runtime_error("cannot write " + path_);
}

void StemWriter::append(const float* left, const float* right, std::size_t count) {
  if (count > frames_ - written_) throw std::out_of_range("more frames than announced for " + path_);
  if (!file_) fail();
  while (count > 0) {
    const std::size_t n = std::min(count, BLOCK_FRAMES);
    encode_frames(block_.data(), left, right, n);
    if (std::fwrite(block_.data(), 8, n, file_) != n) fail();
    left += n;
    right += n;
    count -= n;
    written_ += n;
  }
}

void StemWriter::finish() {
  if (written_ != frames_) throw std::logic_error("fewer frames than announced for " + path_);
  if (!file_) fail();
  if (std::fflush(file_) != 0) fail();
  if (!named_) {
    if (!name_unnamed(file_, temporary_)) fail();
    named_ = true;
  } else if (!keep_staged(file_)) {
    fail();
  }
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!closed) fail();
  finished_ = true;
}

void StemWriter::commit() {
  if (!finished_) finish();
  if (!replace_file(temporary_, path_)) fail();
  named_ = false;
}

void write_wav(const std::string& path, const std::vector<float>& left, const std::vector<float>& right) {
  if (left.size() != right.size()) throw std::runtime_error("channel length mismatch");
  StemWriter writer(path, left.size());
  writer.append(left.data(), right.data(), left.size());
  writer.commit();
}

FrameScratch::FrameScratch(const std::string& stem_path, int index) : stem_path_(stem_path), block_(8 * BLOCK_FRAMES) {
  file_ = open_unnamed(stem_path, true);
  // Beside the stems rather than in the system's temporary folder, which may be small.
  if (!file_) file_ = open_vanishing(stem_path + ".tmp-" + std::to_string(process_id()) + "-" + std::to_string(index));
  if (!file_) throw std::runtime_error("cannot write a scratch file beside " + stem_path);
}

FrameScratch::~FrameScratch() { std::fclose(file_); }

void FrameScratch::append(const float* left, const float* right, std::size_t count) {
  while (count > 0) {
    const std::size_t n = std::min(count, BLOCK_FRAMES);
    encode_frames(block_.data(), left, right, n);
    if (std::fwrite(block_.data(), 8, n, file_) != n) throw std::runtime_error("cannot write a scratch file beside " + stem_path_);
    left += n;
    right += n;
    count -= n;
  }
}

void FrameScratch::rewind() {
  if (std::fflush(file_) != 0 || !seek_to(file_, 0)) throw std::runtime_error("cannot write a scratch file beside " + stem_path_);
}

void FrameScratch::read(float* left, float* right, std::size_t count) {
  while (count > 0) {
    const std::size_t n = std::min(count, BLOCK_FRAMES);
    if (std::fread(block_.data(), 8, n, file_) != n) throw std::runtime_error("cannot read a scratch file beside " + stem_path_);
    decode_frames(block_.data(), left, right, n);
    left += n;
    right += n;
    count -= n;
  }
}
