// Wall time of `skin` on a 10-minute 1080p30 H.264 video (once with a key frame every second,
// once every ten seconds) and on two pictures, plus the seek-and-grab share of the video runs.
// Usage: bench_skin [tool]   (default: the tarnel-vision beside this build's bench folder)
// The videos are made once in /tmp with the ffmpeg CLI: 20 s of a portrait under moving noise
// (about 10 Mbit/s, so every frame costs a real decode), repeated by stream copy to 600 s.
#include "media/grab.h"
#include "base/quiet.h"
#include "media/source.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char* const kPortrait = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
const char* const kSecondPicture = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
constexpr int kRuns = 5;

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor seconds (user + system, all threads) of this process or of its finished children:
// on a shared machine they say more than the wall clock.
double processorSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

struct Timing {
  double wall = 0;       // median wall clock
  double processor = 0;  // median processor time
};

Timing medians(std::vector<double> wall, std::vector<double> processor) {
  std::sort(wall.begin(), wall.end());
  std::sort(processor.begin(), processor.end());
  return {wall[wall.size() / 2], processor[processor.size() / 2]};
}

bool makeLongVideo(const std::string& path, int gop) {
  if (std::filesystem::exists(path)) return true;
  std::string piece = path + ".piece.mp4";
  std::string make =
      "ffmpeg -v error -y -loop 1 -framerate 30 -i " + std::string(kPortrait) +
      " -t 20 -vf 'scale=-2:1080,pad=1920:1080:(ow-iw)/2:0,noise=alls=9:allf=t' -c:v libx264 "
      "-preset veryfast -pix_fmt yuv420p -g " +
      std::to_string(gop) + " " + piece + " </dev/null";
  std::string loop =
      "ffmpeg -v error -y -stream_loop 29 -i " + piece + " -c copy " + path + " </dev/null";
  bool made = std::system(make.c_str()) == 0 && std::system(loop.c_str()) == 0;
  std::filesystem::remove(piece);
  return made;
}

// The median times of running the tool on the input, and its last output line.
Timing medianRun(const std::string& tool, const std::string& input, std::string& last) {
  std::vector<double> wall, processor;
  for (int i = 0; i < kRuns; ++i) {
    std::string command = "'" + tool + "' skin --input '" + input + "' 2>/dev/null";
    double before = processorSeconds(RUSAGE_CHILDREN);
    auto start = std::chrono::steady_clock::now();
    FILE* out = popen(command.c_str(), "r");
    if (!out) return {};
    char line[512] = {0};
    last.clear();
    while (std::fgets(line, sizeof line, out)) last = line;
    pclose(out);
    wall.push_back(since(start));
    processor.push_back(processorSeconds(RUSAGE_CHILDREN) - before);
  }
  if (!last.empty() && last.back() == '\n') last.pop_back();
  return medians(wall, processor);
}

// The median times of opening the video and grabbing the 14 slice centres in-process, as the
// command grabs them (on worker threads).
Timing medianGrabs(const std::string& path, int& grabbed) {
  std::vector<double> wall, processor;
  for (int i = 0; i < kRuns; ++i) {
    double before = processorSeconds(RUSAGE_SELF);
    auto start = std::chrono::steady_clock::now();
    tv::Source source = tv::openSource(path);
    std::vector<double> times;
    for (int slice = 0; slice < 14; ++slice) times.push_back(source.duration * (slice + 0.5) / 14);
    grabbed = 0;
    tv::grabEach(source, times, 1280, [&](cv::Mat&) { ++grabbed; });
    wall.push_back(since(start));
    processor.push_back(processorSeconds(RUSAGE_SELF) - before);
  }
  return medians(wall, processor);
}

}  // namespace

int main(int argc, char** argv) {
  std::string tool = argc > 1 ? argv[1] : "";
  if (tool.empty()) {
    char self[4096] = {0};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    tool =
        (std::filesystem::path(std::string(self, n)).parent_path().parent_path() / "tarnel-vision")
            .string();
  }
  tv::silenceLibraries();

  std::printf("tool  %s  (medians of %d runs; wall clock / processor time of all threads)\n",
              tool.c_str(), kRuns);
  for (int gop : {30, 300}) {
    std::string video = "/tmp/tarnel-bench-skin-600s-1080p30-g" + std::to_string(gop) + ".mp4";
    if (!makeLongVideo(video, gop)) {
      std::printf("cannot make %s\n", video.c_str());
      return 1;
    }
    int grabbed = 0;
    Timing grabs = medianGrabs(video, grabbed);
    std::string last;
    Timing whole = medianRun(tool, video, last);
    std::printf(
        "video 600 s 1080p30, key frame every %2d s: skin %.3f / %.3f s; "
        "open + 14 grabs %.3f / %.3f s (%d grabbed)\n      %s\n",
        gop / 30, whole.wall, whole.processor, grabs.wall, grabs.processor, grabbed, last.c_str());
  }
  for (const char* picture : {kPortrait, kSecondPicture}) {
    std::string last;
    Timing whole = medianRun(tool, picture, last);
    std::printf("picture %s: skin %.3f / %.3f s\n      %s\n", picture, whole.wall, whole.processor,
                last.c_str());
  }
  return 0;
}
