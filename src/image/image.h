// The image command: cuts the subject out of one still picture and writes its matte as a PNG.
#pragma once

namespace tv {

// Reads --output, --max, --tolerance, --inner, the mode and the point; ends with one done event
// or fails.
void runImage();

}  // namespace tv
