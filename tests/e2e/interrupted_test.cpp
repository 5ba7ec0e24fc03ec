// A run killed in the middle of writing its output must leave the previous file as it was.
#include "support/run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
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

// Starts the binary with its standard output on a pipe; kills it once `lines` lines have come.
int runAndKillAfter(std::vector<std::string> args, int lines) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
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
  if (spawned != 0) return -1;
  int seen = 0;
  char c;
  while (seen < lines && read(pipeFds[0], &c, 1) == 1) seen += c == '\n';
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(pipeFds[0]);
  return seen;
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

}  // namespace
