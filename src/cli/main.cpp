#include "cli/dispatch.h"
#include "media/quiet.h"

int main(int argc, char** argv) {
  tv::silenceLibraries();
  return tv::run(argc, argv);
}
