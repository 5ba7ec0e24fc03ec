#include "image/image.h"

#include "base/events.h"
#include "base/options.h"
#include "image/flat_matte.h"
#include "image/picture_kind.h"
#include "media/picture.h"
#include "segment/grid.h"
#include "segment/masks.h"
#include "segment/segmenter.h"
#include "vision/vision.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>

namespace tv {
namespace {

// The segmentation modes work on up to 4096 pixels a side, the flat method and the
// classification on up to 2048: colour distances need no more, models gain from detail.
constexpr double kSegmentSide = 4096;
constexpr double kFlatSide = 2048;
// The person, instance and salient analyses look at a picture at most this long on its longer
// side, so the segmentation modes decode no more of it (a 12-megapixel JPEG at half size):
// their mattes are made at that size and stretched once, to the analysed picture's, when
// written.
constexpr double kWorkSide = 1024;

Event doneEvent(cv::Size size) {
  return Event{{"done", true}, {"width", size.width}, {"height", size.height}};
}

void writeMatte(const cv::Mat& matte, cv::Size size, const std::string& output) {
  writeGrey(matte.size() == size ? matte : fitted(matte, size), output);
}

// The flat method, from "flat" or reached from "auto". `loaded` is a picture already decoded
// at 2048 a side, reused when --max asks for that same size.
void flatMethod(const CommandLine& args, const std::string& output, const cv::Mat* loaded) {
  const double side = args.number("max", kFlatSide);
  const cv::Mat picture = loaded && side == kFlatSide ? *loaded : loadPicture(args.inputURL, side);
  const double tolerance = args.number("tolerance", 0.25);
  const bool inner = args.option("inner").value_or("1") != "0";
  auto flat = flatMatte(picture, tolerance, inner);
  if (!flat) fail("not-flat");
  writeMatte(flat->matte, picture.size(), output);
  Event done = doneEvent(picture.size());
  if (flat->background) {
    const auto& colour = *flat->background;
    done["background"] = {colour[0], colour[1], colour[2]};
    done["picked"] = "flat";
  } else {
    done["picked"] = "alpha";
  }
  emit(done);
}

// Loads the analyses' networks on a second thread while this one decodes the picture. A network
// that cannot be loaded there is loaded again by its analysis on this thread, which reports the
// failure in its turn (after an unreadable picture, for one).
class NetworksAhead {
 public:
  explicit NetworksAhead(bool salient) {
    try {
      worker_.emplace([salient] {
        try {
          vision().foregroundInstances(cv::Mat());  // the person and detector networks
          if (salient) vision().salientObjects(cv::Mat(), cv::Mat());
        } catch (...) {
          // left for the analysis to meet again
        }
      });
    } catch (const std::system_error&) {
      // no thread to be had: the analyses load what they need themselves
    }
  }
  ~NetworksAhead() {
    if (worker_) worker_->join();
  }
  NetworksAhead(const NetworksAhead&) = delete;
  NetworksAhead& operator=(const NetworksAhead&) = delete;

 private:
  std::optional<std::thread> worker_;
};

std::set<int> allOf(const Instances& found) {
  return std::set<int>(found.allInstances.begin(), found.allInstances.end());
}

void autoMode(const CommandLine& args, const std::string& output) {
  // The classification looks at a 384-pixel copy; when the picture for the subject attempt is at
  // least as large as the 2048-pixel one, that copy is made from it and the file is decoded once.
  const double segmentSide = args.number("max", kSegmentSide);
  const WorkingPicture picture = loadWorkingPicture(args.inputURL, segmentSide, kWorkSide);
  const bool shared = segmentSide >= kFlatSide ||
                      std::max(picture.size.width, picture.size.height) + 1.0 < segmentSide;
  const cv::Mat small = shared ? cv::Mat() : loadPicture(args.inputURL, kFlatSide);
  const PictureKind kind = pictureKind(shared ? picture.pixels : small);
  const cv::Mat* flatPicture = small.empty() ? nullptr : &small;
  if (kind.transparent || (kind.plainBorder && kind.fewColours))
    return flatMethod(args, output, flatPicture);

  Segmenter segmenter;
  // With a plain border the flat method stays the answer when the detector finds nothing: the
  // salient regions would otherwise take the flat method's place.
  const cv::Mat& pixels = picture.pixels;
  auto found = kind.plainBorder ? segmenter.instances(pixels) : segmenter.subjectInstances(pixels);
  if (found && !found->allInstances.empty()) {
    writeMatte(segmenter.mask(allOf(*found), *found, pixels.size()), picture.size, output);
    Event done = doneEvent(picture.size);
    done["picked"] = "subject";
    emit(done);
    return;
  }
  if (!kind.plainBorder) fail("nothing-there");
  flatMethod(args, output, flatPicture);
}

void segmentMode(const CommandLine& args, const std::string& output) {
  const NetworksAhead networks(args.mode != "person");
  WorkingPicture picture =
      loadWorkingPicture(args.inputURL, args.number("max", kSegmentSide), kWorkSide);
  const cv::Mat& pixels = picture.pixels;
  Segmenter segmenter;
  cv::Mat matte;
  if (args.mode == "person") {
    matte = segmenter.sharpPerson(pixels);
  } else if (args.mode == "object") {
    // Checked after loading, so an unreadable picture is reported first.
    if (!args.point) fail("--point is required for object mode");
    matte = segmenter.objectAt(pixels, *args.point, pixels.size());
    if (matte.empty()) fail("nothing-there");
  } else {
    auto found = segmenter.subjectInstances(pixels);
    if (!found || found->allInstances.empty()) fail("nothing-there");
    matte = segmenter.mask(allOf(*found), *found, pixels.size());
  }
  // The decoded picture goes before the matte is stretched and deflated: at 12 MP its 12 MB
  // would otherwise sit under the peak of the whole run.
  picture.pixels.release();
  writeMatte(matte, picture.size, output);
  emit(doneEvent(picture.size));
}

}  // namespace

void runImage(const CommandLine& args) {
  // Nothing else is read before this check, not even the input.
  const auto output = args.option("output");
  if (!output) fail("--output is required");
  // A picture of up to 2^28 pixels analysed at full size (a huge --max) needs several bytes of
  // working data per pixel; running out of memory ends the run with an error, not a crash.
  try {
    if (args.mode == "auto") {
      autoMode(args, *output);
    } else if (args.mode == "flat") {
      flatMethod(args, *output, nullptr);
    } else {
      segmentMode(args, *output);
    }
  } catch (const std::bad_alloc&) {
    fail("cannot allocate the matte");
  } catch (const cv::Exception&) {
    fail("cannot allocate the matte");
  }
}

}  // namespace tv
