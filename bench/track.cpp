// Each track mode's wall time on a generated 1080p30 20-second clip, as a ratio to the time of
// a decode-only pass over the same clip measured in the same run, and each run's peak memory.
// Usage: bench_track [clip [mode...]]   (without a clip, one is made in /tmp with the ffmpeg CLI: a
// 1920 x 1080 window panning across an enlarged real photo with a face in it)
#include "media/frames.h"
#include "base/quiet.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double cpuSeconds(const rusage& usage) {
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct ChildRun {
  double seconds = 0;
  double cpu = 0;  // user + system seconds: steadier than wall time on a busy machine
  double peakMiB = 0;
  int status = -1;
};

// Runs the tool with its output lines thrown away; the child's own peak resident size.
ChildRun runTool(const std::string& tool, const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  ChildRun run;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) < 0) return run;
  run.seconds = seconds(start);
  run.cpu = cpuSeconds(usage);
  run.peakMiB = usage.ru_maxrss / 1024.0;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string clip = argc > 1 ? argv[1] : "/tmp/tarnel-bench-track-1080p30.mp4";
  if (!std::filesystem::exists(clip)) {
    const std::string make =
        "ffmpeg -v error -y -loop 1 -framerate 30 -i "
        "/usr/lib/python3/dist-packages/skimage/data/astronaut.png -vf "
        "\"scale=2400:2400,crop=1920:1080:x='100+n*0.6':y='300+n*0.2',format=yuv420p\" "
        "-t 20 -c:v libx264 -preset veryfast -g 60 " +
        clip + " </dev/null";
    if (std::system(make.c_str()) != 0) return 1;
  }
  const std::string tool =
      (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "tarnel-vision")
          .string();
  const tv::Source source = tv::openSource(clip);
  tv::silenceLibraries();

  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  long frames = 0;
  auto start = std::chrono::steady_clock::now();
  tv::eachFrame(source, 0, source.duration + 1, [&](const cv::Mat&, const tv::MediaTime&) {
    ++frames;
    return true;
  });
  const double decodeTime = seconds(start);
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  const double decodeCpu = cpuSeconds(self) - cpuSeconds(before);

  std::printf("clip          %s (%ld frames, %.0fx%.0f)\n", clip.c_str(), frames, source.size.width,
              source.size.height);
  std::printf("decode only   %7.2f s  %7.1f frames/s  cpu %7.2f s  peak %7.1f MiB\n", decodeTime,
              frames / decodeTime, decodeCpu, self.ru_maxrss / 1024.0);

  // The astronaut's face and helmet patch sit near the top middle of the panning window.
  struct Mode {
    const char* name;
    std::vector<std::string> args;
    double target;
  };
  const std::string out = "/tmp/tarnel-bench-track.json";
  const std::vector<Mode> modes{
      {"camera", {"--mode", "camera"}, 2},
      {"box", {"--mode", "box", "--box", "0.45,0.3,0.12,0.2", "--at", "10"}, 2},
      {"face", {"--mode", "face", "--point", "0.45,0.3"}, 2},
      {"marks", {"--mode", "marks", "--point", "0.45,0.3"}, 2},
      {"quad", {"--mode", "quad", "--quad", "0.3,0.5,0.6,0.5,0.6,0.9,0.3,0.9", "--at", "10"}, 4},
  };
  // Optional mode names after the clip run only those.
  for (const Mode& mode : modes) {
    bool chosen = argc <= 2;
    for (int i = 2; i < argc; ++i) chosen = chosen || mode.name == std::string(argv[i]);
    if (!chosen) continue;
    std::vector<std::string> args{"track", "--input", clip, "--output", out};
    args.insert(args.end(), mode.args.begin(), mode.args.end());
    const ChildRun run = runTool(tool, args);
    std::printf(
        "%-12s  %7.2f s  %5.2f x decode-only wall, %5.2f x cpu (target <= %.0f)  "
        "peak %7.1f MiB%s\n",
        mode.name, run.seconds, run.seconds / decodeTime, run.cpu / decodeCpu, mode.target,
        run.peakMiB, run.status == 0 ? "" : "  (failed)");
  }
  std::filesystem::remove(out);
  return 0;
}
