// What the face rectangles and face landmarks share: one detector for the pictures both are
// called on, and the conversion of its boxes to the analyses' rectangles. Internal to vision/.
#pragma once

#include "vision/blazeface.h"

namespace tv::analyses {

// The detector both analyses use, so that a video's frames keep their tile answers (see
// blazeface::Detector) whichever of the two asks.
blazeface::Detector& faceDetector();

// A face box in pixels (top-left origin) as a normalised lower-left rectangle.
cv::Rect2d normalisedFaceBox(const cv::Rect2d& box, cv::Size size);

}  // namespace tv::analyses
