#include "track/track.h"

#include "cli/events.h"
#include "cli/options.h"
#include "media/files.h"
#include "track/box.h"
#include "track/camera.h"
#include "track/face.h"
#include "track/marks.h"
#include "track/quad.h"

#include <algorithm>
#include <cmath>

namespace tv {

TrackRange trackRange(double duration, double fps) {
  TrackRange range;
  range.start = numberOption("start", 0);
  if (!(range.start >= 0)) range.start = 0;
  range.end = numberOption("end", duration + 1);
  if (std::isnan(range.end) || range.end > duration + 1) range.end = duration + 1;
  range.at = numberOption("at", range.start);
  if (!(range.at >= range.start)) range.at = range.start;
  if (range.at > duration) range.at = duration;
  range.expected = expectedFrames(duration, fps, range.start, range.end);
  return range;
}

long expectedFrames(double duration, double fps, double start, double end) {
  double frames = std::round((std::min(duration, end) - start) * fps);
  // A non-finite length or rate gives no usable count; 1 keeps progress a plain fraction.
  if (!std::isfinite(frames) || frames < 1) return 1;
  if (frames > 1e15) return static_cast<long>(1e15);
  return static_cast<long>(frames);
}

std::optional<double> ProgressThrottle::admit(double fraction, Clock::time_point now) {
  if (last_ && std::chrono::duration<double>(now - *last_).count() <= 0.4) return std::nullopt;
  last_ = now;
  return std::min(fraction, 1.0);
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

void runTrack() {
  // Checked before the video is opened, so a wrong call is told what it lacks first.
  if (options().empty() || !option("output")) fail("--output is required");
  const std::string output = *option("output");

  const Source source = openSource();
  const TrackRange range = trackRange(source.duration, source.fps);

  // One throttle for the whole run: every pass of every mode shares it.
  ProgressThrottle throttle;
  auto report = [&throttle](double fraction) {
    if (auto value = throttle.admit(fraction, ProgressThrottle::Clock::now())) {
      emit(Event{{"progress", *value}});
    }
  };
  TrackJob job{source, range, report};

  const std::string& chosen = mode();
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
