#include "launcher/server_process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "common/files.h"
#include "common/session_environment.h"
#include "launcher/data_folder.h"
#include "launcher/test_support.h"

namespace quorvel::launcher {
namespace {

using testing::TempDir;

TEST(ServerEnvironment, ReplacesPathDropsNodeVariablesAndAddsSettings) {
  const ServerSettings settings{"/A.app/Contents",
                                "/A.app/Contents/Resources",
                                "/s",
                                "/d",
                                "",
                                {"--port", "6000", "--data", "/x/y"},
                                6000};
  const auto env =
      serverEnvironment({"PATH=/usr/local/bin", "NODE_OPTIONS=--inspect", "NODE_PATH=/n",
                         "NODE_EXTRA_CA_CERTS=/c", "LANG=ja_JP.UTF-8", "PORT=1"},
                        settings);
  EXPECT_EQ(env, (std::vector<std::string>{
                     "LANG=ja_JP.UTF-8",
                     "PATH=/A.app/Contents/Resources/bin:/A.app/Contents/Resources/yt-dlp:"
                     "/usr/bin:/bin:/usr/sbin:/sbin",
                     "PORT=6000",
                     "QUORVEL_BUNDLE=/A.app/Contents",
                     "QUORVEL_DATA=/d",
                     "QUORVEL_LAUNCH_ARGS=[\"--port\",\"6000\",\"--data\",\"/x/y\"]",
                     "QUORVEL_SESSION_PATH=/usr/local/bin",
                     "QUORVEL_SUPPORT=/s",
                     "QUORVEL_VERSION=",
                 }));
  EXPECT_EQ(launchArgsJson({"bad\xFF"}), "[]");
}

// What the server passes on to a relaunched launcher must be the launcher's own environment.
TEST(ServerEnvironment, TheSessionCanBeRebuiltFromIt) {
  const ServerSettings settings{
      "/A.app/Contents", "/A.app/Contents/Resources", "/s", "/d", "1.0", {}, 5177};
  const std::vector<std::string> session = {"HOME=/home/u", "LANG=ja_JP.UTF-8",
                                            "QUORVEL_SCREEN=x11", "PATH=/home/u/bin:/usr/bin"};
  EXPECT_EQ(sessionEnvironment(serverEnvironment(session, settings)),
            (std::vector<std::string>{"HOME=/home/u", "LANG=ja_JP.UTF-8", "QUORVEL_SCREEN=x11",
                                      "PATH=/home/u/bin:/usr/bin"}));
}

TEST(LogHeader, FramesTheDateAndVersion) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(logHeader("1.2.3", 1796860800),
            "\n===== 2026-12-10 00:00:00 Quorvel 1.2.3 启动 =====\n");
  EXPECT_EQ(logHeader("", 1796860800), "\n===== 2026-12-10 00:00:00 Quorvel  启动 =====\n");
}

TEST(OpenServerLog, DeletesOnlyALogPastTheLimit) {
  TempDir temp;
  for (const std::uint64_t size : {LOG_LIMIT, LOG_LIMIT + 1}) {
    SCOPED_TRACE(size);
    const std::string path = temp.path() + "/server.log";
    ASSERT_TRUE(writeFile(path, std::string(size, 'x')));
    const int fd = openServerLog(path, "HEADER");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "more", 4), 4);
    ::close(fd);
    const std::uint64_t expected = size > LOG_LIMIT ? 10 : size + 10;
    EXPECT_EQ(fileSize(path), expected);
  }
  EXPECT_EQ(openServerLog(temp.path() + "/missing/server.log", "HEADER"), -1);
}

TEST(LastLogLines, KeepsTheLastNonEmptyLines) {
  TempDir temp;
  const std::string path = temp.path() + "/server.log";
  ASSERT_TRUE(writeFile(path, "a\n\nb\nc\xFF\n\n"));
  EXPECT_EQ(lastLogLines(path, 2), "b\nc\xEF\xBF\xBD");
  EXPECT_EQ(lastLogLines(path, 6), "a\nb\nc\xEF\xBF\xBD");
  EXPECT_EQ(lastLogLines(temp.path() + "/none", 6), "");
}

// The data-folder step with the alert answered from a script.
class DataFolderTest : public ::testing::Test {
 protected:
  std::optional<std::string> resolve(std::vector<DataFolderAnswer> answers,
                                     std::function<void()> beforeAnswer = nullptr) {
    return resolveDataFolder(
        place, [](const std::string& path) { return "noData " + path; },
        [](const std::string& disk) { return "noDisk " + disk; },
        [&](const std::string& informative) {
          asked.push_back(informative);
          if (beforeAnswer) beforeAnswer();
          if (answers.empty()) return DataFolderAnswer::quit;
          const DataFolderAnswer answer = answers.front();
          answers.erase(answers.begin());
          return answer;
        });
  }
  void record(const std::string& content) {
    std::filesystem::create_directories(temp.path() + "/s");
    ASSERT_TRUE(writeFile(place.locationFile, content));
  }

  TempDir temp;
  DataFolderPlace place{{},
                        temp.path() + "/s/data-location",
                        temp.path() + "/s/Data",
                        {temp.path() + "/media/u", temp.path() + "/media"}};
  std::vector<std::string> asked;
};

TEST_F(DataFolderTest, DefaultFolderIsCreatedWithItsParents) {
  EXPECT_EQ(resolve({}), place.defaultData);
  EXPECT_TRUE(isDirectory(place.defaultData));
  EXPECT_TRUE(asked.empty());
}

TEST_F(DataFolderTest, RecordedFolderIsUsedAsItStands) {
  const std::string notes = temp.path() + "/Notes";
  std::filesystem::create_directories(notes);
  record(" " + notes + "\n");
  EXPECT_EQ(resolve({}), notes);
  EXPECT_FALSE(pathExists(place.defaultData));
  record(" \n\t\n");
  EXPECT_EQ(resolve({}), place.defaultData);
  EXPECT_TRUE(asked.empty());
}

TEST_F(DataFolderTest, MissingDiskOrFolderIsAskedAbout) {
  record(temp.path() + "/media/u/Stick/Notes");
  EXPECT_EQ(resolve({DataFolderAnswer::quit}), std::nullopt);
  std::filesystem::create_directories(temp.path() + "/media/u/Stick");
  EXPECT_EQ(resolve({DataFolderAnswer::quit}), std::nullopt);
  EXPECT_EQ(asked, (std::vector<std::string>{"noDisk Stick",
                                             "noData " + temp.path() + "/media/u/Stick/Notes"}));
  EXPECT_FALSE(pathExists(temp.path() + "/media/u/Stick/Notes"));
}

TEST_F(DataFolderTest, RetryFindsTheConnectedFolder) {
  const std::string notes = temp.path() + "/media/u/Stick/Notes";
  record(notes);
  EXPECT_EQ(resolve({DataFolderAnswer::retry}, [&] { std::filesystem::create_directories(notes); }),
            notes);
  EXPECT_EQ(asked.size(), 1u);
}

TEST_F(DataFolderTest, UseDefaultRemovesTheLocationFile) {
  record(temp.path() + "/Missing");
  EXPECT_EQ(resolve({DataFolderAnswer::retry, DataFolderAnswer::useDefault}), place.defaultData);
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_FALSE(pathExists(place.locationFile));
  EXPECT_FALSE(pathExists(temp.path() + "/Missing"));
}

TEST_F(DataFolderTest, FolderOnTheCommandLineIsCreatedWithoutAsking) {
  record(temp.path() + "/Missing");
  place.dataArg = temp.path() + "/a/b/c";
  EXPECT_EQ(resolve({}), temp.path() + "/a/b/c");
  EXPECT_TRUE(isDirectory(temp.path() + "/a/b/c"));
  EXPECT_TRUE(asked.empty());
}

}  // namespace
}  // namespace quorvel::launcher
