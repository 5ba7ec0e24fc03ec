// Cancelling: the application ends a job with SIGTERM (or the user with SIGINT, a closed
// terminal with SIGHUP). The run then stops at its next frame and fails with "cancelled", so
// the usual way out removes the half-written output and writes the last line.
#pragma once

namespace tv {

// Catches SIGTERM, SIGINT and SIGHUP from now on: they only mark the run as cancelled.
void catchCancelSignals();

// Fails with "cancelled" once a cancelling signal has come. Called between frames and between
// the steps of a picture's analysis.
void checkCancelled();

}  // namespace tv
