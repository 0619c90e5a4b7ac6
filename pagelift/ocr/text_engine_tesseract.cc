#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numbers>
#include <string_view>

#include "common/text.h"
#include "pagelift/ocr/text_engine.h"

namespace ocr {
namespace {

struct LanguageModel {
  std::string_view identifier;
  std::string_view traineddata;
};

constexpr LanguageModel kModels[] = {
    {"ja-JP", "jpn"}, {"zh-Hans", "chi_sim"}, {"zh-Hant", "chi_tra"},
    {"en-US", "eng"}, {"ko-KR", "kor"},
};

constexpr std::string_view kDefaultLanguage = "en-US";

// Pictures larger than this on their longer side are read scaled down: beyond it the text is
// far above the resolution the recogniser needs and the run time only grows.
constexpr int kMaxSide = 4800;
// Tesseract cannot segment a picture smaller than this.
constexpr int kMinSide = 8;

std::optional<std::string_view> traineddataOf(std::string_view identifier) {
  for (const LanguageModel& model : kModels) {
    if (model.identifier == identifier) return model.traineddata;
  }
  return std::nullopt;
}

// The language a script detected by tesseract's orientation and script pass calls for.
std::vector<std::string_view> languagesForScript(std::string_view script) {
  if (script == "Japanese" || script == "Katakana" || script == "Hiragana") return {"ja-JP"};
  if (script == "Han") return {"zh-Hans", "zh-Hant", "ja-JP"};
  if (script == "Korean" || script == "Hangul") return {"ko-KR"};
  if (script == "Latin") return {"en-US"};
  return {};
}

struct ApiEnd {
  void operator()(tesseract::TessBaseAPI* api) const {
    api->End();
    delete api;
  }
};
using Api = std::unique_ptr<tesseract::TessBaseAPI, ApiEnd>;

Api startApi(const std::string& languages, tesseract::OcrEngineMode mode, bool correction) {
  Api api(new tesseract::TessBaseAPI());
  // Set before Init so that loading the models already writes nothing to standard error.
  api->SetVariable("debug_file", "/dev/null");
  const std::vector<std::string> names = {"load_system_dawg", "load_freq_dawg", "lstm_use_matrix"};
  const std::string flag = correction ? "1" : "0";
  const std::vector<std::string> values = {flag, flag, flag};
  if (api->Init(nullptr, languages.c_str(), mode, nullptr, 0, &names, &values, false) != 0) {
    return nullptr;
  }
  return api;
}

void setPicture(tesseract::TessBaseAPI& api, Pix* picture) {
  api.SetImage(picture);
  const l_int32 ppi = pixGetYRes(picture);
  if (ppi > 0) api.SetSourceResolution(ppi);
}

// The orientation detector's confidence: from the first, a turned reading is tried beside the
// page as it lies; from the second, the page is turned without asking.
constexpr float kMaybeTurned = 0.5f;
constexpr float kSurelyTurned = 2.5f;

// How well a reading went: its characters weighed by the engine's confidence in their lines.
double readingScore(const std::vector<Observation>& lines) {
  double score = 0;
  for (const Observation& line : lines) {
    if (line.best) score += line.best->confidence * static_cast<double>(line.best->text.size());
  }
  return score;
}

// A sheet fed a few degrees askew: the engine still reads its lines, but their boxes slant
// into each other and the reading order falls apart from about 2 degrees. Such a page is
// turned straight first; absent when it is straight enough or its skew cannot be told.
constexpr float kSkewSweep = 15.0f;  // degrees either way
constexpr float kSkewSweepStep = 1.0f;
constexpr float kSkewSearchEnd = 0.01f;
constexpr float kLeastSkew = 0.5f;
constexpr float kSkewConfidence = 3.0f;

Bitmap straightened(Pix* picture) {
  const Bitmap binary(pixConvertTo1(picture, 130));
  if (!binary) return nullptr;
  float angle = 0;
  float confidence = 0;
  if (pixFindSkewSweepAndSearch(binary.get(), &angle, &confidence, 4, 2, kSkewSweep, kSkewSweepStep,
                                kSkewSearchEnd) != 0 ||
      confidence < kSkewConfidence || std::abs(angle) < kLeastSkew) {
    return nullptr;
  }
  Bitmap straight(pixRotate(picture, angle * std::numbers::pi_v<float> / 180.0f, L_ROTATE_AREA_MAP,
                            L_BRING_IN_WHITE, pixGetWidth(picture), pixGetHeight(picture)));
  if (straight) pixCopyResolution(straight.get(), picture);
  return straight;
}

class TesseractEngine final : public TextEngine {
 public:
  std::optional<std::vector<std::string>> supportedLanguages() override {
    tesseract::TessBaseAPI* probe = scriptDetector();
    if (probe == nullptr) return std::nullopt;
    std::vector<std::string> installed;
    probe->GetAvailableLanguagesAsVector(&installed);
    std::vector<std::string> supported;
    for (const LanguageModel& model : kModels) {
      if (std::find(installed.begin(), installed.end(), model.traineddata) != installed.end()) {
        supported.emplace_back(model.identifier);
      }
    }
    return supported;
  }

  std::optional<std::vector<Observation>> recognize(const Bitmap& bitmap,
                                                    const Settings& settings) override {
    const int width = pixGetWidth(bitmap.get());
    const int height = pixGetHeight(bitmap.get());
    if (width < kMinSide || height < kMinSide) return std::vector<Observation>{};
    Bitmap scaled;
    Pix* picture = bitmap.get();
    if (std::max(width, height) > kMaxSide) {
      const float factor =
          static_cast<float>(kMaxSide) / static_cast<float>(std::max(width, height));
      scaled.reset(pixScale(picture, factor, factor));
      if (!scaled) return std::nullopt;
      picture = scaled.get();
    }
    const bool wantsScript = settings.automaticLanguageDetection && settings.languages.size() > 1;
    const std::optional<Detection> detection =
        settings.straightenPages || wantsScript ? detect(picture) : std::nullopt;
    const std::optional<std::string> languages = modelsFor(detection, settings);
    if (!languages) return std::nullopt;
    tesseract::TessBaseAPI* api = recogniser(*languages, settings.languageCorrection);
    if (api == nullptr) return std::nullopt;
    const bool straighten = settings.straightenPages;
    // A page scanned sideways or upside down is turned upright first: read as it lies, its
    // lines are garbage. Where the detector is unsure, both readings are made and the
    // better one kept.
    Bitmap upright;
    if (straighten && detection && detection->turns != 0 &&
        detection->orientationConfidence >= kMaybeTurned) {
      upright.reset(pixRotateOrth(picture, detection->turns));
    }
    std::optional<std::vector<Observation>> lines;
    if (upright && detection->orientationConfidence >= kSurelyTurned) {
      picture = upright.get();
    } else if (upright) {
      lines = readLines(*api, picture, tesseract::PSM_AUTO, straighten);
      std::optional<std::vector<Observation>> turned =
          readLines(*api, upright.get(), tesseract::PSM_AUTO, straighten);
      // A tie goes to the turned page: the engine reads sideways lines too, but gives their
      // boxes as they lie, and their order is then wrong.
      if (turned && (!lines || readingScore(*turned) >= readingScore(*lines))) {
        lines = std::move(turned);
        picture = upright.get();
      }
    }
    if (!lines) lines = readLines(*api, picture, tesseract::PSM_AUTO, straighten);
    // The automatic layout analysis sometimes takes every Hangul line for a picture; read as
    // one block of text, such a page is read after all.
    const auto hasText = [](const Observation& line) { return line.best.has_value(); };
    if (lines && std::none_of(lines->begin(), lines->end(), hasText)) {
      lines = readLines(*api, picture, tesseract::PSM_SINGLE_BLOCK, straighten);
    }
    return lines;
  }

 private:
  // What the orientation and script detection says of a picture.
  struct Detection {
    int turns = 0;  // quarter turns clockwise that make the picture upright
    float orientationConfidence = 0;
    std::string script;
  };

  std::optional<Detection> detect(Pix* picture) {
    tesseract::TessBaseAPI* detector = scriptDetector();
    if (detector == nullptr) return std::nullopt;
    detector->SetPageSegMode(tesseract::PSM_OSD_ONLY);
    setPicture(*detector, picture);
    int orientation = 0;
    float orientationConfidence = 0;
    const char* script = nullptr;
    float scriptConfidence = 0;
    const bool detected = detector->DetectOrientationScript(&orientation, &orientationConfidence,
                                                            &script, &scriptConfidence);
    detector->Clear();
    if (!detected) return std::nullopt;
    // The detector gives how far the page is turned clockwise; turning it back takes the
    // rest of a whole turn.
    return Detection{(4 - orientation / 90 % 4) % 4, orientationConfidence, script ? script : ""};
  }

  // The traineddata names to load for this picture, joined with "+".
  std::optional<std::string> modelsFor(const std::optional<Detection>& detection,
                                       const Settings& settings) {
    std::vector<std::string_view> wanted;
    for (const std::string& identifier : settings.languages) wanted.push_back(identifier);
    if (wanted.empty()) wanted.push_back(kDefaultLanguage);
    if (settings.automaticLanguageDetection && wanted.size() > 1) {
      wanted = {languageOf(detection, wanted)};
    }
    std::vector<std::string> models;
    for (std::string_view identifier : wanted) {
      const std::optional<std::string_view> model = traineddataOf(identifier);
      if (!model) return std::nullopt;
      models.emplace_back(*model);
    }
    return quorvel::join(models, "+");
  }

  // One of candidates, chosen from the picture's script; English, or else the first candidate,
  // when the script cannot be told or none of its languages is a candidate.
  static std::string_view languageOf(const std::optional<Detection>& detection,
                                     const std::vector<std::string_view>& candidates) {
    if (detection && !detection->script.empty()) {
      for (std::string_view language : languagesForScript(detection->script.c_str())) {
        if (std::find(candidates.begin(), candidates.end(), language) != candidates.end()) {
          return language;
        }
      }
    }
    const bool hasDefault =
        std::find(candidates.begin(), candidates.end(), kDefaultLanguage) != candidates.end();
    return hasDefault ? kDefaultLanguage : candidates.front();
  }

  tesseract::TessBaseAPI* scriptDetector() {
    if (!detectorTried_) {
      detectorTried_ = true;
      detector_ = startApi("osd", tesseract::OEM_TESSERACT_ONLY, true);
      // The default wants 50 characters, more than a short label or caption has.
      if (detector_) detector_->SetVariable("min_characters_to_try", "5");
    }
    return detector_.get();
  }

  tesseract::TessBaseAPI* recogniser(const std::string& languages, bool correction) {
    const std::string key = languages + (correction ? "" : "/plain");
    auto found = recognisers_.find(key);
    if (found == recognisers_.end()) {
      found = recognisers_.emplace(key, startApi(languages, tesseract::OEM_LSTM_ONLY, correction))
                  .first;
    }
    return found->second.get();
  }

  // The text lines of one recognition pass; absent when the pass fails.
  static std::optional<std::vector<Observation>> readLines(tesseract::TessBaseAPI& api,
                                                           Pix* picture,
                                                           tesseract::PageSegMode mode,
                                                           bool straighten) {
    const Bitmap straight = straighten ? straightened(picture) : nullptr;
    if (straight) picture = straight.get();
    api.SetPageSegMode(mode);
    setPicture(api, picture);
    if (api.Recognize(nullptr) != 0) return std::nullopt;
    std::vector<Observation> lines = textLines(api, pixGetWidth(picture), pixGetHeight(picture));
    api.Clear();
    return lines;
  }

  static std::vector<Observation> textLines(tesseract::TessBaseAPI& api, int width, int height) {
    std::vector<Observation> lines;
    std::unique_ptr<tesseract::ResultIterator> line(api.GetIterator());
    if (!line) return lines;
    constexpr auto kLine = tesseract::RIL_TEXTLINE;
    int block = -1;
    do {
      if (line->IsAtBeginningOf(tesseract::RIL_BLOCK)) ++block;
      int left = 0;
      int top = 0;
      int right = 0;
      int bottom = 0;
      if (!line->BoundingBox(kLine, &left, &top, &right, &bottom)) continue;
      Observation observation;
      observation.block = std::max(block, 0);
      observation.box = {
          static_cast<double>(left) / width, static_cast<double>(height - bottom) / height,
          static_cast<double>(right - left) / width, static_cast<double>(bottom - top) / height};
      const std::unique_ptr<char[]> text(line->GetUTF8Text(kLine));
      if (text) {
        std::string trimmed = quorvel::trimWhitespace(text.get());
        if (!trimmed.empty()) {
          observation.best = Candidate{std::move(trimmed), line->Confidence(kLine) / 100.0f};
        }
      }
      lines.push_back(std::move(observation));
    } while (line->Next(kLine));
    return lines;
  }

  bool detectorTried_ = false;
  Api detector_;
  std::map<std::string, Api> recognisers_;
};

}  // namespace

std::unique_ptr<TextEngine> makeTesseractEngine() { return std::make_unique<TesseractEngine>(); }

void limitEngineThreads(char** argv) {
  const char* limit = std::getenv("OMP_THREAD_LIMIT");
  if (limit != nullptr && std::strcmp(limit, "1") == 0) return;
  setenv("OMP_THREAD_LIMIT", "1", 1);
  execv("/proc/self/exe", argv);
}

}  // namespace ocr
