// Reaching ONNX Runtime's one entry point.
#pragma once

struct OrtApiBase;

// The runtime's OrtGetApiBase. Linux and macOS link the library; Windows loads
// onnxruntime.dll from the executable's folder when first asked, so that a
// missing library, or a missing Visual C++ runtime under it, is a
// std::runtime_error with a message instead of the system loader's dialog.
const OrtApiBase* runtime_api_base();
