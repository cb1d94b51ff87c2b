// Reading and writing WAV files: every refusal with its message, the chunk walk's
// tolerance of odd layouts, bit-exact decoding, the writer's bytes and its failures.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "wav.hpp"

namespace {

const std::string FMT16 = wav_chunk("fmt ", fmt_body(1, 2, 44100, 16));
const std::string FMT16_MONO = wav_chunk("fmt ", fmt_body(1, 1, 44100, 16));

std::string pcm(const std::vector<std::int16_t>& samples) {
  std::string bytes;
  for (std::int16_t s : samples) bytes += le16(static_cast<std::uint16_t>(s));
  return bytes;
}

// An extensible fmt chunk: the plain fields with tag 0xFFFE, then the extension
// (its size, valid bits, speaker mask) and a sub-format GUID whose first two
// bytes are subtype and whose tail is tail.
const std::string KSDATAFORMAT_TAIL = std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14);
std::string extensible(std::uint16_t channels, std::uint16_t bits, std::uint16_t subtype, std::uint32_t mask,
                       std::uint16_t valid_bits = 0, const std::string& tail = KSDATAFORMAT_TAIL,
                       std::uint16_t extension_size = 22) {
  return wav_chunk("fmt ", fmt_body(0xFFFE, channels, 44100, bits) + le16(extension_size) +
                               le16(valid_bits ? valid_bits : bits) + le32(mask) + le16(subtype) + tail);
}

// An RF64 file: a ds64 chunk declaring data_size, then the chunks.
std::string rf64(const std::string& chunks, std::uint64_t data_size) {
  const std::string ds64 = le32(0xFFFFFFFF) + le32(0) + le32(static_cast<std::uint32_t>(data_size)) +
                           le32(static_cast<std::uint32_t>(data_size >> 32)) + le32(0) + le32(0) + le32(0);
  return "RF64" + le32(0xFFFFFFFF) + "WAVE" + wav_chunk("ds64", ds64) + chunks;
}

// The message read_wav throws for path, or "" when it succeeds.
std::string read_error(const std::string& path) {
  try {
    read_wav(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> result;
  for (float v : values) result.push_back(bits_of(v));
  return result;
}

TEST(ReadWav, RefusesBadFilesWithTheirMessages) {
  const std::string frame = pcm({1, 2});
  const std::string data = wav_chunk("data", frame);
  const std::string not_wav = " is not a WAV file";
  const std::string missing = " is missing fmt or data";
  const std::string depth = " must be 16-bit PCM or 32-bit float WAV";
  const std::string channels = " must be mono or stereo";
  const std::string at_48k = " is 48000 Hz; duostem separates 44100 Hz stereo WAV";
  struct Case {
    const char* name;
    std::string bytes;
    std::string suffix;
  };
  const Case cases[] = {
      {"empty file", "", not_wav},
      {"11 bytes", std::string("RIFF\x04\0\0\0WAV", 11), not_wav},
      {"RIFX", "RIFX" + le32(4 + FMT16.size() + data.size()) + "WAVE" + FMT16 + data, not_wav},
      {"RF64 without its ds64 chunk", "RF64" + le32(0xFFFFFFFF) + "WAVE" + FMT16 + data, not_wav},
      {"RF64 with a short ds64 chunk", "RF64" + le32(0xFFFFFFFF) + "WAVE" + wav_chunk("ds64", std::string(20, '\0')) +
                                           FMT16 + data, not_wav},
      {"RF64 data runs past the end", rf64(FMT16 + wav_chunk_header("data", 0xFFFFFFFF) + frame, 100), missing},
      {"form type not WAVE", "RIFF" + le32(4) + "AVI " + FMT16 + data, not_wav},
      {"12 bytes", riff(""), missing},
      {"19 bytes", riff("JUNK" + std::string(3, 'x')), missing},
      {"no fmt", riff(data), missing},
      {"no data", riff(FMT16), missing},
      {"14-byte fmt", riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 16).substr(0, 14)) + data), missing},
      {"later fmt of 14 bytes", riff(FMT16 + data + wav_chunk("fmt ", fmt_body(1, 2, 44100, 16).substr(0, 14))),
       missing},
      {"data runs past the end", riff(FMT16 + wav_chunk_header("data", 100) + frame), missing},
      {"data declares 2^32-1", riff(FMT16 + wav_chunk_header("data", 0xFFFFFFFF) + frame), missing},
      {"an oversized chunk hides the fmt after it",
       riff(data + wav_chunk_header("JUNK", 0xFFFFFFF0) + FMT16), missing},
      {"an odd chunk missing its pad byte hides the next one",
       riff(wav_chunk("JUNK", "abc", false) + FMT16 + data), missing},
      {"48 kHz", riff(wav_chunk("fmt ", fmt_body(1, 2, 48000, 16)) + data), at_48k},
      {"48 kHz six channels, rate tested first", riff(wav_chunk("fmt ", fmt_body(1, 6, 48000, 16)) + data),
       at_48k},
      {"rate printed unsigned", riff(wav_chunk("fmt ", fmt_body(1, 2, 0xFFFFFFFF, 16)) + data),
       " is 4294967295 Hz; duostem separates 44100 Hz stereo WAV"},
      {"0 channels", riff(wav_chunk("fmt ", fmt_body(1, 0, 44100, 16)) + data), channels},
      {"3 channels of 24 bits, channels tested first", riff(wav_chunk("fmt ", fmt_body(1, 3, 44100, 24)) + data),
       channels},
      {"8-bit", riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 8)) + data), depth},
      {"24-bit", riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 24)) + wav_chunk("data", std::string(6, '\0'))),
       depth},
      {"32-bit integer", riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 32)) + wav_chunk("data", std::string(8, 'x'))),
       depth},
      {"16-bit float", riff(wav_chunk("fmt ", fmt_body(3, 2, 44100, 16)) + data), depth},
      {"64-bit float", riff(wav_chunk("fmt ", fmt_body(3, 1, 44100, 64)) + wav_chunk("data", std::string(8, 'x'))),
       depth},
      {"extensible", riff(wav_chunk("fmt ", fmt_body(0xFFFE, 2, 44100, 16) + le16(22) + std::string(22, '\0')) + data),
       depth},
      {"extensible 24-bit", riff(extensible(2, 24, 1, 0x3) + wav_chunk("data", std::string(6, '\0'))), depth},
      {"extensible 12 valid bits in 16", riff(extensible(2, 16, 1, 0x3, 12) + data), depth},
      {"extensible unknown GUID tail", riff(extensible(2, 16, 1, 0x3, 0, std::string(14, '\x11')) + data), depth},
      {"extensible extension size 0", riff(extensible(2, 16, 1, 0x3, 0, KSDATAFORMAT_TAIL, 0) + data), depth},
      {"extensible cut short in its GUID",
       riff(wav_chunk("fmt ", extensible(2, 16, 1, 0x3).substr(8, 36)) + data), depth},
      {"extensible stereo with a 5.1 mask", riff(extensible(2, 16, 1, 0x3F) + data), channels},
      {"extensible mono with a stereo mask", riff(extensible(1, 16, 1, 0x3) + data), channels},
      {"4 bits, empty data", riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 4)) + wav_chunk("data", "")), depth},
      {"0 bits, one byte of data", riff(wav_chunk("fmt ", fmt_body(1, 1, 44100, 0)) + wav_chunk("data", "x")), depth},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::string path = dir / "in.wav";
    write_file(path, c.bytes);
    EXPECT_EQ(read_error(path), path + c.suffix) << c.name;
  }
  EXPECT_EQ(read_error(dir / "absent.wav"), "cannot open " + (dir / "absent.wav"));
  EXPECT_EQ(read_error(dir.path()), "cannot open " + dir.path() + ": it is a directory");
}

TEST(ReadWav, AcceptsOddChunkLayouts) {
  const std::vector<std::int16_t> samples{100, -200, 300, -400};
  const std::string data = wav_chunk("data", pcm(samples));
  const std::vector<float> left{100 / 32768.0f, 300 / 32768.0f};
  const std::vector<float> right{-200 / 32768.0f, -400 / 32768.0f};
  const std::vector<float> other{7 / 32768.0f};
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<float> left, right;
  };
  const Case cases[] = {
      {"plain", riff(FMT16 + data), left, right},
      {"other chunks around", riff(wav_chunk("LIST", "INFOabcd") + wav_chunk("JUNK", std::string(28, '\0')) + FMT16 +
                                   wav_chunk("bext", "xy") + data + wav_chunk("fact", le32(2))),
       left, right},
      {"data before fmt", riff(data + FMT16), left, right},
      {"form size 0", riff(FMT16 + data, 0), left, right},
      {"form size shorter than the chunks", riff(FMT16 + data, 4 + FMT16.size()), left, right},
      {"form size 2^32-1", riff(FMT16 + data, 0xFFFFFFFF), left, right},
      {"odd chunk with its pad byte", riff(wav_chunk("JUNK", "abc") + FMT16 + data), left, right},
      {"odd last chunk without its pad byte", riff(FMT16 + wav_chunk("data", pcm(samples) + "z", false)), left,
       right},
      {"odd last chunk with its pad byte", riff(FMT16 + wav_chunk("data", pcm(samples) + "z")), left, right},
      {"7 stray bytes at the end", riff(FMT16 + data + std::string("JUNK\x01\0\0", 7)), left, right},
      {"last header runs past the end", riff(FMT16 + data + wav_chunk_header("data", 9) + "12345678"), left, right},
      {"truncated data after a whole one", riff(FMT16 + data + wav_chunk_header("data", 0xFFFFFFFF) + "abcd"), left,
       right},
      {"two data chunks: the later counts", riff(FMT16 + wav_chunk("data", pcm({7, 7})) + data), left, right},
      {"two fmt chunks: the later counts", riff(wav_chunk("fmt ", fmt_body(3, 1, 48000, 32)) + data + FMT16), left,
       right},
      {"fmt extension ignored", riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 16) + le16(0)) + data), left, right},
      {"byte rate and block align ignored",
       riff(wav_chunk("fmt ", le16(1) + le16(2) + le32(44100) + le32(1) + le16(7) + le16(16)) + data), left, right},
      {"4k+2 bytes give k frames", riff(FMT16 + wav_chunk("data", pcm({100, -200, 300, -400, 9}))), left, right},
      {"mono fills both channels", riff(FMT16_MONO + wav_chunk("data", pcm({7}))), other, other},
      {"empty data", riff(FMT16 + wav_chunk("data", "")), {}, {}},
      {"empty data, 64-bit float", riff(wav_chunk("fmt ", fmt_body(3, 2, 44100, 64)) + wav_chunk("data", "")), {},
       {}},
      {"8-bit, shorter than a frame", riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 8)) + wav_chunk("data", "x")), {},
       {}},
      {"24-bit, shorter than a frame",
       riff(wav_chunk("fmt ", fmt_body(1, 2, 44100, 24)) + wav_chunk("data", "abcde")), {}, {}},
      {"RF64", rf64(FMT16 + wav_chunk_header("data", 0xFFFFFFFF) + pcm(samples), 8), left, right},
      {"RF64 with a 32-bit data size", rf64(wav_chunk("JUNK", "abc") + FMT16 + data, 0), left, right},
      {"extensible PCM, stereo mask", riff(extensible(2, 16, 1, 0x3) + wav_chunk("fact", le32(2)) + data), left,
       right},
      {"extensible PCM, one speaker of two", riff(extensible(2, 16, 1, 0x4) + data), left, right},
      {"extensible PCM mono, front centre", riff(extensible(1, 16, 1, 0x4) + wav_chunk("data", pcm({7}))), other,
       other},
      {"extensible PCM mono, no mask", riff(extensible(1, 16, 1, 0) + wav_chunk("data", pcm({7}))), other, other},
      {"extensible float stereo", riff(extensible(2, 32, 3, 0x3) + wav_chunk("data", f32(0.5f) + f32(-1.5f))), {0.5f},
       {-1.5f}},
      {"extensible float mono", riff(extensible(1, 32, 3, 0x4) + wav_chunk("data", f32(-0.75f))), {-0.75f}, {-0.75f}},
      {"RF64, extensible float",
       rf64(extensible(2, 32, 3, 0x3) + wav_chunk_header("data", 0xFFFFFFFF) + f32(0.5f) + f32(-1.5f), 8), {0.5f},
       {-1.5f}},
      {"extensible, shorter than a frame",
       riff(wav_chunk("fmt ", fmt_body(0xFFFE, 1, 44100, 16) + le16(0)) + wav_chunk("data", "x")), {}, {}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::string path = dir / "in.wav";
    write_file(path, c.bytes);
    try {
      const Stereo song = read_wav(path);
      EXPECT_EQ(bits(song.left), bits(c.left)) << c.name;
      EXPECT_EQ(bits(song.right), bits(c.right)) << c.name;
    } catch (const std::exception& e) {
      ADD_FAILURE() << c.name << ": " << e.what();
    }
  }
}

TEST(ReadWav, DecodesSamplesExactly) {
  TempDir dir;
  write_file(dir / "pcm.wav", pcm16_wav(2, {-32768, 0, 32767, 1}));
  const Stereo pcm_song = read_wav(dir / "pcm.wav");
  EXPECT_EQ(pcm_song.left, (std::vector<float>{-1.0f, 0.999969482421875f}));
  EXPECT_EQ(pcm_song.right, (std::vector<float>{0.0f, 1.0f / 32768.0f}));
  EXPECT_EQ(bits_of(pcm_song.right[0]), 0u);  // +0, not -0

  // A two-byte chunk before the data leaves its 4-byte samples unaligned.
  const std::vector<std::uint32_t> patterns{bits_of(1.5f), 0x7FC00001, 0xFFA5A5A5, 0x7F800000, 0xFF800000,
                                            0x80000000, 0x00000001, bits_of(-3.25e30f)};
  std::string data;
  for (std::uint32_t p : patterns) data += le32(p);
  write_file(dir / "float.wav",
             riff(wav_chunk("fmt ", fmt_body(3, 2, 44100, 32)) + wav_chunk("JUNK", "ab") + wav_chunk("data", data)));
  const Stereo float_song = read_wav(dir / "float.wav");
  std::vector<std::uint32_t> interleaved;
  for (std::size_t i = 0; i < float_song.left.size(); ++i) {
    interleaved.push_back(bits_of(float_song.left[i]));
    interleaved.push_back(bits_of(float_song.right[i]));
  }
  EXPECT_EQ(interleaved, patterns);
}

TEST(WriteWav, WritesTheCanonicalHeaderAndFrames) {
  TempDir dir;
  write_wav(dir / "empty.wav", {}, {});
  const std::string empty = read_file(dir / "empty.wav");
  EXPECT_EQ(empty, "RIFF" + le32(36) + "WAVE" + "fmt " + le32(16) + le16(3) + le16(2) + le32(44100) + le32(352800) +
                       le16(8) + le16(32) + "data" + le32(0));

  write_file(dir / "three.wav", "an earlier file, replaced");
  write_wav(dir / "three.wav", {0.5f, -1.0f, 2.0f}, {-0.25f, 0.0f, 1e-40f});
  const std::string frames = f32(0.5f) + f32(-0.25f) + f32(-1.0f) + f32(0.0f) + f32(2.0f) + f32(1e-40f);
  EXPECT_EQ(read_file(dir / "three.wav"), riff(wav_chunk("fmt ", fmt_body(3, 2, 44100, 32)) + wav_chunk("data", frames)));
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"empty.wav", "three.wav"}));
}

TEST(WriteWav, RoundTripsEveryBitPattern) {
  std::vector<float> left, right;
  const std::uint32_t specials[] = {0x7FC00000, 0x7FC12345, 0xFF800001, 0x7FBFFFFF, 0x7F800000, 0xFF800000,
                                    0x80000000, 0x00000000, 0x00000001, 0x807FFFFF, 0x7F7FFFFF};
  for (std::uint32_t s : specials) left.push_back(float_of(s));
  for (std::uint32_t s : specials) right.push_back(float_of(~s));
  // Many frames with scattered bit patterns, crossing the writer's block boundaries.
  std::uint32_t x = 12345;
  for (int i = 0; i < 20000; ++i) {
    x = x * 1664525u + 1013904223u;
    left.push_back(float_of(x));
    right.push_back(float_of(x ^ 0xDEADBEEF));
  }
  TempDir dir;
  write_wav(dir / "out.wav", left, right);
  const Stereo back = read_wav(dir / "out.wav");
  EXPECT_EQ(bits(back.left), bits(left));
  EXPECT_EQ(bits(back.right), bits(right));
}

TEST(WriteWav, RefusalsLeaveTheDiskAsItWas) {
  TempDir dir;
  const std::string path = dir / "old.wav";
  write_file(path, "earlier result");
  struct Case {
    const char* name;
    std::string path;
    std::vector<float> left, right;
    std::string message;
  };
  const Case cases[] = {
      {"channel length mismatch", path, {1.0f, 2.0f}, {1.0f}, "channel length mismatch"},
      {"missing directory", dir / "no/such/x.wav", {1.0f}, {1.0f}, "cannot write " + (dir / "no/such/x.wav")},
      {"target is a directory", dir.path(), {1.0f}, {1.0f}, "cannot write " + dir.path()},
  };
  for (const Case& c : cases) {
    try {
      write_wav(c.path, c.left, c.right);
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.message) << c.name;
    }
    EXPECT_EQ(read_file(path), "earlier result") << c.name;
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"old.wav"}) << c.name;
  }
}

TEST(WriteWav, WritesRF64PastTheRiffLimit) {
  // The limit lowered to two frames stands in for the 4 GiB one.
  struct Case {
    std::size_t frames;
    std::string header;
  };
  const std::string fmt = wav_chunk("fmt ", fmt_body(3, 2, 44100, 32));
  const Case cases[] = {
      {2, "RIFF" + le32(36 + 16) + "WAVE" + fmt + "data" + le32(16)},
      {3, "RF64" + le32(0xFFFFFFFF) + "WAVE" + "ds64" + le32(28) + le32(72 + 24) + le32(0) + le32(24) + le32(0) +
              le32(3) + le32(0) + le32(0) + fmt + "data" + le32(0xFFFFFFFF)},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frames);
    std::vector<float> left, right;
    std::string frames;
    for (std::size_t i = 0; i < c.frames; ++i) {
      left.push_back(0.5f + float(i));
      right.push_back(-0.25f * float(i));
      frames += f32(left.back()) + f32(right.back());
    }
    StemWriter writer(dir / "out.wav", c.frames, wav_staging::Staging::anonymous, 2);
    writer.append(left.data(), right.data(), c.frames);
    writer.commit();
    EXPECT_EQ(read_file(dir / "out.wav"), c.header + frames);
    const Stereo back = read_wav(dir / "out.wav");
    EXPECT_EQ(back.left, left);
    EXPECT_EQ(back.right, right);
  }
}

TEST(ReadWav, AFileCutShortAfterItsHeaderFailsWhereTheDataEnds) {
  TempDir dir;
  const std::string path = dir / "song.wav";
  write_file(path, pcm16_wav(2, std::vector<std::int16_t>(2 * 20000, 5)));
  WavReader reader(path);
  std::vector<float> left(20000), right(20000);
  reader.read(left.data(), right.data(), 10000);
  std::filesystem::resize_file(path, 44 + 4 * 15000);
  try {
    reader.read(left.data(), right.data(), 10000);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "short read " + path);
  }
}

// Writes cut short by a file-size limit or a kill, in a child process (POSIX only).
#ifndef _WIN32
using wav_staging::Staging;

void write_staged(const std::string& path, const std::vector<float>& samples, Staging staging) {
  StemWriter writer(path, samples.size(), staging);
  writer.append(samples.data(), samples.data(), samples.size());
  writer.commit();
}

// Runs one staged write in a child whose files may not grow past limit bytes.
// With the file-size signal ignored each write fails as on a full disk; with
// its default action the child is killed mid-write, as by SIGKILL.
// Returns the child's exception message, "" when it claimed success, or
// "killed" when the signal ended it.
std::string write_under_limit(const std::string& path, std::size_t frames, rlim_t limit, Staging staging,
                              bool killed = false) {
  int channel[2];
  if (pipe(channel) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    close(channel[0]);
    std::signal(SIGXFSZ, killed ? SIG_DFL : SIG_IGN);
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
    std::string message;
    try {
      const std::vector<float> samples(frames, 0.25f);
      write_staged(path, samples, staging);
    } catch (const std::exception& e) {
      message = e.what();
    }
    const ssize_t written = write(channel[1], message.data(), message.size());
    _exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
  }
  close(channel[1]);
  std::string message;
  char buffer[256];
  for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;) message.append(buffer, got);
  close(channel[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) return "killed";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return message;
}

TEST(WriteWav, AFailedWriteIsReportedAndKeepsTheEarlierFile) {
  struct Case {
    const char* name;
    std::size_t frames;
    rlim_t limit;
  };
  const Case cases[] = {
      {"header does not fit", 10, 40},
      {"fails in the final flush", 100, 500},
      {"fails mid-stream", 200000, 300000},
  };
  for (const Staging staging : {Staging::anonymous, Staging::named}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (staging == Staging::named ? ", named" : ", anonymous"));
      TempDir dir;
      const std::string path = dir / "song_(Vocals).wav";
      write_file(path, "earlier result");
      EXPECT_EQ(write_under_limit(path, c.frames, c.limit, staging), "cannot write " + path);
      EXPECT_EQ(read_file(path), "earlier result");
      EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"song_(Vocals).wav"});
    }
    // The same child machinery succeeds when the limit leaves room.
    TempDir dir;
    write_file(dir / "ok.wav", "earlier result");
    EXPECT_EQ(write_under_limit(dir / "ok.wav", 100, 1 << 20, staging), "");
    EXPECT_EQ(read_file(dir / "ok.wav").size(), 44u + 800u);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"ok.wav"});
  }
}

TEST(WriteWav, AProcessKilledMidWriteKeepsTheEarlierFile) {
  for (const Staging staging : {Staging::anonymous, Staging::named}) {
    SCOPED_TRACE(staging == Staging::named ? "named" : "anonymous");
    TempDir dir;
    const std::string path = dir / "song_(Vocals).wav";
    write_file(path, "earlier result");
    EXPECT_EQ(write_under_limit(path, 200000, 300000, staging, true), "killed");
    EXPECT_EQ(read_file(path), "earlier result");
    const std::vector<std::string> names = names_in(dir.path());
    if (staging == Staging::anonymous && wav_staging::HAS_UNNAMED_FILES) {
      // The unfinished file never had a name, so nothing is left over.
      EXPECT_EQ(names, std::vector<std::string>{"song_(Vocals).wav"});
    } else {
      ASSERT_EQ(names.size(), 2u);
      EXPECT_EQ(names[1].rfind("song_(Vocals).wav.tmp-", 0), 0u) << names[1];
    }
  }
}

TEST(WriteWav, ReplacesAStaleTemporaryFileOfTheSameName) {
  // A process killed during a named write left its file; a later one with the same id reuses the name.
  TempDir dir;
  const std::string path = dir / "out.wav";
  const std::string stale = path + ".tmp-" + std::to_string(getpid());
  for (const Staging staging : {Staging::anonymous, Staging::named}) {
    write_file(stale, "left by a killed run");
    const std::vector<float> samples(10, 0.5f);
    write_staged(path, samples, staging);
    EXPECT_EQ(read_file(path).size(), 44u + 80u);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"out.wav"});
  }
}

#else
TEST(WriteWavDeathTest, AProcessEndedMidWriteLeavesOnlyTheEarlierFile) {
  // The child runs this test again from the start, so the folder is one both find.
  const std::filesystem::path dir = std::filesystem::current_path() / "ended-mid-write";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directory(dir);
  const std::string path = (dir / "song_(Vocals).wav").u8string();
  write_file(path, "earlier result");
  EXPECT_EXIT(
      {
        StemWriter writer(path, 200000);
        const std::vector<float> samples(100000, 0.25f);
        writer.append(samples.data(), samples.data(), samples.size());
        // As Ctrl-C or a closed console ends it: no unwinding.
        TerminateProcess(GetCurrentProcess(), 3);
      },
      testing::ExitedWithCode(3), "");
  EXPECT_EQ(read_file(path), "earlier result");
  EXPECT_EQ(names_in(dir.u8string()), std::vector<std::string>{"song_(Vocals).wav"});
  std::filesystem::remove_all(dir);
}
#endif

}  // namespace
