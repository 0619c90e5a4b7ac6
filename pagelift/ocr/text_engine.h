#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pagelift/ocr/bitmap.h"

namespace ocr {

// A box in normalised picture coordinates: 0 to 1 across the width and the height, origin at
// the lower-left corner, so a larger y is higher on the picture.
struct Box {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

struct Candidate {
  std::string text;
  float confidence = 0;  // 0 to 1
};

// One recognised text line and its best candidate, if the engine has one.
struct Observation {
  Box box;
  std::optional<Candidate> best;
  // The layout block (a column, a paragraph, a heading) the engine found the line in,
  // numbered in the engine's reading order; 0 for every line of an engine without layout.
  int block = 0;
};

// Recognition always runs at the engine's accurate level.
struct Settings {
  bool languageCorrection = true;
  // Each picture is read with the one listed language its script calls for, instead of all
  // listed languages together.
  bool automaticLanguageDetection = false;
  std::vector<std::string> languages;  // identifiers such as "en-US"; empty: the default
  // A page that lies sideways, upside down or a few degrees askew is turned straight before
  // it is read. Off, the picture is read as it is shown, and the boxes are fractions of it.
  bool straightenPages = true;
};

class TextEngine {
 public:
  virtual ~TextEngine() = default;
  // The language identifiers whose models are installed; absent when they cannot be listed.
  virtual std::optional<std::vector<std::string>> supportedLanguages() = 0;
  // The text lines of one picture, in the engine's order; absent when recognition fails.
  virtual std::optional<std::vector<Observation>> recognize(const Bitmap& bitmap,
                                                            const Settings& settings) = 0;
};

// Engine on tesseract's LSTM recogniser, one thread, its diagnostics discarded. The engine
// keeps each language model it has loaded for the next picture.
std::unique_ptr<TextEngine> makeTesseractEngine();

// Limits the engine to one thread. The OpenMP runtime reads its limit once, when it is loaded,
// so when the limit is not in the environment yet the program starts itself again with it; call
// first thing in main.
void limitEngineThreads(char** argv);

}  // namespace ocr
