// The command line: the command's name and its --key value pairs, read once at start-up and
// handed down to the command, which hands its modes what they need.
#pragma once

#include "base/point.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tv {

struct CommandLine {
  std::map<std::string, std::string> options;  // one entry per --key value pair, key without "--"
  std::string command;
  std::string inputURL;  // the --input path as given; relative paths resolve against the cwd
  std::string mode = "person";
  std::optional<Point> point;  // present only when --point holds exactly two numbers

  // The value of --key, if given.
  std::optional<std::string> option(const std::string& key) const;
  // --key read as a number, or the fallback when it is missing or not a number.
  double number(const std::string& key, double fallback) const;
};

// A text that is, in full, a C-locale floating-point number (as strtod reads it, no leading
// white space, nothing left over); anything else is no number.
std::optional<double> parseNumber(const std::string& text);

// A comma-separated list: empty pieces and pieces that are no numbers are dropped.
std::vector<double> parseNumbers(const std::string& text);

// Start-up: walks the arguments into `into`. Returns the error message for the two start-up
// failures that come before dispatch, or nothing when the command line is ready.
std::optional<std::string> readArguments(int argc, const char* const* argv, CommandLine& into);

}  // namespace tv
