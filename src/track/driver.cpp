#include "track/track.h"

#include "base/events.h"
#include "base/files.h"
#include "track/box.h"
#include "track/camera.h"
#include "track/face.h"
#include "track/marks.h"
#include "track/quad.h"

#include <algorithm>
#include <cmath>

namespace tv {

TrackRange trackRange(const CommandLine& args, double duration, double fps, double begins) {
  TrackRange range;
  range.start = args.number("start", 0);
  if (!(range.start >= 0)) range.start = 0;
  range.end = args.number("end", duration + 1);
  if (std::isnan(range.end) || range.end > duration + 1) range.end = duration + 1;
  range.at = args.number("at", range.start);
  if (!(range.at >= range.start)) range.at = range.start;
  if (range.at > duration) range.at = duration;
  range.expected = expectedFrames(duration, fps, std::max(range.start, begins), range.end);
  return range;
}

TrackResult boxSamples(const std::vector<double>& times, const std::vector<Box>& boxes,
                       const std::vector<std::optional<Box>>& found, double fps,
                       const std::vector<std::vector<double>>& extra) {
  TrackResult result;
  for (size_t k = 0; k < times.size(); ++k) {
    std::vector<double> sample{roundTo(times[k], 5),   roundTo(boxes[k].x, 5),
                               roundTo(boxes[k].y, 5), roundTo(boxes[k].w, 5),
                               roundTo(boxes[k].h, 5), found[k] ? 1.0 : 0.0};
    for (const auto& values : extra) sample.push_back(roundTo(values[k], 5));
    result.samples.push_back(std::move(sample));
    if (found[k]) result.seen += 1;
  }
  if (!times.empty()) {
    result.start = times.front();
    result.end = times.back() + 1 / fps;
  }
  return result;
}

std::optional<std::string> trackFileText(const TrackResult& result, double fps) {
  Event samples = Event::array();
  for (const auto& sample : result.samples) {
    Event row = Event::array();
    for (double value : sample) {
      if (!std::isfinite(value)) return std::nullopt;
      row.push_back(value);
    }
    samples.push_back(std::move(row));
  }
  if (!std::isfinite(result.start) || !std::isfinite(result.end) || !std::isfinite(fps)) {
    return std::nullopt;
  }
  Event file{
      {"start", result.start}, {"end", result.end}, {"fps", fps}, {"samples", std::move(samples)}};
  return file.dump();
}

void runTrack(const CommandLine& args) {
  // Checked before the video is opened, so a wrong call is told what it lacks first.
  if (args.options.empty() || !args.option("output")) fail("--output is required");
  const std::string output = *args.option("output");

  const Source source = openSource(args.inputURL);
  const TrackRange range = trackRange(args, source.duration, source.fps, source.begins);

  // One throttle for the whole run: every pass of every mode shares it.
  ProgressThrottle throttle;
  auto report = [&throttle](double fraction) {
    if (auto value = throttle.admit(fraction, ProgressThrottle::Clock::now())) {
      emit(Event{{"progress", *value}});
    }
  };
  TrackJob job{args, source, range, report};

  const std::string& chosen = args.mode;
  TrackResult result;
  if (chosen == "camera")
    result = trackCamera(job);
  else if (chosen == "marks")
    result = trackMarks(job);
  else if (chosen == "quad")
    result = trackQuad(job);
  else if (chosen == "face")
    result = trackFace(job);
  else
    result = trackBox(job);

  if (result.samples.empty()) fail("no frames in that range");
  auto text = trackFileText(result, source.fps);
  if (!text) fail("cannot encode the track");
  if (auto problem = writeFileReplacing(output, *text)) fail("cannot write the track: " + *problem);

  emit(Event{{"done", true},
             {"start", result.start},
             {"end", result.end},
             {"frames", static_cast<long>(result.samples.size())},
             {"seen", result.seen}});
}

}  // namespace tv
