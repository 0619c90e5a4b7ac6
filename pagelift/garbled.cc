#include "pagelift/garbled.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>

namespace pagelift {
namespace {

// Below these shares of the page's non-blank characters, the text is garbled.
constexpr double kLeastAlphanumericShare = 0.3;  // letters and digits of any script
constexpr double kMostUnusableShare = 0.2;       // private-use, replacement, control
constexpr double kMostGlyphNameShare = 0.3;      // of the words
constexpr double kLeastVowelWordShare = 0.5;     // of the Latin words of 3 letters or more
constexpr int kFewestLatinWords = 5;             // below this, too few to judge by vowels

bool isUnusable(UChar32 c) {
  if (c == '\t' || c == '\n' || c == '\r' || c == '\f') return false;
  const int8_t type = u_charType(c);
  return type == U_PRIVATE_USE_CHAR || type == U_CONTROL_CHAR || type == U_UNASSIGNED ||
         c == 0xFFFD || c < 0;
}

bool isLatinVowel(UChar32 c) {
  // With the accented vowels of the languages written in Latin letters.
  static const std::u32string vowels =
      U"aeiouyAEIOUYàáâãäåèéêëìíîïòóôõöùúûüýÿÀÁÂÃÄÅÈÉÊËÌÍÎÏÒÓÔÕÖÙÚÛÜÝæœøÆŒØ";
  return vowels.find(static_cast<char32_t>(c)) != std::u32string::npos;
}

// A glyph's name where its character should be: "g12", "/glyph7", "cid123", "uni0041".
bool isGlyphName(std::string_view word) {
  if (!word.empty() && word.front() == '/') word.remove_prefix(1);
  for (const std::string_view prefix : {"glyph", "index", "cid", "uni", "g", "u"}) {
    if (!word.starts_with(prefix)) continue;
    const std::string_view digits = word.substr(prefix.size());
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    const auto decimal = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    // A digit at least, so that words such as "gab" or "cafe" stay words.
    return !digits.empty() && digits.size() <= 6 &&
           std::all_of(digits.begin(), digits.end(), hex) &&
           std::any_of(digits.begin(), digits.end(), decimal);
  }
  return false;
}

}  // namespace

bool looksGarbled(std::string_view text) {
  int dense = 0;
  int alphanumeric = 0;
  int unusable = 0;
  int words = 0;
  int glyphNames = 0;
  int latinWords = 0;
  int latinWordsWithVowel = 0;
  std::string word;
  int wordLatinLetters = 0;
  bool wordAllLatin = true;
  bool wordHasLowercase = false;  // capitals alone are often an abbreviation without vowels
  bool wordHasVowel = false;
  const auto endWord = [&] {
    if (word.empty()) return;
    ++words;
    if (isGlyphName(word)) ++glyphNames;
    if (wordAllLatin && wordHasLowercase && wordLatinLetters >= 3) {
      ++latinWords;
      if (wordHasVowel) ++latinWordsWithVowel;
    }
    word.clear();
    wordLatinLetters = 0;
    wordAllLatin = true;
    wordHasLowercase = false;
    wordHasVowel = false;
  };
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t at = 0; at < length;) {
    const int32_t start = at;
    UChar32 c = 0;
    U8_NEXT(text.data(), at, length, c);
    if (c >= 0 && u_isUWhiteSpace(c)) {
      endWord();
      continue;
    }
    ++dense;
    word.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(at - start)));
    if (isUnusable(c)) {
      ++unusable;
      wordAllLatin = false;
      continue;
    }
    if (u_isalnum(c)) ++alphanumeric;
    UErrorCode status = U_ZERO_ERROR;
    const bool latinLetter =
        u_isalpha(c) && uscript_getScript(c, &status) == USCRIPT_LATIN && U_SUCCESS(status);
    if (latinLetter) {
      ++wordLatinLetters;
      wordHasVowel = wordHasVowel || isLatinVowel(c);
      wordHasLowercase = wordHasLowercase || u_islower(c);
    } else if (u_isalpha(c) || u_isdigit(c)) {
      wordAllLatin = false;
    }
  }
  endWord();
  if (dense == 0) return false;
  if (unusable >= kMostUnusableShare * dense) return true;
  if (dense >= 4 && alphanumeric < kLeastAlphanumericShare * dense) return true;
  if (words > 0 && glyphNames >= kMostGlyphNameShare * words && glyphNames >= 2) return true;
  return latinWords >= kFewestLatinWords && latinWordsWithVowel < kLeastVowelWordShare * latinWords;
}

}  // namespace pagelift
