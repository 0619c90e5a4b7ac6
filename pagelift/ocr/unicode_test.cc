#include "pagelift/ocr/unicode.h"

#include <gtest/gtest.h>

namespace ocr {
namespace {

TEST(Unicode, CountsUserPerceivedCharacters) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t characters;
    std::size_t dense;
  };
  const std::vector<Case> cases = {
      {"empty", "", 0, 0},
      {"word blank digit with line breaks", "\nWord 7\n", 8, 5},
      {"combining accent is one character", "e\xCC\x81t\xC3\xA9", 3, 3},
      {"carriage return and line feed are one", "a\r\nb", 3, 2},
      {"flag of two regional indicators", "\xF0\x9F\x87\xAF\xF0\x9F\x87\xB5", 1, 1},
      {"no-break and ideographic spaces",
       "a\xC2\xA0"
       "b\xE3\x80\x80"
       "c",
       5, 3},
      {"Japanese", "日本語", 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(characterCount(c.text), c.characters);
    EXPECT_EQ(denseLength(c.text), c.dense);
    EXPECT_EQ(denseLength(c.text, 2), std::min<std::size_t>(c.dense, 2));
  }
}

}  // namespace
}  // namespace ocr
