#include "pagelift/extract.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

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

namespace {

// A page as it goes through the run: its own text, and what its bitmap was read as.
struct PageWork {
  int number = 0;
  std::string text;
  bool garbled = false;
  bool sentToOcr = false;
  std::string recognized;
};

// Recognises the rendered pages on workers of their own, one recogniser each, while the
// pages after them are read and rendered. At most one bitmap per worker waits beside those
// being read, so memory stays bounded however long the document. Progress lines come out in
// page order, each once its page and all the recognised pages before it are done.
class OcrPool {
 public:
  OcrPool(const std::vector<Recognizer>& recognizers, int pageCount, const Progress& progress)
      : pageCount_(pageCount), progress_(progress), inFlightLimit_(2 * recognizers.size()) {
    for (const Recognizer& recognize : recognizers) {
      workers_.emplace_back([this, &recognize] { work(recognize); });
    }
  }

  ~OcrPool() { finish(); }

  void add(PageWork& page, ocr::Bitmap bitmap) {
    std::unique_lock lock(mutex_);
    roomLeft_.wait(lock, [&] { return inFlight_ < inFlightLimit_; });
    ++inFlight_;
    order_.push_back(&page);
    waiting_.push_back({&page, std::move(bitmap)});
    workWaiting_.notify_one();
  }

  // Waits for every page added, then stops the workers.
  void finish() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    workWaiting_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
  }

 private:
  struct Job {
    PageWork* page;
    ocr::Bitmap bitmap;
  };

  void work(const Recognizer& recognize) {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        workWaiting_.wait(lock, [&] { return closed_ || !waiting_.empty(); });
        if (waiting_.empty()) return;
        job = std::move(waiting_.front());
        waiting_.pop_front();
      }
      std::string recognized = quorvel::trimWhitespace(recognize(job.bitmap));
      job.bitmap.reset();
      std::lock_guard lock(mutex_);
      job.page->recognized = std::move(recognized);
      done_.insert(job.page);
      --inFlight_;
      roomLeft_.notify_one();
      while (reported_ < order_.size() && done_.count(order_[reported_]) != 0) {
        progress_(order_[reported_]->number, pageCount_);
        ++reported_;
      }
    }
  }

  const int pageCount_;
  const Progress& progress_;
  const std::size_t inFlightLimit_;
  std::mutex mutex_;
  std::condition_variable workWaiting_;
  std::condition_variable roomLeft_;
  std::deque<Job> waiting_;
  std::vector<PageWork*> order_;  // pages sent to OCR, in page order
  std::set<const PageWork*> done_;
  std::size_t reported_ = 0;
  std::size_t inFlight_ = 0;
  bool closed_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace

nlohmann::json pdfResult(const std::string& path, std::int64_t ocrLimit,
                         const std::vector<Recognizer>& recognizers, const Progress& progress) {
  const PdfDocumentPtr document = openPdf(path);
  if (!document) return errorResult("unreadable");
  if (isLocked(*document) && !unlock(*document, "")) return errorResult("locked");
  const int count = pageCount(*document);
  // Addresses stay put while the workers fill them in.
  std::deque<PageWork> work;
  {
    OcrPool pool(recognizers, count, progress);
    std::int64_t ocrCount = 0;
    for (int index = 0; index < count; ++index) {
      const PdfPagePtr page = loadPage(*document, index);
      if (!page) continue;
      PageWork& entry = work.emplace_back();
      entry.number = index + 1;
      entry.text = quorvel::trimWhitespace(pageText(*page));
      // Text that cannot be what the page shows counts as none: the page is read instead,
      // and what is read is kept when it reads right.
      entry.garbled = looksGarbled(entry.text);
      if ((entry.garbled || ocr::denseLength(entry.text, kDenseEnough) < kDenseEnough) &&
          ocrCount < ocrLimit) {
        const Size box = mediaBox(*page);
        const std::optional<double> scale = renderScale(box.width, box.height);
        ocr::Bitmap bitmap = scale ? renderPage(*page, *scale) : nullptr;
        if (bitmap) {
          ++ocrCount;
          entry.sentToOcr = true;
          pool.add(entry, std::move(bitmap));
        }
      }
    }
  }
  nlohmann::json pages = nlohmann::json::array();
  for (PageWork& entry : work) {
    const bool better =
        entry.sentToOcr &&
        (entry.garbled ? !entry.recognized.empty() && !looksGarbled(entry.recognized)
                       : ocr::characterCount(entry.recognized) > ocr::characterCount(entry.text));
    pages.push_back(better ? pageEntry(entry.number, entry.recognized, true)
                           : pageEntry(entry.number, entry.text, false));
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
