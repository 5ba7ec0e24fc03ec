// Test helpers: running the real binary and making synthetic media with the ffmpeg CLI.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace tvtest {

struct RunResult {
  int status = -1;                        // exit status, or -1 when killed
  std::vector<std::string> lines;         // standard output, split at line feeds
  std::string errors;                     // standard error (must stay empty)
  nlohmann::json last() const;            // the last line parsed as JSON (null if none)
};

// Runs tarnel-vision with the arguments, with a time limit in seconds.
RunResult runTool(const std::vector<std::string>& args, int timeLimit = 120);

// Runs a shell command; returns its exit status.
int shell(const std::string& command);

// A fresh scratch folder for one test.
std::string scratchDir(const std::string& name);

// Makes a video with the ffmpeg CLI: `filter` is a lavfi source graph, `extra` more output
// options. Returns the path.
std::string makeVideo(const std::string& dir, const std::string& name, const std::string& filter,
                      const std::string& extra = "");

// The models folder the set-up filled.
std::string modelDir();

}  // namespace tvtest
