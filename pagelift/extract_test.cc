// The PDF path with recognisers that stand in for the engine, so that pages finish in an
// order chosen by the test: the document and the progress lines must not depend on it.
#include "pagelift/extract.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "pagelift/ocr/bitmap.h"
#include "pagelift/testing/fixtures.h"

namespace pagelift {
namespace {

constexpr int kPages = 6;

// Blank pages 100 + 10 × i points wide, so a recogniser can tell them apart by their bitmap.
std::string writeBlankPages(const std::string& path) {
  std::vector<fixtures::PdfPageSpec> pages;
  for (int i = 0; i < kPages; ++i) {
    fixtures::PdfPageSpec spec;
    spec.width = 100 + 10 * i;
    spec.height = 100;
    pages.push_back(spec);
  }
  fixtures::writeBytes(path, fixtures::pdfBytes(pages));
  return path;
}

// Reads page i as "page i", the earlier pages slower, so that later ones finish first.
Recognizer slowFirst() {
  return [](const ocr::Bitmap& bitmap) {
    const int page = (ocr::bitmapWidth(bitmap) / 3 - 100) / 10 + 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * (kPages - page)));
    return "page " + std::to_string(page);
  };
}

struct Outcome {
  nlohmann::json document;
  std::vector<std::string> progress;
};

Outcome run(const std::string& path, std::int64_t limit, int workers) {
  Outcome result;
  std::mutex mutex;
  const Progress progress = [&](int page, int count) {
    std::lock_guard lock(mutex);
    result.progress.push_back(std::to_string(page) + "/" + std::to_string(count));
  };
  result.document = pdfResult(path, limit, std::vector<Recognizer>(workers, slowFirst()), progress);
  return result;
}

TEST(PdfResult, ManyWorkersGiveWhatOneGivesWithProgressInPageOrder) {
  const std::string path = writeBlankPages(::testing::TempDir() + "/blank-pages.pdf");
  for (const std::int64_t limit : {std::int64_t{300}, std::int64_t{4}, std::int64_t{0}}) {
    SCOPED_TRACE(limit);
    const Outcome alone = run(path, limit, 1);
    const Outcome together = run(path, limit, 3);
    EXPECT_EQ(together.document, alone.document);
    EXPECT_EQ(together.progress, alone.progress);
    std::vector<std::string> expected;
    for (int page = 1; page <= std::min<std::int64_t>(limit, kPages); ++page) {
      expected.push_back(std::to_string(page) + "/" + std::to_string(kPages));
    }
    EXPECT_EQ(together.progress, expected);
    const auto& pages = together.document["pages"];
    ASSERT_EQ(pages.size(), static_cast<std::size_t>(kPages));
    for (int i = 0; i < kPages; ++i) {
      const bool read = i < limit;
      EXPECT_EQ(pages[i]["text"], read ? "page " + std::to_string(i + 1) : "") << i;
      EXPECT_EQ(pages[i]["ocr"], read) << i;
    }
  }
}

}  // namespace
}  // namespace pagelift
