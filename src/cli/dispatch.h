// The table of commands and the entry that runs one of them.
#pragma once

namespace tv {

// Reads the arguments, runs the named command and returns the exit status: 0 after its done
// event, 1 after the error line of a failure that came up from anywhere below.
int run(int argc, const char* const* argv);

}  // namespace tv
