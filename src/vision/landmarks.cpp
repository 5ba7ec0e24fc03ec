// Face landmarks: dlib's 68-point shape predictor run on the faces BlazeFace finds.
#include "vision/analyses.h"
#include "vision/background.h"
#include "vision/faces.h"
#include "vision/landmark_model.h"
#include "vision/models.h"
#include "vision/pixels.h"

#include <dlib/image_processing/shape_predictor.h>
#include <dlib/opencv/cv_image.h>
#include <dlib/serialize.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <future>
#include <optional>

namespace tv::analyses {
namespace {

// Looked up among the models first (so that an installation may bring its own copy), then
// where Debian's libdlib-data puts it.
const char* const kPredictorName = "shape_predictor_68_face_landmarks.dat";
const char* const kPredictorFile = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";

// The predictor was trained on the boxes of dlib's own face detector, which sit a little
// higher and larger on the face than BlazeFace's and follow the visible features of a turned
// face. Fitted on dlib's annotated example faces: the first box is centred across on the mean
// of BlazeFace's eye, nose and mouth points, raised by 4 % and widened by 8 %; the second one
// is placed from the first answer's points (their mean plus an offset, and a side, both in
// units of the points' spread around the mean).
constexpr double kRaise = 0.04, kWiden = 1.08;
constexpr double kOffsetX = 0.022, kOffsetY = -0.136, kSideOverSpread = 2.963;

// The raw form (see landmark_model.h) loads in a fraction of the time dlib's own file takes;
// dlib's file stays the source and the fallback when the raw form is missing or unreadable.
std::optional<landmarkmodel::Predictor> rawPredictorAt(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::optional<landmarkmodel::Predictor> model = landmarkmodel::Predictor::fromRaw(path);
  if (!model || model->parts() != 68) return std::nullopt;
  return model;
}

const landmarkmodel::Predictor& predictor() {
  static std::optional<landmarkmodel::Predictor> loaded;
  if (loaded) return *loaded;
  // An installation's own copies first (a raw form, then dlib's file), then the raw form the
  // build made of Debian's file, then that file itself.
  std::string own = findModel(kPredictorName);
  loaded = rawPredictorAt(findModel(landmarkmodel::kRawName));
  if (!loaded && own.empty())
    loaded = rawPredictorAt(
        findModel(std::string(TARNEL_GENERATED_MODEL_DIR) + "/" + landmarkmodel::kRawName));
  if (loaded) return *loaded;
  std::string path = own.empty() ? requireModel(kPredictorFile, "face landmarks") : own;
  try {
    landmarkmodel::Predictor model = landmarkmodel::Predictor::fromDlib(path);
    if (model.parts() != 68)
      failModel("face landmarks",
                path + " has " + std::to_string(model.parts()) + " points, not 68");
    loaded = std::move(model);
  } catch (const std::exception& error) {
    failModel("face landmarks", path + ": " + (*error.what() ? error.what() : "unknown"));
  }
  return *loaded;
}

using Points = std::vector<cv::Point2d>;

Points predict(const dlib::cv_image<unsigned char>& grey, const cv::Rect2d& box) {
  dlib::rectangle rect(std::lround(box.x), std::lround(box.y), std::lround(box.x + box.width) - 1,
                       std::lround(box.y + box.height) - 1);
  dlib::full_object_detection shape = predictor()(grey, rect);
  Points points;
  for (unsigned long k = 0; k < shape.num_parts(); ++k)
    points.emplace_back(double(shape.part(k).x()), double(shape.part(k).y()));
  return points;
}

// The 68 points (pixel indices, top-left origin) of one detected face.
Points landmarksOf(const dlib::cv_image<unsigned char>& grey, const blazeface::Face& face) {
  cv::Point2d features(0, 0);
  for (int k = 0; k < 4; ++k) features += face.keyPoints[k] * 0.25;
  double side = face.box.width * kWiden;
  double centreY = face.box.y + face.box.height * (0.5 - kRaise);
  Points points = predict(grey, {features.x - side / 2, centreY - side / 2, side, side});

  cv::Point2d mean(0, 0);
  for (const auto& p : points) mean += p * (1.0 / double(points.size()));
  double spread = 0;
  for (const auto& p : points) spread += (p - mean).dot(p - mean);
  spread = std::sqrt(spread / double(points.size()));
  if (!(spread > 0)) return points;
  side = kSideOverSpread * spread;
  cv::Point2d centre = mean + cv::Point2d(kOffsetX, kOffsetY) * spread;
  return predict(grey, {centre.x - side / 2, centre.y - side / 2, side, side});
}

// Points [first, last] of the 68 as a region: pixel centres, origin at the lower left.
LandmarkRegion region(const Points& points, size_t first, size_t last, int height) {
  LandmarkRegion out;
  for (size_t k = first; k <= last && k < points.size(); ++k)
    out.emplace_back(points[k].x + 0.5, height - (points[k].y + 0.5));
  return out;
}

// The 68-point scheme (iBUG 300-W) numbers the face as seen in the picture: 36-41 is the eye
// on the picture's left, which is the subject's RIGHT eye. Our leftEye and rightEye are the
// subject's own, so leftEye is 42-47 and lies to the right of rightEye on an upright frontal
// face.
FaceLandmarks regions(const Points& points, int height) {
  FaceLandmarks marks;
  marks.faceContour = region(points, 0, 16, height);
  marks.nose = region(points, 27, 35, height);
  marks.rightEye = region(points, 36, 41, height);
  marks.leftEye = region(points, 42, 47, height);
  marks.outerLips = region(points, 48, 59, height);
  marks.innerLips = region(points, 60, 67, height);
  return marks;
}

// The part of a picture of `size` that holds the surroundings of the faces: the predictor reads
// pixels within about half a face of its box, so a face's side on every side of it is enough.
cv::Rect surroundings(const std::vector<blazeface::Face>& faces, cv::Size size) {
  cv::Rect area;
  for (const blazeface::Face& face : faces) {
    const cv::Rect2d& b = face.box;
    double side = std::max(b.width, b.height);
    cv::Rect around(
        cv::Point(int(std::floor(b.x - side)), int(std::floor(b.y - side))),
        cv::Point(int(std::ceil(b.x + b.width + side)), int(std::ceil(b.y + b.height + side))));
    area |= around;
  }
  return area & cv::Rect(0, 0, size.width, size.height);
}

// How much wider, on every side, the grey part made ahead is than the last faces' surroundings
// (a share of their size): a face moves a few pixels from one frame to the next.
constexpr double kAheadSpare = 0.1;

// What placing the landmarks needs of a picture: its faces and the grey around them, which is
// no view of the picture (so that the placing may run once the caller has moved on).
struct Found {
  std::vector<blazeface::Face> faces;
  cv::Mat grey;
  cv::Rect area;  // where `grey` lies in the picture
  cv::Size size;  // the picture's
};

Found findFaces(const cv::Mat& image) {
  Found found;
  found.size = image.size();
  blazeface::Detector& detector = faceDetector();
  // Only the faces' surroundings are made grey (a whole 1080p frame's grey copy costs more than
  // the predictions). On the frames of a video the detector makes them on its thread while it
  // looks for the faces, around where the last frame's faces were, with the grey it makes there
  // for itself; when a face has gone beyond that, the part asked for is made here.
  cv::Rect guess;
  if (detector.lastAnswer().size() > 0) {
    guess = surroundings(detector.lastAnswer(), image.size());
    int spareX = int(std::ceil(kAheadSpare * guess.width));
    int spareY = int(std::ceil(kAheadSpare * guess.height));
    guess = cv::Rect(guess.x - spareX, guess.y - spareY, guess.width + 2 * spareX,
                     guess.height + 2 * spareY) &
            cv::Rect(0, 0, image.cols, image.rows);
  }
  found.faces = detector.detect(image, 0, guess);
  if (found.faces.empty()) return found;
  found.area = surroundings(found.faces, image.size());
  if (found.area.empty()) {
    found.faces.clear();
    return found;
  }
  const cv::Rect& made = detector.madeRegion();
  if (!detector.madeGrey().empty() && (found.area & made) == found.area)
    found.grey = detector.madeGrey()(found.area - made.tl());
  if (found.grey.empty()) found.grey = greyOf(image(found.area));
  if (image.channels() == 1) found.grey = found.grey.clone();  // a grey picture's is itself
  return found;
}

std::vector<FaceObservation> placeLandmarks(const Found& found) {
  std::vector<FaceObservation> faces;
  try {
    dlib::cv_image<unsigned char> view(found.grey);
    const cv::Point2d offset(found.area.x, found.area.y);
    for (const blazeface::Face& face : found.faces) {
      FaceObservation observation{normalisedFaceBox(face.box, found.size), std::nullopt};
      blazeface::Face inArea = face;
      inArea.box -= offset;
      for (cv::Point2d& point : inArea.keyPoints) point -= offset;
      Points points = landmarksOf(view, inArea);
      for (cv::Point2d& point : points) point += offset;
      if (points.size() == 68) observation.landmarks = regions(points, found.size.height);
      faces.push_back(std::move(observation));
    }
  } catch (const std::exception&) {  // dlib's errors included
    faces.clear();
  }
  return faces;
}

// Where the landmarks of a video's frames are placed while the detector looks at the next one.
Background& placing() {
  static Background thread;
  return thread;
}

}  // namespace

std::vector<FaceObservation> faceLandmarks(const cv::Mat& image) {
  if (image.empty() || image.depth() != CV_8U) return {};
  predictor();  // a missing model is an error even on a picture without faces
  try {
    return placeLandmarks(findFaces(image));
  } catch (const std::exception&) {  // cv::Exception included
    return {};
  }
}

std::future<std::vector<FaceObservation>> faceLandmarksAhead(const cv::Mat& image) {
  std::promise<std::vector<FaceObservation>> none;
  none.set_value({});
  if (image.empty() || image.depth() != CV_8U) return none.get_future();
  predictor();  // loaded here: the placing thread only reads it
  Found found;
  try {
    found = findFaces(image);
  } catch (const std::exception&) {  // cv::Exception included
    return none.get_future();
  }
  if (found.faces.empty()) return none.get_future();
  return placing().run([found = std::move(found)] { return placeLandmarks(found); });
}

}  // namespace tv::analyses
