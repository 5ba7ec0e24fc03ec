// The option walk and the number lists on arbitrary arguments (NUL-separated in the input).
#include "base/options.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"tarnel-vision"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  args.push_back(current);
  std::vector<const char*> argv;
  for (const auto& arg : args) argv.push_back(arg.c_str());
  tv::CommandLine walked;
  auto problem = tv::readArguments(static_cast<int>(argv.size()), argv.data(), walked);
  if (!problem) {
    // What start-up promises once it succeeds.
    if (walked.options.count("input") != 1) __builtin_trap();
    if (walked.point && tv::parseNumbers(walked.options.at("point")).size() != 2) __builtin_trap();
    for (const auto& [key, value] : walked.options) (void)tv::parseNumbers(value);
  }
  return 0;
}
