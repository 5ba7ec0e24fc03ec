// The image command: cuts the subject out of one still picture and writes its matte as a PNG.
#pragma once

#include "base/options.h"

namespace tv {

// Reads --output, --max, --tolerance, --inner, the mode and the point; ends with one done event
// or fails.
void runImage(const CommandLine& args);

}  // namespace tv
