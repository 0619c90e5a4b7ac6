#include "bundleswap/options.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bundleswap/tests/test_support.h"

namespace bundleswap {
namespace {

using Arguments = std::vector<std::string>;

const Arguments kComplete = {"--app",     "/A/Q.app",  "--new",       "/D/Q.app",
                             "--version", "2.1.0",     "--bundle-id", "org.quorvel.Quorvel",
                             "--team",    "ABCDE12345"};

Arguments with(Arguments extra) {
  Arguments all = kComplete;
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

TEST(ParseArguments, ReadsOptionsLeftToRight) {
  const Settings settings = parseArguments(with({"--wait",         "812",
                                                 "--wait",         "abc",
                                                 "--wait",         "0",
                                                 "--wait",         "-1",
                                                 "--wait",         "2147483648",
                                                 "--wait",         "+44",
                                                 "--relaunch-arg", "--port",
                                                 "--relaunch-arg", "5177",
                                                 "--relaunch-env", "QUORVEL_DATA=/d",
                                                 "--relaunch-env", "HOME=/x",
                                                 "--relaunch-env", "QUORVEL_NOVALUE",
                                                 "--result",       "/r.json",
                                                 "--log",          "/l.log",
                                                 "--cleanup",      "/c.zip",
                                                 "--unknown",      "--test",
                                                 "--app",          "/B/Q.app"}));
  EXPECT_EQ(settings.appPath, "/B/Q.app");
  EXPECT_EQ(settings.newPath, "/D/Q.app");
  EXPECT_EQ(settings.expectedVersion, "2.1.0");
  EXPECT_EQ(settings.bundleId, "org.quorvel.Quorvel");
  EXPECT_EQ(settings.teamId, "ABCDE12345");
  EXPECT_EQ(settings.waitPids, (std::vector<std::int32_t>{812, 44}));
  EXPECT_EQ(settings.relaunchArgs, (Arguments{"--port", "5177"}));
  EXPECT_EQ(settings.relaunchEnv, (Arguments{"QUORVEL_DATA=/d"}));
  EXPECT_EQ(settings.resultPath, "/r.json");
  EXPECT_EQ(settings.logPath, "/l.log");
  EXPECT_EQ(settings.cleanupPath, "/c.zip");
  EXPECT_TRUE(settings.wantTest);
}

TEST(ParseArguments, ValueOptionTakesWhateverFollows) {
  const Settings settings = parseArguments({"--app", "--new", "--team"});
  EXPECT_EQ(settings.appPath, "--new");
  EXPECT_EQ(settings.teamId, "");
  EXPECT_EQ(settings.newPath, "");
  EXPECT_TRUE(parseArguments({"--wait"}).waitPids.empty());
  EXPECT_TRUE(parseArguments({"--relaunch-arg"}).relaunchArgs.empty());
}

TEST(SettingsValid, Table) {
  struct Case {
    const char* name;
    Arguments arguments;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"complete", kComplete, true},
      {"no arguments", {}, false},
      {"team with lower case", with({"--team", "ABCDe12345"}), false},
      {"team of nine", with({"--team", "ABCDE1234"}), false},
      {"team of eleven", with({"--team", "ABCDE123456"}), false},
      {"bundle id with slash", with({"--bundle-id", "org/quorvel"}), false},
      {"bundle id with blank", with({"--bundle-id", "org quorvel"}), false},
      {"bundle id with quote", with({"--bundle-id", "org\"quorvel"}), false},
      {"empty app", with({"--app", ""}), false},
      {"empty new", with({"--new", ""}), false},
      {"empty version", with({"--version", ""}), false},
      {"version with slash", with({"--version", "../../x"}), false},
      {"version dot", with({"--version", "."}), false},
      {"version dot dot", with({"--version", ".."}), false},
      {"odd but harmless version", with({"--version", "2.1.0 beta (3)"}), true},
      {"missing value at the end", with({"--version"}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(settingsValid(parseArguments(c.arguments)), c.valid);
  }
}

TEST(PlacesFor, NamesStagingAndAsideBesideTheTarget) {
  const Places places = placesFor("Apps/./x/../Quorvel.app/", "2.1.0", 4242, "/home/u");
  EXPECT_EQ(places.target, "/home/u/Apps/Quorvel.app");
  EXPECT_EQ(places.parent, "/home/u/Apps");
  EXPECT_EQ(places.staging, "/home/u/Apps/.Quorvel-2.1.0-4242.app");
  EXPECT_EQ(places.aside, "/home/u/Apps/.Quorvel-old-4242.app");
  EXPECT_EQ(placesFor("/Quorvel.app", "1", 7, "/").staging, "/.Quorvel-1-7.app");
}

TEST(Installer, BadArgumentsListTheCommandLine) {
  testing::TempDir folder;
  const std::string result = folder.path() + "/result.json";
  const testing::Outcome outcome = testing::runProgram(
      BUNDLESWAP_PATH, {"--app", "/A/Q.app", "--team", "lower12345", "--result", result});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_TRUE(outcome.output.ends_with(std::string(" 参数不全：[\"") + BUNDLESWAP_PATH +
                                       "\", \"--app\", \"/A/Q.app\", \"--team\", "
                                       "\"lower12345\", \"--result\", \"" +
                                       result + "\"]\n"))
      << outcome.output;
  EXPECT_FALSE(std::filesystem::exists(result));
  const testing::Outcome bare = testing::runProgram(BUNDLESWAP_PATH, {});
  EXPECT_EQ(bare.status, 2);
  EXPECT_TRUE(bare.output.ends_with(std::string("参数不全：[\"") + BUNDLESWAP_PATH + "\"]\n"));
}

}  // namespace
}  // namespace bundleswap
