// Where the trained models are found, and the one error for a model that cannot be used.
#pragma once

#include "vision/cpu_net.h"

#include <opencv2/dnn.hpp>

#include <string>

namespace tv {

// The first existing file among: $TARNEL_MODELS/<relative>, <prefix>/share/tarnel-vision/models/
// <relative> beside the installed binary, and the build tree's models folder. An absolute path
// is taken as it is. Empty when none exists.
std::string findModel(const std::string& relative);

// As findModel, but fails with "cannot load the model <name>: not found in <places>".
std::string requireModel(const std::string& relative, const std::string& name);

// The ONNX network at the model path, set to run on OpenCV's own CPU backend. Fails with
// "cannot load the model <name>: <reason>" when it is missing or cannot be read.
cv::dnn::Net loadNetwork(const std::string& relative, const std::string& name);

// The ONNX network at the model path compiled for oneDNN's kernels (see cpu_net.h). Fails as
// loadNetwork does.
CpuNet loadCpuNetwork(const std::string& relative, const std::string& name,
                      const std::vector<int>& inputShape, int output);

// Fails with "cannot load the model <name>: <reason>".
[[noreturn]] void failModel(const std::string& name, const std::string& reason);

}  // namespace tv
