#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.hpp"
#include "support/TestSupport.hpp"

using tovrin::test::ChildProcess;
using namespace std::chrono_literals;

namespace {

std::string tool(const std::string& name) {
  return std::string(TOVRIN_BINARY_DIR) + "/" + name;
}

// Runs a program to its end; its exit code and output.
std::pair<int, std::string> run(const std::vector<std::string>& argv) {
  auto result = tovrin::test::runProcess(argv, 60s);
  return {result.ended ? result.exitCode : -1, result.output};
}

}  // namespace

TEST(Tools, TrackDeliversToTheLocalCollectorAndReportsFailures) {
  tovrin::test::TempDir temp;
  const std::string jsonLines = (temp.path() / "requests.jsonl").string();
  ChildProcess collector(
      {tool("tovrin-collector"), "--write-key", "K3Y", "--log", jsonLines, "--quiet"});
  auto banner = collector.readLine(20s);
  ASSERT_TRUE(banner);
  const std::string url = banner->substr(banner->find("http://"));

  auto [ok, okOutput] =
      run({tool("tovrin-track"), "--write-key", "K3Y", "--collector", url, "--geolocation", url,
           "--geolocation-key", "G", "Saved", R"({"size": 3})"});
  EXPECT_EQ(ok, 0) << okOutput;
  EXPECT_NE(okOutput.find("delivered \"Saved\""), std::string::npos);

  auto [wrongKey, wrongOutput] =
      run({tool("tovrin-track"), "--write-key", "nope", "--collector", url, "Saved"});
  EXPECT_EQ(wrongKey, 1);

  EXPECT_EQ(run({tool("tovrin-track"), "--write-key", "K3Y", "Saved", "{not json"}).first, 2);
  EXPECT_EQ(run({tool("tovrin-track"), "Saved"}).first, 2);
  EXPECT_EQ(run({tool("tovrin-track"), "--write-key", "K3Y", "--collector",
                 "http://collector.example.com", "Saved"})
                .first,
            1);
  auto [help, helpText] = run({tool("tovrin-track"), "--help"});
  EXPECT_EQ(help, 0);
  EXPECT_NE(helpText.find("--geolocation-key"), std::string::npos);

  collector.kill(SIGTERM);
  auto status = collector.wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_NE(collector.remainingOutput().find("1 events received, 1 rejected"), std::string::npos);

  std::ifstream in(jsonLines);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 3u);  // lookup, delivered event, rejected event
  EXPECT_EQ(lines[0]["path"], "/json/");
  EXPECT_EQ(lines[1]["body"]["event"], "Saved");
  EXPECT_EQ(lines[1]["body"]["properties"]["size"], 3);
  EXPECT_EQ(lines[1]["body"]["context"]["ip"], "198.51.100.23");
  EXPECT_EQ(lines[2]["status"], 401);
}

TEST(Tools, TrackGivesUpWhenNothingAnswers) {
  int closedPort;
  {
    ChildProcess probe({tool("tovrin-collector"), "--quiet"});
    auto banner = probe.readLine(20s);
    ASSERT_TRUE(banner);
    closedPort = std::stoi(banner->substr(banner->rfind(':') + 1));
  }  // killed: the port is closed again
  auto [code, output] = run({tool("tovrin-track"), "--write-key", "K", "--collector",
                             "http://127.0.0.1:" + std::to_string(closedPort), "E"});
  EXPECT_EQ(code, 1) << output;
}

TEST(Tools, DemoEndsWithItsVerdict) {
  tovrin::test::TempDir home;
  ::setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
  auto [code, output] = run({tool("tovrin-demo")});
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(code, 0) << output;
  EXPECT_NE(output.find("Verdict: OK"), std::string::npos) << output;
  EXPECT_NE(output.find("location=Zurich, Switzerland"), std::string::npos) << output;
}
