#include "cli/dispatch.h"

#include "base/events.h"
#include "base/options.h"
#include "image/image.h"
#include "skin/skin.h"
#include "track/track.h"
#include "video/video.h"

#include <string_view>

namespace tv {
namespace {

struct Command {
  std::string_view name;
  void (*driver)(const CommandLine& args);
};

// Tested in this order, by exact, case-sensitive name: track, image, video, skin.
constexpr Command kCommands[] = {
    {"track", runTrack},
    {"image", runImage},
    {"video", runVideo},
    {"skin", runSkin},
};

}  // namespace

int run(int argc, const char* const* argv) {
  try {
    CommandLine args;
    if (auto problem = readArguments(argc, argv, args)) fail(*problem);
    for (const auto& command : kCommands) {
      if (command.driver && args.command == command.name) {
        command.driver(args);
        return 0;
      }
    }
    fail("unknown command " + args.command);
  } catch (const Failure& failure) {
    return finishWithError(failure.message);
  }
}

}  // namespace tv
