#include "pagelift/ocr/unicode.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

namespace ocr {
namespace {

struct UTextClose {
  void operator()(UText* text) const { utext_close(text); }
};

// Calls onCharacter with the first code point of each extended grapheme cluster until it
// returns false. The text is read in place as UTF-8, without a UTF-16 copy of a whole page.
template <typename F>
void forEachCharacter(std::string_view text, F onCharacter) {
  const auto length = static_cast<int32_t>(text.size());
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UText, UTextClose> utf8(
      utext_openUTF8(nullptr, text.data(), length, &status));
  const std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_SUCCESS(status)) clusters->setText(utf8.get(), status);
  if (U_FAILURE(status)) {
    // Without break rules every code point counts as one character.
    for (int32_t at = 0; at < length;) {
      UChar32 point = 0;
      U8_NEXT(text.data(), at, length, point);
      if (!onCharacter(point)) return;
    }
    return;
  }
  for (int32_t at = clusters->first(); at != icu::BreakIterator::DONE && at < length;
       at = clusters->next()) {
    if (!onCharacter(utext_char32At(utf8.get(), at))) return;
  }
}

}  // namespace

std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  forEachCharacter(text, [&](UChar32) {
    ++count;
    return true;
  });
  return count;
}

std::size_t denseLength(std::string_view text, std::size_t atMost) {
  std::size_t count = 0;
  forEachCharacter(text, [&](UChar32 first) {
    if (!u_hasBinaryProperty(first, UCHAR_WHITE_SPACE)) ++count;
    return count < atMost;
  });
  return count;
}

}  // namespace ocr
