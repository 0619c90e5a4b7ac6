#include "bundleswap/report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "bundleswap/tests/test_support.h"
#include "common/text.h"

namespace bundleswap {
namespace {

TEST(ResultJson, FailureHasSixKeysAndSuccessFour) {
  const auto at = std::chrono::system_clock::from_time_t(1740816930);  // 2025-03-01T08:15:30Z
  EXPECT_EQ(
      resultJson({false, "2.0.0", "2.1.0", "busy", "still running"}, at),
      R"({"at":"2025-03-01T08:15:30Z","code":"busy","error":"still running","from":"2.0.0","ok":false,"to":"2.1.0"})");
  EXPECT_EQ(resultJson({true, "", "2.1.0", "ignored", "ignored"}, at),
            R"({"at":"2025-03-01T08:15:30Z","from":"","ok":true,"to":"2.1.0"})");
}

TEST(WriteResult, ReplacesTheFileAndSkipsAnEmptyPath) {
  testing::TempDir folder;
  const std::string path = folder.path() + "/result.json";
  testing::writeText(path, "old contents that are longer than the new ones, much longer");
  writeResult(path, {true, "1", "2", {}, {}});
  const auto document = nlohmann::json::parse(testing::readText(path));
  EXPECT_EQ(document["ok"], true);
  EXPECT_EQ(document.size(), 4u);
  writeResult("", {true, "1", "2", {}, {}});
  writeResult(folder.path() + "/missing/result.json", {true, "1", "2", {}, {}});
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}

TEST(LogLine, CreatesThenAppendsStampedLines) {
  testing::TempDir folder;
  const std::string path = folder.path() + "/install.log";
  logLine(path, "换好了");
  logLine(path, "打开了 /A/Q.app");
  logLine(folder.path() + "/missing/install.log", "still goes to standard error");
  const auto lines = quorvel::split(testing::readText(path), '\n', false);
  ASSERT_EQ(lines.size(), 2u);
  const std::regex stamped(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ (.*)$)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[0], match, stamped));
  EXPECT_EQ(match[1], "换好了");
  ASSERT_TRUE(std::regex_match(lines[1], match, stamped));
  EXPECT_EQ(match[1], "打开了 /A/Q.app");
}

TEST(RunTool, JoinsBothStreamsInOrderAndReportsStartErrors) {
  const ToolRun both =
      runTool("/bin/sh", {"-c", "echo one; echo two >&2; echo three; printf '\\377'; exit 3"});
  EXPECT_EQ(both.status, 3);
  EXPECT_EQ(both.output, "one\ntwo\nthree\n\xEF\xBF\xBD");
  const ToolRun missing = runTool("/nonexistent/tool", {});
  EXPECT_EQ(missing.status, -1);
  EXPECT_EQ(missing.output, "posix_spawn: No such file or directory");
}

}  // namespace
}  // namespace bundleswap
