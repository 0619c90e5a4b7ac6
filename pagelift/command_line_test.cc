#include "pagelift/command_line.h"

#include <gtest/gtest.h>

#include "pagelift/extract.h"

namespace pagelift {
namespace {

TEST(CommandLine, OcrLimitIsTheIntegerAfterTheFirstOption) {
  struct Case {
    std::vector<std::string> arguments;
    std::int64_t limit;
  };
  const std::vector<Case> cases = {
      {{"a.pdf"}, 300},
      {{"a.pdf", "--ocr-limit", "5"}, 5},
      {{"a.pdf", "--ocr-limit", "5", "--ocr-limit", "9"}, 5},
      {{"a.pdf", "--ocr-limit", "x", "--ocr-limit", "9"}, 300},
      {{"a.pdf", "--ocr-limit"}, 300},
      {{"a.pdf", "--ocr-limit", "-3"}, -3},
      {{"a.pdf", "--ocr-limit", "+7"}, 7},
      {{"a.pdf", "--ocr-limit", "0"}, 0},
      {{"a.pdf", "--ocr-limit", ""}, 300},
      {{"a.pdf", "--ocr-limit", "-"}, 300},
      {{"a.pdf", "--ocr-limit", "5 "}, 300},
      {{"a.pdf", "--ocr-limit", "1e3"}, 300},
      {{"a.pdf", "--ocr-limit", "9223372036854775807"}, INT64_MAX},
      {{"a.pdf", "--ocr-limit", "-9223372036854775808"}, INT64_MIN},
      {{"a.pdf", "--ocr-limit", "9223372036854775808"}, 300},
      {{"a.pdf", "--OCR-limit", "5"}, 300},
      {{"a.pdf", "--ocr-limit=5"}, 300},
      {{"--ocr-limit", "4"}, 4},
      {{"a.pdf", "x", "--ocr-limit", "2"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    EXPECT_EQ(ocrLimitOf(c.arguments), c.limit);
  }
}

TEST(CommandLine, PdfPathByExtensionOfTheLastComponent) {
  struct Case {
    const char* path;
    bool pdf;
  };
  const std::vector<Case> cases = {
      {"doc.pdf", true},       {"doc.PDF", true},    {"/a/b/Doc.Pdf", true},
      {"scan", false},         {"notes.txt", false}, {"archive.pdf.png", false},
      {"dir.pdf/scan", false}, {"a.tar.pdf", true},  {"--ocr-limit", false},
      {"doc.pdfx", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(isPdfPath(c.path), c.pdf);
  }
}

TEST(RenderScale, LongerSideAt2400NeverAboveThreeTimes) {
  struct Case {
    double width;
    double height;
    std::optional<double> scale;
  };
  const std::vector<Case> cases = {
      {612, 792, 3.0},        {595.276, 841.89, 2400.0 / 841.89},
      {3000, 2000, 0.8},      {800, 100, 3.0},
      {20000, 300, 0.12},     {1, 500, std::nullopt},
      {500, 1, std::nullopt}, {0.5, 0.5, std::nullopt},
      {1.01, 2, 3.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << " x " << c.height);
    EXPECT_EQ(renderScale(c.width, c.height), c.scale);
  }
}

}  // namespace
}  // namespace pagelift
