// Running the separation network through ONNX Runtime's C function table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "constants.hpp"
#include "spectral.hpp"

struct OrtApi;
struct OrtEnv;
struct OrtSession;
struct OrtSessionOptions;
struct OrtMemoryInfo;

// Which stem a network estimates; the other is the song minus it.
enum class Stem { vocals, instrumental };

// What the user sets for every network; unset, each network's own metadata
// ("fft_size", "stem") decides, else the defaults.
struct NetworkOptions {
  std::optional<std::int32_t> fft_size;
  std::optional<Stem> stem;
  std::int32_t threads = 0;  // the runtime's intra-operation threads; 0 lets it choose
  std::int32_t overlap = 500;  // thousandths of a chunk that the next chunk covers again
};

// The runtime handles of one network; the destructor releases whichever are
// set, in the reverse order of their making. `sizes` and `stem` describe the
// loaded network.
struct Session {
  const OrtApi* api = nullptr;
  OrtEnv* env = nullptr;
  OrtSession* session = nullptr;
  OrtSessionOptions* options = nullptr;
  OrtMemoryInfo* memory_info = nullptr;
  TransformSizes sizes;
  Stem stem = Stem::vocals;

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();
};

// Fills an empty Session, loads the model and works out its sizes and stem.
// Throws std::runtime_error: the runtime's message when the model does not
// load, one naming the model file when its tensors or metadata do not fit.
void open_session(Session& session, const std::string& model_path, const NetworkOptions& options = {});

// An FFT size the tool can run: even, from MIN_FFT_SIZE to MAX_FFT_SIZE.
bool valid_fft_size(std::int64_t n);

// Runs the model over input and writes its output into output, which must be another buffer.
void infer_chunk(Session& session, const Spectrogram& input, Spectrogram& output);
