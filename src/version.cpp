#include "version.hpp"

#include <onnxruntime_c_api.h>

#include <stdexcept>

#include "runtime.hpp"

std::string version_line() {
  // Asked of the library that was loaded, not of the headers built against:
  // the two differ, and a user reporting a fault needs the former.
  const char* runtime = nullptr;
  try {
    const OrtApiBase* base = runtime_api_base();
    runtime = base ? base->GetVersionString() : nullptr;
  } catch (const std::runtime_error&) {
    // A runtime that does not load has no version; a run says why.
  }
  return std::string("duostem ") + DUOSTEM_VERSION + " (ONNX Runtime " + (runtime ? runtime : "unknown") + ")";
}
