#include "video/video.h"

#include "base/cancel.h"
#include "base/events.h"
#include "base/options.h"
#include "base/progress.h"
#include "media/frames.h"
#include "media/source.h"
#include "segment/grid.h"
#include "segment/masks.h"
#include "segment/segmenter.h"
#include "video/object.h"
#include "media/matte_writer.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

namespace tv {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point then) {
  return std::chrono::duration<double>(Clock::now() - then).count();
}

// Even and at least 2; the length is already finite and not negative.
int evenSide(double length) {
  double half = std::round(length / 2);
  if (!(half >= 1)) return 2;
  if (half > 1 << 15) half = 1 << 15;  // far beyond any encoder's limit; keeps the int sane
  return 2 * static_cast<int>(half);
}

}  // namespace

cv::Mat forAnalysis(const cv::Mat& frame, cv::Size size) {
  if (size == frame.size() || size.width > frame.cols || size.height > frame.rows) return frame;
  cv::Mat reduced;
  cv::resize(frame, reduced, size, 0, 0, cv::INTER_AREA);
  return reduced;
}

cv::Size analysisSize(cv::Size2d source, cv::Size output) {
  const double longer = std::max(source.width, source.height);
  if (!(longer > 0) || std::max(output.width, output.height) >= kLeastAnalysisSide) return output;
  const double scale = std::min(kLeastAnalysisSide / longer, 1.0);
  cv::Size size(static_cast<int>(std::lround(scale * source.width)),
                static_cast<int>(std::lround(scale * source.height)));
  // Never smaller than the output in either direction, whatever the rounding.
  return {std::max({size.width, output.width, 1}), std::max({size.height, output.height, 1})};
}

cv::Size segmentationSize(cv::Size analysis) {
  const int longer = std::max(analysis.width, analysis.height);
  if (longer <= kSegmentationSide) return analysis;
  const double scale = double(kSegmentationSide) / longer;
  return {std::max(1, static_cast<int>(std::lround(scale * analysis.width))),
          std::max(1, static_cast<int>(std::lround(scale * analysis.height)))};
}

cv::Size outputSize(cv::Size2d source, double maxSide) {
  double scale = std::min(maxSide / std::max(source.width, source.height), 1.0);
  // "nan" is a number to the option parser; it cannot scale anything, so the size stays.
  if (std::isnan(scale)) scale = 1;
  if (scale < 0) scale = 0;
  return {evenSide(scale * source.width), evenSide(scale * source.height)};
}

VideoPlan planVideo(const CommandLine& args, cv::Size2d size, double duration, double fps,
                     double begins) {
  VideoPlan plan;
  plan.start = args.number("start", 0);
  if (!(plan.start >= 0)) plan.start = 0;
  plan.end = args.number("end", duration + 1);
  if (!(plan.end < duration + 1)) plan.end = duration + 1;
  plan.maxSide = args.number("max", 1920);
  cv::Size out = outputSize(size, plan.maxSide);
  plan.width = out.width;
  plan.height = out.height;
  plan.analysis = analysisSize(size, out);
  plan.total = expectedFrames(duration, fps, std::max(plan.start, begins), plan.end);
  plan.pickTime = args.number("at", plan.start);
  return plan;
}

int patienceFor(double fps) {
  double frames = std::round(fps);
  if (!(frames >= 8)) return 8;
  return frames > 1000 ? 1000 : static_cast<int>(frames);
}

void runVideo(const CommandLine& args) {
  const auto output = args.option("output");
  if (!output) fail("--output is required");
  const Source source = openSource(args.inputURL);
  const VideoPlan plan = planVideo(args, source.size, source.duration, source.fps, source.begins);

  Segmenter segmenter;
  segmenter.setPatience(patienceFor(source.fps));

  const std::string& chosen = args.mode;
  const bool person = chosen == "person";
  const bool object = chosen == "object";
  ObjectTrail trail;
  if (object) {
    if (!args.point) fail("--point is required for object mode");
    trail = pickObject(source, plan, *args.point, segmenter,
                       args.number("reacquire", 0) == 1);
  }

  // Frames are decoded straight at the size the person and instance analyses work at: the
  // converter scales as it converts, and nothing shrinks a full-size frame afterwards. Only an
  // object of any kind is carried at the full analysis size its trail was made at.
  const cv::Size analysis =
      object && trail.anyKind ? plan.analysis : segmentationSize(plan.analysis);
  MatteWriter writer(*output, plan.width, plan.height, source.fps);
  // A trail that kept the search pass's instances goes on with that pass's analysis after the
  // pick frame, as a fresh pass over the same frames would have found them.
  if (!(object && trail.keptSearch())) segmenter.beginFrames();
  const Clock::time_point began = Clock::now();
  ProgressThrottle throttle;

  // Sized for the file, and encoded, on the writer's thread while the next frame is analysed.
  auto write = [&](const cv::Mat& matte, const MediaTime& time) {
    writer.append(matte, time);
    const int written = writer.framesWritten();
    if (auto share = throttle.admit(static_cast<double>(written) / plan.total)) {
      emit(Event{{"progress", object ? *share * 0.6 + 0.4 : *share},
                 {"frames", written},
                 {"fps", written / std::max(secondsSince(began), 0.001)}});
    }
  };

  if (object && trail.searchedAll) {
    // The search pass saw every frame of the range and kept what the mattes are made of.
    for (size_t k = 0; k < trail.searchedTimes.size(); ++k) {
      checkCancelled();
      write(searchedMatte(trail, static_cast<int>(k)), trail.searchedTimes[k]);
    }
  } else {
    eachFrame(source, plan.start, plan.end, [&](const cv::Mat& decoded, const MediaTime& time) {
      const int k = writer.framesWritten();
      const cv::Mat frame = forAnalysis(decoded, analysis);
      cv::Mat matte;
      if (person) {
        matte = segmenter.sharpPerson(frame);
      } else if (object) {
        matte = objectMatte(trail, k, frame, segmenter);
      } else {
        matte = segmenter.subject(frame);
      }
      write(matte, time);
      return true;
    }, analysis);
  }

  if (writer.framesWritten() == 0) fail("no frames in that range");
  writer.finish();

  const double start = writer.firstTime()->seconds();
  emit(Event{{"done", true},
             {"frames", writer.framesWritten()},
             {"width", plan.width},
             {"height", plan.height},
             {"start", start},
             {"end", start + writer.latestRelative() + 1 / source.fps},
             {"seconds", secondsSince(began)},
             {"sharp", segmenter.sharpFrames()}});
}

}  // namespace tv
