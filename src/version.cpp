#include "version.hpp"

#include <onnxruntime_c_api.h>

std::string version_line() {
  // Asked of the library that was loaded, not of the headers built against:
  // the two differ, and a user reporting a fault needs the former.
  const OrtApiBase* base = OrtGetApiBase();
  const char* runtime = base ? base->GetVersionString() : nullptr;
  return std::string("duostem ") + DUOSTEM_VERSION + " (ONNX Runtime " + (runtime ? runtime : "unknown") + ")";
}
