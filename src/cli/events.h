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

// Emits {"error": message} and ends the process with status 1. Files registered with
// discardOnFailure are removed first, so a failed run leaves no half-written output behind.
[[noreturn]] void fail(const std::string& message);

// Registers a temporary file that fail() removes; forget it once it has been renamed into place.
void discardOnFailure(const std::string& path);
void forgetOnSuccess(const std::string& path);

}  // namespace tv
