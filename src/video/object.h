// "object" mode of the video command: the instance under the point on the pick frame, traced
// back to the start of the range and followed forward from it, all on 128 x 128 instance grids.
#pragma once

#include "cli/options.h"
#include "media/source.h"
#include "segment/grid.h"
#include "segment/segmenter.h"
#include "video/video.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tv {

// What the writing pass needs to know about the picked object.
struct ObjectTrail {
  int pickIndex = -1;                      // index of the pick frame among the range's frames
  std::vector<std::optional<Grid>> masks;  // cell mask per frame up to the pick frame, if found
  std::optional<Grid> current;             // from the pick frame on: the latest mask found
};

// The search pass over [start, end) up to the pick time (emitting the search progress), the
// pick and the backward pass. Fails with "no frames in that range" or "nothing-there".
ObjectTrail pickObject(const Source& source, const VideoPlan& plan, Point point,
                       Segmenter& segmenter);

// The backward pass: the picked label's cell mask on the last grid, then on each earlier grid
// the label that continues the latest mask found (an entry stays empty where there is none).
ObjectTrail traceBack(const std::vector<Grid>& grids, uint8_t picked);

// The object's label on frame k of the range (its instance grid given), or 0 when it is lost
// there; updates the trail's current mask from the pick frame on.
uint8_t objectLabel(ObjectTrail& trail, int k, const Grid& grid);

}  // namespace tv
