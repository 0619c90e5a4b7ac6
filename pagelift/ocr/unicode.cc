#include "pagelift/ocr/unicode.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

namespace ocr {
namespace {

// Calls onCharacter with the first code point of each extended grapheme cluster.
template <typename F>
void forEachCharacter(std::string_view text, F onCharacter) {
  const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) {
    // Without break rules every code point counts as one character.
    for (int32_t at = 0; at < unicode.length(); at = unicode.moveIndex32(at, 1)) {
      onCharacter(unicode.char32At(at));
    }
    return;
  }
  clusters->setText(unicode);
  for (int32_t at = clusters->first(); at != icu::BreakIterator::DONE && at < unicode.length();
       at = clusters->next()) {
    onCharacter(unicode.char32At(at));
  }
}

}  // namespace

std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  forEachCharacter(text, [&](UChar32) { ++count; });
  return count;
}

std::size_t denseLength(std::string_view text) {
  std::size_t count = 0;
  forEachCharacter(text, [&](UChar32 first) {
    if (!u_hasBinaryProperty(first, UCHAR_WHITE_SPACE)) ++count;
  });
  return count;
}

}  // namespace ocr
