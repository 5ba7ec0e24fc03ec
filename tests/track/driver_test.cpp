#include "base/options.h"
#include "track/track.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>

namespace {

tv::CommandLine args;

void useOptions(std::map<std::string, std::string> options) {
  args = tv::CommandLine{};
  args.command = "track";
  args.options = std::move(options);
}

TEST(TrackRange, DefaultsRunTheWholeVideoFromItsStart) {
  useOptions({{"output", "x.json"}});
  tv::TrackRange r = tv::trackRange(args, 10, 30);
  EXPECT_EQ(r.start, 0);
  EXPECT_EQ(r.end, 11);
  EXPECT_EQ(r.at, 0);
  EXPECT_EQ(r.expected, 300);
}

TEST(TrackRange, UnreadableOrNegativeStartIsZero) {
  useOptions({{"start", "abc"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).start, 0);
  useOptions({{"start", "-3"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).start, 0);
  useOptions({{"start", " 2"}});  // leading space: no number
  EXPECT_EQ(tv::trackRange(args, 10, 30).start, 0);
  useOptions({{"start", "nan"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).start, 0);
}

TEST(TrackRange, EndIsCappedOneSecondPastTheDuration) {
  useOptions({{"end", "1e9"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).end, 11);
  useOptions({{"end", "nan"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).end, 11);
  useOptions({{"end", "4"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).end, 4);
}

TEST(TrackRange, AtIsClampedIntoStartToDuration) {
  useOptions({{"start", "2"}, {"at", "1e9"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).at, 10);
  useOptions({{"start", "2"}, {"at", "1"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).at, 2);
  useOptions({{"start", "2"}, {"at", "x"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).at, 2);
  useOptions({{"start", "2"}, {"at", "5.5"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).at, 5.5);
}

TEST(TrackRange, ExpectedFrameCount) {
  useOptions({{"start", "2"}, {"end", "4"}});
  EXPECT_EQ(tv::trackRange(args, 10, 30).expected, 60);
  EXPECT_EQ(tv::expectedFrames(10, 30, 0, 11), 300);
  EXPECT_EQ(tv::expectedFrames(10, 30, 12, 11), 1);   // start beyond the video
  EXPECT_EQ(tv::expectedFrames(10, 25, 0, 0.02), 1);  // half a frame rounds away from zero
  EXPECT_EQ(tv::expectedFrames(10, 25, 0, 0.06), 2);  // 1.5 frames
  EXPECT_EQ(tv::expectedFrames(INFINITY, 30, 0, INFINITY), 1);
  EXPECT_EQ(tv::expectedFrames(10, NAN, 0, 11), 1);
}

TEST(ProgressThrottle, FirstAlwaysThenAtMostEveryFourTenths) {
  using Clock = tv::ProgressThrottle::Clock;
  using std::chrono::milliseconds;
  tv::ProgressThrottle throttle;
  const Clock::time_point t0{};
  EXPECT_EQ(throttle.admit(1.0 / 60, t0), 1.0 / 60);
  EXPECT_FALSE(throttle.admit(2.0 / 60, t0 + milliseconds(100)));
  EXPECT_FALSE(throttle.admit(3.0 / 60, t0 + milliseconds(400)));  // not strictly more
  EXPECT_EQ(throttle.admit(4.0 / 60, t0 + milliseconds(401)), 4.0 / 60);
  EXPECT_FALSE(throttle.admit(5.0 / 60, t0 + milliseconds(700)));
  EXPECT_EQ(throttle.admit(1.7, t0 + milliseconds(900)), 1.0);  // more frames than expected
}

TEST(TrackFile, CompactObjectWithTheFourKeys) {
  tv::TrackResult result;
  result.samples = {{0, 0.5, 0.5, 1, 1, 1}, {0.033333, 0.49, 0.5, 1, 1, 1}};
  result.start = 0;
  result.end = 0.033333 + 1.0 / 30;
  auto text = tv::trackFileText(result, 30);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->find(' '), std::string::npos);
  EXPECT_EQ(text->find('\n'), std::string::npos);
  auto file = nlohmann::json::parse(*text);
  EXPECT_EQ(file.size(), 4u);
  EXPECT_EQ(file["fps"], 30.0);
  EXPECT_EQ(file["start"], 0.0);
  EXPECT_DOUBLE_EQ(file["end"].get<double>(), 0.033333 + 1.0 / 30);
  EXPECT_EQ(file["samples"],
            nlohmann::json::parse("[[0,0.5,0.5,1,1,1],[0.033333,0.49,0.5,1,1,1]]"));
}

TEST(TrackFile, NonFiniteValuesCannotBeEncoded) {
  tv::TrackResult result;
  result.samples = {{0, NAN, 0.5, 1, 1, 1}};
  EXPECT_FALSE(tv::trackFileText(result, 30));
  result.samples = {{0, 0.5, 0.5, 1, 1, 1}};
  result.end = INFINITY;
  EXPECT_FALSE(tv::trackFileText(result, 30));
}

}  // namespace
