// Where the tool finds its own files when the user names none.
#pragma once

#include <string>

// The default model: the first of models/vocals.onnx in the working
// directory, models/vocals.onnx beside the executable and
// ../share/duostem/models/vocals.onnx beside the executable that exists; when
// none does, the working-directory path, so that the runtime's own message
// names the path a user would look for first.
std::string default_model_path();

// The folder of the running executable with a separator at its end, found
// from the operating system rather than argv[0]; empty when it cannot be told.
std::string executable_folder();
