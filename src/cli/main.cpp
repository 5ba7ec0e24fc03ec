#include "cli/dispatch.h"
#include "base/quiet.h"

int main(int argc, char** argv) {
  tv::silenceLibraries();
  return tv::run(argc, argv);
}
