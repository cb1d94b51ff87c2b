#include "model.hpp"

#include <onnxruntime_c_api.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "constants.hpp"
#include "numbers.hpp"
#include "runtime.hpp"
#include "utf8.hpp"

namespace {

static_assert(DEFAULT_SIZES.spectrogram_floats() * sizeof(float) == 12582912, "the default network's tensor is 12582912 bytes");

// A failed status belongs to us: its text is copied into the exception before
// the status is given back, and the exception is thrown only then.
void check(const OrtApi* api, OrtStatus* status) {
  if (!status) return;
  const char* text = api->GetErrorMessage(status);
  std::runtime_error error(text ? text : "");
  api->ReleaseStatus(status);
  throw error;
}

// Owns one runtime object for the length of a scope, so every way out gives it back.
template <typename T, typename Release>
class Owned {
 public:
  explicit Owned(Release release) : release_(release) {}
  ~Owned() {
    if (value) release_(value);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  T* value = nullptr;

 private:
  Release release_;
};

template <typename T, typename Release>
Owned<T, Release> owned(Release release) {
  return Owned<T, Release>(release);
}

// A string the runtime made with allocator, copied and given back; giving it
// back cannot fail in a way that could be acted on.
std::string take_string(const OrtApi* api, OrtAllocator* allocator, char* text) {
  const auto give_back = [&] {
    if (OrtStatus* status = api->AllocatorFree(allocator, text)) api->ReleaseStatus(status);
  };
  std::string copy;
  try {
    copy = text;
  } catch (...) {
    give_back();
    throw;
  }
  give_back();
  return copy;
}

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

// The network's tensor shape [1, 4, bins, frames].
std::vector<std::int64_t> tensor_shape(const TransformSizes& sizes) { return {1, 4, sizes.bins, sizes.frames}; }

std::string wanted(const TransformSizes& sizes) {
  return "duostem needs a tensor of " + std::to_string(sizes.spectrogram_floats()) + " 32-bit floats " +
         shape_text(tensor_shape(sizes));
}

// A tensor's element type and dimensions, -1 for a symbolic or unknown one.
struct TensorDescription {
  ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
  std::vector<std::int64_t> dims;
};

TensorDescription describe(const OrtApi* api, const OrtTensorTypeAndShapeInfo* info) {
  TensorDescription d;
  check(api, api->GetTensorElementType(info, &d.type));
  std::size_t rank = 0;
  check(api, api->GetDimensionsCount(info, &rank));
  d.dims.resize(rank);
  check(api, api->GetDimensions(info, d.dims.data(), rank));
  return d;
}

// The copy reads the whole spectrogram from the output's data, so anything but
// exactly that many floats would be read past its end or misread.
void check_output(const OrtApi* api, const OrtValue* output, const TransformSizes& sizes) {
  int is_tensor = 0;
  check(api, api->IsTensor(output, &is_tensor));
  if (!is_tensor) throw std::runtime_error("the model's \"output\" is not a tensor; " + wanted(sizes));

  auto shape = owned<OrtTensorTypeAndShapeInfo>(api->ReleaseTensorTypeAndShapeInfo);
  check(api, api->GetTensorTypeAndShape(output, &shape.value));
  const TensorDescription d = describe(api, shape.value);
  std::size_t count = 0;
  check(api, api->GetTensorShapeElementCount(shape.value, &count));

  if (d.type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || count != sizes.spectrogram_floats()) {
    throw std::runtime_error("the model's \"output\" is a tensor of " + std::to_string(count) + " " +
                             element_type_name(d.type) + " values " + shape_text(d.dims) + "; " + wanted(sizes));
  }
}

// One entry of the model's own metadata (ONNX metadata_props), if it has it.
std::optional<std::string> metadata_entry(const OrtApi* api, OrtSession* session, const char* key) {
  OrtAllocator* allocator = nullptr;
  check(api, api->GetAllocatorWithDefaultOptions(&allocator));
  auto metadata = owned<OrtModelMetadata>(api->ReleaseModelMetadata);
  check(api, api->SessionGetModelMetadata(session, &metadata.value));
  char* value = nullptr;
  check(api, api->ModelMetadataLookupCustomMetadataMap(metadata.value, allocator, key, &value));
  if (!value) return std::nullopt;
  return take_string(api, allocator, value);
}

// The declared type and shape of input or output `index`; false when it is not a tensor.
bool declared_tensor(const OrtApi* api, OrtSession* session, bool input, std::size_t index, TensorDescription& d) {
  auto type_info = owned<OrtTypeInfo>(api->ReleaseTypeInfo);
  check(api, input ? api->SessionGetInputTypeInfo(session, index, &type_info.value)
                   : api->SessionGetOutputTypeInfo(session, index, &type_info.value));
  const OrtTensorTypeAndShapeInfo* info = nullptr;
  check(api, api->CastTypeInfoToTensorInfo(type_info.value, &info));
  if (!info) return false;
  d = describe(api, info);
  return true;
}

// The index of the output called "output", if the graph has one.
std::optional<std::size_t> output_named_output(const OrtApi* api, OrtSession* session) {
  OrtAllocator* allocator = nullptr;
  check(api, api->GetAllocatorWithDefaultOptions(&allocator));
  std::size_t count = 0;
  check(api, api->SessionGetOutputCount(session, &count));
  for (std::size_t i = 0; i < count; ++i) {
    char* name = nullptr;
    check(api, api->SessionGetOutputName(session, i, allocator, &name));
    if (take_string(api, allocator, name) == "output") return i;
  }
  return std::nullopt;
}

std::int32_t network_fft_size(const OrtApi* api, OrtSession* session, const std::string& path,
                              const NetworkOptions& options) {
  if (options.fft_size) return *options.fft_size;
  const std::optional<std::string> entry = metadata_entry(api, session, "fft_size");
  if (!entry) return DEFAULT_SIZES.fft_size;
  const std::optional<std::int64_t> n = whole_number<std::int64_t>(*entry, 0, INT64_MAX);
  if (!n || !valid_fft_size(*n))
    throw std::runtime_error(path + ": its metadata fft_size \"" + *entry + "\" is not an even number from " +
                             std::to_string(MIN_FFT_SIZE) + " to " + std::to_string(MAX_FFT_SIZE));
  return static_cast<std::int32_t>(*n);
}

Stem network_stem(const OrtApi* api, OrtSession* session, const std::string& path, const NetworkOptions& options) {
  if (options.stem) return *options.stem;
  const std::optional<std::string> entry = metadata_entry(api, session, "stem");
  if (!entry || *entry == "vocals") return Stem::vocals;
  if (*entry == "instrumental") return Stem::instrumental;
  throw std::runtime_error(path + ": its metadata stem \"" + *entry + "\" is neither vocals nor instrumental");
}

// The network's sizes from its one input, [1, 4, bins, frames], a symbolic
// dimension taking the default network's value; refused when they cannot run.
TransformSizes network_sizes(const OrtApi* api, OrtSession* session, const std::string& path, std::int32_t fft_size) {
  TensorDescription in;
  const bool tensor = declared_tensor(api, session, true, 0, in);
  if (!tensor || in.type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || in.dims.size() != 4)
    throw std::runtime_error(path + ": its input is " +
                             (tensor ? "a tensor of " + element_type_name(in.type) + " values " + shape_text(in.dims)
                                     : std::string("not a tensor")) +
                             "; duostem needs a 4-dimensional tensor of 32-bit floats [1, 4, bins, frames]");
  const auto either = [](std::int64_t dim, std::int64_t otherwise) { return dim < 0 ? otherwise : dim; };
  if (either(in.dims[0], 1) != 1 || either(in.dims[1], 4) != 4)
    throw std::runtime_error(path + ": its input is " + shape_text(in.dims) +
                             "; duostem needs batch 1 and 4 planes [1, 4, bins, frames]");
  const std::int64_t bins = either(in.dims[2], DEFAULT_SIZES.bins);
  const std::int64_t frames = either(in.dims[3], DEFAULT_SIZES.frames);
  if (bins < 1 || bins > fft_size / 2)
    throw std::runtime_error(path + ": its " + std::to_string(bins) + " bins do not fit an FFT of " +
                             std::to_string(fft_size) + " points, which has " + std::to_string(fft_size / 2));
  if (frames > MAX_MODEL_FRAMES)
    throw std::runtime_error(path + ": its " + std::to_string(frames) + " frames are more than duostem takes (" +
                             std::to_string(MAX_MODEL_FRAMES) + ")");
  const std::int64_t chunk = HOP_SIZE * (frames - 1);
  if (chunk <= fft_size)
    throw std::runtime_error(path + ": its " + std::to_string(frames) + " frames make chunks of " +
                             std::to_string(chunk) + " samples, not longer than the FFT of " +
                             std::to_string(fft_size) + " points");
  return TransformSizes{static_cast<std::int32_t>(bins), static_cast<std::int32_t>(frames), fft_size};
}

// The output is read in the input's layout: an output declared with another
// whole shape would be misread even where its element count agrees.
void check_declared_output(const OrtApi* api, OrtSession* session, const std::string& path,
                           const TransformSizes& sizes) {
  const std::optional<std::size_t> index = output_named_output(api, session);
  TensorDescription out;
  if (!index || !declared_tensor(api, session, false, *index, out)) return;
  const std::vector<std::int64_t> in = tensor_shape(sizes);
  const bool symbolic = std::any_of(out.dims.begin(), out.dims.end(), [](std::int64_t d) { return d < 0; });
  std::int64_t count = 1;
  for (const std::int64_t d : out.dims) count *= d;
  if (!symbolic && out.type == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT &&
      count == static_cast<std::int64_t>(sizes.spectrogram_floats()) && out.dims != in)
    throw std::runtime_error(path + ": its output is " + shape_text(out.dims) + " but its input is " +
                             shape_text(in) + "; duostem reads the output in the input's layout");
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

bool valid_fft_size(std::int64_t n) { return n % 2 == 0 && n >= MIN_FFT_SIZE && n <= MAX_FFT_SIZE; }

void open_session(Session& session, const std::string& model_path, const NetworkOptions& options) {
  // The runtime ignores DisableTelemetryEvents for its newer telemetry (a device id and a
  // database under the home folder, a file in the temporary folder); only this variable stops it.
  disable_runtime_telemetry();
  // The headers' own table version: the runtime beside the executable is at
  // least as new, and every call used here is in that table.
  const OrtApiBase* base = runtime_api_base();
  session.api = base ? base->GetApi(ORT_API_VERSION) : nullptr;
  if (!session.api) throw std::runtime_error("ONNX Runtime API version mismatch");
  const OrtApi* api = session.api;

  check(api, api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "duostem", &session.env));
  check(api, api->DisableTelemetryEvents(session.env));
  check(api, api->CreateSessionOptions(&session.options));
  check(api, api->SetIntraOpNumThreads(session.options, options.threads));
  check(api, api->SetSessionGraphOptimizationLevel(session.options, ORT_ENABLE_ALL));
  // The memory pattern plans every intermediate of a run into one block kept
  // between runs; without it the peak of a real network falls by about 40%
  // (1.77 to 1.03 GB for the benchmark U-Net), the same bits, no slower.
  check(api, api->DisableMemPattern(session.options));
#ifdef _WIN32
  // The runtime takes file names on Windows as UTF-16.
  check(api, api->CreateSession(session.env, utf8_to_wide(model_path).c_str(), session.options, &session.session));
#else
  check(api, api->CreateSession(session.env, model_path.c_str(), session.options, &session.session));
#endif
  check(api, api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &session.memory_info));

  const std::int32_t fft_size = network_fft_size(api, session.session, model_path, options);
  session.stem = network_stem(api, session.session, model_path, options);
  session.sizes = network_sizes(api, session.session, model_path, fft_size);
  session.sizes.overlap = options.overlap;
  check_declared_output(api, session.session, model_path, session.sizes);
}

void infer_chunk(Session& session, const Spectrogram& input, Spectrogram& output) {
  // Both would make the runtime read through a bad pointer; neither happens in a run.
  if (!session.api || !session.session || !session.memory_info)
    throw std::runtime_error("the model session is not open");
  const std::size_t floats = session.sizes.spectrogram_floats();
  if (input.size() != floats)
    throw std::runtime_error("a spectrogram of " + std::to_string(input.size()) +
                             " floats cannot be passed to the model, which takes " + std::to_string(floats));
  if (&input == &output) throw std::invalid_argument("the model cannot write over its own input");
  output.resize(floats);
  const OrtApi* api = session.api;
  const std::size_t bytes = floats * sizeof(float);
  const std::vector<std::int64_t> shape = tensor_shape(session.sizes);

  // Declared input first, so the outputs are released first.
  auto in = owned<OrtValue>(api->ReleaseValue);
  auto out = owned<OrtValue>(api->ReleaseValue);
  auto returned = owned<OrtValue>(api->ReleaseValue);
  // The runtime only reads its inputs.
  check(api, api->CreateTensorWithDataAsOrtValue(session.memory_info, const_cast<float*>(input.data()), bytes,
                                                 shape.data(), shape.size(), ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT,
                                                 &in.value));
  check(api, api->CreateTensorWithDataAsOrtValue(session.memory_info, output.data(), bytes, shape.data(),
                                                 shape.size(), ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &out.value));
  const char* const input_names[1] = {"input"};
  const char* const output_names[1] = {"output"};
  const OrtValue* const inputs[1] = {in.value};
  // The runtime writes the output straight into the caller's buffer, sparing a
  // copy of the whole spectrogram per chunk.
  OrtStatus* status = api->Run(session.session, nullptr, input_names, inputs, 1, output_names, 1, &out.value);
  if (!status) return;
  api->ReleaseStatus(status);

  // An output the buffer cannot hold (another shape or type) fails in the
  // runtime's own words; run again with an output of the runtime's making, so
  // that the message says what the model returns, or the run's own failure shows.
  check(api, api->Run(session.session, nullptr, input_names, inputs, 1, output_names, 1, &returned.value));
  check_output(api, returned.value, session.sizes);
  void* data = nullptr;
  check(api, api->GetTensorMutableData(returned.value, &data));
  std::memcpy(output.data(), data, bytes);
}
