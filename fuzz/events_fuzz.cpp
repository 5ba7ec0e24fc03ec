// Event and track-file serialisation on arbitrary JSON values: every line written must parse
// back to the same value, and nothing but whole lines may be written.
#include "base/events.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

int capture = -1;

std::string captured() {
  std::string text;
  lseek(capture, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = read(capture, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  ftruncate(capture, 0);
  lseek(capture, 0, SEEK_SET);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string path = "/tmp/tarnel-events-fuzz-" + std::to_string(::getpid());
  capture = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  unlink(path.c_str());
  dup2(capture, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (value.is_discarded()) value = nlohmann::json{{"error", text}};  // any bytes as a message
  tv::emit(value);
  std::string line = captured();
  if (line.empty()) return 0;  // dropped whole (a non-finite number)
  if (line.back() != '\n' || line.find('\n') != line.size() - 1) __builtin_trap();
  auto back = nlohmann::json::parse(line.substr(0, line.size() - 1), nullptr, false);
  if (back.is_discarded()) __builtin_trap();
  return 0;
}
