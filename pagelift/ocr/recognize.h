#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pagelift/ocr/bitmap.h"
#include "pagelift/ocr/text_engine.h"

namespace ocr {

// The languages a page may be written in, most wanted first.
inline const std::vector<std::string> preferredLanguages = {"ja-JP", "zh-Hans", "zh-Hant", "en-US",
                                                            "ko-KR"};

// The preferred languages that are supported, in preferred order; empty (the engine's default)
// when the supported list is absent or holds none of them.
std::vector<std::string> recognitionLanguages(
    const std::optional<std::vector<std::string>>& supported);

struct Piece {
  Box box;
  std::string text;
  int block = 0;
};

// True when a comes before b in reading order: the higher first, and on one line (centres
// at most 0.6 of the smaller height apart) the further left first.
bool readsBefore(const Box& a, const Box& b);

// Sorts pieces into reading order, keeping the recogniser's order where readsBefore sets none.
// The relation is not transitive for every layout; the sort stays within bounds all the same.
void sortReadingOrder(std::vector<Piece>& pieces);

// Reading order across the engine's layout: its blocks in its own order (columns left to
// right, a heading before the columns under it), the lines of each block by readsBefore.
// Without blocks, the same as sortReadingOrder.
void sortByLayout(std::vector<Piece>& pieces);

// The text of a bitmap: recognised lines in reading order, joined with "\n"; empty when
// nothing is recognised or recognition fails.
std::string recognize(TextEngine& engine, const Bitmap& bitmap);

}  // namespace ocr
