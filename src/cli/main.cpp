#include "base/cancel.h"
#include "cli/dispatch.h"
#include "base/quiet.h"

int main(int argc, char** argv) {
  tv::silenceLibraries();
  tv::catchCancelSignals();
  return tv::run(argc, argv);
}
