// Frame-pass speed against the decode-only limit, on a generated 1080p30 20-second H.264 clip.
// Usage: bench_decode [clip]   (without a clip, one is made in /tmp with the ffmpeg CLI)
#include "media/frames.h"
#include "base/quiet.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string clip = argc > 1 ? argv[1] : "/tmp/tarnel-bench-1080p30.mp4";
  if (!std::filesystem::exists(clip)) {
    std::string make = "ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=20 "
                       "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 " + clip;
    if (std::system(make.c_str()) != 0) return 1;
  }
  tv::Source source = tv::openSource(clip);
  tv::silenceLibraries();

  auto start = std::chrono::steady_clock::now();
  std::string decodeOnly = "ffmpeg -v quiet -threads 0 -i " + clip + " -f null -";
  if (std::system(decodeOnly.c_str()) != 0) return 1;
  double ffmpegTime = seconds(start);

  long frames = 0;
  start = std::chrono::steady_clock::now();
  tv::eachFrame(source, 0, source.duration + 1, [&](const cv::Mat&, const tv::MediaTime&) {
    ++frames;
    return true;
  });
  double passTime = seconds(start);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("clip            %s (%ld frames, %.0fx%.0f)\n", clip.c_str(), frames,
              source.size.width, source.size.height);
  std::printf("decode only     %8.1f frames/s  (ffmpeg -f null)\n", frames / ffmpegTime);
  std::printf("eachFrame pass  %8.1f frames/s  (upright BGRA, no-op visitor)\n", frames / passTime);
  std::printf("ratio           %8.2f x decode-only time (target <= 1.2)\n", passTime / ffmpegTime);
  std::printf("peak memory     %8.1f MiB\n", usage.ru_maxrss / 1024.0);
  return 0;
}
