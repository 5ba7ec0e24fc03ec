// Person segmentation and foreground instances: not built yet. Both analyses refuse to run
// rather than answer "nothing", so that no caller mistakes a missing model for an empty picture.
#include "media/analyses.h"
#include "media/models.h"

namespace tv::analyses {

std::unique_ptr<PersonSegmentation> personSegmentation() {
  failModel("person segmentation", "not available in this build");
}

std::optional<Instances> foregroundInstances(const cv::Mat&) {
  failModel("foreground instances", "not available in this build");
}

}  // namespace tv::analyses
