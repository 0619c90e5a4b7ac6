#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-global.h>
#include <poppler/cpp/poppler-image.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <cmath>

#include "common/text.h"
#include "pagelift/pdf.h"

namespace pagelift {

struct PdfDocument {
  std::unique_ptr<poppler::document> document;
};

struct PdfPage {
  std::unique_ptr<poppler::page> page;
};

void PdfDocumentClose::operator()(PdfDocument* document) const { delete document; }
void PdfPageClose::operator()(PdfPage* page) const { delete page; }

PdfDocumentPtr openPdf(const std::string& path) {
  std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path));
  if (!document) return nullptr;
  return PdfDocumentPtr(new PdfDocument{std::move(document)});
}

bool isLocked(const PdfDocument& document) { return document.document->is_locked(); }

bool unlock(PdfDocument& document, const std::string& password) {
  document.document->unlock(password, password);
  return !document.document->is_locked();
}

int pageCount(const PdfDocument& document) { return document.document->pages(); }

PdfPagePtr loadPage(const PdfDocument& document, int index) {
  std::unique_ptr<poppler::page> page(document.document->create_page(index));
  if (!page) return nullptr;
  return PdfPagePtr(new PdfPage{std::move(page)});
}

std::string pageText(const PdfPage& page) {
  const poppler::byte_array utf8 =
      page.page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8();
  return quorvel::decodeUtf8Lossy(std::string_view(utf8.data(), utf8.size()));
}

Size mediaBox(const PdfPage& page) {
  const poppler::rectf box = page.page->page_rect(poppler::media_box);
  return {box.width(), box.height()};
}

ocr::Bitmap renderPage(const PdfPage& page, double scale) {
  poppler::page_renderer renderer;
  renderer.set_paper_color(0xffffffff);
  renderer.set_image_format(poppler::image::format_gray8);
  renderer.set_render_hints(poppler::page_renderer::antialiasing |
                            poppler::page_renderer::text_antialiasing);
  const double dpi = 72.0 * scale;
  const poppler::image picture = renderer.render_page(page.page.get(), dpi, dpi);
  if (!picture.is_valid() || picture.width() <= 0 || picture.height() <= 0) return nullptr;
  return ocr::grayBitmap(reinterpret_cast<const unsigned char*>(picture.const_data()),
                         picture.width(), picture.height(), picture.bytes_per_row(),
                         static_cast<int>(std::lround(dpi)));
}

void silencePdfMessages() {
  poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr);
}

}  // namespace pagelift
