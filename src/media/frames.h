// The frame reader: decodes a time range of a source and hands each frame upright to a visitor.
#pragma once

#include "media/source.h"

#include <opencv2/core/mat.hpp>

#include <functional>

namespace tv {

// Gets an upright frame (valid only during the call) and its presentation time; returns true to
// go on.
using FrameVisitor = std::function<bool(const cv::Mat& frame, const MediaTime& time)>;

// Visits, in presentation order, the frames whose time t satisfies
// from - 0.0001 <= t < to - 0.0001. Returns when the range is done, the visitor says stop, or
// the decoder stops delivering (damage in the middle of a file ends the pass quietly). Fails
// with "cannot open the video" or "cannot decode the video: <reason>", and with "cancelled"
// between frames once the run is cancelled. Frames come at the source's upright size, or at
// `deliver` (upright, never larger than the source) when given: scaled as they are converted,
// which costs far less than converting at full size and shrinking after. The frames are
// decoded a few ahead on a thread of their own.
//
// Frames are 32-bit BGRA, or with FramePixels::grey 8-bit grey (as greyOf would make of the BGRA
// frame), converted on the decoding thread: an analysis that wants grey does not spend its own
// thread on the conversion, and it gets a frame of its own that it may keep.
enum class FramePixels { bgra, grey };
void eachFrame(const Source& source, double from, double to, const FrameVisitor& visitor,
               cv::Size deliver = {}, FramePixels pixels = FramePixels::bgra);


}  // namespace tv
