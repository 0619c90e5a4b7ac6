// pagelift: prints the text of a PDF or a picture as one JSON document, with OCR for pages
// that carry next to no text.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pagelift/command_line.h"
#include "pagelift/extract.h"
#include "pagelift/ocr/diagnostics.h"
#include "pagelift/ocr/recognize.h"
#include "pagelift/pdf.h"

namespace {

void writeAll(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

[[noreturn]] void emit(const nlohmann::json& result) {
  writeAll(STDOUT_FILENO, pagelift::serialize(result));
  writeAll(STDOUT_FILENO, "\n");
  std::exit(0);
}

// More engines than this buy little: each holds its language models in memory.
constexpr unsigned kMostWorkers = 8;

// The original standard error, kept for the progress lines.
int progressFd = STDERR_FILENO;

void progress(int page, int count) {
  writeAll(progressFd, std::to_string(page) + "/" + std::to_string(count) + "\n");
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.empty()) {
    writeAll(STDERR_FILENO, pagelift::kUsage);
    return 2;
  }
  ocr::limitEngineThreads(argv);
  ocr::silenceImagingMessages();
  pagelift::silencePdfMessages();
  progressFd = ocr::divertStandardError();
  const std::int64_t ocrLimit = pagelift::ocrLimitOf(arguments);
  const std::string& path = arguments.front();
  // One engine per core this process may run on (a CPU set or taskset counts): an engine
  // reads one page at a time on one thread.
  cpu_set_t usable;
  CPU_ZERO(&usable);
  const int cores = sched_getaffinity(0, sizeof usable, &usable) == 0
                        ? CPU_COUNT(&usable)
                        : static_cast<int>(std::thread::hardware_concurrency());
  const unsigned workers = std::clamp(static_cast<unsigned>(std::max(cores, 1)), 1u, kMostWorkers);
  std::vector<std::unique_ptr<ocr::TextEngine>> engines;
  std::vector<pagelift::Recognizer> recognizers;
  for (unsigned i = 0; i < workers; ++i) {
    ocr::TextEngine& engine = *engines.emplace_back(ocr::makeTesseractEngine());
    recognizers.emplace_back(
        [&engine](const ocr::Bitmap& bitmap) { return ocr::recognize(engine, bitmap); });
  }
  if (pagelift::isPdfPath(path)) emit(pagelift::pdfResult(path, ocrLimit, recognizers, progress));
  emit(pagelift::pictureResult(path, recognizers.front()));
}
