// Marks mode: the face nearest --point with 26 numbers locating its eyes, lips, nose and jaw.
#pragma once

#include "track/series.h"
#include "vision/vision.h"
#include "track/track.h"

#include <array>
#include <optional>
#include <vector>

namespace tv {

TrackResult trackMarks(const TrackJob& job);

using Landmarks = std::array<double, 26>;

// The face's landmark vector in normalised top-down frame coordinates of a W x H image: for
// each eye, both lips and the nose the centre and half size of its points; then two contour
// points (at m/4 and 3m/4) and the contour's lowest point. Missing regions give zeros.
Landmarks landmarkVector(const std::optional<FaceLandmarks>& landmarks, double width,
                         double height);

// Links the face over the frames in `order` from the anchor box: the best overlap above 0.1,
// with no miss limit. Sets chain[k] to the face's position in frame k.
void walkMarks(const std::vector<std::vector<Box>>& faces, const std::vector<size_t>& order,
               const Box& anchor, std::vector<std::optional<size_t>>& chain);

}  // namespace tv
