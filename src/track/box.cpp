#include "track/box.h"

#include "base/events.h"
#include "media/frames.h"
#include "media/shrink.h"
#include "track/backwards.h"
#include "track/follower.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <thread>
#include <utility>

namespace tv {
namespace {

// How far before the anchor the one forward pass starts, holding those frames (grey, a quarter
// of a colour frame) for the backward follower: three quarters of the bytes of two seconds of
// colour frames, the chunk the backward reader used to hold, since they are held while the
// forward pass decodes (measured peak no higher than the two passes one after the other).
constexpr double kHeldSeconds = 6;

// The backward follower walking the held frames, latest first, on a thread of its own while
// the forward pass goes on; each frame is let go once followed. Joined however the caller's
// side ends; a stop request ends the walk at its next frame.
class HeldWalk {
 public:
  HeldWalk(ObjectFollower& follower, std::vector<std::pair<double, cv::Mat>>& held,
           std::vector<double>& times, std::vector<std::optional<Box>>& boxes)
      : thread_([&] {
          try {
            for (auto it = held.rbegin(); it != held.rend() && !stop_; ++it) {
              boxes.push_back(follower.next(it->second));
              times.push_back(it->first);
              it->second.release();
              done_ = static_cast<long>(times.size());
            }
          } catch (...) {  // memory, OpenCV's own exceptions: rethrown on the caller's side
            failure_ = std::current_exception();
          }
        }) {}
  HeldWalk(const HeldWalk&) = delete;
  HeldWalk& operator=(const HeldWalk&) = delete;
  ~HeldWalk() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  long done() const { return done_; }

  // Waits for the walk to end; its failure, if any, is thrown here.
  void finish() {
    thread_.join();
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long> done_{0};
  std::exception_ptr failure_;
  std::thread thread_;  // last: it starts once the rest is in place
};

}  // namespace

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

  // One pass decodes the last seconds before the anchor and everything after it: the frames
  // before are held and followed backwards beside the forward follower, so each is decoded
  // once and the two followers share the cores. Whatever lies further back is read in chunks
  // afterwards.
  const double from = forwardPassStart(job.source, range.start, range.at, range.end);
  const double heldFrom = std::max(range.start, from - kHeldSeconds);
  std::vector<std::pair<double, cv::Mat>> held;

  std::vector<double> forwardTimes;
  std::vector<std::optional<Box>> forwardBoxes;
  std::vector<double> backwardTimes;
  std::vector<std::optional<Box>> backwardBoxes;
  std::optional<ObjectFollower> forward;
  std::optional<ObjectFollower> backward;
  std::optional<HeldWalk> walk;
  eachFrame(
      job.source, heldFrom, range.end,
      [&](const cv::Mat& small, const MediaTime& time) {
        const double t = time.seconds();
        if (t < from - 0.0001) {
          held.emplace_back(t, small.clone());
          return true;
        }
        if (!forward) {
          forward.emplace(*box, reacquire);
          forward->next(small);  // where the tracker takes hold; its answer is the box
          forwardBoxes.push_back(*box);
          if (t > range.start + 0.0001) {
            backward.emplace(*box, reacquire);
            backward->next(small);
            walk.emplace(*backward, held, backwardTimes, backwardBoxes);
          } else {
            held.clear();
          }
        } else {
          forwardBoxes.push_back(forward->next(small));
        }
        forwardTimes.push_back(t);
        job.report(static_cast<double>(forwardTimes.size() + (walk ? walk->done() : 0)) / expected);
        return true;
      },
      // The tracker reads only the grey of a frame: it is made on the decoding thread.
      smallSize(job.source, 512), FramePixels::grey);
  if (walk) walk->finish();
  walk.reset();
  held.clear();
  if (forwardTimes.empty()) fail("no frames in that range");
  if (backward)
    job.report(static_cast<double>(forwardTimes.size() + backwardTimes.size()) / expected);

  if (backward && heldFrom > range.start + 0.0001) {
    eachChunkBackwards(
        job.source, range.start, heldFrom, 512,
        [&](const cv::Mat& small, double time) {
          backwardBoxes.push_back(backward->next(small));
          backwardTimes.push_back(time);
        },
        [&] {
          job.report(static_cast<double>(forwardTimes.size() + backwardTimes.size()) / expected);
        },
        ChunkPixels::grey);
  }

  std::vector<double> times(backwardTimes.rbegin(), backwardTimes.rend());
  times.insert(times.end(), forwardTimes.begin(), forwardTimes.end());
  std::vector<std::optional<Box>> found(backwardBoxes.rbegin(), backwardBoxes.rend());
  found.insert(found.end(), forwardBoxes.begin(), forwardBoxes.end());

  const std::vector<Box> boxes = smoothedBoxes(bridged(found), 0.8, 5);

  return boxSamples(times, boxes, found, job.source.fps);
}

}  // namespace tv
