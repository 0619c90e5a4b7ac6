#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ocr {

// The number of user-perceived characters (extended grapheme clusters) of a UTF-8 text.
std::size_t characterCount(std::string_view text);

// The number of user-perceived characters whose first code point is not White_Space, counted
// up to atMost: a caller that only compares it with a bound need not read a whole page.
std::size_t denseLength(std::string_view text, std::size_t atMost = SIZE_MAX);

}  // namespace ocr
