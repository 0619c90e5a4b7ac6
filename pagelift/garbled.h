#pragma once

#include <string_view>

namespace pagelift {

// True when a page's embedded text cannot be what the page shows: the text of a font without
// a Unicode map comes out as private-use or replacement characters, control characters,
// glyph names, runs of punctuation, or letters that spell no words. Real text in any script,
// tables of numbers, code listings and formulas are not garbled.
bool looksGarbled(std::string_view text);

}  // namespace pagelift
