#include "base/options.h"

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <locale.h>

namespace tv {

std::optional<std::string> CommandLine::option(const std::string& key) const {
  auto found = options.find(key);
  if (found == options.end()) return std::nullopt;
  return found->second;
}

double CommandLine::number(const std::string& key, double fallback) const {
  auto text = option(key);
  if (!text) return fallback;
  return parseNumber(*text).value_or(fallback);
}

std::optional<double> parseNumber(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  static locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", nullptr);
  const char* begin = text.c_str();
  char* end = nullptr;
  double value = strtod_l(begin, &end, cLocale);
  // An embedded NUL would hide the rest of the text from strtod.
  if (end == begin || static_cast<size_t>(end - begin) != text.size()) return std::nullopt;
  return value;
}

std::vector<double> parseNumbers(const std::string& text) {
  std::vector<double> numbers;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t comma = text.find(',', begin);
    if (comma == std::string::npos) comma = text.size();
    if (comma > begin) {
      if (auto number = parseNumber(text.substr(begin, comma - begin))) numbers.push_back(*number);
    }
    begin = comma + 1;
  }
  return numbers;
}

std::optional<std::string> readArguments(int argc, const char* const* argv, CommandLine& into) {
  CommandLine& g = into;
  g = CommandLine{};
  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() < 2) return std::string("usage: tarnel-vision video|image|skin --input <file> ...");
  g.command = args[1];
  // Fixed pairs: a pair whose first element is not a key is skipped whole, and a last argument
  // without a partner is never read.
  for (size_t index = 2; index + 1 < args.size(); index += 2) {
    const std::string& key = args[index];
    if (key.rfind("--", 0) == 0) g.options[key.substr(2)] = args[index + 1];
  }
  auto input = g.options.find("input");
  if (input == g.options.end()) return std::string("--input is required");
  g.inputURL = input->second;
  if (auto m = g.options.find("mode"); m != g.options.end()) g.mode = m->second;
  if (auto p = g.options.find("point"); p != g.options.end()) {
    auto numbers = parseNumbers(p->second);
    if (numbers.size() == 2) g.point = Point{numbers[0], numbers[1]};
  }
  return std::nullopt;
}

}  // namespace tv
