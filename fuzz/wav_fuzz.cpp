// libFuzzer target for read_wav. Each input is written to a file and read;
// the outcome must be exactly what a plain, separately written model of the
// format rules predicts (the same refusal message, or the same samples), and
// every accepted song must survive a round trip through write_wav bit for bit.
// Any other exception, a sanitizer report or a disagreement is a finding.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "wav.hpp"

namespace {

struct Expected {
  std::string error;  // empty when the file is accepted
  std::vector<float> left, right;
};

std::uint32_t le(const std::uint8_t* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The format rules in their most literal form: whole-file offsets in 64 bits (RIFF or RF64),
// the last whole chunk of each kind counts, the first sample judges the format.
Expected model_read(const std::string& path, const std::uint8_t* f, std::uint64_t n) {
  Expected e;
  const bool rf64 = n >= 12 && std::memcmp(f, "RF64", 4) == 0;
  if (n < 12 || (!rf64 && std::memcmp(f, "RIFF", 4) != 0) || std::memcmp(f + 8, "WAVE", 4) != 0) {
    e.error = path + " is not a WAV file";
    return e;
  }
  const std::string missing = path + " is missing fmt or data";
  if (n < 20) {
    e.error = missing;
    return e;
  }
  // RF64: a ds64 chunk of at least 24 bytes first; its data size stands for a data size of 0xFFFFFFFF.
  std::uint64_t start = 12, ds64_data = 0;
  if (rf64) {
    const std::uint64_t ds64_size = le(f + 16, 4);
    if (n < 44 || std::memcmp(f + 12, "ds64", 4) != 0 || ds64_size < 24 || 20 + ds64_size > n) {
      e.error = path + " is not a WAV file";
      return e;
    }
    ds64_data = le(f + 28, 4) | (std::uint64_t{le(f + 32, 4)} << 32);
    start = 20 + ds64_size + (ds64_size % 2);
  }
  std::uint64_t fmt = 0, fmt_size = 0, data = 0, data_size = 0;
  bool have_fmt = false, have_data = false;
  for (std::uint64_t off = start; off + 8 <= n;) {
    std::uint64_t size = le(f + off + 4, 4);
    if (rf64 && size == 0xFFFFFFFF && std::memcmp(f + off, "data", 4) == 0) size = ds64_data;
    if (size > n - off - 8) break;
    if (std::memcmp(f + off, "fmt ", 4) == 0) {
      have_fmt = true;
      fmt = off + 8;
      fmt_size = size;
    } else if (std::memcmp(f + off, "data", 4) == 0) {
      have_data = true;
      data = off + 8;
      data_size = size;
    }
    off += 8 + size + (size % 2);
  }
  if (!have_fmt || fmt_size < 16 || !have_data) {
    e.error = missing;
    return e;
  }
  const std::uint32_t channels = le(f + fmt + 2, 2), rate = le(f + fmt + 4, 4), bits = le(f + fmt + 14, 2);
  std::uint32_t tag = le(f + fmt, 2), speakers = 0;
  // Extensible: at least 40 bytes and an extension of at least 22; the speakers of
  // the mask at 20; the tag at 24 counts when the valid bits at 18 fill the
  // container and the GUID's other 14 bytes are the KSDATAFORMAT_SUBTYPE ones.
  if (tag == 0xFFFE) {
    static const std::uint8_t guid_tail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    tag = 0;
    if (fmt_size >= 40 && le(f + fmt + 16, 2) >= 22) {
      for (std::uint32_t mask = le(f + fmt + 20, 4); mask != 0; mask &= mask - 1) ++speakers;
      if (le(f + fmt + 18, 2) == bits && std::memcmp(f + fmt + 26, guid_tail, 14) == 0) tag = le(f + fmt + 24, 2);
    }
  }
  if (rate != 44100) {
    e.error = path + " is " + std::to_string(rate) + " Hz; duostem separates 44100 Hz stereo WAV";
    return e;
  }
  if ((channels != 1 && channels != 2) || speakers > channels) {
    e.error = path + " must be mono or stereo";
    return e;
  }
  const std::string depth = path + " must be 16-bit PCM or 32-bit float WAV";
  const std::uint64_t sample = bits / 8, frame = sample * channels;
  if (frame == 0) {
    e.error = depth;
    return e;
  }
  const std::uint64_t frames = data_size / frame;
  const bool pcm16 = tag == 1 && bits == 16, float32 = tag == 3 && bits == 32;
  if (frames > 0 && !pcm16 && !float32) {
    e.error = depth;
    return e;
  }
  auto decode = [&](std::uint64_t at) {
    if (pcm16) return static_cast<float>(static_cast<std::int16_t>(le(f + at, 2)) / 32768.0);
    const std::uint32_t b = le(f + at, 4);
    float v;
    std::memcpy(&v, &b, 4);
    return v;
  };
  for (std::uint64_t i = 0; i < frames; ++i) {
    const std::uint64_t at = data + i * frame;
    e.left.push_back(decode(at));
    e.right.push_back(decode(channels == 2 ? at + sample : at));
  }
  return e;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), 4 * a.size()) == 0);
}

[[noreturn]] void finding(const char* what, const std::string& detail) {
  std::fprintf(stderr, "wav_fuzz: %s: %s\n", what, detail.c_str());
  std::abort();
}

// Scratch files in memory where possible, one pair per fuzzing process.
std::string scratch_path(const char* suffix) {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/duostem-fuzz-" + std::to_string(getpid()) + suffix;
}

const std::string& input_path() {
  static const std::string path = scratch_path(".wav");
  return path;
}

const std::string& output_path() {
  static const std::string path = scratch_path("-out.wav");
  return path;
}

void remove_scratch() {
  std::remove(input_path().c_str());
  std::remove(output_path().c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string& path = input_path();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(bytes, 1, size, file) != size || std::fclose(file) != 0)
    finding("cannot write the scratch input", path);

  const Expected expected = model_read(path, bytes, size);
  Stereo song;
  try {
    song = read_wav(path);
  } catch (const std::runtime_error& e) {
    if (expected.error != e.what()) finding("unexpected refusal", std::string(e.what()) + " | expected: " + expected.error);
    return 0;
  }
  if (!expected.error.empty()) finding("accepted a file the rules refuse", expected.error);
  if (!same_bits(song.left, expected.left) || !same_bits(song.right, expected.right))
    finding("decoded samples differ", std::to_string(song.left.size()) + " frames against " +
                                          std::to_string(expected.left.size()));

  const std::string& out = output_path();
  write_wav(out, song.left, song.right);
  const Stereo back = read_wav(out);
  if (!same_bits(back.left, song.left) || !same_bits(back.right, song.right))
    finding("write_wav round trip changed the samples", std::to_string(song.left.size()) + " frames");
  return 0;
}
