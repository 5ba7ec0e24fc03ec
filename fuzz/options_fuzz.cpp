// The option walk and the number lists on arbitrary arguments (NUL-separated in the input).
#include "cli/options.h"

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
  auto problem = tv::readArguments(static_cast<int>(argv.size()), argv.data());
  if (!problem) {
    // What start-up promises once it succeeds.
    if (tv::options().count("input") != 1) __builtin_trap();
    if (auto p = tv::point(); p && tv::parseNumbers(tv::options().at("point")).size() != 2)
      __builtin_trap();
    for (const auto& [key, value] : tv::options()) (void)tv::parseNumbers(value);
  }
  return 0;
}
