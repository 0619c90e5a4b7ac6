#include "pagelift/ocr/bitmap.h"

#include <leptonica/allheaders.h>

#include <cstdint>
#include <fstream>

namespace ocr {
namespace {

// A decoded picture of more pixels than this is refused: at 32 bits per pixel it already
// takes a quarter of a gigabyte before recognition starts.
constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 26;

// The bytes at the start of a file, where a JPEG keeps its EXIF segment.
std::string head(const std::string& path, std::size_t count) {
  std::ifstream file(path, std::ios::binary);
  std::string bytes(count, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

unsigned readUnsigned(const std::string& bytes, std::size_t at, int size, bool bigEndian) {
  unsigned value = 0;
  for (int i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(
        bytes[at + static_cast<std::size_t>(bigEndian ? i : size - 1 - i)]);
    value = value << 8 | byte;
  }
  return value;
}

// The orientation tag (0x0112) of the first directory of a TIFF structure at start.
int tiffOrientation(const std::string& bytes, std::size_t start) {
  if (start + 8 > bytes.size()) return 1;
  const bool bigEndian = bytes.compare(start, 2, "MM") == 0;
  if (!bigEndian && bytes.compare(start, 2, "II") != 0) return 1;
  const std::size_t directory = start + readUnsigned(bytes, start + 4, 4, bigEndian);
  if (directory + 2 > bytes.size()) return 1;
  const unsigned entries = readUnsigned(bytes, directory, 2, bigEndian);
  for (unsigned i = 0; i < entries; ++i) {
    const std::size_t entry = directory + 2 + 12 * std::size_t{i};
    if (entry + 12 > bytes.size()) return 1;
    if (readUnsigned(bytes, entry, 2, bigEndian) != 0x0112) continue;
    const unsigned value = readUnsigned(bytes, entry + 8, 2, bigEndian);
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
  }
  return 1;
}

// The picture as it is meant to be seen, for an EXIF orientation.
Bitmap upright(Bitmap picture, int orientation) {
  switch (orientation) {
    case 2:
      return Bitmap(pixFlipLR(nullptr, picture.get()));
    case 3:
      return Bitmap(pixRotateOrth(picture.get(), 2));
    case 4:
      return Bitmap(pixFlipTB(nullptr, picture.get()));
    case 5: {  // mirrored across the main diagonal
      Bitmap turned(pixRotateOrth(picture.get(), 1));
      return turned ? Bitmap(pixFlipLR(nullptr, turned.get())) : nullptr;
    }
    case 6:
      return Bitmap(pixRotateOrth(picture.get(), 1));
    case 7: {  // mirrored across the other diagonal
      Bitmap turned(pixRotateOrth(picture.get(), 3));
      return turned ? Bitmap(pixFlipLR(nullptr, turned.get())) : nullptr;
    }
    case 8:
      return Bitmap(pixRotateOrth(picture.get(), 3));
    default:
      return picture;
  }
}

}  // namespace

int jpegOrientation(const std::string& bytes) {
  if (bytes.size() < 4 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xD8) {
    return 1;
  }
  std::size_t at = 2;
  // Segments up to the first scan; the EXIF one is an APP1 that starts "Exif\0\0".
  while (at + 4 <= bytes.size() && static_cast<unsigned char>(bytes[at]) == 0xFF) {
    const auto marker = static_cast<unsigned char>(bytes[at + 1]);
    if (marker == 0xDA || marker == 0xD9) break;
    const std::size_t length = readUnsigned(bytes, at + 2, 2, true);
    if (length < 2) break;
    if (marker == 0xE1 && at + 10 <= bytes.size() &&
        bytes.compare(at + 4, 6, std::string("Exif\0\0", 6)) == 0) {
      return tiffOrientation(bytes.substr(0, std::min(bytes.size(), at + 2 + length)), at + 10);
    }
    at += 2 + length;
  }
  return 1;
}

int pngOrientation(const std::string& bytes) {
  static const std::string signature("\x89PNG\r\n\x1a\n", 8);
  if (bytes.compare(0, 8, signature) != 0) return 1;
  // Chunks: length, type, data, check. An eXIf chunk holds a TIFF structure as it stands.
  for (std::size_t at = 8; at + 8 <= bytes.size();) {
    const std::size_t length = readUnsigned(bytes, at, 4, true);
    const std::string_view type(bytes.data() + at + 4, 4);
    if (type == "eXIf")
      return tiffOrientation(bytes.substr(0, std::min(bytes.size(), at + 8 + length)), at + 8);
    if (type == "IDAT" || type == "IEND") break;
    at += 12 + length;
  }
  return 1;
}

int webpOrientation(const std::string& bytes) {
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WEBP") != 0)
    return 1;
  // Chunks: type, little-endian length, data padded to an even length.
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::size_t length = readUnsigned(bytes, at + 4, 4, false);
    if (bytes.compare(at, 4, "EXIF") == 0) {
      const std::string data = bytes.substr(at + 8, length);
      // Some writers keep the JPEG segment's "Exif\0\0" in front of the structure.
      return tiffOrientation(data, data.compare(0, 6, std::string("Exif\0\0", 6)) == 0 ? 6 : 0);
    }
    at += 8 + length + (length % 2);
  }
  return 1;
}

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
  if (!picture) return nullptr;
  // The TIFF reader already turns the picture as its orientation tag says, sides swapped for
  // a quarter turn.
  const int decodedWidth = pixGetWidth(picture.get());
  const int decodedHeight = pixGetHeight(picture.get());
  const bool asDeclared = decodedWidth == width && decodedHeight == height;
  const bool turned = format == IFF_TIFF || format == IFF_TIFF_G4 || format == IFF_TIFF_G3 ||
                      format == IFF_TIFF_LZW || format == IFF_TIFF_ZIP ||
                      format == IFF_TIFF_PACKBITS || format == IFF_TIFF_RLE ||
                      format == IFF_TIFF_JPEG;
  if (!asDeclared && !(turned && decodedWidth == height && decodedHeight == width)) return nullptr;
  const std::string bytes = head(path, 1 << 16);
  if (format == IFF_JFIF_JPEG) return upright(std::move(picture), jpegOrientation(bytes));
  if (format == IFF_PNG) return upright(std::move(picture), pngOrientation(bytes));
  if (format == IFF_WEBP) return upright(std::move(picture), webpOrientation(bytes));
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
