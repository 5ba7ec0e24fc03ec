#include "base/files.h"

#include "base/cancel.h"
#include "base/events.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tv {

std::string temporaryBeside(const std::string& path) {
  std::string temporary = path + ".partial-" + std::to_string(::getpid());
  discardOnFailure(temporary);
  return temporary;
}

std::optional<std::string> notAnInputFile(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  if (S_ISDIR(status.st_mode)) return std::string(std::strerror(EISDIR));
  if (!S_ISREG(status.st_mode)) return std::string("not a regular file");
  return std::nullopt;
}

std::optional<std::string> moveIntoPlace(const std::string& temporary, const std::string& path) {
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::string reason = std::strerror(errno);
    std::remove(temporary.c_str());
    forgetOnSuccess(temporary);
    return reason;
  }
  forgetOnSuccess(temporary);
  return std::nullopt;
}

std::optional<std::string> writeFileReplacing(const std::string& path, const std::string& bytes) {
  checkCancelled();  // a cancelled run writes nothing
  std::string temporary = temporaryBeside(path);
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    forgetOnSuccess(temporary);
    return std::string(std::strerror(errno));
  }
  const char* data = bytes.data();
  size_t left = bytes.size();
  int problem = 0;
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      problem = errno;
      break;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  if (::close(fd) != 0 && problem == 0) problem = errno;
  if (problem != 0) {
    std::remove(temporary.c_str());
    forgetOnSuccess(temporary);
    return std::string(std::strerror(problem));
  }
  return moveIntoPlace(temporary, path);
}

}  // namespace tv
