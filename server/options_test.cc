#include "server/options.h"

#include <gtest/gtest.h>

namespace sonacap {
namespace {

TEST(ParseOptions, ArgumentLists) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    Options options;
  };
  const Case cases[] = {
      {"nothing", {}, {}},
      {"socket as the last argument has no value", {"--socket"}, {}},
      {"a later socket replaces an earlier one",
       {"--socket", "/tmp/s", "--socket", "/tmp/t"},
       {"/tmp/t", "", {}}},
      {"empty bundle pieces are dropped",
       {"--socket", "s", "--bundles", "a,,b"},
       {"s", "", {"a", "b"}}},
      {"bundles keep their spaces", {"--bundles", " a", "--socket", "s"}, {"s", "", {" a"}}},
      {"only commas give no bundles", {"--socket", "s", "--bundles", ",,"}, {"s", "", {}}},
      {"screen with bundles",
       {"--screen", "out.mp4", "--bundles", "a", "--socket", "s"},
       {"s", "out.mp4", {"a"}}},
      {"an empty screen value is system audio", {"--socket", "s", "--screen", ""}, {"s", "", {}}},
      {"a value may look like an option", {"--socket", "--screen", "x"}, {"--screen", "", {}}},
      {"other arguments are skipped one by one",
       {"--verbose", "--socket", "s", "-x", "--screen", "m.mp4"},
       {"s", "m.mp4", {}}},
      {"the argument after an unknown one is read on its own",
       {"--verbose", "--socket", "s"},
       {"s", "", {}}},
      {"an option at the end is ignored", {"--socket", "s", "--bundles"}, {"s", "", {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Options parsed = parseOptions(c.args);
    EXPECT_EQ(parsed.socketPath, c.options.socketPath);
    EXPECT_EQ(parsed.screenPath, c.options.screenPath);
    EXPECT_EQ(parsed.bundles, c.options.bundles);
  }
}

}  // namespace
}  // namespace sonacap
