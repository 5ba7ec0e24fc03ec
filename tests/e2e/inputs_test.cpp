// --input names a file, and nothing else: names with a colon are file names, and no protocol
// (standard input, the network, concatenation, inline data) is ever opened in its place.
#include "support/run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string last;    // the last line of standard output
  std::string errors;  // standard error
};

// Runs the tool in `dir` (so relative names resolve there), with `stdinFile` on its input.
Outcome runIn(const std::string& dir, const std::string& input, const std::string& stdinFile) {
  const std::string out = dir + "/out.txt", err = dir + "/err.txt";
  std::string command = "cd '" + dir + "' && timeout -s KILL 60 '" TARNEL_BINARY
                        "' track --mode camera --output track.json --input '" + input + "' <'" +
                        stdinFile + "' >'" + out + "' 2>'" + err + "'";
  Outcome outcome;
  outcome.status = tvtest::shell(command);
  std::ifstream lines(out);
  for (std::string line; std::getline(lines, line);) outcome.last = line;
  std::ifstream errors(err);
  std::stringstream text;
  text << errors.rdbuf();
  outcome.errors = text.str();
  return outcome;
}

class Inputs : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = tvtest::scratchDir("inputs");
    clip = tvtest::makeVideo(dir, "clip.mp4", "testsrc2=size=160x120:rate=10:duration=1",
                             "-c:v libx264 -pix_fmt yuv420p");
    ASSERT_FALSE(clip.empty());
  }
  std::string dir, clip;
};

TEST_F(Inputs, ANameWithAColonIsAFileName) {
  for (const char* name : {"data:face.mp4", "pipe:face.mp4", "concat:face.mp4", "file:face.mp4"}) {
    SCOPED_TRACE(name);
    fs::copy_file(clip, dir + "/" + name, fs::copy_options::overwrite_existing);
    Outcome run = runIn(dir, name, "/dev/null");
    EXPECT_EQ(run.status, 0) << run.last;
    auto done = nlohmann::json::parse(run.last, nullptr, false);
    ASSERT_TRUE(done.is_object()) << run.last;
    EXPECT_EQ(done["frames"], 10) << run.last;
    EXPECT_EQ(run.errors, "");
  }
}

// Each of these is a missing file, whatever a URL reader would make of it: standard input holds
// a good video, a server might listen, and both concatenated parts exist.
TEST_F(Inputs, NoProtocolIsOpenedInPlaceOfAFile) {
  fs::copy_file(clip, dir + "/a.mp4");
  for (const char* name :
       {"pipe:0", "pipe:", "-", "http://127.0.0.1:9/x.mp4", "tcp://127.0.0.1:9", "concat:a.mp4|a.mp4",
        "subfile,,start,0,end,0,,:a.mp4", "data:video/mp4;base64,AAAA"}) {
    SCOPED_TRACE(name);
    Outcome run = runIn(dir, name, clip);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.last, R"({"error":"No such file or directory"})");
    EXPECT_EQ(run.errors, "");
  }
}

}  // namespace
