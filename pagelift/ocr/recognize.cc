#include "pagelift/ocr/recognize.h"

#include <algorithm>
#include <cmath>

#include "common/text.h"

namespace ocr {

std::vector<std::string> recognitionLanguages(
    const std::optional<std::vector<std::string>>& supported) {
  std::vector<std::string> languages;
  if (!supported) return languages;
  for (const std::string& language : preferredLanguages) {
    if (std::find(supported->begin(), supported->end(), language) != supported->end()) {
      languages.push_back(language);
    }
  }
  return languages;
}

bool readsBefore(const Box& a, const Box& b) {
  const double midA = a.y + a.height / 2;
  const double midB = b.y + b.height / 2;
  if (std::fabs(midA - midB) > 0.6 * std::min(a.height, b.height)) return midA > midB;
  return a.x < b.x;
}

void sortReadingOrder(std::vector<Piece>& pieces) {
  // Insertion sort: stable, and safe with a relation that is not a strict weak order.
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    std::size_t at = i;
    while (at > 0 && readsBefore(pieces[i].box, pieces[at - 1].box)) --at;
    if (at != i)
      std::rotate(pieces.begin() + static_cast<std::ptrdiff_t>(at),
                  pieces.begin() + static_cast<std::ptrdiff_t>(i),
                  pieces.begin() + static_cast<std::ptrdiff_t>(i) + 1);
  }
}

void sortByLayout(std::vector<Piece>& pieces) {
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const Piece& a, const Piece& b) { return a.block < b.block; });
  auto begin = pieces.begin();
  while (begin != pieces.end()) {
    const auto end = std::find_if(begin, pieces.end(),
                                  [&](const Piece& piece) { return piece.block != begin->block; });
    std::vector<Piece> block(std::make_move_iterator(begin), std::make_move_iterator(end));
    sortReadingOrder(block);
    std::move(block.begin(), block.end(), begin);
    begin = end;
  }
}

std::string recognize(TextEngine& engine, const Bitmap& bitmap) {
  Settings settings;
  settings.languageCorrection = true;
  settings.automaticLanguageDetection = true;
  settings.languages = recognitionLanguages(engine.supportedLanguages());
  const std::optional<std::vector<Observation>> observations = engine.recognize(bitmap, settings);
  if (!observations) return "";
  std::vector<Piece> pieces;
  for (const Observation& observation : *observations) {
    if (observation.best) {
      pieces.push_back({observation.box, observation.best->text, observation.block});
    }
  }
  sortByLayout(pieces);
  std::vector<std::string> lines;
  lines.reserve(pieces.size());
  for (Piece& piece : pieces) lines.push_back(std::move(piece.text));
  return quorvel::join(lines, "\n");
}

}  // namespace ocr
