#pragma once

#include <memory>
#include <string>

struct Pix;

namespace ocr {

struct PixDestroy {
  void operator()(Pix* pix) const;
};

// A decoded or rendered picture handed to the text engine; null when there is none.
using Bitmap = std::unique_ptr<Pix, PixDestroy>;

// The first image of a picture file (PNG, JPEG, TIFF, GIF, WebP, BMP, PNM), upright as its
// orientation tag says (EXIF in JPEG, PNG and WebP, the TIFF tag); null when the file cannot be
// decoded or is too large to decode within a bounded amount of memory.
Bitmap loadPicture(const std::string& path);

// The EXIF orientation (1 to 8) a file's first bytes carry; 1 when they carry none.
int jpegOrientation(const std::string& bytes);
int pngOrientation(const std::string& bytes);
int webpOrientation(const std::string& bytes);

// An 8-bit grey bitmap copied from rows of stride bytes, tagged with its resolution.
Bitmap grayBitmap(const unsigned char* rows, int width, int height, int stride, int ppi);

int bitmapWidth(const Bitmap& bitmap);
int bitmapHeight(const Bitmap& bitmap);

}  // namespace ocr
