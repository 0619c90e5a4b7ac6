#include "launcher/options.h"

#include <gtest/gtest.h>

namespace quorvel::launcher {
namespace {

using Args = std::vector<std::string>;

TEST(ParseOptions, FollowsTheCommandLineRules) {
  struct Case {
    const char* name;
    Args arguments;
    std::int64_t port;
    std::optional<std::string> dataArg;
    bool mayOpenBrowser;
    bool afterUpdate;
    Args launchArgs;
  };
  const Case cases[] = {
      {"defaults", {}, 5177, {}, true, false, {}},
      {"port", {"--port", "6000"}, 6000, {}, true, false, {"--port", "6000"}},
      {"port with plus is passed on as typed",
       {"--port", "+6000"},
       6000,
       {},
       true,
       false,
       {"--port", "+6000"}},
      {"unparsable port is consumed",
       {"--port", "abc", "--no-browser"},
       5177,
       {},
       false,
       false,
       {"--no-browser"}},
      {"option as port value", {"--port", "--no-browser"}, 5177, {}, true, false, {}},
      {"empty port", {"--port", ""}, 5177, {}, true, false, {}},
      {"port beyond 64 bits", {"--port", "9223372036854775808"}, 5177, {}, true, false, {}},
      {"negative port parses", {"--port", "-1"}, -1, {}, true, false, {"--port", "-1"}},
      {"data last", {"--data"}, 5177, {}, true, false, {}},
      {"data repeated",
       {"--data", "/a", "--data", "/b"},
       5177,
       "/b",
       true,
       false,
       {"--data", "/a", "--data", "/b"}},
      {"after update is not passed on",
       {"--after-update", "--no-browser"},
       5177,
       {},
       false,
       true,
       {"--no-browser"}},
      {"unknown arguments ignored", {"-psn_0_1234", "--Port", "7", "x"}, 5177, {}, true, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Options options = parseOptions(c.arguments);
    EXPECT_EQ(options.port, c.port);
    EXPECT_EQ(options.dataArg, c.dataArg);
    EXPECT_EQ(options.mayOpenBrowser, c.mayOpenBrowser);
    EXPECT_EQ(options.afterUpdate, c.afterUpdate);
    EXPECT_EQ(options.launchArgs, c.launchArgs);
  }
}

TEST(PortProblem, RefusesWhatIsNotATcpPort) {
  EXPECT_FALSE(portProblem(1));
  EXPECT_FALSE(portProblem(65535));
  EXPECT_EQ(portProblem(70000),
            "--port 70000: not a TCP port; use a number from 1 to 65535 (the default is 5177).");
  EXPECT_TRUE(portProblem(0));
  EXPECT_TRUE(portProblem(-1));
}

TEST(MakePaths, SupportFolderAndItsFiles) {
  Options options;
  options.supportArg = "/tmp/s/";
  const Paths given = makePaths("/opt/Quorvel.app", options, "/home/u/.local/share");
  EXPECT_EQ(given.support, "/tmp/s/");
  EXPECT_EQ(given.locationFile, "/tmp/s/data-location");
  EXPECT_EQ(given.defaultData, "/tmp/s/Data");
  EXPECT_EQ(given.contents, "/opt/Quorvel.app/Contents");
  EXPECT_EQ(given.resources, "/opt/Quorvel.app/Contents/Resources");
  const Paths standard = makePaths("/opt/Quorvel.app", Options{}, "/home/u/.local/share");
  EXPECT_EQ(standard.support, "/home/u/.local/share/Quorvel");
}

}  // namespace
}  // namespace quorvel::launcher
