// The table of commands and the entry that runs one of them.
#pragma once

namespace tv {

// Reads the arguments, runs the named command and returns the exit status (0 after its done
// event). Failures end the process through fail() and never return here.
int run(int argc, const char* const* argv);

}  // namespace tv
