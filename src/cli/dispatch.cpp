#include "cli/dispatch.h"

#include "cli/events.h"
#include "cli/options.h"
#include "image/image.h"
#include "skin/skin.h"
#include "track/track.h"
#include "video/video.h"

#include <string_view>

namespace tv {
namespace {

struct Command {
  std::string_view name;
  void (*driver)();
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
  if (auto problem = readArguments(argc, argv)) fail(*problem);
  for (const auto& command : kCommands) {
    if (command.driver && globals().command == command.name) {
      command.driver();
      return 0;
    }
  }
  fail("unknown command " + globals().command);
}

}  // namespace tv
