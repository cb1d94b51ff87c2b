// Real audio tools against the WAV code: files written by sox, libsndfile
// (sndfile-convert and python3-soundfile), Python's wave module and ffmpeg are
// accepted or refused exactly as the format rules say, with the samples the
// tool was given; and the files duostem writes open in sox, libsndfile and
// ffmpeg with the same frames, channels, rate, sample format and values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "wav.hpp"

namespace {

const std::string PY = DUOSTEM_PYTHON;
constexpr std::size_t FRAMES = 1000;

bool have_program(const std::string& name) {
  return run_program({"sh", "-c", "command -v " + name}).status == 0;
}

bool have_soundfile() { return run_program({PY, "-c", "import soundfile"}).status == 0; }

// Deterministic 16-bit samples over the whole range, both extremes included.
std::vector<std::int16_t> pcm_samples(std::size_t count) {
  std::vector<std::int16_t> s(count);
  std::uint32_t x = 2463534242u;
  for (std::size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<std::int16_t>(x & 0xFFFF);
  }
  if (count >= 2) {
    s[0] = -32768;
    s[1] = 32767;
  }
  return s;
}

// Floats that every writer carries exactly: multiples of 2^-15 in [-1, 1).
// (sox holds samples as 32-bit integers, so finer values or +1.0 would not survive it.)
std::vector<float> float_samples(std::size_t count) {
  std::vector<float> f;
  for (std::int16_t v : pcm_samples(count)) f.push_back(static_cast<float>(v) / 32768.0f);
  return f;
}

std::string raw_pcm(const std::vector<std::int16_t>& s) {
  std::string bytes;
  for (std::int16_t v : s) bytes += le16(static_cast<std::uint16_t>(v));
  return bytes;
}

std::string raw_float(const std::vector<float>& f) {
  std::string bytes;
  for (float v : f) bytes += f32(v);
  return bytes;
}

std::vector<float> as_floats(const std::vector<std::int16_t>& s) {
  std::vector<float> f;
  for (std::int16_t v : s) f.push_back(static_cast<float>(v) * (1.0f / 32768.0f));
  return f;
}

// The chunk identifiers of a RIFF file in order, with the fmt chunk written as
// "fmt<size>:<tag>", e.g. "fmt16:1 LIST data". "?" for a file that is not RIFF.
std::string layout(const std::string& bytes) {
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0) return bytes.substr(0, 4) + "?";
  auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  std::string text;
  for (std::uint64_t off = 12; off + 8 <= bytes.size();) {
    const std::uint32_t size = u32(off + 4);
    std::string id = bytes.substr(off, 4);
    if (id == "fmt " && off + 10 <= bytes.size())
      id = "fmt" + std::to_string(size) + ":" + std::to_string(u32(off + 8) & 0xFFFF);
    text += (text.empty() ? "" : " ") + id;
    off += 8ull + size + (size & 1);
  }
  return text;
}

std::string error_of(const std::string& path) {
  try {
    read_wav(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
  std::vector<std::uint32_t> b;
  for (float x : v) b.push_back(bits_of(x));
  return b;
}

enum class Input { pcm16, float32 };

// One file a real tool writes. The command reads in.raw (interleaved samples of
// the given kind, or in.wav holding the same samples) and writes out.wav in the
// working directory. refusal is the message after the path, empty when accepted.
struct Variant {
  std::string name;
  std::vector<std::string> command;
  int channels;
  Input input;
  std::string layout;   // what the writer is known to produce
  std::string refusal;
  std::size_t frames = FRAMES;
};

const std::string DEPTH = " must be 16-bit PCM or 32-bit float WAV";
const std::string RATE_48K = " is 48000 Hz; duostem separates 44100 Hz stereo WAV";

// Writes the input, runs the writer, checks what it wrote, then asks both
// read_wav and the real executable about it.
void check_variant(const Variant& v) {
  SCOPED_TRACE(v.name + " (" + std::to_string(v.channels) + " ch)");
  TempDir dir;
  const std::vector<std::int16_t> pcm = pcm_samples(v.frames * v.channels);
  const std::vector<float> floats = float_samples(v.frames * v.channels);
  const std::vector<float> expected = v.input == Input::pcm16 ? as_floats(pcm) : floats;
  write_file(dir / "in.raw", v.input == Input::pcm16 ? raw_pcm(pcm) : raw_float(floats));
  write_file(dir / "in.wav", v.input == Input::pcm16 ? pcm16_wav(v.channels, pcm) : float_wav(v.channels, floats));

  const RunResult writer = run_program(v.command, dir.path());
  ASSERT_EQ(writer.status, 0) << writer.err;
  ASSERT_TRUE(file_exists(dir / "out.wav"));
  EXPECT_EQ(layout(read_file(dir / "out.wav")), v.layout);

  const RunResult tool = run_tool({"out.wav", "--model", test_model("identity.onnx"), "--out-dir", "stems"}, dir.path());
  if (!v.refusal.empty()) {
    EXPECT_EQ(error_of(dir / "out.wav"), (dir / "out.wav") + v.refusal);
    EXPECT_EQ(tool.status, 1);
    EXPECT_EQ(tool.err, "duostem: out.wav" + v.refusal + "\n");
    EXPECT_FALSE(file_exists(dir / "stems"));
    return;
  }
  try {
    const Stereo song = read_wav(dir / "out.wav");
    std::vector<float> left, right;
    for (std::size_t i = 0; i < v.frames; ++i) {
      left.push_back(expected[i * v.channels]);
      right.push_back(expected[i * v.channels + (v.channels - 1)]);
    }
    EXPECT_EQ(bits(song.left), bits(left));
    EXPECT_EQ(bits(song.right), bits(right));
  } catch (const std::exception& e) {
    ADD_FAILURE() << "refused: " << e.what();
  }
  EXPECT_EQ(tool.status, 0) << tool.err;
}

std::vector<std::string> raw_in(Input input, int channels) {
  if (input == Input::pcm16)
    return {"-t", "raw", "-r", "44100", "-e", "signed", "-b", "16", "-c", std::to_string(channels), "in.raw"};
  return {"-t", "raw", "-r", "44100", "-e", "floating-point", "-b", "32", "-c", std::to_string(channels), "in.raw"};
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(RealWriters, Sox) {
  if (!have_program("sox")) GTEST_SKIP() << "sox is not installed";
  for (int ch : {1, 2}) {
    auto sox = [ch](Input in, const std::vector<std::string>& out) {
      return concat(concat({"sox", "-D"}, raw_in(in, ch)), out);
    };
    const Variant variants[] = {
        {"16-bit", sox(Input::pcm16, {"out.wav"}), ch, Input::pcm16, "fmt16:1 data", ""},
        {"float, fmt of 18 bytes with fact", sox(Input::float32, {"out.wav"}), ch, Input::float32, "fmt18:3 fact data", ""},
        {"24-bit, extensible", sox(Input::pcm16, {"-b", "24", "out.wav"}), ch, Input::pcm16, "fmt40:65534 fact data", DEPTH},
        {"24-bit plain", sox(Input::pcm16, {"-t", "wavpcm", "-b", "24", "out.wav"}), ch, Input::pcm16, "fmt16:1 data", DEPTH},
        {"32-bit integer, extensible", sox(Input::pcm16, {"-b", "32", "out.wav"}), ch, Input::pcm16, "fmt40:65534 fact data",
         DEPTH},
        {"u-law", sox(Input::pcm16, {"-e", "u-law", "out.wav"}), ch, Input::pcm16, "fmt18:7 fact data", DEPTH},
        {"48 kHz", sox(Input::pcm16, {"out.wav", "rate", "48000"}), ch, Input::pcm16, "fmt16:1 data", RATE_48K},
        {"no samples", concat({"sh", "-c", ": > in.raw && exec \"$0\" \"$@\""}, sox(Input::float32, {"out.wav"})), ch,
         Input::float32, "fmt18:3 fact data", "", 0},
    };
    for (const Variant& v : variants) check_variant(v);
  }
}

TEST(RealWriters, SndfileConvert) {
  if (!have_program("sndfile-convert")) GTEST_SKIP() << "sndfile-convert (sndfile-programs) is not installed";
  // sndfile-convert picks the container from the extension: .wavex is the extensible format.
  const std::string to_wav = "sndfile-convert \"$@\" in.wav out.wav";
  const std::string to_wavex = "sndfile-convert \"$@\" in.wav out.wavex && mv out.wavex out.wav";
  const std::string to_rf64 = "sndfile-convert \"$@\" in.wav out.rf64 && mv out.rf64 out.wav";
  for (int ch : {1, 2}) {
    const Variant variants[] = {
        {"16-bit", {"sh", "-c", to_wav, "sh", "-pcm16"}, ch, Input::pcm16, "fmt16:1 data", ""},
        {"float with fact and PEAK", {"sh", "-c", to_wav, "sh", "-float32"}, ch, Input::float32, "fmt16:3 fact PEAK data", ""},
        {"24-bit", {"sh", "-c", to_wav, "sh", "-pcm24"}, ch, Input::pcm16, "fmt16:1 data", DEPTH},
        {"extensible 16-bit", {"sh", "-c", to_wavex, "sh", "-pcm16"}, ch, Input::pcm16, "fmt40:65534 fact data", ""},
        {"extensible float", {"sh", "-c", to_wavex, "sh", "-float32"}, ch, Input::float32, "fmt40:65534 fact PEAK data", ""},
        {"extensible 24-bit", {"sh", "-c", to_wavex, "sh", "-pcm24"}, ch, Input::pcm16, "fmt40:65534 fact data", DEPTH},
        // libsndfile's RF64 holds the extensible format.
        {"RF64", {"sh", "-c", to_rf64, "sh", "-float32"}, ch, Input::float32, "RF64?", ""},
    };
    for (const Variant& v : variants) check_variant(v);
  }
}

TEST(RealWriters, PythonSoundfile) {
  if (!have_soundfile()) GTEST_SKIP() << "python3-soundfile is not installed for " << PY;
  // Reads in.raw as the given subtype and writes it back out; extra arguments
  // choose the container, the stored subtype, the rate and some metadata.
  const std::string script = R"(
import sys, soundfile as sf
ch, raw_subtype, fmt, subtype, rate, meta = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), sys.argv[6]
dtype = 'int16' if raw_subtype == 'PCM_16' else 'float32'
data, _ = sf.read('in.raw', samplerate=44100, channels=ch, subtype=raw_subtype, format='RAW', dtype=dtype, always_2d=True)
with sf.SoundFile('out.wav', 'w', rate, ch, subtype, format=fmt) as f:
    if meta == 'tags':
        f.title = 'a title'
        f.artist = 'an artist'
        f.software = 'duostem tests'
    f.write(data)
)";
  for (int ch : {1, 2}) {
    auto sf = [&](Input in, const char* fmt, const char* subtype, const char* rate = "44100", const char* meta = "-") {
      return std::vector<std::string>{PY, "-c", script, std::to_string(ch), in == Input::pcm16 ? "PCM_16" : "FLOAT",
                                      fmt, subtype, rate, meta};
    };
    const Variant variants[] = {
        {"16-bit", sf(Input::pcm16, "WAV", "PCM_16"), ch, Input::pcm16, "fmt16:1 data", ""},
        {"16-bit with LIST", sf(Input::pcm16, "WAV", "PCM_16", "44100", "tags"), ch, Input::pcm16, "fmt16:1 LIST data", ""},
        {"float with fact and PEAK", sf(Input::float32, "WAV", "FLOAT"), ch, Input::float32, "fmt16:3 fact PEAK data", ""},
        {"float with LIST", sf(Input::float32, "WAV", "FLOAT", "44100", "tags"), ch, Input::float32,
         "fmt16:3 fact LIST PEAK data", ""},
        {"24-bit", sf(Input::pcm16, "WAV", "PCM_24"), ch, Input::pcm16, "fmt16:1 data", DEPTH},
        {"extensible 16-bit", sf(Input::pcm16, "WAVEX", "PCM_16"), ch, Input::pcm16, "fmt40:65534 fact data", ""},
        {"extensible float", sf(Input::float32, "WAVEX", "FLOAT"), ch, Input::float32, "fmt40:65534 fact PEAK data", ""},
        {"RF64", sf(Input::pcm16, "RF64", "PCM_16"), ch, Input::pcm16, "RF64?", ""},
        {"48 kHz", sf(Input::pcm16, "WAV", "PCM_16", "48000"), ch, Input::pcm16, "fmt16:1 data", RATE_48K},
    };
    for (const Variant& v : variants) check_variant(v);
  }
}

TEST(RealWriters, PythonWave) {
  // wave writes integer PCM only, of any width; the frames are the raw bytes, so
  // in.raw is written again with the width asked for.
  const std::string script = R"(
import sys, wave
ch, width, rate = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
raw = open('in.raw', 'rb').read()
if width != 2:
    raw = b''.join(b'\0' * (width - 2) + raw[i:i + 2] if width > 2 else raw[i + 1:i + 2] for i in range(0, len(raw), 2))
w = wave.open('out.wav', 'wb')
w.setnchannels(ch)
w.setsampwidth(width)
w.setframerate(rate)
w.writeframes(raw)
w.close()
)";
  if (run_program({PY, "-c", "import wave"}).status != 0) GTEST_SKIP() << PY << " has no wave module";
  for (int ch : {1, 2}) {
    auto wave = [&](const char* width, const char* rate = "44100") {
      return std::vector<std::string>{PY, "-c", script, std::to_string(ch), width, rate};
    };
    const Variant variants[] = {
        {"16-bit", wave("2"), ch, Input::pcm16, "fmt16:1 data", ""},
        {"8-bit", wave("1"), ch, Input::pcm16, "fmt16:1 data", DEPTH},
        {"24-bit", wave("3"), ch, Input::pcm16, "fmt16:1 data", DEPTH},
        {"32-bit integer", wave("4"), ch, Input::pcm16, "fmt16:1 data", DEPTH},
        {"48 kHz", wave("2", "48000"), ch, Input::pcm16, "fmt16:1 data", RATE_48K},
    };
    for (const Variant& v : variants) check_variant(v);
  }
}

TEST(RealWriters, Ffmpeg) {
  if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  for (int ch : {1, 2}) {
    auto ff = [ch](Input in, const std::vector<std::string>& out) {
      return concat({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", in == Input::pcm16 ? "s16le" : "f32le", "-ar",
                     "44100", "-ac", std::to_string(ch), "-i", "in.raw"},
                    out);
    };
    // ffmpeg stores every float or wider-than-16-bit format as the extensible
    // format: its 32-bit float is read, the others are refused.
    const Variant variants[] = {
        {"16-bit with LIST", ff(Input::pcm16, {"-c:a", "pcm_s16le", "out.wav"}), ch, Input::pcm16, "fmt16:1 LIST data", ""},
        {"16-bit bitexact", ff(Input::pcm16, {"-c:a", "pcm_s16le", "-fflags", "+bitexact", "out.wav"}), ch, Input::pcm16,
         "fmt16:1 data", ""},
        {"16-bit with bext", ff(Input::pcm16, {"-c:a", "pcm_s16le", "-write_bext", "1", "out.wav"}), ch, Input::pcm16,
         "fmt16:1 bext LIST data", ""},
        {"16-bit with tags", ff(Input::pcm16, {"-c:a", "pcm_s16le", "-metadata", "title=x", "out.wav"}), ch, Input::pcm16,
         "fmt16:1 LIST data", ""},
        {"float, extensible", ff(Input::float32, {"-c:a", "pcm_f32le", "out.wav"}), ch, Input::float32,
         "fmt40:65534 fact LIST data", ""},
        {"float, RF64", ff(Input::float32, {"-c:a", "pcm_f32le", "-rf64", "always", "out.wav"}), ch, Input::float32, "RF64?",
         ""},
        {"float, extensible, no samples",
         concat({"sh", "-c", ": > in.raw && exec \"$0\" \"$@\""}, ff(Input::float32, {"-c:a", "pcm_f32le", "out.wav"})), ch,
         Input::float32, "fmt40:65534 fact LIST data", "", 0},
        {"24-bit", ff(Input::pcm16, {"-c:a", "pcm_s24le", "out.wav"}), ch, Input::pcm16, "fmt40:65534 LIST data", DEPTH},
        {"32-bit integer", ff(Input::pcm16, {"-c:a", "pcm_s32le", "out.wav"}), ch, Input::pcm16, "fmt40:65534 LIST data",
         DEPTH},
        {"64-bit float", ff(Input::float32, {"-c:a", "pcm_f64le", "out.wav"}), ch, Input::float32,
         "fmt40:65534 fact LIST data", DEPTH},
        {"48 kHz", ff(Input::pcm16, {"-c:a", "pcm_s16le", "-ar", "48000", "out.wav"}), ch, Input::pcm16,
         "fmt16:1 LIST data", RATE_48K},
        {"RF64", ff(Input::pcm16, {"-c:a", "pcm_s16le", "-rf64", "always", "out.wav"}), ch, Input::pcm16, "RF64?", ""},
    };
    for (const Variant& v : variants) check_variant(v);
  }
}

// ---- Real readers of what duostem writes ----

// Values a float file can hold that no 16-bit file can: fine fractions,
// values beyond full scale, a denormal; the readers must give these back exactly.
std::vector<float> awkward_floats(std::size_t count, std::uint32_t seed) {
  std::vector<float> f;
  std::uint32_t x = seed;
  for (std::size_t i = 0; i < count; ++i) {
    x = x * 1664525u + 1013904223u;
    f.push_back(static_cast<float>(static_cast<std::int32_t>(x)) / 1.5e9f);
  }
  if (count >= 3) {
    f[0] = 1.5f;
    f[1] = -2.25f;
    f[2] = 1e-40f;
  }
  return f;
}

std::vector<float> reversed(std::vector<float> v) { return {v.rbegin(), v.rend()}; }

struct Facts {
  std::string text;  // "<frames> <channels> <rate> <format>"
  std::string raw;   // the interleaved samples as little-endian 32-bit floats
};

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

Facts sox_reads(const std::string& dir, const std::string& name) {
  Facts f;
  for (const char* option : {"-s", "-c", "-r", "-b", "-e"}) {
    const RunResult r = run_program({"sox", "--i", option, name}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    f.text += (f.text.empty() ? "" : " ") + trimmed(r.out);
  }
  const RunResult r = run_program({"sox", name, "-t", "f32", "-e", "floating-point", "sox.raw"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  f.raw = read_file(dir + "/sox.raw");
  return f;
}

Facts soundfile_reads(const std::string& dir, const std::string& name) {
  const std::string script =
      "import sys, soundfile as sf\n"
      "i = sf.info(sys.argv[1])\n"
      "print(i.frames, i.channels, i.samplerate, i.format, i.subtype)\n"
      "d, _ = sf.read(sys.argv[1], dtype='float32', always_2d=True)\n"
      "open('sf.raw', 'wb').write(d.astype('<f4').tobytes())\n";
  const RunResult r = run_program({PY, "-c", script, name}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  return {trimmed(r.out), read_file(dir + "/sf.raw")};
}

Facts ffmpeg_reads(const std::string& dir, const std::string& name) {
  const RunResult probe = run_program({"ffprobe", "-v", "error", "-show_entries",
                                       "stream=duration_ts,channels,sample_rate,codec_name", "-of",
                                       "default=nw=1:nk=1", name},
                                      dir);
  EXPECT_EQ(probe.status, 0) << probe.err;
  std::string text = probe.out;
  for (char& c : text)
    if (c == '\n') c = ' ';
  const RunResult r =
      run_program({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", name, "-f", "f32le", "-c:a", "pcm_f32le", "ff.raw"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  return {trimmed(text), file_exists(dir + "/ff.raw") ? read_file(dir + "/ff.raw") : ""};
}

std::vector<float> floats_of(const std::string& raw) {
  std::vector<float> v(raw.size() / 4);
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::uint32_t b = 0;
    for (int k = 3; k >= 0; --k) b = (b << 8) | static_cast<unsigned char>(raw[4 * i + k]);
    v[i] = float_of(b);
  }
  return v;
}

std::string interleaved(const Stereo& s) {
  std::string raw;
  for (std::size_t i = 0; i < s.left.size(); ++i) raw += f32(s.left[i]) + f32(s.right[i]);
  return raw;
}

// Every reader present must agree with read_wav on what the file holds.
// sox converts float samples through fixed point: it gives them back within
// 2^-24 of full scale (exactly for multiples of 2^-15) and clips beyond full
// scale; the others must give back every bit.
void check_readers(const std::string& dir, const std::string& name, const Stereo& expected, bool in_full_scale,
                    bool exact_in_sox = false) {
  SCOPED_TRACE(name);
  const std::string frames = std::to_string(expected.left.size());
  const std::string raw = interleaved(expected);
  int readers = 0;
  if (have_program("sox")) {
    ++readers;
    const Facts f = sox_reads(dir, name);
    EXPECT_EQ(f.text, frames + " 2 44100 32 Floating Point PCM");
    const std::vector<float> got = floats_of(f.raw), want = floats_of(raw);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      const float clipped = in_full_scale ? want[i] : std::fmax(-1.0f, std::fmin(1.0f, want[i]));
      if (exact_in_sox) {
        ASSERT_EQ(bits_of(got[i]), bits_of(want[i])) << "sample " << i;
      }
      ASSERT_NEAR(got[i], clipped, 0x1p-24) << "sample " << i;
    }
  }
  if (have_soundfile()) {
    ++readers;
    const Facts f = soundfile_reads(dir, name);
    EXPECT_EQ(f.text, frames + " 2 44100 WAV FLOAT");
    EXPECT_EQ(bits(floats_of(f.raw)), bits(floats_of(raw)));
  }
  if (have_program("ffmpeg") && have_program("ffprobe")) {
    ++readers;
    const Facts f = ffmpeg_reads(dir, name);
    EXPECT_EQ(f.text, "pcm_f32le 44100 2 " + frames);
    EXPECT_EQ(bits(floats_of(f.raw)), bits(floats_of(raw)));
  }
  if (readers == 0) GTEST_SKIP() << "none of sox, python3-soundfile, ffmpeg is installed";
}

TEST(RealReaders, OpenWhatWriteWavWrites) {
  struct Case {
    const char* name;
    Stereo song;
    bool in_full_scale;
  };
  const Case cases[] = {
      {"full-scale multiples", {float_samples(3000), reversed(float_samples(3000))}, true},
      {"beyond full scale and fine", {awkward_floats(5000, 1), awkward_floats(5000, 2)}, false},
      {"one frame", {{0.5f}, {-0.5f}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_wav(dir / "out.wav", c.song.left, c.song.right);
    check_readers(dir.path(), "out.wav", c.song, c.in_full_scale, c.in_full_scale);
  }
}

TEST(RealReaders, OpenTheStemsOfARun) {
  TempDir dir;
  // A stereo song whose stems differ: the half-gain model makes vocals half the input.
  std::vector<std::int16_t> samples(2 * 3000);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<std::int16_t>(std::lround(12000.0 * std::sin(0.01 * static_cast<double>(i))));
  write_file(dir / "song.wav", pcm16_wav(2, samples));
  const RunResult r = run_tool({"song.wav", "--model", test_model("gain_half.onnx"), "--out-dir", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* name : {"out/song_(Vocals).wav", "out/song_(Instrumental).wav"}) {
    const Stereo stem = read_wav(dir / name);
    ASSERT_EQ(stem.left.size(), 3000u);
    check_readers(dir.path(), name, stem, true);
  }
}

}  // namespace
