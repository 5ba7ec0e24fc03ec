#include "base/quiet.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include <opencv2/core/utils/logger.hpp>

extern "C" {
#include <libavutil/log.h>
}

namespace tv {

void silenceLibraries() {
  std::signal(SIGPIPE, SIG_IGN);
  av_log_set_level(AV_LOG_QUIET);
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // libjpeg, libpng and dlib have their own ways of complaining; none of it may reach stderr.
  int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull >= 0) {
    ::dup2(devNull, 2);
    if (devNull != 2) ::close(devNull);
  }
}

}  // namespace tv
