// The trackers a user would pick instead of box mode, timed on the same clip: OpenCV's KCF and
// CSRT, fed every frame at its decoded size as OpenCV's own video reader gives it, from the first
// frame to the last. Prints one line per tracker: wall seconds, frames, frames lost.
// Usage: bench_peers clip cx,cy,w,h [kcf|csrt...]   (the box normalised, origin top left)
#include <opencv2/tracking.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

cv::Ptr<cv::Tracker> makeTracker(const std::string& name) {
  if (name == "kcf") return cv::TrackerKCF::create();
  if (name == "csrt") return cv::TrackerCSRT::create();
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_peers clip cx,cy,w,h [kcf|csrt...]\n");
    return 2;
  }
  std::vector<double> box;
  std::stringstream parts(argv[2]);
  for (std::string part; std::getline(parts, part, ',');) box.push_back(std::stod(part));
  if (box.size() != 4) return 2;
  std::vector<std::string> names;
  for (int i = 3; i < argc; ++i) names.push_back(argv[i]);
  if (names.empty()) names = {"kcf", "csrt"};

  for (const std::string& name : names) {
    auto began = std::chrono::steady_clock::now();
    cv::VideoCapture video(argv[1], cv::CAP_FFMPEG);
    cv::Ptr<cv::Tracker> tracker = makeTracker(name);
    if (!video.isOpened() || !tracker) return 1;
    cv::Mat frame;
    int frames = 0, lost = 0;
    while (video.read(frame)) {
      if (frames++ == 0) {
        cv::Rect start(cvRound((box[0] - box[2] / 2) * frame.cols),
                       cvRound((box[1] - box[3] / 2) * frame.rows), cvRound(box[2] * frame.cols),
                       cvRound(box[3] * frame.rows));
        tracker->init(frame, start);
        continue;
      }
      cv::Rect found;
      if (!tracker->update(frame, found)) ++lost;
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("%s %.3f s %d frames %d lost\n", name.c_str(), wall, frames, lost);
  }
  return 0;
}
