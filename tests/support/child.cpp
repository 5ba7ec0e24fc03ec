#include "support/child.h"

#include "base/events.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

namespace tvtest {

ChildOutcome inChild(const std::function<void()>& body) {
  FILE* capture = std::tmpfile();
  ChildOutcome outcome;
  if (!capture) return outcome;
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(::fileno(capture), 1);
    int status = 0;
    try {
      body();
    } catch (const tv::Failure& failure) {
      status = tv::finishWithError(failure.message);
    }
    ::_exit(status);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::rewind(capture);
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, capture)) > 0) text.append(buffer, n);
  std::fclose(capture);
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) outcome.lines.push_back(line);
  return outcome;
}

}  // namespace tvtest
