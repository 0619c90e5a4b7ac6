// pagelift as the server runs it: the built tool on documents made by the test.
#include <gtest/gtest.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include "common/files.h"
#include "common/process.h"
#include "pagelift/command_line.h"
#include "pagelift/testing/fixtures.h"
#include "pagelift/testing/tool_run.h"

namespace {

using fixtures::PdfPageSpec;
using nlohmann::json;

fixtures::ToolRun pagelift(const std::vector<std::string>& arguments) {
  return fixtures::runTool(PAGELIFT_EXE, arguments);
}

json page(int n, const std::string& text, bool ocr) {
  return {{"n", n}, {"text", text}, {"ocr", ocr}};
}

// A page of at least 12 dense characters, which is never sent to OCR.
PdfPageSpec textPage(const std::vector<std::string>& lines) {
  PdfPageSpec spec;
  double y = 700;
  for (const std::string& line : lines) {
    spec.text.push_back({72, y, 12, line});
    y -= 16;
  }
  return spec;
}

// A small empty page: cheap to render and recognise.
PdfPageSpec blankPage() {
  PdfPageSpec spec;
  spec.width = 200;
  spec.height = 100;
  return spec;
}

class Pagelift : public ::testing::Test {
 protected:
  std::string writePdf(const std::string& name, const std::vector<PdfPageSpec>& pages) {
    const std::string path = dir.file(name);
    fixtures::writeBytes(path, fixtures::pdfBytes(pages));
    return path;
  }

  // The tool's output must be one JSON document and a single line feed after it.
  static json documentOf(const fixtures::ToolRun& run) {
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(run.out.empty());
    if (run.out.empty()) return nullptr;
    EXPECT_EQ(run.out.back(), '\n');
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1);
    return json::parse(run.out.substr(0, run.out.size() - 1));
  }

  void qpdfEncrypt(const std::string& in, const std::string& out, const std::string& user) {
    quorvel::SpawnRequest request;
    request.executable = "qpdf";
    request.searchPath = true;
    request.arguments = {"--encrypt", user, "owner-secret", "256", "--", in, out};
    std::string error;
    const std::optional<quorvel::Captured> result = quorvel::runCaptured(request, &error);
    ASSERT_TRUE(result) << error;
    ASSERT_TRUE(result->status.success()) << result->output;
  }

  fixtures::TempDir dir;
};

TEST_F(Pagelift, NoArgumentsPrintsTheUsageLine) {
  const fixtures::ToolRun run = pagelift({});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "usage: pagelift <file> [--ocr-limit N]\n");
}

// A PNG header that announces a picture of width × height grey pixels, and no pixel data.
std::string pngHeader(std::uint32_t width, std::uint32_t height) {
  std::string chunk = "IHDR";
  for (std::uint32_t value : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) chunk += static_cast<char>(value >> shift);
  }
  chunk += std::string("\x08\x00\x00\x00\x00", 5);
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(chunk.data()), chunk.size());
  std::string png = "\x89PNG\r\n\x1a\n";
  png += std::string("\x00\x00\x00\x0d", 4) + chunk;
  for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>(crc >> shift);
  return png;
}

TEST_F(Pagelift, BadInputGivesTheErrorDocument) {
  std::string random;
  std::uint32_t state = 7;
  for (int i = 0; i < 4096; ++i) {
    state = state * 1103515245u + 12345u;
    random += static_cast<char>(state >> 16);
  }
  const std::string lockedSource = writePdf("source.pdf", {textPage({"A page behind a password"})});
  qpdfEncrypt(lockedSource, dir.file("locked.pdf"), "user-secret");
  fixtures::writeBytes(dir.file("empty.pdf"), "");
  fixtures::writeBytes(dir.file("random.pdf"), random);
  fixtures::writeBytes(dir.file("random.png"), random);
  fixtures::writeBytes(dir.file("notes.txt"), "plain words, not a picture\n");
  fixtures::writeBytes(dir.file("huge.png"), pngHeader(30000, 30000));
  fixtures::writeBytes(dir.file("scan"), "");
  fixtures::writeBytes(dir.file("document.png"), fixtures::pdfBytes({textPage({"A PDF by name"})}));
  const fixtures::Drawing words = fixtures::drawText(fixtures::kLatinFont, 20, {"Cut short"}, 8);
  for (const char* format : {"png", "jpg"}) {
    const std::string whole = dir.file(std::string("whole.") + format);
    fixtures::writePicture(words, whole, format);
    const std::string bytes = quorvel::readFile(whole).value();
    fixtures::writeBytes(dir.file(std::string("cut.") + format), bytes.substr(0, bytes.size() / 2));
  }

  struct Case {
    std::vector<std::string> arguments;
    const char* document;
  };
  const std::vector<Case> cases = {
      {{dir.file("missing.pdf")}, R"({"error":"unreadable"})"},
      {{dir.file("missing.png")}, R"({"error":"unreadable"})"},
      {{dir.file("empty.pdf")}, R"({"error":"unreadable"})"},
      {{dir.file("random.pdf")}, R"({"error":"unreadable"})"},
      {{dir.file("random.png")}, R"({"error":"unreadable"})"},
      {{dir.file("notes.txt")}, R"({"error":"unreadable"})"},
      {{dir.file("document.png")}, R"({"error":"unreadable"})"},
      {{dir.file("huge.png")}, R"({"error":"unreadable"})"},
      {{dir.file("cut.png")}, R"({"error":"unreadable"})"},
      {{dir.file("cut.jpg")}, R"({"error":"unreadable"})"},
      {{dir.file("scan"), "--ocr-limit", "3"}, R"({"error":"unreadable"})"},
      {{"--ocr-limit", "4"}, R"({"error":"unreadable"})"},
      {{dir.file("locked.pdf")}, R"({"error":"locked"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front());
    const fixtures::ToolRun run = pagelift(c.arguments);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string(c.document) + "\n");
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(Pagelift, DamagedPdfGivesOneDocument) {
  const std::string whole = fixtures::pdfBytes(
      {textPage({"First page of many words"}), textPage({"Second page of many words"})});
  for (const std::size_t keep : {whole.size() / 4, whole.size() / 2, whole.size() - 20}) {
    SCOPED_TRACE(keep);
    fixtures::writeBytes(dir.file("cut.pdf"), whole.substr(0, keep));
    const fixtures::ToolRun run = pagelift({dir.file("cut.pdf")});
    const json document = documentOf(run);
    EXPECT_TRUE(document.contains("kind") != document.contains("error")) << run.out;
    EXPECT_EQ(run.err.find_first_not_of("0123456789/\n"), std::string::npos) << run.err;
  }
}

TEST_F(Pagelift, EmbeddedTextIsTakenWithoutOcr) {
  const std::string path = writePdf(
      "text.PDF", {textPage({"Shared folders of the quiet reader", "Second line, with (brackets)"}),
                   textPage({"Page two carries its own words"})});
  const fixtures::ToolRun run = pagelift({path});
  const json expected = {
      {"kind", "pdf"},
      {"pages",
       {page(1, "Shared folders of the quiet reader\nSecond line, with (brackets)", false),
        page(2, "Page two carries its own words", false)}}};
  EXPECT_EQ(documentOf(run), expected);
  EXPECT_EQ(run.err, "");
}

// A font without a Unicode map puts text on the page that is not what it shows: such a page
// is read instead. Real text of the kinds that look odd stays, and is never read.
TEST_F(Pagelift, GarbledTextIsReadFromThePageAndRealTextStays) {
  PdfPageSpec garbled = textPage({"\"7+%-  (0$,/  \"7+%-  #'?*+"});
  garbled.width = 400;
  garbled.height = 200;
  garbled.text.front().y = 150;
  garbled.scan = fixtures::drawText(fixtures::kLatinFont, 40, {"Phone and email"}, 40);
  const std::vector<std::string> kept = {"2023 12.50 13.75 100.00 2024 14.20 -3.5% 98.10",
                                         "for (int i = 0; i < n; ++i) { sum += a[i]; }",
                                         "(a+b)^2 = a^2 + 2ab + b^2"};
  std::vector<PdfPageSpec> pages = {garbled};
  for (const std::string& text : kept) {
    PdfPageSpec spec = textPage({text});
    spec.scan = fixtures::drawText(fixtures::kLatinFont, 40, {"Something else entirely"}, 40);
    pages.push_back(spec);
  }
  const fixtures::ToolRun run = pagelift({writePdf("garbled.pdf", pages)});
  const json document = documentOf(run);
  EXPECT_EQ(document["pages"][0], page(1, "Phone and email", true));
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(document["pages"][i + 1], page(static_cast<int>(i) + 2, kept[i], false));
  }
  EXPECT_EQ(run.err, "1/4\n");
}

TEST_F(Pagelift, PdfWithoutPagesIsAnEmptyPdfResult) {
  const fixtures::ToolRun run = pagelift({writePdf("none.pdf", {})});
  EXPECT_EQ(run.out, "{\"kind\":\"pdf\",\"pages\":[]}\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(Pagelift, EmptyOpenPasswordProceeds) {
  const std::string source = writePdf("plain.pdf", {textPage({"Readable without asking"})});
  qpdfEncrypt(source, dir.file("owner-only.pdf"), "");
  const json expected = {{"kind", "pdf"}, {"pages", {page(1, "Readable without asking", false)}}};
  EXPECT_EQ(documentOf(pagelift({dir.file("owner-only.pdf")})), expected);
}

TEST_F(Pagelift, OcrBudgetGoesToTheEarliestPagesThatNeedIt) {
  const std::string path = writePdf("blank.pdf", std::vector<PdfPageSpec>(5, blankPage()));
  json blanks = json::array();
  for (int n = 1; n <= 5; ++n) blanks.push_back(page(n, "", false));
  const json expected = {{"kind", "pdf"}, {"pages", blanks}};
  struct Case {
    std::vector<std::string> limit;
    const char* progress;
  };
  const std::vector<Case> cases = {
      {{"--ocr-limit", "2"}, "1/5\n2/5\n"},
      {{"--ocr-limit", "-3"}, ""},
      {{}, "1/5\n2/5\n3/5\n4/5\n5/5\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.limit));
    std::vector<std::string> arguments = {path};
    arguments.insert(arguments.end(), c.limit.begin(), c.limit.end());
    const fixtures::ToolRun run = pagelift(arguments);
    EXPECT_EQ(documentOf(run), expected);
    EXPECT_EQ(run.err, c.progress);
  }
}

TEST_F(Pagelift, SparsePagesKeepTheLongerOfTheirTextAndTheRecognisedText) {
  // Page 1 shows only its own five dense characters; page 2 a scan with a longer line
  // under the same few characters; page 3 enough text never to be rendered.
  PdfPageSpec sparse = blankPage();
  sparse.width = 300;
  sparse.text = {{40, 50, 24, "Word 7"}};
  PdfPageSpec scanned = sparse;
  scanned.scan =
      fixtures::drawText(fixtures::kLatinFont, 40, {"", "", "Quiet morning letters"}, 30);
  scanned.width = scanned.scan->width * 72.0 / 200;
  scanned.height = scanned.scan->height * 72.0 / 200;
  scanned.text = {{10, scanned.height - 24, 14, "Word 7"}};
  const std::string path =
      writePdf("sparse.pdf", {sparse, scanned, textPage({"Twelve or more dense characters"})});
  const fixtures::ToolRun run = pagelift({path});
  const json document = documentOf(run);
  EXPECT_EQ(run.err, "1/3\n2/3\n");
  ASSERT_EQ(document["pages"].size(), 3u) << run.out;
  EXPECT_EQ(document["pages"][0], page(1, "Word 7", false));
  EXPECT_EQ(document["pages"][1]["ocr"], true);
  EXPECT_NE(document["pages"][1]["text"].get<std::string>().find("Quiet morning letters"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(document["pages"][2], page(3, "Twelve or more dense characters", false));
}

TEST_F(Pagelift, DegenerateAndExtremeMediaBoxes) {
  PdfPageSpec tiny;
  tiny.width = 1;
  tiny.height = 1;
  PdfPageSpec wide = blankPage();
  wide.width = 20000;
  const std::string path = writePdf("boxes.pdf", {tiny, wide, blankPage()});
  const fixtures::ToolRun run = pagelift({path, "--ocr-limit", "1"});
  const json expected = {{"kind", "pdf"},
                         {"pages", {page(1, "", false), page(2, "", false), page(3, "", false)}}};
  EXPECT_EQ(documentOf(run), expected);
  // The 1-point page is not rendered and leaves the budget to the 20000-point one.
  EXPECT_EQ(run.err, "2/3\n");
}

TEST_F(Pagelift, PicturesAreRecognisedAsOnePage) {
  const fixtures::Drawing words =
      fixtures::drawText(fixtures::kLatinFont, 32, {"Seven letters"}, 24);
  const json expected = {{"kind", "image"}, {"pages", {page(1, "Seven letters", true)}}};
  for (const char* format : {"png", "jpg", "bmp", "tiff"}) {
    SCOPED_TRACE(format);
    const std::string path = dir.file(std::string("words.") + format);
    fixtures::writePicture(words, path, format);
    const fixtures::ToolRun run = pagelift({path, "--ocr-limit", "0"});
    EXPECT_EQ(documentOf(run), expected);
    EXPECT_EQ(run.err, "");
  }
  fixtures::writePicture(fixtures::blank(300, 120), dir.file("blank"), "png");
  EXPECT_EQ(documentOf(pagelift({dir.file("blank")})),
            json({{"kind", "image"}, {"pages", {page(1, "", true)}}}));
}

TEST_F(Pagelift, FirstArgumentIsTheFileWhateverItLooksLike) {
  fixtures::writePicture(fixtures::drawText(fixtures::kLatinFont, 32, {"Seven letters"}, 24),
                         dir.file("--ocr-limit"), "png");
  const fixtures::ToolRun run = fixtures::runTool(PAGELIFT_EXE, {"--ocr-limit", "4"}, dir.path());
  const json expected = {{"kind", "image"}, {"pages", {page(1, "Seven letters", true)}}};
  EXPECT_EQ(documentOf(run), expected);
  EXPECT_EQ(run.err, "");
}

TEST_F(Pagelift, MultipageTiffGivesItsFirstPage) {
  const std::string path = dir.file("pages.tif");
  fixtures::writeMultipageTiff(
      {fixtures::drawText(fixtures::kLatinFont, 32, {"First page words"}, 24),
       fixtures::drawText(fixtures::kLatinFont, 32, {"Second page words"}, 24)},
      path);
  const json expected = {{"kind", "image"}, {"pages", {page(1, "First page words", true)}}};
  EXPECT_EQ(documentOf(pagelift({path})), expected);
  // Cutting the file short breaks the second page only.
  const std::string whole = quorvel::readFile(path).value();
  fixtures::writeBytes(dir.file("broken.tiff"), whole.substr(0, whole.size() - 300));
  const fixtures::ToolRun run = pagelift({dir.file("broken.tiff")});
  EXPECT_EQ(documentOf(run), expected);
  EXPECT_EQ(run.err, "");
}

}  // namespace
