#include "vision/models.h"

#include "base/events.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace tv {
namespace {

std::vector<std::string> modelFolders() {
  std::vector<std::string> folders;
  if (const char* fromEnvironment = std::getenv("TARNEL_MODELS");
      fromEnvironment && *fromEnvironment)
    folders.emplace_back(fromEnvironment);
  char self[4096];
  ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    self[length] = 0;
    auto prefix = std::filesystem::path(self).parent_path().parent_path();
    folders.push_back((prefix / "share" / "tarnel-vision" / "models").string());
  }
  folders.emplace_back(TARNEL_MODEL_DIR);
  return folders;
}

}  // namespace

std::string findModel(const std::string& relative) {
  std::error_code error;
  if (!relative.empty() && relative[0] == '/')
    return std::filesystem::is_regular_file(relative, error) ? relative : std::string();
  for (const auto& folder : modelFolders()) {
    auto candidate = std::filesystem::path(folder) / relative;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate.string();
  }
  return {};
}

std::string requireModel(const std::string& relative, const std::string& name) {
  std::string path = findModel(relative);
  if (path.empty()) {
    std::string places;
    if (!relative.empty() && relative[0] == '/') {
      places = relative;
    } else {
      for (const auto& folder : modelFolders()) places += (places.empty() ? "" : ", ") + folder;
    }
    failModel(name, relative + " not found in " + places);
  }
  return path;
}

cv::dnn::Net loadNetwork(const std::string& relative, const std::string& name) {
  std::string path = requireModel(relative, name);
  try {
    cv::dnn::Net net = cv::dnn::readNetFromONNX(path);
    if (net.empty()) failModel(name, path + " holds no network");
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    return net;
  } catch (const cv::Exception& error) {
    failModel(name, path + ": " + (error.err.empty() ? "unknown" : error.err));
  } catch (const std::exception& error) {
    failModel(name, path + ": " + (*error.what() ? error.what() : "unknown"));
  }
}

CpuNet loadCpuNetwork(const std::string& relative, const std::string& name,
                      const std::vector<int>& inputShape, int output) {
  std::string path = requireModel(relative, name);
  try {
    return CpuNet(path, inputShape, output);
  } catch (const std::exception& error) {
    failModel(name, path + ": " + (*error.what() ? error.what() : "unknown"));
  }
}

void failModel(const std::string& name, const std::string& reason) {
  fail("cannot load the model " + name + ": " + reason);
}

}  // namespace tv
