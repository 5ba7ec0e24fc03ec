// Event lines on standard output: the tool's only channel to the application that runs it.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace tv {

using Event = nlohmann::json;

// Writes the event as one line of compact JSON straight to descriptor 1 (the object, then the
// line feed, as two writes). An event holding a non-finite number cannot be represented and is
// dropped whole.
void emit(const Event& event);

// A failure on its way up to the command level, with the exact text of its error line. It is
// deliberately no std::exception: the analyses' catch-alls that turn a library's exception into
// "found nothing" must never swallow it.
struct Failure {
  std::string message;
};

// Throws the Failure with this message. Nothing below the commands writes the error line or
// ends the process; the top level does both (finishWithError).
[[noreturn]] void fail(const std::string& message);

// The one way out of a failed run: removes the files registered with discardOnFailure (a failed
// run leaves no half-written output behind), emits {"error": message} and answers the exit
// status, 1.
int finishWithError(const std::string& message);

// Registers a temporary file that finishWithError() removes; forget it once it has been renamed
// into place.
void discardOnFailure(const std::string& path);
void forgetOnSuccess(const std::string& path);

}  // namespace tv
