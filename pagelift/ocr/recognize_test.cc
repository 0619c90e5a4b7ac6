#include "pagelift/ocr/recognize.h"

#include <gtest/gtest.h>

#include "pagelift/testing/fixtures.h"

namespace ocr {
namespace {

// A box given by its left edge, vertical centre and height.
Box at(double minX, double midY, double height) { return {minX, midY - height / 2, 0.2, height}; }

std::vector<std::string> sortedTexts(std::vector<Piece> pieces) {
  sortReadingOrder(pieces);
  std::vector<std::string> texts;
  for (const Piece& piece : pieces) texts.push_back(piece.text);
  return texts;
}

TEST(ReadingOrder, SortsTopToBottomThenLeftToRight) {
  struct Case {
    const char* name;
    std::vector<Piece> pieces;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"higher first",
       {{at(0.1, 0.2, 0.05), "low"}, {at(0.1, 0.8, 0.05), "high"}},
       {"high", "low"}},
      {"right piece reported first on one line",
       {{at(0.6, 0.5, 0.05), "right"}, {at(0.1, 0.5, 0.05), "left"}},
       {"left", "right"}},
      // A heading twice as tall whose centre is within 0.6 body heights of the body line.
      {"tall heading on a body line",
       {{at(0.5, 0.5, 0.05), "body"}, {at(0.1, 0.5 + 0.029, 0.1), "heading"}},
       {"heading", "body"}},
      // Centres exactly 0.6 × 0.625 = 0.375 apart still share a line.
      {"distance exactly at the tolerance",
       {{at(0.6, 0.875, 0.625), "right"}, {at(0.1, 0.5, 0.625), "left"}},
       {"left", "right"}},
      {"just beyond the tolerance",
       {{at(0.6, 0.8751, 0.625), "upper"}, {at(0.1, 0.5, 0.625), "lower"}},
       {"upper", "lower"}},
      {"same line and left edge keep their order",
       {{at(0.1, 0.5, 0.05), "first"}, {at(0.1, 0.51, 0.05), "second"}},
       {"first", "second"}},
      {"three lines of two pieces",
       {{at(0.5, 0.3, 0.05), "f"},
        {at(0.5, 0.9, 0.05), "b"},
        {at(0.1, 0.6, 0.05), "c"},
        {at(0.1, 0.9, 0.05), "a"},
        {at(0.5, 0.6, 0.05), "d"},
        {at(0.1, 0.3, 0.05), "e"}},
       {"a", "b", "c", "d", "e", "f"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sortedTexts(c.pieces), c.expected);
  }
}

TEST(ReadingOrder, SlantedLineStaysWithinBounds) {
  // Each neighbour shares a line with the next, the ends do not: no strict weak order.
  std::vector<Piece> pieces;
  for (int i = 0; i < 40; ++i) pieces.push_back({at(0.02 * (40 - i), 0.1 + 0.02 * i, 0.05), "x"});
  sortReadingOrder(pieces);
  EXPECT_EQ(pieces.size(), 40u);
}

TEST(RecognitionLanguages, KeepsSupportedPreferredLanguagesInPreferredOrder) {
  struct Case {
    const char* name;
    std::optional<std::vector<std::string>> supported;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"query failed", std::nullopt, {}},
      {"none of the preferred", std::vector<std::string>{"de-DE", "fr-FR"}, {}},
      {"English and Japanese", std::vector<std::string>{"en-US", "ja-JP"}, {"ja-JP", "en-US"}},
      {"all five and more",
       std::vector<std::string>{"ko-KR", "en-US", "zh-Hant", "de-DE", "zh-Hans", "ja-JP"},
       {"ja-JP", "zh-Hans", "zh-Hant", "en-US", "ko-KR"}},
      {"identifiers compare exactly", std::vector<std::string>{"en-us", "ja-jp"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(recognitionLanguages(c.supported), c.expected);
  }
}

// Stands in for the engine where the real one cannot be made to fail or to list languages on
// demand; records the settings it was asked for.
class ScriptedEngine final : public TextEngine {
 public:
  std::optional<std::vector<std::string>> supported;
  std::optional<std::vector<Observation>> observations;
  std::vector<Settings> asked;

  std::optional<std::vector<std::string>> supportedLanguages() override { return supported; }
  std::optional<std::vector<Observation>> recognize(const Bitmap&,
                                                    const Settings& settings) override {
    asked.push_back(settings);
    return observations;
  }
};

Bitmap tinyBitmap() {
  const std::vector<unsigned char> white(16 * 16, 255);
  return grayBitmap(white.data(), 16, 16, 16, 72);
}

TEST(Recognize, AsksForAccurateCorrectedAutoDetectedSupportedLanguages) {
  ScriptedEngine engine;
  engine.supported = std::vector<std::string>{"en-US", "ja-JP", "de-DE"};
  engine.observations = std::vector<Observation>{};
  EXPECT_EQ(recognize(engine, tinyBitmap()), "");
  ASSERT_EQ(engine.asked.size(), 1u);
  EXPECT_TRUE(engine.asked[0].languageCorrection);
  EXPECT_TRUE(engine.asked[0].automaticLanguageDetection);
  EXPECT_EQ(engine.asked[0].languages, (std::vector<std::string>{"ja-JP", "en-US"}));
}

TEST(Recognize, RunsWithDefaultLanguagesWhenNoneIsSupported) {
  ScriptedEngine engine;
  engine.supported = std::nullopt;
  engine.observations = std::vector<Observation>{{at(0.1, 0.5, 0.1), Candidate{"text", 0.9f}}};
  EXPECT_EQ(recognize(engine, tinyBitmap()), "text");
  ASSERT_EQ(engine.asked.size(), 1u);
  EXPECT_TRUE(engine.asked[0].languages.empty());
}

TEST(Recognize, JoinsCandidatesInReadingOrderAndSkipsObservationsWithoutOne) {
  ScriptedEngine engine;
  engine.observations = std::vector<Observation>{
      {at(0.6, 0.8, 0.05), Candidate{"world", 0.2f}},
      {at(0.1, 0.5, 0.05), std::nullopt},
      {at(0.1, 0.8, 0.05), Candidate{"hello", 0.9f}},
      {at(0.1, 0.3, 0.05), Candidate{"below", 0.5f}},
  };
  EXPECT_EQ(recognize(engine, tinyBitmap()), "hello\nworld\nbelow");
}

TEST(Recognize, FailedRecognitionIsEmptyText) {
  ScriptedEngine engine;
  engine.observations = std::nullopt;
  EXPECT_EQ(recognize(engine, tinyBitmap()), "");
}

Bitmap bitmapOf(const fixtures::Drawing& drawing) {
  return grayBitmap(drawing.gray.data(), drawing.width, drawing.height, drawing.width, 0);
}

// The real engine on pictures drawn with known fonts.
TEST(TesseractRecognize, ReadsPicturesInTheirOwnScript) {
  const std::unique_ptr<TextEngine> engine = makeTesseractEngine();
  EXPECT_EQ(recognize(*engine, bitmapOf(fixtures::blank(400, 200))), "");
  const fixtures::Drawing english =
      fixtures::drawText(fixtures::kLatinFont, 32, {"Quiet morning", "Seven letters"}, 30);
  EXPECT_EQ(recognize(*engine, bitmapOf(english)), "Quiet morning\nSeven letters");
  const fixtures::Drawing japanese =
      fixtures::drawText(fixtures::kCjkFont, 40, {"日本語の文章を読む", "駅の近くの図書館"}, 30);
  EXPECT_EQ(recognize(*engine, bitmapOf(japanese)), "日本語の文章を読む\n駅の近くの図書館");
  const fixtures::Drawing chinese =
      fixtures::drawText(fixtures::kCjkFont, 40, {"中国人民银行", "简体中文测试"}, 30);
  EXPECT_EQ(recognize(*engine, bitmapOf(chinese)), "中国人民银行\n简体中文测试");
  const fixtures::Drawing korean =
      fixtures::drawText(fixtures::kCjkFont, 40, {"한국어 문장을", "읽는 시험입니다"}, 30);
  EXPECT_EQ(recognize(*engine, bitmapOf(korean)), "한국어 문장을\n읽는 시험입니다");
}

}  // namespace
}  // namespace ocr
