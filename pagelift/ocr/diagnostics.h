#pragma once

namespace ocr {

// Sends the imaging library's messages nowhere.
void silenceImagingMessages();

// Points standard error at /dev/null, since the picture decoders below the imaging library and
// the font configuration below the PDF renderer write their warnings there by themselves.
// Returns a descriptor of the original standard error for the tool's own lines, or -1.
int divertStandardError();

}  // namespace ocr
