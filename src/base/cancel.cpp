#include "base/cancel.h"

#include "base/events.h"

#include <csignal>

namespace tv {
namespace {

volatile std::sig_atomic_t cancelled = 0;

void markCancelled(int) { cancelled = 1; }

}  // namespace

void catchCancelSignals() {
  struct sigaction action {};
  action.sa_handler = markCancelled;
  sigemptyset(&action.sa_mask);
  // Interrupted reads and writes carry on; the frame loops look at the mark.
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

void checkCancelled() {
  if (cancelled) fail("cancelled");
}

}  // namespace tv
