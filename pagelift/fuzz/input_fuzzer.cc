// libFuzzer target: arbitrary bytes through the PDF path and the picture path, recognition
// replaced by an empty text so that a run spends its time in the readers and the renderer.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "pagelift/extract.h"
#include "pagelift/ocr/diagnostics.h"
#include "pagelift/pdf.h"
#include "pagelift/testing/fixtures.h"

namespace {

std::string scratchPath(const char* extension) {
  return "/tmp/pagelift-fuzz-" + std::to_string(getpid()) + extension;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ocr::silenceImagingMessages();
  pagelift::silencePdfMessages();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const pagelift::Recognizer nothing = [](const ocr::Bitmap&) { return std::string(); };
  const pagelift::Progress quiet = [](int, int) {};
  const std::string pdf = scratchPath(".pdf");
  fixtures::writeBytes(pdf, bytes);
  pagelift::serialize(pagelift::pdfResult(pdf, 300, {nothing}, quiet));
  const std::string picture = scratchPath(".img");
  fixtures::writeBytes(picture, bytes);
  pagelift::serialize(pagelift::pictureResult(picture, nothing));
  unlink(pdf.c_str());
  unlink(picture.c_str());
  return 0;
}
