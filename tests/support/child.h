// Runs code that may fail in a forked child, ending it as the tool ends a failed run (error line,
// status 1), and collects what it wrote.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tvtest {

struct ChildOutcome {
  int status = -1;                 // exit status; -1 when the child died from a signal
  std::vector<std::string> lines;  // its standard output
};

// Runs `body` in a child process with standard output captured; a body that returns normally
// exits with status 0.
ChildOutcome inChild(const std::function<void()>& body);

}  // namespace tvtest
