// Keeps the libraries the tool links from writing to standard error or killing it on SIGPIPE.
#pragma once

namespace tv {

// Sets FFmpeg's and OpenCV's logging to silent, ignores SIGPIPE and points descriptor 2 at
// /dev/null: the tool's only output is its event lines.
void silenceLibraries();

}  // namespace tv
