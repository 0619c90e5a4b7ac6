#include "common/text.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(DecodeUtf8Lossy, EachInvalidSequenceBecomesOneReplacement) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string text;
  };
  const std::string r = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"ascii", "quorvel", "quorvel"},
      {"valid multibyte", "\xE5\x90\xAF\xF0\x9F\x8E\xA4", "\xE5\x90\xAF\xF0\x9F\x8E\xA4"},
      {"lone continuation", "a\x80z", "a" + r + "z"},
      {"truncated three-byte", "a\xE5\x90", "a" + r},
      {"overlong", "\xC0\xAF", r + r},
      {"surrogate", "\xED\xA0\x80", r + r + r},
      {"invalid lead", "\xFF\xFEx", r + r + "x"},
      {"cut four-byte then ascii", "\xF0\x9F\x8Ex", r + "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decodeUtf8Lossy(c.bytes), c.text);
  }
}

TEST(CodePoints, DecodesAndReplacesInvalidSequences) {
  EXPECT_EQ(codePoints("a\xE5\x90\xAF\xFFz"), (std::u32string{U'a', U'\u542F', U'\uFFFD', U'z'}));
}

TEST(TrimWhitespace, DropsUnicodeSpacesAndLineBreaksAtBothEnds) {
  EXPECT_EQ(trimWhitespace("  /data/notes\n"), "/data/notes");
  EXPECT_EQ(trimWhitespace("\xE3\x80\x80/a b\r\n\t"), "/a b");  // ideographic space
  EXPECT_EQ(trimWhitespace(" \n \n"), "");
  EXPECT_EQ(trimWhitespace(""), "");
}

TEST(Split, KeepsOrDropsEmptyPieces) {
  EXPECT_EQ(split("a\n\nb\n", '\n', false), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(split("a\n\nb\n", '\n', true), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(join({"a", "b", "c"}, "\n\n"), "a\n\nb\n\nc");
}

}  // namespace
}  // namespace quorvel
