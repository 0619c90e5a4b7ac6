#pragma once

#include <cstddef>
#include <string_view>

namespace ocr {

// The number of user-perceived characters (extended grapheme clusters) of a UTF-8 text.
std::size_t characterCount(std::string_view text);

// The number of user-perceived characters whose first code point is not White_Space.
std::size_t denseLength(std::string_view text);

}  // namespace ocr
