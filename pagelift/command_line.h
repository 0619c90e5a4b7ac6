#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pagelift {

inline constexpr char kUsage[] = "usage: pagelift <file> [--ocr-limit N]\n";
inline constexpr std::int64_t kDefaultOcrLimit = 300;

// The value after the first "--ocr-limit" (the file argument included in the search), when it
// is a decimal integer within 64 bits; the default otherwise.
std::int64_t ocrLimitOf(const std::vector<std::string>& arguments);

// True when the last path component's extension, lower-cased, is "pdf".
bool isPdfPath(const std::string& path);

}  // namespace pagelift
