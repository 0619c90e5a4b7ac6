#include "pagelift/extract.h"

#include <algorithm>

#include "common/text.h"
#include "pagelift/garbled.h"
#include "pagelift/ocr/unicode.h"
#include "pagelift/pdf.h"

namespace pagelift {
namespace {

nlohmann::json errorResult(const char* error) { return {{"error", error}}; }

nlohmann::json pageEntry(int number, const std::string& text, bool ocr) {
  return {{"n", number}, {"text", text}, {"ocr", ocr}};
}

}  // namespace

std::optional<double> renderScale(double width, double height) {
  if (width <= 1 || height <= 1) return std::nullopt;
  return std::min(2400.0 / std::max(width, height), 3.0);
}

nlohmann::json pdfResult(const std::string& path, std::int64_t ocrLimit,
                         const Recognizer& recognize, const Progress& progress) {
  const PdfDocumentPtr document = openPdf(path);
  if (!document) return errorResult("unreadable");
  if (isLocked(*document) && !unlock(*document, "")) return errorResult("locked");
  const int count = pageCount(*document);
  nlohmann::json pages = nlohmann::json::array();
  std::int64_t ocrCount = 0;
  for (int index = 0; index < count; ++index) {
    const PdfPagePtr page = loadPage(*document, index);
    if (!page) continue;
    std::string text = quorvel::trimWhitespace(pageText(*page));
    bool ocr = false;
    // Text that cannot be what the page shows counts as none: the page is read instead, and
    // what is read is kept when it reads right.
    const bool garbled = looksGarbled(text);
    if ((garbled || ocr::denseLength(text, kDenseEnough) < kDenseEnough) && ocrCount < ocrLimit) {
      const Size box = mediaBox(*page);
      const std::optional<double> scale = renderScale(box.width, box.height);
      const ocr::Bitmap bitmap = scale ? renderPage(*page, *scale) : nullptr;
      if (bitmap) {
        std::string recognized = quorvel::trimWhitespace(recognize(bitmap));
        ++ocrCount;
        progress(index + 1, count);
        const bool better = garbled ? !recognized.empty() && !looksGarbled(recognized)
                                    : ocr::characterCount(recognized) > ocr::characterCount(text);
        if (better) {
          text = std::move(recognized);
          ocr = true;
        }
      }
    }
    pages.push_back(pageEntry(index + 1, text, ocr));
  }
  return {{"kind", "pdf"}, {"pages", std::move(pages)}};
}

nlohmann::json pictureResult(const std::string& path, const Recognizer& recognize) {
  const ocr::Bitmap picture = ocr::loadPicture(path);
  if (!picture) return errorResult("unreadable");
  const std::string text = quorvel::trimWhitespace(recognize(picture));
  return {{"kind", "image"}, {"pages", nlohmann::json::array({pageEntry(1, text, true)})}};
}

std::string serialize(const nlohmann::json& result) {
  try {
    return result.dump();
  } catch (const nlohmann::json::exception&) {
    return R"({"error":"unreadable"})";
  }
}

}  // namespace pagelift
