// Box mode: a rectangle the user drew on one frame, followed forwards and backwards from there;
// with --reacquire 1 a lost target is sought again on the later frames of each pass.
#pragma once

#include "track/series.h"
#include "track/track.h"

#include <optional>

namespace tv {

TrackResult trackBox(const TrackJob& job);

// The --box option: exactly four numbers (centre x, centre y, width, height), sizes raised to
// at least 0.01; nothing otherwise.
std::optional<Box> userBox(const std::string& text);

}  // namespace tv
