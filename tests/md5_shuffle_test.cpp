#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TovrinTracker/MD5.hpp"
#include "TovrinTracker/Shuffle.hpp"
#include "support/TestSupport.hpp"

TEST(MD5, Rfc1321SuiteInUpperCase) {
  const std::pair<const char*, const char*> suite[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"}};
  for (const auto& [text, digest] : suite)
    EXPECT_EQ(tovrin::MD5String(text), digest) << text;
}

TEST(MD5, DigestsUtf8BytesUpToTheFirstNul) {
  using namespace std::string_literals;
  EXPECT_EQ(tovrin::MD5String("abc\0def"s), tovrin::MD5String("abc"));
  EXPECT_EQ(tovrin::MD5String("\0abc"s), tovrin::MD5String(""));
  EXPECT_EQ(tovrin::MD5String("\xC3\xA9"), "66DDCD97CFDEABB2F6FB8A999B4BC76F");  // "é"
  for (const std::string text : {"x", "\xF0\x9F\x98\x80", "a long line of text\n"}) {
    const std::string digest = tovrin::MD5String(text);
    EXPECT_EQ(digest.size(), 32U);
    EXPECT_EQ(digest.find_first_not_of("0123456789ABCDEF"), std::string::npos) << digest;
  }
}

namespace {

// Answers from a script of values and records every bound asked for.
class ScriptedSource : public tovrin::RandomSource {
 public:
  explicit ScriptedSource(std::vector<std::uint32_t> script = {}) : script_(std::move(script)) {}
  std::uint32_t uniform(std::uint32_t bound) override {
    bounds.push_back(bound);
    return next_ < script_.size() ? script_[next_++] : 0;
  }
  std::vector<std::uint32_t> bounds;

 private:
  std::vector<std::uint32_t> script_;
  std::size_t next_ = 0;
};

// A fixed-seed, unbiased source.
class SeededSource : public tovrin::RandomSource {
 public:
  explicit SeededSource(std::uint32_t seed) : engine_(seed) {}
  std::uint32_t uniform(std::uint32_t bound) override {
    return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(engine_);
  }

 private:
  std::mt19937 engine_;
};

std::vector<int> iota(int n) {
  std::vector<int> list(static_cast<std::size_t>(n));
  std::iota(list.begin(), list.end(), 0);
  return list;
}

}  // namespace

TEST(Shuffle, DrawsOncePerPositionWithShrinkingBounds) {
  ScriptedSource source({2, 0, 1, 1});
  std::vector<int> list = iota(5);
  std::vector<int>& result = tovrin::shuffle(list, source);
  EXPECT_EQ(&result, &list);
  EXPECT_EQ(source.bounds, (std::vector<std::uint32_t>{5, 4, 3, 2}));
  // i=0 swaps with 2, i=1 stays, i=2 swaps with 3, i=3 swaps with 4.
  EXPECT_EQ(list, (std::vector<int>{2, 1, 3, 4, 0}));

  for (const int n : {0, 1}) {
    ScriptedSource none;
    std::vector<int> small = iota(n);
    tovrin::shuffle(small, none);
    EXPECT_TRUE(none.bounds.empty());
    EXPECT_EQ(small, iota(n));
  }
  ScriptedSource one({1});
  std::vector<std::string> pair{"a", "b"};
  tovrin::shuffle(pair, one);
  EXPECT_EQ(pair, (std::vector<std::string>{"b", "a"}));
}

TEST(Shuffle, FaultySourceStopsWithALogLine) {
  ScriptedSource faulty({0, 7});
  tovrin::test::LogCapture logs;
  std::vector<int> list = iota(4);
  tovrin::shuffle(list, faulty);
  EXPECT_EQ(list, iota(4));
  EXPECT_EQ(faulty.bounds, (std::vector<std::uint32_t>{4, 3}));
  EXPECT_EQ(logs.count("returned 7 for a bound of 3"), 1U);
}

TEST(Shuffle, AllOrdersOfFourEquallyLikely) {
  SeededSource source(20261208);
  std::map<std::vector<int>, int> counts;
  const int rounds = 24000;
  for (int round = 0; round < rounds; ++round) {
    std::vector<int> list = iota(4);
    ++counts[tovrin::shuffle(list, source)];
  }
  ASSERT_EQ(counts.size(), 24U);
  const double expected = rounds / 24.0;
  double chiSquare = 0;
  for (const auto& [order, count] : counts) {
    chiSquare += (count - expected) * (count - expected) / expected;
  }
  EXPECT_LT(chiSquare, 49.73);  // 0.999 quantile for 23 degrees of freedom
}

TEST(Shuffle, DefaultSourceGivesPermutationsFromManyThreads) {
  auto work = [] {
    for (int round = 0; round < 200; ++round) {
      std::vector<int> list = iota(50);
      tovrin::shuffle(list);
      std::vector<int> sorted = list;
      std::sort(sorted.begin(), sorted.end());
      if (sorted != iota(50))
        return false;
    }
    return true;
  };
  bool okA = false;
  std::thread other([&] { okA = work(); });
  const bool okB = work();
  other.join();
  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);

  tovrin::RandomSource& source = tovrin::defaultRandomSource();
  EXPECT_EQ(source.uniform(0), 0U);
  EXPECT_EQ(source.uniform(1), 0U);
  std::uint32_t seenMask = 0;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_LT(source.uniform(0xFFFFFFFFU), 0xFFFFFFFFU);
    const std::uint32_t r = source.uniform(3);
    ASSERT_LT(r, 3U);
    seenMask |= 1U << r;
  }
  EXPECT_EQ(seenMask, 7U);  // every value of a small bound turns up
}
