#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// Valid UTF-8 from arbitrary bytes: every invalid sequence becomes U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

// The code points of a UTF-8 text; every invalid sequence gives one U+FFFD.
std::u32string codePoints(std::string_view text);

// Drops white space and line breaks (Unicode spaces, U+0009-U+000D, U+0085) at both ends of
// a UTF-8 text.
std::string trimWhitespace(std::string_view text);

// Splits at every occurrence of separator; keepEmpty false drops empty pieces.
std::vector<std::string> split(std::string_view text, char separator, bool keepEmpty);

// Joins pieces with separator between them.
std::string join(const std::vector<std::string>& pieces, std::string_view separator);

}  // namespace quorvel
