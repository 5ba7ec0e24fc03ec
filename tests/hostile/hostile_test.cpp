// Hostile input: damaged, empty, odd and huge files, folders and FIFOs as inputs, absurd option
// values and awkward paths, thrown at the real binary. Every run must end with exactly one error
// line (status 1) or a done event (status 0), write nothing on stderr, neither crash nor hang,
// and stay below a memory bound.
#include "support/run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kTimeLimit = 90;               // seconds per run
constexpr long kMemoryBoundKiB = 3L << 20;   // 3 GiB peak resident memory

struct Outcome {
  bool signalled = false;
  bool timedOut = false;
  int status = -1;
  long peakKiB = 0;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Outcome runBinary(const std::vector<std::string>& args, const std::string& scratch) {
  static int counter = 0;
  std::string base = scratch + "/run" + std::to_string(counter++);
  std::string outPath = base + ".out", errPath = base + ".err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> all{TARNEL_BINARY};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  Outcome outcome;
  if (posix_spawn(&child, TARNEL_BINARY, &actions, nullptr, argv.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return outcome;
  }
  posix_spawn_file_actions_destroy(&actions);
  auto start = std::chrono::steady_clock::now();
  int status = 0;
  rusage usage{};
  while (true) {
    pid_t done = wait4(child, &status, WNOHANG, &usage);
    if (done == child) break;
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(kTimeLimit)) {
      outcome.timedOut = true;
      kill(child, SIGKILL);
      wait4(child, &status, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  outcome.signalled = WIFSIGNALED(status);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  outcome.peakKiB = usage.ru_maxrss;
  outcome.out = slurp(outPath);
  outcome.err = slurp(errPath);
  fs::remove(outPath);
  fs::remove(errPath);
  return outcome;
}

std::string describe(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& arg : args) text += " [" + arg + "]";
  return text;
}

// The contract every run keeps, whatever it was given.
void expectWellBehaved(const std::vector<std::string>& args, const std::string& scratch) {
  SCOPED_TRACE(describe(args));
  Outcome outcome = runBinary(args, scratch);
  ASSERT_FALSE(outcome.timedOut) << "hung";
  ASSERT_FALSE(outcome.signalled) << "crashed";
  EXPECT_EQ(outcome.err, "");
  EXPECT_LT(outcome.peakKiB, kMemoryBoundKiB);
  ASSERT_TRUE(outcome.status == 0 || outcome.status == 1) << outcome.status;
  std::vector<nlohmann::json> events;
  std::istringstream lines(outcome.out);
  for (std::string line; std::getline(lines, line);) {
    auto event = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(event.is_object()) << "not a JSON object: " << line;
    events.push_back(event);
  }
  ASSERT_FALSE(events.empty()) << "no event at all";
  ASSERT_TRUE(outcome.out.back() == '\n');
  int errors = 0;
  for (const auto& event : events) errors += event.contains("error") ? 1 : 0;
  const auto& last = events.back();
  if (outcome.status == 1) {
    EXPECT_EQ(errors, 1);
    ASSERT_TRUE(last.contains("error"));
    EXPECT_TRUE(last["error"].is_string());
    EXPECT_EQ(last.size(), 1u);
  } else {
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(last.value("done", false), true) << outcome.out;
  }
}

void write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class Hostile : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = tvtest::scratchDir("hostile");
    const std::string photo = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
    auto make = [](const std::string& command) { return tvtest::shell(command + " </dev/null") == 0; };
    ok_ = make("ffmpeg -v error -y -f lavfi -i testsrc2=size=128x96:rate=10:duration=1 "
               "-c:v libx264 -pix_fmt yuv420p -g 5 -movflags +faststart " + dir_ + "/clip.mp4") &&
          make("ffmpeg -v error -y -f lavfi -i testsrc2=size=128x96:rate=10:duration=1 "
               "-c:v mpeg4 " + dir_ + "/clip.mkv") &&
          make("ffmpeg -v error -y -f lavfi -i testsrc2=size=128x96:rate=10:duration=0.3 "
               "-c:v libx264 -pix_fmt yuv420p " + dir_ + "/short.mp4") &&
          make("ffmpeg -v error -y -i " + photo + " -vf scale=96:96 " + dir_ + "/photo.jpg") &&
          make("ffmpeg -v error -y -i " + photo + " -vf scale=96:96,format=rgba " + dir_ + "/photo.png") &&
          make("ffmpeg -v error -y -i " + photo + " -vf scale=96:96 " + dir_ + "/photo.bmp") &&
          make("ffmpeg -v error -y -i " + photo + " -vf scale=96:96 " + dir_ + "/photo.tiff") &&
          make("ffmpeg -v error -y -i " + photo + " -vf scale=96:96 " + dir_ + "/photo.webp") &&
          make("ffmpeg -v error -y -i " + photo + " -vf scale=96:96 " + dir_ + "/photo.gif");
  }
  static std::vector<std::string> damagedCopies(const std::string& name) {
    std::string source = dir_ + "/" + name;
    std::string bytes = slurp(source);
    std::vector<std::string> copies;
    auto ext = fs::path(name).extension().string();
    auto stem = fs::path(name).stem().string();
    int index = 0;
    for (double fraction : {0.0, 0.001, 0.01, 0.05, 0.25, 0.5, 0.75, 0.95, 0.999}) {
      std::string path = dir_ + "/" + stem + "-cut" + std::to_string(index++) + ext;
      write(path, bytes.substr(0, static_cast<size_t>(bytes.size() * fraction)));
      copies.push_back(path);
    }
    std::mt19937 random(static_cast<unsigned>(bytes.size()));
    for (int seed = 0; seed < 10; ++seed) {
      std::string flipped = bytes;
      int flips = seed < 5 ? 4 : 40;
      for (int i = 0; i < flips; ++i) {
        // The first half of the seeds also hits the headers, the rest only the payload.
        size_t from = seed % 2 == 0 ? 0 : std::min<size_t>(64, flipped.size() - 1);
        size_t at = from + random() % (flipped.size() - from);
        flipped[at] = static_cast<char>(flipped[at] ^ (1 << (random() % 8)));
      }
      std::string path = dir_ + "/" + stem + "-flip" + std::to_string(seed) + ext;
      write(path, flipped);
      copies.push_back(path);
    }
    return copies;
  }
  static std::string dir_;
  static bool ok_;
};
std::string Hostile::dir_;
bool Hostile::ok_ = false;

// The commands a video input is given, one of them per damaged copy in turn.
std::vector<std::vector<std::string>> videoRuns(const std::string& input, const std::string& out) {
  return {
      {"track", "--input", input, "--output", out + ".json", "--mode", "camera"},
      {"track", "--input", input, "--output", out + ".json", "--box", "0.5,0.5,0.3,0.3"},
      {"track", "--input", input, "--output", out + ".json", "--mode", "face", "--point", "0.5,0.5"},
      {"track", "--input", input, "--output", out + ".json", "--mode", "quad", "--quad",
       "0.2,0.2,0.8,0.2,0.8,0.8,0.2,0.8"},
      {"video", "--input", input, "--output", out + ".mp4", "--mode", "subject"},
      {"skin", "--input", input},
  };
}

std::vector<std::vector<std::string>> pictureRuns(const std::string& input, const std::string& out) {
  return {
      {"image", "--input", input, "--output", out + ".png", "--mode", "auto"},
      {"image", "--input", input, "--output", out + ".png", "--mode", "flat"},
      {"image", "--input", input, "--output", out + ".png", "--mode", "object", "--point", "0.5,0.5"},
      {"skin", "--input", input},
  };
}

TEST_F(Hostile, DamagedVideos) {
  ASSERT_TRUE(ok_);
  int turn = 0;
  for (const char* name : {"clip.mp4", "clip.mkv"}) {
    for (const auto& input : damagedCopies(name)) {
      auto runs = videoRuns(input, dir_ + "/out");
      expectWellBehaved(runs[turn++ % runs.size()], dir_);
      expectWellBehaved(runs[turn++ % runs.size()], dir_);
    }
  }
}

TEST_F(Hostile, DamagedPictures) {
  ASSERT_TRUE(ok_);
  int turn = 0;
  for (const char* name : {"photo.jpg", "photo.png", "photo.bmp", "photo.tiff", "photo.webp",
                           "photo.gif"}) {
    for (const auto& input : damagedCopies(name)) {
      auto runs = pictureRuns(input, dir_ + "/out");
      expectWellBehaved(runs[turn++ % runs.size()], dir_);
    }
  }
}

TEST_F(Hostile, InputsThatAreNotFiles) {
  ASSERT_TRUE(ok_);
  std::string folder = dir_ + "/a folder";
  fs::create_directories(folder);
  std::string fifo = dir_ + "/pipe.mp4";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::string text = dir_ + "/notes.mp4";
  write(text, "just some text\n");
  std::string empty = dir_ + "/empty.mov";
  write(empty, "");
  for (const auto& input : {folder, fifo, text, empty, dir_ + "/missing.mp4", std::string("/dev/null"),
                            std::string("/dev/zero"), std::string("")}) {
    for (const auto& run : videoRuns(input, dir_ + "/out")) expectWellBehaved(run, dir_);
    for (const auto& run : pictureRuns(input, dir_ + "/out")) expectWellBehaved(run, dir_);
  }
}

TEST_F(Hostile, DeclaredGiantPictures) {
  ASSERT_TRUE(ok_);
  auto be32 = [](uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  auto le16 = [](uint32_t v) { return std::string{char(v), char(v >> 8)}; };
  auto le32 = [&](uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); };
  std::string tail(4096, '\x55');
  std::map<std::string, std::string> giants;
  giants["giant.png"] = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + be32(60000) + be32(60000) +
                        std::string("\x08\x06\0\0\0", 5) + tail;
  giants["giant.jpg"] = std::string("\xFF\xD8\xFF\xC0\0\x11\x08", 7) + std::string{char(0xEA), char(0x60)} +
                        std::string{char(0xEA), char(0x60)} + std::string("\x03\x01\x22\0\x02\x11\x01\x03\x11\x01", 10) + tail;
  giants["giant.gif"] = "GIF89a" + le16(60000) + le16(60000) + std::string("\xF7\0\0", 3) + tail;
  giants["giant.bmp"] = "BM" + le32(54) + le32(0) + le32(54) + le32(40) + le32(60000) + le32(60000) +
                        le16(1) + le16(24) + le32(0) + le32(0) + le32(0) + le32(0) + le32(0) + le32(0) + tail;
  giants["giant.webp"] = "RIFF" + le32(4096) + "WEBPVP8X" + le32(10) + std::string(4, '\0') +
                         std::string{char(0x5F), char(0xEA), 0, char(0x5F), char(0xEA), 0} + tail;
  giants["giant.tiff"] = std::string("II*\0\x08\0\0\0", 8) + le16(2) + le16(256) + le16(4) + le32(1) +
                         le32(60000) + le16(257) + le16(4) + le32(1) + le32(60000) + le32(0) + tail;
  for (const auto& [name, bytes] : giants) {
    std::string path = dir_ + "/" + name;
    write(path, bytes);
    for (const auto& run : pictureRuns(path, dir_ + "/out")) expectWellBehaved(run, dir_);
  }
}

TEST_F(Hostile, OddFrameSizes) {
  ASSERT_TRUE(ok_);
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -f lavfi -i color=gray:size=2x2:rate=5:duration=1 "
                          "-vf scale=1:1 -c:v mpeg4 " + dir_ + "/tiny.avi </dev/null"), 0);
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -f lavfi -i testsrc2=size=8192x8192:rate=1:duration=2 "
                          "-c:v libx264 -preset ultrafast -pix_fmt yuv420p " + dir_ + "/huge.mp4 </dev/null"), 0);
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -f lavfi -i color=gray:size=2x2 -vf scale=1:1 -frames:v 1 " + dir_ +
                          "/dot.png </dev/null"), 0);
  for (const char* name : {"tiny.avi", "huge.mp4"})
    for (const auto& run : videoRuns(dir_ + "/" + name, dir_ + "/out")) expectWellBehaved(run, dir_);
  for (const auto& run : pictureRuns(dir_ + "/dot.png", dir_ + "/out")) expectWellBehaved(run, dir_);
}

TEST_F(Hostile, AbsurdOptions) {
  ASSERT_TRUE(ok_);
  // A three-frame clip: the options are under test here, not the analyses.
  const std::string clip = dir_ + "/short.mp4", photo = dir_ + "/photo.png", out = dir_ + "/out";
  const std::vector<std::string> numbers{"nan", "inf", "-inf", "1e308", "-1e308", "0", "-1", "abc",
                                         "", "0x10", "1e-320", "99999999999999999999"};
  const std::vector<std::string> lists{"nan,nan,nan,nan,nan,nan,nan,nan", "inf,inf,inf,inf",
                                       "-1e308,1e308,-1e308,1e308", "0,0,0,0", "5,5,-5,-5",
                                       "0.5,0.5,1e9,1e9", ",,,", "1,2,3,4,5,6,7,8,9", "nan,0.5"};
  for (const auto& value : numbers) {
    for (const char* key : {"start", "end", "at", "sign"})
      expectWellBehaved({"track", "--input", clip, "--output", out + ".json", "--mode", "camera",
                         std::string("--") + key, value}, dir_);
    for (const char* key : {"start", "end", "at", "max"})
      expectWellBehaved({"video", "--input", clip, "--output", out + ".mp4", "--mode", "subject",
                         std::string("--") + key, value}, dir_);
    for (const char* key : {"max", "tolerance", "inner"})
      expectWellBehaved({"image", "--input", photo, "--output", out + ".png", "--mode", "flat",
                         std::string("--") + key, value}, dir_);
    for (const char* key : {"start", "end"})
      expectWellBehaved({"skin", "--input", clip, std::string("--") + key, value}, dir_);
  }
  for (const auto& value : lists) {
    expectWellBehaved({"track", "--input", clip, "--output", out + ".json", "--box", value}, dir_);
    expectWellBehaved({"track", "--input", clip, "--output", out + ".json", "--mode", "quad",
                       "--quad", value}, dir_);
    expectWellBehaved({"track", "--input", clip, "--output", out + ".json", "--mode", "face",
                       "--point", value}, dir_);
    expectWellBehaved({"image", "--input", photo, "--output", out + ".png", "--mode", "object",
                       "--point", value}, dir_);
    expectWellBehaved({"video", "--input", clip, "--output", out + ".mp4", "--mode", "object",
                       "--point", value}, dir_);
  }
}

TEST_F(Hostile, AwkwardPathsAndOutputs) {
  ASSERT_TRUE(ok_);
  std::vector<std::string> names{"with space", "quote\"d", "it's", "ünïcødé-ß", "new\nline",
                                 "back\\slash", "-dash", "tab\there"};
  for (const auto& name : names) {
    std::string folder = dir_ + "/" + name;
    fs::create_directories(folder);
    fs::copy_file(dir_ + "/short.mp4", folder + "/" + name + ".mp4", fs::copy_options::overwrite_existing);
    fs::copy_file(dir_ + "/photo.png", folder + "/" + name + ".png", fs::copy_options::overwrite_existing);
    for (const auto& run : videoRuns(folder + "/" + name + ".mp4", folder + "/" + name)) expectWellBehaved(run, dir_);
    for (const auto& run : pictureRuns(folder + "/" + name + ".png", folder + "/" + name)) expectWellBehaved(run, dir_);
  }
  fs::create_directories(dir_ + "/an output folder.json");
  for (const std::string& target : {dir_ + "/missing/folder/out", std::string("/proc/version"),
                                    dir_ + "/an output folder", std::string("/"), std::string("")}) {
    const std::string clip = dir_ + "/short.mp4";
    expectWellBehaved({"track", "--input", clip, "--output", target + ".json", "--mode", "camera"}, dir_);
    expectWellBehaved({"track", "--input", clip, "--output", target, "--mode", "camera"}, dir_);
    expectWellBehaved({"image", "--input", dir_ + "/photo.png", "--output", target, "--mode", "flat"}, dir_);
    expectWellBehaved({"video", "--input", clip, "--output", target, "--mode", "subject"}, dir_);
  }
}

}  // namespace
