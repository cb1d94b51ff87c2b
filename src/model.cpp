#include "model.hpp"

#include <onnxruntime_c_api.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "constants.hpp"
#include "utf8.hpp"

namespace {

constexpr std::int64_t TENSOR_SHAPE[4] = {1, 4, MODEL_BINS, MODEL_FRAMES};
constexpr std::size_t SPECTROGRAM_BYTES = static_cast<std::size_t>(SPECTROGRAM_FLOATS) * sizeof(float);
static_assert(SPECTROGRAM_BYTES == 12582912, "the model's tensor is 12582912 bytes");

// A failed status belongs to us: its text is copied into the exception before
// the status is given back, and the exception is thrown only then.
void check(const OrtApi* api, OrtStatus* status) {
  if (!status) return;
  const char* text = api->GetErrorMessage(status);
  std::runtime_error error(text ? text : "");
  api->ReleaseStatus(status);
  throw error;
}

// Owns one OrtValue for the length of a scope, so every way out of
// infer_chunk gives it back.
class ValueGuard {
 public:
  explicit ValueGuard(const OrtApi* api) : api_(api) {}
  ~ValueGuard() {
    if (value) api_->ReleaseValue(value);
  }
  ValueGuard(const ValueGuard&) = delete;
  ValueGuard& operator=(const ValueGuard&) = delete;

  OrtValue* value = nullptr;

 private:
  const OrtApi* api_;
};

class ShapeInfoGuard {
 public:
  explicit ShapeInfoGuard(const OrtApi* api) : api_(api) {}
  ~ShapeInfoGuard() {
    if (info) api_->ReleaseTensorTypeAndShapeInfo(info);
  }
  ShapeInfoGuard(const ShapeInfoGuard&) = delete;
  ShapeInfoGuard& operator=(const ShapeInfoGuard&) = delete;

  OrtTensorTypeAndShapeInfo* info = nullptr;

 private:
  const OrtApi* api_;
};

std::string element_type_name(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return "32-bit float";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8: return "uint8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8: return "int8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16: return "uint16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16: return "int16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return "int32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return "int64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING: return "string";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL: return "bool";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return "float16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return "double";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32: return "uint32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64: return "uint64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64: return "complex64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128: return "complex128";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16: return "bfloat16";
    default: return "element type " + std::to_string(static_cast<int>(type));
  }
}

std::string shape_text(const std::vector<std::int64_t>& dims) {
  std::string text = "[";
  for (std::size_t i = 0; i < dims.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(dims[i]);
  }
  return text + "]";
}

constexpr const char* WANTED = "duostem needs a tensor of 3145728 32-bit floats [1, 4, 3072, 256]";

// The copy reads SPECTROGRAM_BYTES from the output's data, so anything but
// exactly that many floats would be read past its end or misread.
void check_output(const OrtApi* api, const OrtValue* output) {
  int is_tensor = 0;
  check(api, api->IsTensor(output, &is_tensor));
  if (!is_tensor) throw std::runtime_error(std::string("the model's \"output\" is not a tensor; ") + WANTED);

  ShapeInfoGuard shape(api);
  check(api, api->GetTensorTypeAndShape(output, &shape.info));
  ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
  check(api, api->GetTensorElementType(shape.info, &type));
  std::size_t rank = 0;
  check(api, api->GetDimensionsCount(shape.info, &rank));
  std::vector<std::int64_t> dims(rank);
  check(api, api->GetDimensions(shape.info, dims.data(), rank));
  std::size_t count = 0;
  check(api, api->GetTensorShapeElementCount(shape.info, &count));

  if (type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || count != static_cast<std::size_t>(SPECTROGRAM_FLOATS)) {
    throw std::runtime_error("the model's \"output\" is a tensor of " + std::to_string(count) + " " +
                             element_type_name(type) + " values " + shape_text(dims) + "; " + WANTED);
  }
}

// Set before the runtime is first asked for anything, overriding any value the user's environment holds.
void disable_runtime_telemetry() {
#ifdef _WIN32
  _putenv_s("ORT_DISABLE_TELEMETRY", "1");
#else
  setenv("ORT_DISABLE_TELEMETRY", "1", 1);
#endif
}

}  // namespace

Session::~Session() {
  if (!api) return;
  if (memory_info) api->ReleaseMemoryInfo(memory_info);
  if (session) api->ReleaseSession(session);
  if (options) api->ReleaseSessionOptions(options);
  if (env) api->ReleaseEnv(env);
}

void open_session(Session& session, const std::string& model_path) {
  // The runtime ignores DisableTelemetryEvents for its newer telemetry (a device id and a
  // database under the home folder, a file in the temporary folder); only this variable stops it.
  disable_runtime_telemetry();
  // The headers' own table version: the runtime beside the executable is at
  // least as new, and every call used here is in that table.
  const OrtApiBase* base = OrtGetApiBase();
  session.api = base ? base->GetApi(ORT_API_VERSION) : nullptr;
  if (!session.api) throw std::runtime_error("ONNX Runtime API version mismatch");
  const OrtApi* api = session.api;

  check(api, api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "duostem", &session.env));
  check(api, api->DisableTelemetryEvents(session.env));
  check(api, api->CreateSessionOptions(&session.options));
  check(api, api->SetIntraOpNumThreads(session.options, 0));
  check(api, api->SetSessionGraphOptimizationLevel(session.options, ORT_ENABLE_ALL));
#ifdef _WIN32
  // The runtime takes file names on Windows as UTF-16.
  check(api, api->CreateSession(session.env, utf8_to_wide(model_path).c_str(), session.options, &session.session));
#else
  check(api, api->CreateSession(session.env, model_path.c_str(), session.options, &session.session));
#endif
  check(api, api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &session.memory_info));
}

void infer_chunk(Session& session, const Spectrogram& input, Spectrogram& output) {
  // Both would make the runtime read through a bad pointer; neither happens in a run.
  if (!session.api || !session.session || !session.memory_info)
    throw std::runtime_error("the model session is not open");
  if (input.size() != static_cast<std::size_t>(SPECTROGRAM_FLOATS))
    throw std::runtime_error("a spectrogram of " + std::to_string(input.size()) +
                             " floats cannot be passed to the model, which takes 3145728");
  if (&input == &output) throw std::invalid_argument("the model cannot write over its own input");
  output.resize(SPECTROGRAM_FLOATS);
  const OrtApi* api = session.api;

  // Declared input first, so the outputs are released first.
  ValueGuard in(api);
  ValueGuard out(api);
  ValueGuard returned(api);
  // The runtime only reads its inputs.
  check(api, api->CreateTensorWithDataAsOrtValue(session.memory_info, const_cast<float*>(input.data()),
                                                 SPECTROGRAM_BYTES, TENSOR_SHAPE, 4,
                                                 ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &in.value));
  check(api, api->CreateTensorWithDataAsOrtValue(session.memory_info, output.data(), SPECTROGRAM_BYTES,
                                                 TENSOR_SHAPE, 4, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT,
                                                 &out.value));
  const char* const input_names[1] = {"input"};
  const char* const output_names[1] = {"output"};
  const OrtValue* const inputs[1] = {in.value};
  // The runtime writes the output straight into the caller's buffer, sparing a
  // 12.6 MB copy per chunk.
  OrtStatus* status = api->Run(session.session, nullptr, input_names, inputs, 1, output_names, 1, &out.value);
  if (!status) return;
  api->ReleaseStatus(status);

  // An output the buffer cannot hold (another shape or type) fails in the
  // runtime's own words; run again with an output of the runtime's making, so
  // that the message says what the model returns, or the run's own failure shows.
  check(api, api->Run(session.session, nullptr, input_names, inputs, 1, output_names, 1, &returned.value));
  check_output(api, returned.value);
  void* data = nullptr;
  check(api, api->GetTensorMutableData(returned.value, &data));
  std::memcpy(output.data(), data, SPECTROGRAM_BYTES);
}

void infer_chunk(Session& session, Spectrogram& spectrogram) {
  Spectrogram output;
  infer_chunk(session, spectrogram, output);
  spectrogram.swap(output);
}
