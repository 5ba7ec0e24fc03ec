#include "base/events.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <set>

namespace tv {
namespace {

bool finiteThroughout(const Event& value) {
  if (value.is_number_float()) return std::isfinite(value.get<double>());
  if (value.is_structured()) {
    for (const auto& item : value) {
      if (!finiteThroughout(item)) return false;
    }
  }
  return true;
}

void writeAll(const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(1, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // the reader went away; nothing more can be said
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

std::set<std::string>& pendingFiles() {
  static std::set<std::string> files;
  return files;
}

}  // namespace

void emit(const Event& event) {
  if (!finiteThroughout(event)) return;
  // Texts that are not valid UTF-8 (file names can be any bytes) are mended, not dropped,
  // so that an error about such a path still reaches the reader.
  std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  writeAll(line.data(), line.size());
  writeAll("\n", 1);
}

void fail(const std::string& message) { throw Failure{message}; }

int finishWithError(const std::string& message) {
  for (const auto& path : pendingFiles()) std::remove(path.c_str());
  pendingFiles().clear();
  emit(Event{{"error", message}});
  return 1;
}

void discardOnFailure(const std::string& path) { pendingFiles().insert(path); }
void forgetOnSuccess(const std::string& path) { pendingFiles().erase(path); }

}  // namespace tv
