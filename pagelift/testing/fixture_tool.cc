// Writes benchmark documents: pagelift_fixture text|scan-en|scan-ja|columns|turned|skewed <pages>
// <out.pdf>. The text on every page is also written, pages separated by form feeds, to
// <out.pdf>.txt. pagelift_fixture score <truth.txt> <read.txt> prints the character accuracy of a
// reading: 1 - edit distance / characters, white space left out, page by page.
#include <algorithm>
#include <array>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/text.h"
#include "pagelift/testing/fixtures.h"

namespace {

const std::vector<std::string> kWords = {
    "the",     "paper",    "reader",  "number", "window",  "garden", "silver",  "market",
    "simple",  "question", "travel",  "yellow", "morning", "letter", "history", "station",
    "light",   "water",    "example", "friend", "winter",  "orange", "picture", "machine",
    "quietly", "above",    "between", "seven",  "through", "under",  "village", "bright"};

const std::vector<std::string> kJapanese = {"今日は天気がとても良いので公園へ行きました",
                                            "日本語の文章を読み取る試験です",
                                            "駅の近くに新しい図書館ができました",
                                            "私は毎朝六時に起きて散歩します",
                                            "この本はとても面白いと思います",
                                            "山の上から海がよく見えました"};

constexpr std::array<double, 7> kSkews = {-12, -8, -4, 0, 4, 8, 12};

std::uint32_t nextRandom(std::uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

std::string englishLine(std::uint32_t& state, std::size_t length) {
  std::string line;
  while (line.size() < length) {
    if (!line.empty()) line += ' ';
    line += kWords[nextRandom(state) % kWords.size()];
  }
  return line;
}

std::u32string withoutSpace(const std::string& utf8) {
  std::u32string points;
  for (const char32_t point : quorvel::codePoints(utf8)) {
    if (point > 0x20 && point != 0x3000 && point != 0xA0) points.push_back(point);
  }
  return points;
}

int score(const std::string& truthPath, const std::string& readPath) {
  const std::vector<std::string> truth =
      quorvel::split(quorvel::readFile(truthPath).value_or(""), '\f', false);
  const std::vector<std::string> read =
      quorvel::split(quorvel::readFile(readPath).value_or(""), '\f', true);
  std::size_t edits = 0;
  std::size_t total = 0;
  for (std::size_t p = 0; p < truth.size(); ++p) {
    const std::u32string expected = withoutSpace(truth[p]);
    edits += fixtures::editDistance(expected, withoutSpace(p < read.size() ? read[p] : ""));
    total += expected.size();
  }
  std::cout << std::fixed << std::setprecision(4)
            << 1.0 -
                   static_cast<double>(edits) / static_cast<double>(std::max<std::size_t>(total, 1))
            << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "score") return score(argv[2], argv[3]);
  if (argc != 4) {
    std::cerr
        << "usage: pagelift_fixture text|scan-en|scan-ja|columns|turned|skewed <pages> <out.pdf>\n";
    return 2;
  }
  const std::string kind = argv[1];
  const int count = std::stoi(argv[2]);
  const std::string out = argv[3];
  std::uint32_t state = 12345;
  std::vector<fixtures::PdfPageSpec> pages;
  std::string truth;
  for (int p = 0; p < count; ++p) {
    fixtures::PdfPageSpec page;
    std::vector<std::string> lines;
    if (kind == "text") {
      for (int row = 0; row < 50; ++row) {
        lines.push_back(englishLine(state, 90));
        page.text.push_back({54, 740.0 - row * 13.5, 10, lines.back()});
      }
    } else if (kind == "scan-en" || kind == "scan-ja") {
      const bool japanese = kind == "scan-ja";
      for (int row = 0; row < 24; ++row) {
        lines.push_back(japanese ? kJapanese[nextRandom(state) % kJapanese.size()]
                                 : englishLine(state, 60));
      }
      // 300 dots per inch: 36-pixel text is about 8.6 points.
      page.scan =
          fixtures::drawText(japanese ? fixtures::kCjkFont : fixtures::kLatinFont, 36, lines, 150);
      page.width = page.scan->width * 72.0 / 300.0;
      page.height = page.scan->height * 72.0 / 300.0;
    } else if (kind == "columns") {
      // A heading as wide as the page over two columns of 30 lines, a 90-pixel (0.3 inch)
      // gutter between them.
      const std::string heading = englishLine(state, 30);
      std::vector<std::string> left;
      std::vector<std::string> right;
      for (int row = 0; row < 30; ++row) left.push_back(englishLine(state, 36));
      for (int row = 0; row < 30; ++row) right.push_back(englishLine(state, 36));
      lines.push_back(heading);
      lines.insert(lines.end(), left.begin(), left.end());
      lines.insert(lines.end(), right.begin(), right.end());
      page.scan = fixtures::above(
          fixtures::drawText(fixtures::kLatinFont, 60, {heading}, 150),
          fixtures::besides(fixtures::drawText(fixtures::kLatinFont, 36, left, 45),
                            fixtures::drawText(fixtures::kLatinFont, 36, right, 45), 0));
      page.width = page.scan->width * 72.0 / 300.0;
      page.height = page.scan->height * 72.0 / 300.0;
    } else if (kind == "turned") {
      // The same page on every sheet, turned a quarter more on each: 0, 90, 180, 270 degrees.
      std::uint32_t same = 777;
      for (int row = 0; row < 24; ++row) lines.push_back(englishLine(same, 60));
      page.scan = fixtures::turned(fixtures::drawText(fixtures::kLatinFont, 36, lines, 150), p % 4);
      page.width = page.scan->width * 72.0 / 300.0;
      page.height = page.scan->height * 72.0 / 300.0;
    } else if (kind == "skewed") {
      // The same page on every sheet, tilted a little more on each: -12, -8, ... 12 degrees.
      std::uint32_t same = 777;
      for (int row = 0; row < 24; ++row) lines.push_back(englishLine(same, 60));
      page.scan = fixtures::tilted(fixtures::drawText(fixtures::kLatinFont, 36, lines, 150),
                                   kSkews[static_cast<std::size_t>(p) % kSkews.size()]);
      page.width = page.scan->width * 72.0 / 300.0;
      page.height = page.scan->height * 72.0 / 300.0;
    } else {
      std::cerr << "unknown kind " << kind << "\n";
      return 2;
    }
    for (const std::string& line : lines) truth += line + "\n";
    truth += "\f";
    pages.push_back(std::move(page));
  }
  fixtures::writeBytes(out, fixtures::pdfBytes(pages));
  fixtures::writeBytes(out + ".txt", truth);
  return 0;
}
