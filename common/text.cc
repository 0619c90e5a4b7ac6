#include "common/text.h"

#include <cstdint>
#include <optional>

namespace quorvel {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct Decoded {
  char32_t codePoint;
  size_t length;  // bytes consumed; an invalid sequence consumes its maximal valid prefix
  bool valid;
};

// Decodes one UTF-8 sequence at the start of bytes, following the "maximal subpart"
// practice so that each invalid sequence turns into exactly one U+FFFD.
Decoded decodeOne(std::string_view bytes) {
  const auto byte = [&](size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return {lead, 1, true};
  size_t need = 0;
  char32_t value = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, 1, false};
  }
  for (size_t i = 1; i <= need; ++i) {
    if (i >= bytes.size() || byte(i) < low || byte(i) > high) return {0, i, false};
    value = (value << 6) | (byte(i) & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {value, need + 1, true};
}

bool isWhitespaceOrNewline(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

std::string decodeUtf8Lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const Decoded one = decodeOne(bytes);
    if (one.valid) {
      text.append(bytes.substr(0, one.length));
    } else {
      text.append(kReplacement);
    }
    bytes.remove_prefix(one.length);
  }
  return text;
}

std::u32string codePoints(std::string_view text) {
  std::u32string points;
  while (!text.empty()) {
    const Decoded one = decodeOne(text);
    points.push_back(one.valid ? one.codePoint : U'\uFFFD');
    text.remove_prefix(one.length);
  }
  return points;
}

std::string trimWhitespace(std::string_view text) {
  size_t begin = 0;
  size_t end = 0;
  bool seenContent = false;
  for (size_t at = 0; at < text.size();) {
    const Decoded one = decodeOne(text.substr(at));
    if (!one.valid || !isWhitespaceOrNewline(one.codePoint)) {
      if (!seenContent) begin = at;
      seenContent = true;
      end = at + one.length;
    }
    at += one.length;
  }
  return seenContent ? std::string(text.substr(begin, end - begin)) : std::string();
}

std::vector<std::string> split(std::string_view text, char separator, bool keepEmpty) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    const size_t at = text.find(separator, start);
    const std::string_view piece =
        text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start);
    if (keepEmpty || !piece.empty()) pieces.emplace_back(piece);
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return pieces;
}

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
  std::string joined;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) joined += separator;
    joined += pieces[i];
  }
  return joined;
}

}  // namespace quorvel
