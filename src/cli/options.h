// The process-wide options, written once at start-up and only read afterwards.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tv {

constexpr int GRID = 128;  // side of the labelling grid of the segmentation

struct Point {
  double x = 0;
  double y = 0;
};

struct Globals {
  std::map<std::string, std::string> options;  // one entry per --key value pair, key without "--"
  std::vector<std::string> argv;
  std::string command;
  std::string inputURL;  // the --input path as given; relative paths resolve against the cwd
  std::string mode = "person";
  std::optional<Point> point;  // present only when --point holds exactly two numbers
};

const Globals& globals();
const std::map<std::string, std::string>& options();
const std::string& inputURL();
const std::string& mode();
const std::optional<Point>& point();

// The value of --key, if given.
std::optional<std::string> option(const std::string& key);

// A text that is, in full, a C-locale floating-point number (as strtod reads it, no leading
// white space, nothing left over); anything else is no number.
std::optional<double> parseNumber(const std::string& text);

// --key read as a number, or the fallback when it is missing or not a number.
double numberOption(const std::string& key, double fallback);

// A comma-separated list: empty pieces and pieces that are no numbers are dropped.
std::vector<double> parseNumbers(const std::string& text);

// Start-up: walks the arguments into the globals. Returns the error message for the two
// start-up failures that come before dispatch, or nothing when the globals are ready.
std::optional<std::string> readArguments(int argc, const char* const* argv);

// Only for tests of code that reads the globals.
void setGlobalsForTesting(const Globals& globals);

}  // namespace tv
