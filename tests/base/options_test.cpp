#include "base/options.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tv {
namespace {

// The command line of the last walk.
CommandLine walked;

std::optional<std::string> walk(std::vector<const char*> args) {
  args.insert(args.begin(), "tarnel-vision");
  return readArguments(static_cast<int>(args.size()), args.data(), walked);
}

TEST(ArgumentWalk, StartUpErrorsInTheirOrder) {
  EXPECT_EQ(walk({}), "usage: tarnel-vision video|image|skin --input <file> ...");
  EXPECT_EQ(walk({"track"}), "--input is required");
  EXPECT_EQ(walk({"foo"}), "--input is required");
  EXPECT_EQ(walk({"foo", "--input", "a.mov"}), std::nullopt);
  EXPECT_EQ(walked.command, "foo");
}

TEST(ArgumentWalk, PairsArePositional) {
  // (x, --input) is skipped whole and a.mov has no partner.
  EXPECT_EQ(walk({"track", "x", "--input", "a.mov"}), "--input is required");
  ASSERT_EQ(walk({"track", "--input", "--mode"}), std::nullopt);
  EXPECT_EQ(walked.inputURL, "--mode");
  EXPECT_EQ(walked.mode, "person");
  ASSERT_EQ(walk({"track", "--input", "a.mov", "--input", "b.mov", "--mode"}), std::nullopt);
  EXPECT_EQ(walked.inputURL, "b.mov");
  EXPECT_EQ(walked.options.count("mode"), 0u);
  ASSERT_EQ(walk({"track", "--input", "a", "--", "empty key", "--mode", "face"}), std::nullopt);
  EXPECT_EQ(walked.options.at(""), "empty key");
  EXPECT_EQ(walked.mode, "face");
}

TEST(ArgumentWalk, PointNeedsExactlyTwoNumbers) {
  auto pointOf = [](const char* text) {
    walk({"image", "--input", "a", "--point", text});
    return walked.point;
  };
  auto p = pointOf("0.5,0.25");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->x, 0.5);
  EXPECT_EQ(p->y, 0.25);
  EXPECT_FALSE(pointOf("0.5"));
  EXPECT_FALSE(pointOf("0.5,0.25,0.1"));
  EXPECT_FALSE(pointOf("0.5, 0.25"));  // the second piece starts with a space
  ASSERT_TRUE(pointOf("0.5,,0.25"));
  ASSERT_TRUE(pointOf("a,0.5,0.25"));
  EXPECT_EQ(walked.point->x, 0.5);
  walk({"image", "--input", "a"});
  EXPECT_FALSE(walked.point);
}

TEST(Numbers, WholeTextInTheCLocaleOnly) {
  EXPECT_EQ(parseNumber("2.5"), 2.5);
  EXPECT_EQ(parseNumber("-3"), -3);
  EXPECT_EQ(parseNumber("1e3"), 1000);
  EXPECT_EQ(parseNumber("+4"), 4);
  EXPECT_FALSE(parseNumber(""));
  EXPECT_FALSE(parseNumber(" 1"));
  EXPECT_FALSE(parseNumber("1 "));
  EXPECT_FALSE(parseNumber("1,5"));
  EXPECT_FALSE(parseNumber("abc"));
  EXPECT_FALSE(parseNumber(std::string("1\0" "2", 3)));
  auto nan = parseNumber("nan");
  ASSERT_TRUE(nan);
  EXPECT_TRUE(std::isnan(*nan));
  EXPECT_EQ(parseNumbers("0.5,,abc,0.5,0.2,0.2,"), (std::vector<double>{0.5, 0.5, 0.2, 0.2}));
  EXPECT_TRUE(parseNumbers("").empty());
}

TEST(Numbers, OptionFallsBackWhenMissingOrNotANumber) {
  walk({"track", "--input", "a", "--start", "abc", "--end", "7.5"});
  EXPECT_EQ(walked.number("start", 0), 0);
  EXPECT_EQ(walked.number("end", 0), 7.5);
  EXPECT_EQ(walked.number("at", -1), -1);
}

}  // namespace
}  // namespace tv
