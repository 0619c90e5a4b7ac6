#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pagelift/ocr/bitmap.h"

namespace pagelift {

// Text of one bitmap; empty when nothing is recognised.
using Recognizer = std::function<std::string(const ocr::Bitmap&)>;
// Told the 1-based page number and the page count after each page sent to OCR.
using Progress = std::function<void(int page, int count)>;

// Pages with fewer dense characters than this are sent to OCR.
inline constexpr std::size_t kDenseEnough = 12;

// The scale at which a page of width × height points is rendered for OCR: the longer side at
// 2400, never enlarged more than three times; absent for a page 1 point or less across.
std::optional<double> renderScale(double width, double height);

// The result document of a PDF: its pages, or the "unreadable" or "locked" error. Pages are
// recognised in parallel, one recogniser each on a worker of its own; the document and the
// order of the progress lines are the same for any number of them.
nlohmann::json pdfResult(const std::string& path, std::int64_t ocrLimit,
                         const std::vector<Recognizer>& recognizers, const Progress& progress);

// The result document of a picture: its one recognised page, or the "unreadable" error.
nlohmann::json pictureResult(const std::string& path, const Recognizer& recognize);

// The compact JSON text of a result document; the unreadable document if it cannot be written.
std::string serialize(const nlohmann::json& result);

}  // namespace pagelift
