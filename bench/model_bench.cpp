// What the model module itself costs, measured with the identity graph so that
// the network's own work is next to nothing: loading a session, and one
// infer_chunk (the runtime writing into the tool's buffer) against a bare Run
// whose output the runtime makes and nobody copies. Their difference is the
// tool's overhead per chunk.
#include <benchmark/benchmark.h>
#include <onnxruntime_c_api.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "model.hpp"
#include "pipeline_support.hpp"
#include "spectral.hpp"

namespace {

const std::string IDENTITY = std::string(DUOSTEM_TEST_MODELS) + "/identity.onnx";

void must(const OrtApi* api, OrtStatus* status) {
  if (!status) return;
  std::runtime_error error(api->GetErrorMessage(status));
  api->ReleaseStatus(status);
  throw error;
}

void BM_OpenSession(benchmark::State& state) {
  for (auto _ : state) {
    Session session;
    open_session(session, IDENTITY);
    benchmark::DoNotOptimize(session.session);
  }
}
BENCHMARK(BM_OpenSession)->Unit(benchmark::kMillisecond);

void BM_InferChunk(benchmark::State& state) {
  Session session;
  open_session(session, IDENTITY);
  const Spectrogram spectrogram(SPECTROGRAM_FLOATS, 0.25f);
  Spectrogram estimate(SPECTROGRAM_FLOATS);
  for (auto _ : state) {
    infer_chunk(session, spectrogram, estimate);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(SPECTROGRAM_FLOATS * sizeof(float)));
}
BENCHMARK(BM_InferChunk)->Unit(benchmark::kMillisecond);

// The runtime's share: tensor over the buffer, Run, release; nothing copied back.
void BM_BareRun(benchmark::State& state) {
  Session session;
  open_session(session, IDENTITY);
  const OrtApi* api = session.api;
  Spectrogram spectrogram(SPECTROGRAM_FLOATS, 0.25f);
  const std::int64_t shape[4] = {1, 4, MODEL_BINS, MODEL_FRAMES};
  const char* const input_names[1] = {"input"};
  const char* const output_names[1] = {"output"};
  for (auto _ : state) {
    OrtValue* input = nullptr;
    OrtValue* output = nullptr;
    must(api, api->CreateTensorWithDataAsOrtValue(session.memory_info, spectrogram.data(),
                                                  spectrogram.size() * sizeof(float), shape, 4,
                                                  ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &input));
    must(api, api->Run(session.session, nullptr, input_names, &input, 1, output_names, 1, &output));
    void* data = nullptr;
    must(api, api->GetTensorMutableData(output, &data));
    benchmark::DoNotOptimize(data);
    api->ReleaseValue(output);
    api->ReleaseValue(input);
  }
}
BENCHMARK(BM_BareRun)->Unit(benchmark::kMillisecond);

// The copy alone, between two buffers that stay resident.
void BM_SpectrogramCopy(benchmark::State& state) {
  Spectrogram from(SPECTROGRAM_FLOATS, 0.25f);
  Spectrogram to(SPECTROGRAM_FLOATS, 0.0f);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), to.size() * sizeof(float));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(SPECTROGRAM_FLOATS * sizeof(float)));
}
BENCHMARK(BM_SpectrogramCopy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
