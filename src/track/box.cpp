#include "track/box.h"

#include "base/events.h"
#include "media/frames.h"
#include "media/shrink.h"
#include "track/backwards.h"
#include "track/follower.h"

#include <algorithm>
#include <cmath>

namespace tv {

std::optional<Box> userBox(const std::string& text) {
  const std::vector<double> numbers = parseNumbers(text);
  if (numbers.size() != 4) return std::nullopt;
  // A box too small to hold any texture gives the tracker nothing to hold on to.
  auto atLeast = [](double size) { return size >= 0.01 ? size : 0.01; };
  return Box{numbers[0], numbers[1], atLeast(numbers[2]), atLeast(numbers[3])};
}

TrackResult trackBox(const TrackJob& job) {
  const auto box = userBox(job.args.option("box").value_or(""));
  if (!box) fail("--box cx,cy,w,h is required for box mode");
  const TrackRange& range = job.range;
  const bool reacquire = job.args.number("reacquire", 0) == 1;
  const double expected = static_cast<double>(range.expected);

  std::vector<double> forwardTimes;
  std::vector<std::optional<Box>> forwardBoxes;
  std::optional<ObjectFollower> forward;
  cv::Mat anchorFrame;
  eachFrame(
      job.source, forwardPassStart(job.source, range.start, range.at, range.end), range.end,
      [&](const cv::Mat& small, const MediaTime& time) {
        if (!forward) {
          forward.emplace(*box, reacquire);
          anchorFrame = small;
          forward->next(small);  // where the tracker takes hold; its answer is the box
          forwardBoxes.push_back(*box);
        } else {
          forwardBoxes.push_back(forward->next(small));
        }
        forwardTimes.push_back(time.seconds());
        job.report(static_cast<double>(forwardTimes.size()) / expected);
        return true;
      },
      smallSize(job.source, 512));
  if (forwardTimes.empty()) fail("no frames in that range");

  std::vector<double> backwardTimes;
  std::vector<std::optional<Box>> backwardBoxes;
  if (forwardTimes.front() > range.start + 0.0001) {
    ObjectFollower backward(*box, reacquire);
    backward.next(anchorFrame);
    anchorFrame.release();
    eachChunkBackwards(
        job.source, range.start, forwardTimes.front(), 512,
        [&](const cv::Mat& small, double time) {
          backwardBoxes.push_back(backward.next(small));
          backwardTimes.push_back(time);
        },
        [&] {
          job.report(static_cast<double>(forwardTimes.size() + backwardTimes.size()) / expected);
        });
  }

  std::vector<double> times(backwardTimes.rbegin(), backwardTimes.rend());
  times.insert(times.end(), forwardTimes.begin(), forwardTimes.end());
  std::vector<std::optional<Box>> found(backwardBoxes.rbegin(), backwardBoxes.rend());
  found.insert(found.end(), forwardBoxes.begin(), forwardBoxes.end());

  const std::vector<Box> boxes = smoothedBoxes(bridged(found), 0.8, 5);

  return boxSamples(times, boxes, found, job.source.fps);
}

}  // namespace tv
