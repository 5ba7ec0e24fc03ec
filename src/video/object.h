// "object" mode of the video command: the instance under the point on the pick frame, traced
// back to the start of the range and followed forward from it, all on 128 x 128 instance grids.
#pragma once

#include "media/source.h"
#include "segment/grid.h"
#include "segment/segmenter.h"
#include "video/carry.h"
#include "video/video.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace tv {

// A grid kept as runs of equal cells. Instance grids are mostly background, so a frame's grid
// takes some hundred bytes instead of 16 KiB and a search pass over a long range stays small.
class PackedGrid {
 public:
  PackedGrid() = default;
  explicit PackedGrid(const Grid& grid);
  Grid unpacked() const;
  size_t bytes() const { return runs_.size(); }

 private:
  std::vector<uint8_t> runs_;  // (value, length low byte, length high byte) per run
};

// What the writing pass needs to know about the picked object.
struct ObjectTrail {
  int pickIndex = -1;  // index of the pick frame among the range's frames
  // Cell mask per frame up to the pick frame, where the object was found.
  std::vector<std::optional<PackedGrid>> masks;
  std::optional<Grid> current;  // from the pick frame on: the latest mask found

  // The search pass's instances up to the pick frame, kept so that the writing pass does not
  // analyse those frames again: per frame its grid and each instance's soft mask, deflated
  // (label, mask). Empty when the search pass did not keep them (a range too long for
  // kKeptBytes); the writing pass then analyses every frame afresh.
  std::vector<PackedGrid> searchedGrids;
  std::vector<std::vector<std::pair<uint8_t, std::vector<uint8_t>>>> searchedMasks;
  std::vector<uint8_t> pickLabels;  // with reacquire: the pick frame's instance mask, deflated
  bool keptSearch() const { return !searchedMasks.empty(); }
  // When the search pass ran to the range's end, it kept every frame's time and the size it
  // analysed them at too: the writing pass then needs no frame decoded again.
  bool searchedAll = false;
  std::vector<MediaTime> searchedTimes;
  cv::Size searchedSize;

  // An object none of the detector's instances holds is cut and carried instead.
  bool anyKind = false;
  cv::Mat pickMatte;  // its matte on the pick frame, at the analysed size
  // Its mattes on the frames before the pick frame, deflated (empty where it was lost).
  std::vector<std::vector<uint8_t>> before;
  std::unique_ptr<CarriedObject> carried;  // from the pick frame on
  bool reacquire = false;

  // Re-acquiring an instance lost on the grid: its colours on the pick frame, and where it was
  // last seen whole (pixels, top-left origin), on which frame (grey), and its box's area then.
  cv::Mat firstColours;
  cv::Rect2d lastBox;
  cv::Mat lastSeen;
  double wholeArea = 0;

  std::optional<Grid> maskAt(int k) const;
};

// The search pass's instances kept for the writing pass take at most this many bytes (about
// 44 KiB a frame of the 1080p talking head: some 19 s at 30 frames/s); past it they are
// dropped and the writing pass analyses its frames afresh. The search pass's peak plus this
// stays under the peak of a writing pass that analyses and encodes at once.
constexpr size_t kKeptBytes = size_t(24) << 20;

// The search pass over [start, end) up to the pick time (emitting the search progress), the
// pick and the backward pass. Fails with "no frames in that range" or "nothing-there". When
// the trail keeps the search pass's instances, the segmenter's frame analysis has stopped on
// the pick frame, and the writing pass goes on with it after that frame (no beginFrames()).
ObjectTrail pickObject(const Source& source, const VideoPlan& plan, Point point,
                       Segmenter& segmenter, bool reacquire = false);

// The picked object's matte on frame k of the range (`frame` as analysed), black where it is
// lost; frames come in order.
cv::Mat objectMatte(ObjectTrail& trail, int k, const cv::Mat& frame, Segmenter& segmenter);

// As objectMatte, for a trail whose search pass ran to the range's end (searchedAll): the
// matte of frame k from what that pass kept, without the frame.
cv::Mat searchedMatte(ObjectTrail& trail, int k);

// The backward pass: the picked label's cell mask on the last grid, then on each earlier grid
// the label that continues the latest mask found (an entry stays empty where there is none).
ObjectTrail traceBack(const std::vector<PackedGrid>& grids, uint8_t picked);

// The object's label on frame k of the range (its instance grid given), or 0 when it is lost
// there; updates the trail's current mask from the pick frame on.
uint8_t objectLabel(ObjectTrail& trail, int k, const Grid& grid);

}  // namespace tv
