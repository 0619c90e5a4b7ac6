#pragma once

#include <memory>
#include <string>

#include "pagelift/ocr/bitmap.h"

namespace pagelift {

struct PdfDocument;
struct PdfPage;
struct PdfDocumentClose {
  void operator()(PdfDocument* document) const;
};
struct PdfPageClose {
  void operator()(PdfPage* page) const;
};
using PdfDocumentPtr = std::unique_ptr<PdfDocument, PdfDocumentClose>;
using PdfPagePtr = std::unique_ptr<PdfPage, PdfPageClose>;

struct Size {
  double width = 0;
  double height = 0;
};

// Null when the file cannot be opened as a PDF. A PDF without pages opens.
PdfDocumentPtr openPdf(const std::string& path);
bool isLocked(const PdfDocument& document);
// True when the password opens the document.
bool unlock(PdfDocument& document, const std::string& password);
int pageCount(const PdfDocument& document);
// Null when the page cannot be loaded.
PdfPagePtr loadPage(const PdfDocument& document, int index);
// The page's text in reading order with its line breaks, as valid UTF-8.
std::string pageText(const PdfPage& page);
// The media box, in points.
Size mediaBox(const PdfPage& page);
// The page drawn on white at 72 × scale dots per inch; null when it cannot be drawn.
ocr::Bitmap renderPage(const PdfPage& page, double scale);

// Sends the PDF library's diagnostics nowhere.
void silencePdfMessages();

}  // namespace pagelift
