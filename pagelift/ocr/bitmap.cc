#include "pagelift/ocr/bitmap.h"

#include <leptonica/allheaders.h>

#include <cstdint>

namespace ocr {
namespace {

// A decoded picture of more pixels than this is refused: at 32 bits per pixel it already
// takes a quarter of a gigabyte before recognition starts.
constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 26;

}  // namespace

void PixDestroy::operator()(Pix* pix) const { pixDestroy(&pix); }

Bitmap loadPicture(const std::string& path) {
  l_int32 format = 0;
  l_int32 width = 0;
  l_int32 height = 0;
  if (pixReadHeader(path.c_str(), &format, &width, &height, nullptr, nullptr, nullptr) != 0) {
    return nullptr;
  }
  if (width <= 0 || height <= 0 || std::int64_t{width} * std::int64_t{height} > kMaxPicturePixels) {
    return nullptr;
  }
  Bitmap picture(pixRead(path.c_str()));
  if (!picture || pixGetWidth(picture.get()) != width || pixGetHeight(picture.get()) != height) {
    return nullptr;
  }
  return picture;
}

Bitmap grayBitmap(const unsigned char* rows, int width, int height, int stride, int ppi) {
  Bitmap bitmap(pixCreate(width, height, 8));
  if (!bitmap) return nullptr;
  l_uint32* data = pixGetData(bitmap.get());
  const l_int32 wordsPerLine = pixGetWpl(bitmap.get());
  for (int y = 0; y < height; ++y) {
    l_uint32* line = data + static_cast<std::ptrdiff_t>(y) * wordsPerLine;
    const unsigned char* source = rows + static_cast<std::ptrdiff_t>(y) * stride;
    for (int x = 0; x < width; ++x) SET_DATA_BYTE(line, x, source[x]);
  }
  pixSetResolution(bitmap.get(), ppi, ppi);
  return bitmap;
}

int bitmapWidth(const Bitmap& bitmap) { return pixGetWidth(bitmap.get()); }
int bitmapHeight(const Bitmap& bitmap) { return pixGetHeight(bitmap.get()); }

}  // namespace ocr
