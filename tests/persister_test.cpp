#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <thread>

#include "TovrinTracker/TrackerPersister.hpp"
#include "support/ChildProcess.hpp"
#include "support/TestSupport.hpp"

using tovrin::TrackerPersister;
using tovrin::test::ChildProcess;
using tovrin::test::LogCapture;
using tovrin::test::testProgram;
namespace fs = std::filesystem;

namespace {

struct StoreTest : ::testing::Test {
  tovrin::test::TempDir temp;
  fs::path folder = temp.path() / "app";
  fs::path file = folder / "defaults.json";
  void SetUp() override { TrackerPersister::setStoreDirectory(folder); }
  void TearDown() override { TrackerPersister::setStoreDirectory({}); }

  std::string run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{testProgram("store_tool"), folder.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv);
    auto line = child.readLine(std::chrono::seconds(20));
    auto status = child.wait(std::chrono::seconds(20));
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    return line.value_or("<no output>");
  }
  void writeFile(const std::string& text) {
    fs::create_directories(folder);
    std::ofstream(file) << text;
  }
};

}  // namespace

TEST_F(StoreTest, ValuesAreSharedByEveryPersisterAndSurviveARestart) {
  TrackerPersister a, b;
  EXPECT_FALSE(a.objectForKey("never"));
  a.setObject("v1", "app.uuid");
  EXPECT_EQ(b.objectForKey("app.uuid"), nlohmann::json("v1"));
  EXPECT_EQ(run({"get", "app.uuid"}), "v1");

  b.removeObjectForKey("app.uuid");
  b.removeObjectForKey("absent");
  EXPECT_FALSE(a.objectForKey("app.uuid"));
  EXPECT_EQ(run({"get", "app.uuid"}), "<none>");
}

TEST_F(StoreTest, FilesAreCreatedPrivate) {
  TrackerPersister().setObject("secret", "k");
  struct stat info {};
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(TrackerPersister::storePath(), file);
}

TEST_F(StoreTest, WriteSurvivesKillRightAfterItReturns) {
  for (int round = 0; round < 3; ++round) {
    const std::string value = "value-" + std::to_string(round);
    ChildProcess writer(
        {testProgram("store_tool"), folder.string(), "set", "key", value, "--hang"});
    ASSERT_EQ(writer.readLine(std::chrono::seconds(20)), "written");
    writer.kill(SIGKILL);
    ASSERT_TRUE(writer.wait(std::chrono::seconds(20)));
    EXPECT_EQ(run({"get", "key"}), value);
  }
}

TEST_F(StoreTest, TwoProcessesWritingAtOnceKeepBothSetsOfKeys) {
  fs::create_directories(folder);
  ChildProcess first({testProgram("store_tool"), folder.string(), "fill", "a", "40"});
  ChildProcess second({testProgram("store_tool"), folder.string(), "fill", "b", "40"});
  EXPECT_EQ(first.readLine(std::chrono::seconds(60)), "filled");
  EXPECT_EQ(second.readLine(std::chrono::seconds(60)), "filled");
  first.wait(std::chrono::seconds(20));
  second.wait(std::chrono::seconds(20));
  TrackerPersister store;  // sees the other processes' writes: the file changed under it
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(store.objectForKey("a" + std::to_string(i)), nlohmann::json(std::to_string(i)));
    EXPECT_EQ(store.objectForKey("b" + std::to_string(i)), nlohmann::json(std::to_string(i)));
  }
}

TEST_F(StoreTest, DamagedStoreFilesAreMovedAsideAndTheStoreStartsEmpty) {
  for (const std::string damaged : {"{\"k\": \"trunc", "not json", "[1, 2]"}) {
    LogCapture logs;
    writeFile(damaged);
    TrackerPersister::setStoreDirectory(folder);  // forget what was loaded
    TrackerPersister store;
    EXPECT_FALSE(store.objectForKey("k")) << damaged;
    EXPECT_EQ(logs.count("moved aside"), 1u) << damaged;
    store.setObject("fresh", "k");
    EXPECT_EQ(run({"get", "k"}), "fresh");
    bool keptAside = false;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename().string().rfind("defaults.json.corrupt-", 0) == 0) {
        std::ifstream in(entry.path());
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        keptAside = keptAside || content == damaged;
      }
    }
    EXPECT_TRUE(keptAside) << damaged;
    fs::remove(file);
  }
}

TEST_F(StoreTest, SymlinkInPlaceOfTheFileIsNeitherFollowedNorWrittenThrough) {
  LogCapture logs;
  const fs::path elsewhere = temp.path() / "elsewhere.json";
  std::ofstream(elsewhere) << R"({"k": "from elsewhere"})";
  fs::create_directories(folder);
  fs::create_symlink(elsewhere, file);
  TrackerPersister::setStoreDirectory(folder);
  TrackerPersister store;
  EXPECT_FALSE(store.objectForKey("k"));
  EXPECT_EQ(logs.count("symbolic link"), 1u);
  store.setObject("mine", "k");
  EXPECT_FALSE(fs::is_symlink(file));
  std::ifstream in(elsewhere);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, R"({"k": "from elsewhere"})");
}

TEST_F(StoreTest, UnwritableFolderKeepsValuesInMemoryWithOneLogLine) {
  // A folder below a regular file can be created by nobody, root included.
  LogCapture logs;
  const fs::path blocker = temp.path() / "blocker";
  std::ofstream(blocker) << "x";
  TrackerPersister::setStoreDirectory(blocker / "app");
  TrackerPersister store;
  store.setObject("one", "a");
  store.setObject("two", "b");
  EXPECT_EQ(store.objectForKey("a"), nlohmann::json("one"));
  EXPECT_EQ(store.objectForKey("b"), nlohmann::json("two"));
  EXPECT_EQ(logs.count("kept in memory only"), 1u);
}

TEST_F(StoreTest, ConcurrentThreadsOfOneProcessLoseNoKey) {
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      TrackerPersister store;
      for (int i = 0; i < 10; ++i)
        store.setObject(i, "t" + std::to_string(t) + "-" + std::to_string(i));
    });
  }
  for (auto& thread : threads)
    thread.join();
  TrackerPersister::setStoreDirectory(folder);  // reload from the file
  TrackerPersister store;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(store.objectForKey("t" + std::to_string(t) + "-" + std::to_string(i)),
                nlohmann::json(i));
    }
  }
}
