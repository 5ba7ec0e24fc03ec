// Milliseconds per frame of person segmentation (one sequence over successive frames) and of
// foreground instances, on real photos of people scaled to 1080p and to 4096 pixels wide.
//
//   bench_segmentation [frames]   (default 20 frames per case)
#include "vision/analyses.h"
#include "vision/segmodels.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Processor time of the whole process (all threads), ms: on a shared machine the wall-clock
// figure also counts the time others held the cores, this one does not.
double cpuMs() {
  return 1000.0 * double(std::clock()) / CLOCKS_PER_SEC;
}

// The photo scaled and cropped to fill `size`, as BGRA.
cv::Mat filled(const cv::Mat& photo, cv::Size size) {
  double scale = std::max(double(size.width) / photo.cols, double(size.height) / photo.rows);
  cv::Mat bigger;
  cv::resize(photo, bigger, cv::Size(), scale, scale, cv::INTER_CUBIC);
  cv::Rect middle((bigger.cols - size.width) / 2, (bigger.rows - size.height) / 2, size.width,
                  size.height);
  cv::Mat bgra;
  cv::cvtColor(bigger(middle), bgra, cv::COLOR_BGR2BGRA);
  return bgra;
}

struct Timing {
  double wall = 0, cpu = 0;
  template <typename F>
  void time(F&& work) {
    auto start = Clock::now();
    double before = cpuMs();
    work();
    wall += msSince(start);
    cpu += cpuMs() - before;
  }
  std::string text(int frames) const {
    char line[64];
    std::snprintf(line, sizeof line, "%9.1f (%6.1f)", wall / frames, cpu / frames);
    return line;
  }
};

// Successive "frames": the picture panned by a few pixels each time, so that nothing is cached.
cv::Mat panned(const cv::Mat& frame, int step) {
  cv::Mat shifted;
  cv::Mat move = (cv::Mat_<double>(2, 3) << 1, 0, (step % 7) - 3, 0, 1, (step % 5) - 2);
  cv::warpAffine(frame, shifted, move, frame.size(), cv::INTER_NEAREST, cv::BORDER_REPLICATE);
  return shifted;
}

}  // namespace

int main(int argc, char** argv) {
  int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const char* photos[] = {"/usr/share/doc/opencv-doc/examples/data/basketball1.png",
                          "/usr/share/doc/opencv-doc/examples/data/messi5.jpg"};
  const cv::Size sizes[] = {{1920, 1080}, {4096, 2304}};
  std::printf("wall-clock ms per frame (processor ms, all threads, in brackets)\n");
  std::printf("%-16s %-10s %18s %18s %18s %18s %5s\n", "photo", "size", "person", "instances",
              "both, one frame", "detector alone", "found");
  for (const char* path : photos) {
    cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    if (photo.empty()) {
      std::printf("%s: not installed, skipped\n", path);
      continue;
    }
    std::string name = std::string(path).substr(std::string(path).find_last_of('/') + 1);
    for (const auto& size : sizes) {
      cv::Mat frame = filled(photo, size);
      // One warm-up call loads the networks and sizes OpenCV's buffers.
      auto sequence = tv::analyses::personSegmentation();
      sequence->next(frame);
      tv::analyses::foregroundInstances(frame);

      // Each loop sees frames that differ from the one before, so nothing is reused between
      // frames; "both" is what the segmenter pays per video frame (the detector run is shared).
      Timing person, instances, both, detector;
      size_t found = 0;
      for (int i = 0; i < frames; ++i) {
        cv::Mat f = panned(frame, i);
        person.time([&] { sequence->next(f); });
      }
      for (int i = 0; i < frames; ++i) {
        cv::Mat f = panned(frame, i);
        instances.time([&] {
          auto result = tv::analyses::foregroundInstances(f);
          if (result) found = result->allInstances.size();
        });
      }
      for (int i = 0; i < frames; ++i) {
        cv::Mat f = panned(frame, i);
        both.time([&] {
          sequence->next(f);
          tv::analyses::foregroundInstances(f);
        });
      }
      for (int i = 0; i < frames; ++i) {
        cv::Mat f = panned(frame, i);
        detector.time([&] { tv::segmodels::detectObjects(f, 0.3f); });
      }
      std::printf("%-16s %4dx%-5d %s %s %s %s %5zu\n", name.c_str(), size.width, size.height,
                  person.text(frames).c_str(), instances.text(frames).c_str(),
                  both.text(frames).c_str(), detector.text(frames).c_str(), found);
    }
  }
  return 0;
}
