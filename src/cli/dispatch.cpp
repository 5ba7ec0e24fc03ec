#include "cli/dispatch.h"

#include "cli/events.h"
#include "cli/options.h"

#include <string_view>

namespace tv {
namespace {

struct Command {
  std::string_view name;
  void (*driver)();
};

// Tested in this order, by exact, case-sensitive name: track, image, video, skin.
constexpr Command kCommands[] = {
    {"", nullptr},  // placeholder until the first command lands; never matches a real name
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
