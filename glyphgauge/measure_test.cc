#include "glyphgauge/measure.h"

#include <gtest/gtest.h>

#include "common/files.h"
#include "pagelift/testing/fixtures.h"
#include "pagelift/testing/tool_run.h"

namespace glyphgauge {
namespace {

using nlohmann::json;

ocr::Observation line(const std::string& text, float confidence, double width, double height) {
  return {{0.05, 0.5, width, height}, ocr::Candidate{text, confidence}};
}

TEST(Measurement, CountsConfidentLinesAndTheTallestSubstantialOne) {
  struct Case {
    const char* name;
    std::vector<ocr::Observation> observations;
    double big;
    int lines;
  };
  const std::vector<Case> cases = {
      {"nothing recognised", {}, 0.0, 0},
      {"two-character word counts as a line only", {line("ok", 0.9f, 0.5, 0.2)}, 0.0, 1},
      {"narrow line counts as a line only", {line("narrow", 0.9f, 0.099, 0.2)}, 0.0, 1},
      {"a tenth of the width is wide enough", {line("wide", 0.9f, 0.1, 0.2)}, 0.2, 1},
      {"confidence exactly 0.3 counts", {line("edge", 0.3f, 0.5, 0.25)}, 0.25, 1},
      {"confidence below 0.3 is skipped", {line("faint", 0.29f, 0.5, 0.25)}, 0.0, 0},
      {"no candidate is skipped", {{{0, 0, 0.5, 0.3}, std::nullopt}}, 0.0, 0},
      {"characters are user-perceived",
       {line("e\xCC\x81"
             "e\xCC\x81",
             0.9f, 0.5, 0.2)},
       0.0,
       1},
      {"three combined characters count",
       {line("e\xCC\x81"
             "ab",
             0.9f, 0.5, 0.2)},
       0.2,
       1},
      {"tallest of several",
       {line("small body", 0.8f, 0.6, 0.05), line("Heading", 0.7f, 0.4, 0.12),
        line("faint giant", 0.1f, 0.9, 0.5), line("more body", 0.9f, 0.6, 0.05)},
       0.12,
       3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const json measured = measurement(c.observations);
    EXPECT_EQ(measured.size(), 2u);
    EXPECT_DOUBLE_EQ(measured.at("big").get<double>(), c.big);
    EXPECT_EQ(measured.at("lines"), c.lines);
    EXPECT_TRUE(measured.at("lines").is_number_integer());
  }
}

TEST(Glyphgauge, NoArgumentsIsAnEmptyArray) {
  const fixtures::ToolRun run = fixtures::runTool(GLYPHGAUGE_EXE, {});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "[]");
  EXPECT_EQ(run.err, "");
}

TEST(Glyphgauge, MeasuresEachPictureInArgumentOrder) {
  const fixtures::TempDir dir;
  // Body lines 24 pixels high and one 72-pixel heading; a picture 440 pixels high.
  const fixtures::Drawing page = fixtures::drawText(
      fixtures::kLatinFont, 24, {"Quiet morning letters", "Seven yellow windows"}, 20);
  fixtures::Drawing titled = fixtures::drawText(fixtures::kLatinFont, 72, {"Garden"}, 20);
  fixtures::writePicture(page, dir.file("page.png"), "png");
  fixtures::writePicture(titled, dir.file("title.jpg"), "jpg");
  const std::string png = quorvel::readFile(dir.file("page.png")).value();
  fixtures::writeBytes(dir.file("cut.png"), png.substr(0, png.size() / 2));
  const fixtures::ToolRun run = fixtures::runTool(
      GLYPHGAUGE_EXE,
      {dir.file("missing.png"), dir.file("page.png"), dir.file("cut.png"), dir.file("title.jpg")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  ASSERT_FALSE(run.out.empty());
  EXPECT_EQ(run.out.back(), ']');
  const json out = json::parse(run.out);
  ASSERT_EQ(out.size(), 4u) << run.out;
  EXPECT_EQ(out[0], json({{"big", 0}, {"lines", 0}}));
  EXPECT_EQ(out[2], json({{"big", 0}, {"lines", 0}}));
  EXPECT_EQ(out[1]["lines"], 2) << run.out;
  EXPECT_EQ(out[3]["lines"], 1) << run.out;
  // Line boxes run from the tallest ascender to the lowest descender: about the pixel size.
  const double bodyHeight = 24.0 / page.height;
  EXPECT_GT(out[1]["big"].get<double>(), 0.7 * bodyHeight) << run.out;
  EXPECT_LT(out[1]["big"].get<double>(), 1.3 * bodyHeight) << run.out;
  const double titleHeight = 72.0 / titled.height;
  EXPECT_GT(out[3]["big"].get<double>(), 0.7 * titleHeight) << run.out;
  EXPECT_LT(out[3]["big"].get<double>(), 1.3 * titleHeight) << run.out;
}

}  // namespace
}  // namespace glyphgauge
