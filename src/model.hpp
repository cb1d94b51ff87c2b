// Running the separation network through ONNX Runtime's C function table.
#pragma once

#include <string>

#include "spectral.hpp"

struct OrtApi;
struct OrtEnv;
struct OrtSession;
struct OrtSessionOptions;
struct OrtMemoryInfo;

// The runtime handles of one run; the destructor releases whichever are set,
// in the reverse order of their making.
struct Session {
  const OrtApi* api = nullptr;
  OrtEnv* env = nullptr;
  OrtSession* session = nullptr;
  OrtSessionOptions* options = nullptr;
  OrtMemoryInfo* memory_info = nullptr;

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();
};

// Fills an empty Session and loads the model; throws std::runtime_error with the runtime's message.
void open_session(Session& session, const std::string& model_path);

// Runs the model over input and writes its output into output, which must be another buffer.
void infer_chunk(Session& session, const Spectrogram& input, Spectrogram& output);

// Runs the model over the spectrogram and overwrites it with the model's output.
void infer_chunk(Session& session, Spectrogram& spectrogram);
