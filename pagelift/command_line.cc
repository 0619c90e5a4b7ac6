#include "pagelift/command_line.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace pagelift {
namespace {

std::optional<std::int64_t> decimalInteger(const std::string& text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // Parsed with its sign so that the most negative value stays within range.
  const std::string signedDigits = (negative ? "-" : "") + std::string(digits);
  std::int64_t value = 0;
  const auto [end, error] =
      std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
  if (error != std::errc() || end != signedDigits.data() + signedDigits.size()) return std::nullopt;
  return value;
}

}  // namespace

std::int64_t ocrLimitOf(const std::vector<std::string>& arguments) {
  const auto option = std::find(arguments.begin(), arguments.end(), "--ocr-limit");
  if (option == arguments.end() || option + 1 == arguments.end()) return kDefaultOcrLimit;
  return decimalInteger(*(option + 1)).value_or(kDefaultOcrLimit);
}

bool isPdfPath(const std::string& path) {
  const std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string extension(name.substr(dot + 1));
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  });
  return extension == "pdf";
}

}  // namespace pagelift
