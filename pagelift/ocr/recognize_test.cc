#include "pagelift/ocr/recognize.h"

#include <gtest/gtest.h>

#include "common/files.h"
#include "common/text.h"

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

TEST(Recognize, FollowsTheEnginesBlocksThenTheLineRuleWithinEach) {
  ScriptedEngine engine;
  Observation heading{at(0.1, 0.9, 0.08), Candidate{"Heading", 0.9f}, 0};
  Observation right1{at(0.55, 0.7, 0.05), Candidate{"right one", 0.9f}, 2};
  Observation left2{at(0.1, 0.6, 0.05), Candidate{"left two", 0.9f}, 1};
  Observation left1{at(0.1, 0.7, 0.05), Candidate{"left one", 0.9f}, 1};
  Observation right2{at(0.55, 0.6, 0.05), Candidate{"right two", 0.9f}, 2};
  engine.observations = std::vector<Observation>{right1, left2, heading, right2, left1};
  EXPECT_EQ(recognize(engine, tinyBitmap()), "Heading\nleft one\nleft two\nright one\nright two");
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

// Edits from the true text to the one read, over the length of the true text, in code points.
double characterErrorRate(const std::string& truth, const std::string& read) {
  const std::u32string expected = quorvel::codePoints(truth);
  return static_cast<double>(fixtures::editDistance(expected, quorvel::codePoints(read))) /
         static_cast<double>(expected.size());
}

// A page in two columns under a heading as wide as both: the heading, then the left column,
// then the right one, not their lines taken in turns.
TEST(TesseractRecognize, ColumnsAreReadOneAfterTheOther) {
  const std::vector<std::string> left = {
      "The river runs past the old mill", "where children play in summer and",
      "fishermen wait for the evening.",  "Every spring the water rises and",
      "the meadows turn green again.",    "Nobody remembers when the mill",
      "last ground any corn for bread."};
  const std::vector<std::string> right = {
      "Trains leave the station at seven", "and carry workers to the city.",
      "Their coats are wet from the rain", "and their papers full of news",
      "about prices, weather and sport.",  "At night the same trains bring",
      "them home again, tired and quiet."};
  const fixtures::Drawing heading =
      fixtures::drawText(fixtures::kLatinFont, 44, {"Notes from a small town"}, 40);
  const fixtures::Drawing page = fixtures::above(
      heading, fixtures::besides(fixtures::drawText(fixtures::kLatinFont, 24, left, 40),
                                 fixtures::drawText(fixtures::kLatinFont, 24, right, 40), 120));
  const std::unique_ptr<TextEngine> engine = makeTesseractEngine();
  const std::string read = recognize(*engine, bitmapOf(page));
  const std::string truth =
      "Notes from a small town\n" + quorvel::join(left, "\n") + "\n" + quorvel::join(right, "\n");
  EXPECT_LT(characterErrorRate(truth, read), 0.02) << read;
}

// A sheet that went through the scanner sideways or upside down reads as it does upright.
TEST(TesseractRecognize, PagesAreReadUprightHoweverTheyLie) {
  const fixtures::Drawing page =
      fixtures::drawText(fixtures::kLatinFont, 28,
                         {"Dear neighbours, the garden party", "takes place on Saturday afternoon",
                          "behind the library. Please bring", "a chair, a cup and something sweet",
                          "to share with the others. Children", "are welcome, and so are dogs."},
                         40);
  const std::unique_ptr<TextEngine> engine = makeTesseractEngine();
  const std::string upright = recognize(*engine, bitmapOf(page));
  ASSERT_FALSE(upright.empty());
  for (int turns = 1; turns < 4; ++turns) {
    SCOPED_TRACE(turns);
    const std::string read = recognize(*engine, bitmapOf(fixtures::turned(page, turns)));
    EXPECT_LT(characterErrorRate(upright, read), 0.02) << read;
  }
}

// A sheet fed a few degrees askew reads as it does straight: slanted, the lines' boxes run
// into their neighbours' and the reading order falls apart.
TEST(TesseractRecognize, AskewPagesAreReadStraight) {
  const fixtures::Drawing page =
      fixtures::drawText(fixtures::kLatinFont, 28,
                         {"The council meets on the first Monday of every month in the",
                          "old school hall. Residents who wish to speak should write to",
                          "the clerk a week before, giving their name and the matter they",
                          "want to raise. Minutes of each meeting are posted on the board",
                          "outside the post office and kept in the library for a year."},
                         60);
  const std::unique_ptr<TextEngine> engine = makeTesseractEngine();
  const std::string straight = recognize(*engine, bitmapOf(page));
  ASSERT_FALSE(straight.empty());
  for (const double degrees : {-12.0, 4.0, 9.0}) {
    SCOPED_TRACE(degrees);
    const std::string read = recognize(*engine, bitmapOf(fixtures::tilted(page, degrees)));
    EXPECT_LT(characterErrorRate(straight, read), 0.02) << read;
  }
}

// Pictures are read as they are meant to be seen: a phone's JPEG stores its pixels sideways
// and says so in EXIF; a TIFF says so in its own tag.
TEST(LoadPicture, FollowsTheOrientationThePictureCarries) {
  const fixtures::Drawing shown =
      fixtures::drawText(fixtures::kLatinFont, 32, {"Upright words"}, 20);
  const std::string folder = ::testing::TempDir();
  struct Case {
    const char* name;
    int orientation;
    int storedTurns;  // clockwise quarter turns from the picture as shown to its pixels
  };
  const std::vector<Case> cases = {
      {"as it is", 1, 0}, {"upside down", 3, 2}, {"turned right", 6, 3}, {"turned left", 8, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fixtures::Drawing stored = fixtures::turned(shown, c.storedTurns);
    const std::string plain = folder + "/plain.jpg";
    fixtures::writePicture(stored, plain, "jpg");
    const std::string jpeg = folder + "/exif.jpg";
    fixtures::writeBytes(jpeg,
                         fixtures::withExifOrientation(*quorvel::readFile(plain), c.orientation));
    EXPECT_EQ(jpegOrientation(*quorvel::readFile(jpeg)), c.orientation);
    const std::string tiff = folder + "/tagged.tif";
    fixtures::writeBytes(tiff, fixtures::tiffWithOrientation(stored, c.orientation));
    const std::string plainPng = folder + "/plain.png";
    fixtures::writePicture(stored, plainPng, "png");
    const std::string png = folder + "/exif.png";
    fixtures::writeBytes(png,
                         fixtures::withPngOrientation(*quorvel::readFile(plainPng), c.orientation));
    EXPECT_EQ(pngOrientation(*quorvel::readFile(png)), c.orientation);
    for (const std::string& path : {jpeg, tiff, png}) {
      SCOPED_TRACE(path);
      const Bitmap picture = loadPicture(path);
      ASSERT_TRUE(picture);
      EXPECT_EQ(bitmapWidth(picture), shown.width);
      EXPECT_EQ(bitmapHeight(picture), shown.height);
    }
  }
  EXPECT_EQ(jpegOrientation("not a picture"), 1);
  EXPECT_EQ(jpegOrientation(std::string("\xFF\xD8\xFF\xE1\x00\x02", 6)), 1);
}

}  // namespace
}  // namespace ocr
