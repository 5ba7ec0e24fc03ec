#include "base/events.h"

#include "support/child.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

namespace tv {
namespace {

using tvtest::inChild;

TEST(Emit, OneCompactLinePerEvent) {
  auto outcome = inChild([] {
    emit(Event{{"progress", 0.5}});
    emit(Event{{"done", true}, {"frames", 3}, {"note", "two\nlines \"quoted\" \\ ünï"}});
  });
  EXPECT_EQ(outcome.status, 0);
  ASSERT_EQ(outcome.lines.size(), 2u);
  EXPECT_EQ(outcome.lines[0], R"({"progress":0.5})");
  auto done = nlohmann::json::parse(outcome.lines[1]);
  EXPECT_EQ(done["note"], "two\nlines \"quoted\" \\ ünï");
  EXPECT_EQ(done["frames"].get<int>(), 3);
  EXPECT_TRUE(done["frames"].is_number_integer());
}

TEST(Emit, NonFiniteNumbersDropTheLine) {
  auto outcome = inChild([] {
    emit(Event{{"progress", std::numeric_limits<double>::quiet_NaN()}});
    emit(Event{{"samples", {{1.0, std::numeric_limits<double>::infinity()}}}});
    emit(Event{{"after", 1}});
  });
  ASSERT_EQ(outcome.lines.size(), 1u);
  EXPECT_EQ(outcome.lines[0], R"({"after":1})");
}

TEST(Fail, WritesTheErrorAndExitsWithOne) {
  auto outcome = inChild([] { fail(""); });
  EXPECT_EQ(outcome.status, 1);
  ASSERT_EQ(outcome.lines.size(), 1u);
  EXPECT_EQ(outcome.lines[0], R"({"error":""})");
  // Invalid UTF-8 in a path is mended rather than losing the error line.
  auto mended = inChild([] { fail(std::string("cannot write \xff.png: denied")); });
  EXPECT_EQ(mended.status, 1);
  ASSERT_EQ(mended.lines.size(), 1u);
  EXPECT_TRUE(nlohmann::json::parse(mended.lines[0]).contains("error"));
}

TEST(Fail, RemovesRegisteredTemporaryFiles) {
  std::string temporary = testing::TempDir() + "events-test.partial";
  std::ofstream(temporary) << "half";
  auto outcome = inChild([&] {
    discardOnFailure(temporary);
    fail("stop");
  });
  EXPECT_EQ(outcome.status, 1);
  EXPECT_FALSE(std::ifstream(temporary).good());
}

}  // namespace
}  // namespace tv
