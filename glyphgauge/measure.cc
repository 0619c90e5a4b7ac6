#include "glyphgauge/measure.h"

#include <algorithm>

#include "pagelift/ocr/unicode.h"

namespace glyphgauge {
namespace {

constexpr float kMinConfidence = 0.3f;
constexpr std::size_t kMinCharacters = 3;
constexpr double kMinWidth = 0.1;

}  // namespace

ocr::Settings probeSettings() {
  ocr::Settings settings;
  settings.languageCorrection = false;
  settings.automaticLanguageDetection = false;
  settings.languages = {"ja-JP", "zh-Hans", "en-US"};
  // The text is measured as the picture shows it, against the height it is shown at.
  settings.straightenPages = false;
  return settings;
}

nlohmann::json measurement(const std::vector<ocr::Observation>& observations) {
  double big = 0.0;
  int lines = 0;
  for (const ocr::Observation& observation : observations) {
    if (!observation.best || observation.best->confidence < kMinConfidence) continue;
    ++lines;
    if (ocr::characterCount(observation.best->text) >= kMinCharacters &&
        observation.box.width >= kMinWidth) {
      big = std::max(big, observation.box.height);
    }
  }
  return {{"big", big}, {"lines", lines}};
}

nlohmann::json measure(ocr::TextEngine& engine, const std::string& path) {
  const ocr::Bitmap picture = ocr::loadPicture(path);
  if (!picture) return {{"big", 0}, {"lines", 0}};
  return measurement(
      engine.recognize(picture, probeSettings()).value_or(std::vector<ocr::Observation>{}));
}

}  // namespace glyphgauge
