// In the address-sanitizer build, leak checking must really run, or a leak anywhere in the suite
// would pass unnoticed: a child that leaks on purpose has to be reported.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/ChildProcess.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define TOVRIN_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOVRIN_ADDRESS_SANITIZER 1
#endif
#endif

TEST(SanitizerCanary, LeakSanitizerReportsADeliberateLeak) {
#ifndef TOVRIN_ADDRESS_SANITIZER
  GTEST_SKIP() << "not an address-sanitizer build";
#else
  const auto result = tovrin::test::runProcess({tovrin::test::testProgram("leak_canary")},
                                               std::chrono::seconds(60));
  ASSERT_TRUE(result.ended) << result.output;
  EXPECT_NE(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("ERROR: LeakSanitizer: detected memory leaks"), std::string::npos)
      << result.output;
#endif
}
