#include "support/run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tvtest {
namespace {

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

nlohmann::json RunResult::last() const {
  if (lines.empty()) return nullptr;
  return nlohmann::json::parse(lines.back(), nullptr, false);
}

int shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string scratchDir(const std::string& name) {
  auto dir = std::filesystem::temp_directory_path() /
             ("tarnel-test-" + std::to_string(::getpid()) + "-" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

RunResult runTool(const std::vector<std::string>& args, int timeLimit) {
  static int counter = 0;
  std::string base = std::filesystem::temp_directory_path() /
                     ("tarnel-run-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  // TARNEL_TOOL runs the same cases on another build of the tool, to compare two versions.
  const char* other = std::getenv("TARNEL_TOOL");
  const std::string tool = other && *other ? other : TARNEL_BINARY;
  std::string command = "timeout -s KILL " + std::to_string(timeLimit) + " " + quote(tool);
  for (const auto& arg : args) command += " " + quote(arg);
  command += " >" + quote(base + ".out") + " 2>" + quote(base + ".err");
  int status = std::system(command.c_str());
  RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (result.status == 137) result.status = -1;  // killed by the time limit
  std::string out = slurp(base + ".out");
  result.errors = slurp(base + ".err");
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) result.lines.push_back(line);
  std::filesystem::remove(base + ".out");
  std::filesystem::remove(base + ".err");
  return result;
}

std::string makeVideo(const std::string& dir, const std::string& name, const std::string& filter,
                      const std::string& extra) {
  std::string path = dir + "/" + name;
  std::string command = "ffmpeg -v error -y -f lavfi -i " + quote(filter) + " " + extra + " " +
                        quote(path) + " </dev/null";
  if (shell(command) != 0) return "";
  return path;
}

std::string modelDir() {
  const char* fromEnvironment = std::getenv("TARNEL_MODELS");
  return fromEnvironment ? fromEnvironment : TARNEL_TEST_MODELS;
}

}  // namespace tvtest
