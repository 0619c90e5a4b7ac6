#include "pagelift/garbled.h"

#include <gtest/gtest.h>

namespace pagelift {
namespace {

TEST(Garbled, TellsTextThatCannotBeWhatThePageShows) {
  struct Case {
    const char* name;
    const char* text;
    bool garbled;
  };
  const Case cases[] = {
      {"English", "The committee meets on Tuesday to discuss the budget.", false},
      {"French", "Le conseil se réunit mardi pour discuter du budget.", false},
      {"German", "Straße, Größe, Übung und Äpfel", false},
      {"Japanese", "会議は火曜日に予算について話し合います。", false},
      {"simplified Chinese", "委员会星期二开会讨论预算。", false},
      {"traditional Chinese", "委員會星期二開會討論預算。", false},
      {"Korean", "위원회는 화요일에 예산을 논의합니다.", false},
      {"table of numbers", "2023 12.50 13.75 100.00\n2024 14.20 -3.5% 98.10\nTotal 1,234.56",
       false},
      {"code", "for (int i = 0; i < n; ++i) { sum += a[i]; }\nreturn std::max(x, y);", false},
      {"more code", "fn cmp(x: &str) -> bool { x.len() > 3 && !x.is_empty() }", false},
      {"formula", "(a+b)^2 = a^2 + 2ab + b^2", false},
      {"math symbols", "∀x ∈ ℝ: x² ≥ 0, ∑ᵢ aᵢ·bᵢ ≤ ‖a‖‖b‖", false},
      {"abbreviations", "NYC, LTD, CPR, HTML and PDF", false},
      {"words that look like glyph names", "gab gee gaff cafe cede unified", false},
      {"empty", "", false},
      {"a subset font without a map", "\"7+%-  (0$,/  \"7+%-  #'?*+", true},
      {"punctuation only", "!#$% &'()* +,-./ :;<=>?", true},
      {"private-use glyphs", "\uE001\uE002\uE003\uE004 \uE005\uE006", true},
      {"replacement characters", "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD ab", true},
      {"control characters", "\x01\x02\x03\x04\x05\x06 x", true},
      {"glyph names", "g12 g13 g44 g5 g19 g3", true},
      {"letters that spell nothing", "3KRQH QXPEHU Wkh frppl wwhh phhwv rq Wxhvgdb", true},
  };
  for (const Case& c : cases) EXPECT_EQ(looksGarbled(c.text), c.garbled) << c.name;
}

}  // namespace
}  // namespace pagelift
