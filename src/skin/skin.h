// The skin command: the skin-tone key of the faces in a picture or in a range of a video.
#pragma once

#include "base/options.h"

namespace tv {

// Reads --input, --start and --end; emits the done event with the key, or fails with "no-face".
void runSkin(const CommandLine& args);

}  // namespace tv
