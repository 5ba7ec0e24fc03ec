// A run killed in the middle of writing its output must leave the previous file as it was; one
// cancelled (SIGTERM, SIGINT, SIGHUP) also removes its half-written file and says so.
#include "support/run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Stopped {
  int seen = -1;                   // lines read before the signal was sent
  int status = -1;                 // exit status, -1 when the signal ended it
  std::vector<std::string> after;  // the lines that came after the signal
  double seconds = 0;              // from the signal to the end of the process
};

// Starts the binary with its standard output on a pipe; sends `signal` once `lines` lines have
// come, and collects what it says until it ends.
Stopped runAndSignalAfter(std::vector<std::string> args, int lines, int signal) {
  Stopped stopped;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return stopped;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  args.insert(args.begin(), TARNEL_BINARY);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  int spawned = posix_spawn(&child, TARNEL_BINARY, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) return stopped;
  int seen = 0;
  char c;
  while (seen < lines && read(pipeFds[0], &c, 1) == 1) seen += c == '\n';
  stopped.seen = seen;
  auto sent = std::chrono::steady_clock::now();
  kill(child, signal);
  std::string rest;
  while (read(pipeFds[0], &c, 1) == 1) rest += c;
  int status = 0;
  waitpid(child, &status, 0);
  stopped.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
  close(pipeFds[0]);
  stopped.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::istringstream in(rest);
  for (std::string line; std::getline(in, line);) stopped.after.push_back(line);
  return stopped;
}

// Kills the binary (SIGKILL, which nothing can catch) once `lines` lines have come; answers the
// lines seen before.
int runAndKillAfter(std::vector<std::string> args, int lines) {
  return runAndSignalAfter(std::move(args), lines, SIGKILL).seen;
}

TEST(Interrupted, KilledVideoExportKeepsThePreviousFile) {
  std::string dir = tvtest::scratchDir("interrupted");
  std::string clip = tvtest::makeVideo(dir, "clip.mp4", "testsrc2=size=320x240:rate=25:duration=8",
                                       "-c:v libx264 -pix_fmt yuv420p");
  ASSERT_FALSE(clip.empty());
  std::string output = dir + "/matte.mp4";
  std::ofstream(output) << "the previous export";
  // Killed after its second write-progress line, well before the end of the clip.
  int lines = runAndKillAfter({"video", "--input", clip, "--output", output, "--mode", "subject"}, 2);
  ASSERT_EQ(lines, 2) << "the run ended before it could be interrupted";
  EXPECT_EQ(slurp(output), "the previous export");
}

TEST(Interrupted, KilledTrackKeepsThePreviousFile) {
  std::string dir = tvtest::scratchDir("interrupted-track");
  std::string clip = tvtest::makeVideo(dir, "clip.mp4", "testsrc2=size=640x480:rate=25:duration=20",
                                       "-c:v libx264 -pix_fmt yuv420p");
  ASSERT_FALSE(clip.empty());
  std::string output = dir + "/track.json";
  std::ofstream(output) << "{\"previous\":true}";
  int lines = runAndKillAfter({"track", "--input", clip, "--output", output, "--mode", "camera"}, 2);
  ASSERT_EQ(lines, 2);
  EXPECT_EQ(slurp(output), "{\"previous\":true}");
}

bool leftovers(const std::string& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.path().string().find(".partial-") != std::string::npos) return true;
  return false;
}

// The application cancels a job with SIGTERM; a user at a terminal with SIGINT, a closed
// terminal sends SIGHUP. Each gets the half-written file removed, the earlier output kept, one
// error line and status 1, within about a frame.
TEST(Interrupted, CancelledVideoExportRemovesItsPartAndSaysSo) {
  std::string dir = tvtest::scratchDir("cancelled-video");
  std::string clip = tvtest::makeVideo(dir, "clip.mp4", "testsrc2=size=320x240:rate=25:duration=8",
                                       "-c:v libx264 -pix_fmt yuv420p");
  ASSERT_FALSE(clip.empty());
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    std::string output = dir + "/matte.mp4";
    std::ofstream(output) << "the previous export";
    Stopped stopped = runAndSignalAfter(
        {"video", "--input", clip, "--output", output, "--mode", "subject"}, 2, signal);
    ASSERT_EQ(stopped.seen, 2) << "the run ended before it could be cancelled";
    EXPECT_EQ(stopped.status, 1);
    ASSERT_FALSE(stopped.after.empty());
    EXPECT_EQ(stopped.after.back(), R"({"error":"cancelled"})");
    EXPECT_LT(stopped.seconds, 2.0);
    EXPECT_EQ(slurp(output), "the previous export");
    EXPECT_FALSE(leftovers(dir));
  }
}

TEST(Interrupted, CancelledTrackKeepsThePreviousFileAndSaysSo) {
  std::string dir = tvtest::scratchDir("cancelled-track");
  std::string clip = tvtest::makeVideo(dir, "clip.mp4", "testsrc2=size=640x480:rate=25:duration=20",
                                       "-c:v libx264 -pix_fmt yuv420p");
  ASSERT_FALSE(clip.empty());
  std::string output = dir + "/track.json";
  std::ofstream(output) << "{\"previous\":true}";
  Stopped stopped = runAndSignalAfter(
      {"track", "--input", clip, "--output", output, "--mode", "camera"}, 2, SIGTERM);
  ASSERT_EQ(stopped.seen, 2);
  EXPECT_EQ(stopped.status, 1);
  ASSERT_EQ(stopped.after.size(), 1u);
  EXPECT_EQ(stopped.after.back(), R"({"error":"cancelled"})");
  EXPECT_EQ(slurp(output), "{\"previous\":true}");
  EXPECT_FALSE(leftovers(dir));
}

}  // namespace
