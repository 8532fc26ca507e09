#include <gtest/gtest.h>

#include <cmath>

#include "TovrinTracker/TimedEvent.hpp"
#include "support/TestSupport.hpp"

using tovrin::MutableTimedEvent;
using tovrin::Properties;
using tovrin::TimedEvent;

namespace {

std::shared_ptr<MutableTimedEvent> record(const Properties& properties = nullptr) {
  return MutableTimedEvent::timedEventWithName("A", properties, 0);
}

}  // namespace

TEST(TimedEvent, FactoryKeepsTheClassItIsCalledOnAndCopiesProperties) {
  Properties mine = {{"k", 1}};
  auto event = MutableTimedEvent::timedEventWithName("A", mine, 2.5);
  mine["k"] = 2;
  EXPECT_EQ(event->name(), "A");
  EXPECT_EQ(event->properties(), (Properties{{"k", 1}}));
  EXPECT_EQ(event->sessionLength(), 2.5);
  EXPECT_EQ(event->lastStartTime(), 0);
  std::shared_ptr<TimedEvent> plain = TimedEvent::timedEventWithName("B", nullptr, 0);
  EXPECT_EQ(std::dynamic_pointer_cast<MutableTimedEvent>(plain), nullptr);
  EXPECT_TRUE(plain->properties().is_null());
}

TEST(TimedEvent, AppendPropertiesMergesShallowlyWithNewerValuesWinning) {
  auto event = record({{"a", 0}, {"c", 3}, {"m", {{"y", 2}}}});
  event->appendProperties({{"a", 1}, {"b", 2}, {"m", {{"x", 1}}}});
  EXPECT_EQ(event->properties(), (Properties{{"a", 1}, {"b", 2}, {"c", 3}, {"m", {{"x", 1}}}}));

  auto empty = record();
  empty->appendProperties(nullptr);
  EXPECT_TRUE(empty->properties().is_object());
  EXPECT_TRUE(empty->properties().empty());
}

TEST(TimedEvent, IncrementsAreSummedInSinglePrecision) {
  auto event = record();
  event->incrementProperty("n");
  EXPECT_EQ(event->properties()["n"], 1.0);
  EXPECT_TRUE(event->properties()["n"].is_number_float());
  event->incrementProperty("n");
  EXPECT_EQ(event->properties()["n"], 2.0);

  event->incrementProperty("f", 0.1);
  EXPECT_EQ(event->properties()["f"].get<double>(), 0.10000000149011612);
  event->incrementProperty("f", 0.2);
  EXPECT_EQ(event->properties()["f"].get<double>(), 0.30000001192092896);

  auto counter = record({{"big", 16777216}, {"three", 3}, {"seven", 7}});
  counter->incrementProperty("big", 1);
  EXPECT_EQ(counter->properties()["big"].get<double>(), 16777216.0);
  counter->incrementProperty("three", 2.5);
  EXPECT_EQ(counter->properties()["three"].get<double>(), 5.5);
  counter->incrementProperty("seven", nullptr);
  EXPECT_EQ(counter->properties()["seven"].get<double>(), 7.0);
  EXPECT_TRUE(counter->properties()["seven"].is_number_float());
}

TEST(TimedEvent, IncrementReadsTextAndBooleans) {
  auto event = record({{"t", "  12.5 apples"}, {"word", "none"}, {"flag", true}});
  event->incrementProperty("t", 1);
  event->incrementProperty("word", "2");
  event->incrementProperty("flag", 1);
  EXPECT_EQ(event->properties()["t"], 13.5);
  EXPECT_EQ(event->properties()["word"], 2.0);
  EXPECT_EQ(event->properties()["flag"], 2.0);
}

TEST(TimedEvent, IncrementOfANestedValueLeavesTheRecordIntactAndLogs) {
  tovrin::test::LogCapture logs;
  auto event = record({{"map", {{"x", 1}}}, {"list", {1, 2}}, {"n", 1}});
  const Properties before = event->properties();
  event->incrementProperty("map", 1);
  event->incrementProperty("list", 1);
  event->incrementProperty("n", Properties::array({1}));
  EXPECT_EQ(event->properties(), before);
  EXPECT_EQ(logs.count("cannot increment"), 3u);
}

TEST(TimedEvent, PropertiesThatAreNotAnObjectAreRejectedWithALogLine) {
  tovrin::test::LogCapture logs;
  auto event = record({{"a", 1}});
  event->appendProperties(Properties::array({1, 2}));
  EXPECT_EQ(event->properties(), (Properties{{"a", 1}}));
  event->setProperties("text");
  EXPECT_TRUE(event->properties().is_null());
  EXPECT_EQ(logs.lines().size(), 2u);
}

TEST(TimedEvent, SessionLengthIsNotClamped) {
  auto event = MutableTimedEvent::timedEventWithName("A", nullptr, 3);
  event->appendSessionLength(-5);
  EXPECT_EQ(event->sessionLength(), -2);
}
