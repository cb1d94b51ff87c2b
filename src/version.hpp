// What `duostem --version` prints.
#pragma once

#include <string>

// "duostem VERSION (ONNX Runtime X.Y.Z)", the runtime's version as the loaded library reports it.
std::string version_line();
