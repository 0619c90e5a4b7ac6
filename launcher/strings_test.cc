#include "launcher/strings.h"

#include <gtest/gtest.h>

namespace quorvel::launcher {
namespace {

TEST(ChooseLanguage, FirstCodeThatLeadsToAChoiceDecides) {
  struct Case {
    std::vector<std::string> preferred;
    const char* lang;
  };
  const Case cases[] = {
      {{"fr-FR", "ja-JP", "en-US"}, "ja"},
      {{"de-DE"}, "en"},
      {{"en-GB", "ja"}, "en"},
      {{"zh-HK"}, "zh-Hant"},
      {{"zh-TW"}, "zh-Hant"},
      {{"zh-Hant-TW"}, "zh-Hant"},
      {{"zh-Hans-CN"}, "zh-Hans"},
      {{"zh-SG"}, "zh-Hans"},
      {{"zh-MO"}, "zh-Hans"},
      {{}, "en"},
      {{"EN-us", "ja"}, "ja"},  // the tests are case-sensitive
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.preferred));
    EXPECT_EQ(chooseLanguage(c.preferred), c.lang);
  }
}

TEST(Texts, LookupFallbackAndFormatting) {
  const StringTable& table = builtInStrings();
  EXPECT_EQ(table.size(), 16u);
  for (const auto& [key, texts] : table) {
    for (const char* lang : {"zh-Hans", "zh-Hant", "ja", "en"}) {
      EXPECT_TRUE(texts.count(lang)) << key << " " << lang;
    }
  }
  EXPECT_EQ(t(table, "ja", "quitAnyway"), "終了する");
  EXPECT_EQ(t(table, "en", "quitAnyway"), "Quit Anyway");
  EXPECT_EQ(t(table, "fr", "hide"), "Hide");
  EXPECT_EQ(t(table, "en", "portBusy", {"5177"}),
            "Port 5177 is used by another program, so Quorvel can't use it.");
  EXPECT_EQ(t(table, "zh-Hans", "noData", {"/Users/x/Data"}), "找不到数据文件夹：\n/Users/x/Data");
  EXPECT_EQ(
      t(table, "en", "noDisk", {"Stick"}),
      "The data folder is on “Stick”, which isn't connected. Connect it and click Try Again.");
  EXPECT_EQ(t(table, "en", "missing key %@"), "missing key %@");
  EXPECT_EQ(t(table, "en", "missing key %@", {"x"}), "missing key x");
  EXPECT_EQ(t(table, "en", "logAt"), "Full log: %@");
}

}  // namespace
}  // namespace quorvel::launcher
