#include <gtest/gtest.h>

#include <stdexcept>

#include "TovrinTracker/Each.hpp"

namespace {

struct Element {
  virtual ~Element() = default;
};

struct Greeter {
  virtual ~Greeter() = default;
  virtual int greet(const std::string& text) = 0;
};

struct Recorder : Element, Greeter {
  Recorder(std::vector<std::string>* log, std::string name, int result = 0)
      : log(log), name(std::move(name)), result(result) {}
  int greet(const std::string& text) override {
    log->push_back(name + ":" + text);
    if (name == "thrower")
      throw std::runtime_error("boom");
    return result;
  }
  std::vector<std::string>* log;
  std::string name;
  int result;
};

struct Silent : Element {};

using List = std::vector<std::shared_ptr<Element>>;

}  // namespace

TEST(Each, CallsSupportingElementsInOrderAndSkipsTheOthers) {
  std::vector<std::string> log;
  auto list = std::make_shared<List>(List{std::make_shared<Recorder>(&log, "A", 1),
                                          std::make_shared<Silent>(),
                                          std::make_shared<Recorder>(&log, "C", 2)});
  auto result = tovrin::each(list).call<Greeter>([](Greeter& g) { return g.greet("hi"); });
  EXPECT_EQ(log, (std::vector<std::string>{"A:hi", "C:hi"}));
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, 2);  // the last handler's result
  EXPECT_TRUE(tovrin::each(list).respondsTo<Greeter>());
}

TEST(Each, EmptyAbsentOrUnsupportedListsDoNothing) {
  auto empty = std::make_shared<List>();
  EXPECT_FALSE(tovrin::each(empty).call<Greeter>([](Greeter& g) { return g.greet("x"); }));
  tovrin::Each<Element> absent(nullptr);
  int calls = 0;
  absent.call([&](Element&) { ++calls; });
  auto silent = std::make_shared<List>(List{std::make_shared<Silent>()});
  EXPECT_FALSE(tovrin::each(silent).respondsTo<Greeter>());
  EXPECT_FALSE(tovrin::each(silent).call<Greeter>([](Greeter& g) { return g.greet("x"); }));
  EXPECT_EQ(calls, 0);
}

TEST(Each, ExceptionEndsTheWalkAndReachesTheCaller) {
  std::vector<std::string> log;
  auto list = std::make_shared<List>(
      List{std::make_shared<Recorder>(&log, "thrower"), std::make_shared<Recorder>(&log, "B")});
  EXPECT_THROW(tovrin::each(list).call<Greeter>([](Greeter& g) { g.greet("x"); }),
               std::runtime_error);
  EXPECT_EQ(log, (std::vector<std::string>{"thrower:x"}));
}

TEST(Each, SharesTheLiveListAndNeverCachesAProxy) {
  std::vector<std::string> log;
  auto list = std::make_shared<List>(List{std::make_shared<Recorder>(&log, "A")});
  auto proxy = tovrin::each(list);
  list->push_back(std::make_shared<Recorder>(&log, "late"));
  proxy.call<Greeter>([](Greeter& g) { g.greet("x"); });
  EXPECT_EQ(log, (std::vector<std::string>{"A:x", "late:x"}));
  EXPECT_EQ(tovrin::each(list).array(), tovrin::each(list).array());
}

TEST(Each, ElementAppendedDuringTheWalkDoesNotBreakIt) {
  std::vector<std::string> log;
  auto list = std::make_shared<List>();
  struct Appender : Element, Greeter {
    std::shared_ptr<List> list;
    std::vector<std::string>* log;
    int greet(const std::string& text) override {
      log->push_back("appender:" + text);
      for (int i = 0; i < 100; ++i)
        list->push_back(std::make_shared<Silent>());
      return 0;
    }
  };
  auto appender = std::make_shared<Appender>();
  appender->list = list;
  appender->log = &log;
  list->push_back(appender);
  list->push_back(std::make_shared<Recorder>(&log, "B"));
  tovrin::each(list).call<Greeter>([](Greeter& g) { g.greet("x"); });
  EXPECT_EQ(log, (std::vector<std::string>{"appender:x", "B:x"}));
  list->clear();  // break the cycle appender -> list -> appender
}
