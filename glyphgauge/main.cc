// glyphgauge: prints, for each picture file, its confidently recognised text lines and the
// relative height of its tallest substantial line, as one JSON array.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "glyphgauge/measure.h"
#include "pagelift/ocr/diagnostics.h"

int main(int argc, char** argv) {
  ocr::limitEngineThreads(argv);
  ocr::silenceImagingMessages();
  close(ocr::divertStandardError());  // the probe writes no text of its own there
  const std::unique_ptr<ocr::TextEngine> engine = ocr::makeTesseractEngine();
  nlohmann::json out = nlohmann::json::array();
  for (int i = 1; i < argc; ++i) out.push_back(glyphgauge::measure(*engine, argv[i]));
  const std::string text = out.dump();
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
