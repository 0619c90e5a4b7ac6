#include "pagelift/testing/fixtures.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <leptonica/allheaders.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <numbers>
#include <sstream>
#include <stdexcept>

#include "common/text.h"

namespace fixtures {
namespace {

struct FreeType {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  ~FreeType() {
    if (face) FT_Done_Face(face);
    if (library) FT_Done_FreeType(library);
  }
};

struct PixFree {
  void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<Pix, PixFree>;

PixPtr toPix(const Drawing& drawing) {
  PixPtr pix(pixCreate(drawing.width, drawing.height, 8));
  if (!pix) throw std::runtime_error("pixCreate failed");
  for (int y = 0; y < drawing.height; ++y) {
    for (int x = 0; x < drawing.width; ++x) {
      pixSetPixel(pix.get(), x, y, drawing.gray[static_cast<std::size_t>(y) * drawing.width + x]);
    }
  }
  return pix;
}

std::string deflate(const std::vector<std::uint8_t>& bytes) {
  uLongf size = compressBound(bytes.size());
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, bytes.data(), bytes.size(), 6) !=
      Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  out.resize(size);
  return out;
}

std::string escapePdfString(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '(' || c == ')' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

Drawing drawText(const std::string& fontPath, int pixelSize, const std::vector<std::string>& lines,
                 int margin) {
  FreeType ft;
  if (FT_Init_FreeType(&ft.library) != 0 ||
      FT_New_Face(ft.library, fontPath.c_str(), 0, &ft.face) != 0 ||
      FT_Set_Pixel_Sizes(ft.face, 0, pixelSize) != 0) {
    throw std::runtime_error("cannot use font " + fontPath);
  }
  const int lineHeight = pixelSize * 3 / 2;
  int widest = 0;
  for (const std::string& line : lines) {
    int advance = 0;
    for (char32_t point : quorvel::codePoints(line)) {
      if (FT_Load_Char(ft.face, point, FT_LOAD_DEFAULT) == 0) {
        advance += static_cast<int>(ft.face->glyph->advance.x >> 6);
      }
    }
    widest = std::max(widest, advance);
  }
  Drawing drawing =
      blank(widest + 2 * margin, static_cast<int>(lines.size()) * lineHeight + 2 * margin);
  for (std::size_t row = 0; row < lines.size(); ++row) {
    int penX = margin;
    const int baseline = margin + static_cast<int>(row) * lineHeight + pixelSize;
    for (char32_t point : quorvel::codePoints(lines[row])) {
      if (FT_Load_Char(ft.face, point, FT_LOAD_RENDER) != 0) continue;
      const FT_GlyphSlot glyph = ft.face->glyph;
      for (unsigned gy = 0; gy < glyph->bitmap.rows; ++gy) {
        for (unsigned gx = 0; gx < glyph->bitmap.width; ++gx) {
          const int x = penX + glyph->bitmap_left + static_cast<int>(gx);
          const int y = baseline - glyph->bitmap_top + static_cast<int>(gy);
          if (x < 0 || y < 0 || x >= drawing.width || y >= drawing.height) continue;
          const std::uint8_t ink = glyph->bitmap.buffer[gy * glyph->bitmap.pitch + gx];
          std::uint8_t& pixel = drawing.gray[static_cast<std::size_t>(y) * drawing.width + x];
          pixel = std::min<int>(pixel, 255 - ink);
        }
      }
      penX += static_cast<int>(glyph->advance.x >> 6);
    }
  }
  return drawing;
}

Drawing blank(int width, int height) {
  Drawing drawing;
  drawing.width = width;
  drawing.height = height;
  drawing.gray.assign(static_cast<std::size_t>(width) * height, 255);
  return drawing;
}

void writePicture(const Drawing& drawing, const std::string& path, const std::string& format) {
  const PixPtr pix = toPix(drawing);
  const l_int32 type = format == "png"    ? IFF_PNG
                       : format == "jpg"  ? IFF_JFIF_JPEG
                       : format == "bmp"  ? IFF_BMP
                       : format == "tiff" ? IFF_TIFF_ZIP
                                          : IFF_UNKNOWN;
  if (type == IFF_UNKNOWN || pixWrite(path.c_str(), pix.get(), type) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
}

void writeMultipageTiff(const std::vector<Drawing>& pages, const std::string& path) {
  const char* mode = "w";
  for (const Drawing& page : pages) {
    const PixPtr pix = toPix(page);
    if (pixWriteTiff(path.c_str(), pix.get(), IFF_TIFF_ZIP, mode) != 0) {
      throw std::runtime_error("cannot write " + path);
    }
    mode = "a";
  }
}

std::string pdfBytes(const std::vector<PdfPageSpec>& pages) {
  // Objects: 1 catalog, 2 page tree, 3 font, then per page: page, contents, image.
  std::vector<std::string> objects(3);
  std::ostringstream kids;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const PdfPageSpec& spec = pages[i];
    const std::size_t pageObject = objects.size() + 1;
    kids << pageObject << " 0 R ";
    std::ostringstream content;
    std::string resources = "/Font << /F1 3 0 R >>";
    std::string image;
    if (spec.scan) {
      content << "q " << spec.width << " 0 0 " << spec.height << " 0 0 cm /Im1 Do Q\n";
      const std::string data = deflate(spec.scan->gray);
      std::ostringstream object;
      object << "<< /Type /XObject /Subtype /Image /Width " << spec.scan->width << " /Height "
             << spec.scan->height
             << " /ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /FlateDecode /Length "
             << data.size() << " >>\nstream\n"
             << data << "\nendstream";
      image = object.str();
      resources += " /XObject << /Im1 " + std::to_string(pageObject + 2) + " 0 R >>";
    }
    for (const TextRun& run : spec.text) {
      content << "BT /F1 " << run.size << " Tf " << run.x << " " << run.y << " Td ("
              << escapePdfString(run.text) << ") Tj ET\n";
    }
    std::ostringstream page;
    page << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " << spec.width << " " << spec.height
         << "] /Resources << " << resources << " >> /Contents " << pageObject + 1 << " 0 R >>";
    objects.push_back(page.str());
    const std::string stream = content.str();
    objects.push_back("<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream +
                      "endstream");
    objects.push_back(image.empty() ? "null" : image);
  }
  objects[0] = "<< /Type /Catalog /Pages 2 0 R >>";
  objects[1] =
      "<< /Type /Pages /Kids [" + kids.str() + "] /Count " + std::to_string(pages.size()) + " >>";
  objects[2] = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>";

  std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char line[24];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

// The drawing turned clockwise by quarter turns.
Drawing turned(const Drawing& drawing, int quarterTurns) {
  Drawing out = drawing;
  for (int turn = 0; turn < quarterTurns; ++turn) {
    Drawing next = blank(out.height, out.width);
    for (int y = 0; y < out.height; ++y) {
      for (int x = 0; x < out.width; ++x) {
        next.gray[static_cast<std::size_t>(x * next.width + (out.height - 1 - y))] =
            out.gray[static_cast<std::size_t>(y * out.width + x)];
      }
    }
    out = std::move(next);
  }
  return out;
}

Drawing tilted(const Drawing& drawing, double degrees) {
  const double angle = degrees * std::numbers::pi / 180.0;
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  const double w = drawing.width;
  const double h = drawing.height;
  Drawing out = blank(static_cast<int>(std::ceil(std::abs(w * c) + std::abs(h * s))),
                      static_cast<int>(std::ceil(std::abs(w * s) + std::abs(h * c))));
  const auto at = [&](int x, int y) -> double {
    if (x < 0 || y < 0 || x >= drawing.width || y >= drawing.height) return 255;
    return drawing.gray[static_cast<std::size_t>(y * drawing.width + x)];
  };
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      // Where this output pixel comes from in the original, turned back about the centres.
      const double dx = x + 0.5 - out.width / 2.0;
      const double dy = y + 0.5 - out.height / 2.0;
      const double sx = dx * c + dy * s + w / 2.0 - 0.5;
      const double sy = -dx * s + dy * c + h / 2.0 - 0.5;
      const int x0 = static_cast<int>(std::floor(sx));
      const int y0 = static_cast<int>(std::floor(sy));
      const double fx = sx - x0;
      const double fy = sy - y0;
      const double value = (at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy) +
                           (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy;
      out.gray[static_cast<std::size_t>(y * out.width + x)] =
          static_cast<std::uint8_t>(std::lround(value));
    }
  }
  return out;
}

namespace {

void put(std::string& bytes, unsigned value, int size) {
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

// A little-endian directory entry of one SHORT or LONG value.
void entry(std::string& bytes, unsigned tag, unsigned type, unsigned value) {
  put(bytes, tag, 2);
  put(bytes, type, 2);
  put(bytes, 1, 4);
  put(bytes, value, type == 3 ? 2 : 4);
  if (type == 3) put(bytes, 0, 2);
}

// A TIFF structure of one directory with one entry, the orientation.
std::string orientationDirectory(int orientation) {
  std::string tiff = "II";
  put(tiff, 42, 2);
  put(tiff, 8, 4);
  put(tiff, 1, 2);
  entry(tiff, 0x0112, 3, static_cast<unsigned>(orientation));
  put(tiff, 0, 4);
  return tiff;
}

}  // namespace

std::string withPngOrientation(const std::string& png, int orientation) {
  const std::string data = orientationDirectory(orientation);
  std::string chunk;
  for (int shift = 24; shift >= 0; shift -= 8)
    chunk.push_back(static_cast<char>(data.size() >> shift & 0xFF));
  const std::string typed = "eXIf" + data;
  chunk += typed;
  const auto check = static_cast<unsigned>(
      crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size())));
  for (int shift = 24; shift >= 0; shift -= 8)
    chunk.push_back(static_cast<char>(check >> shift & 0xFF));
  const std::size_t afterHeader = 8 + 25;  // the signature, then IHDR with its 13 bytes
  return png.substr(0, afterHeader) + chunk + png.substr(afterHeader);
}

std::string withExifOrientation(const std::string& jpeg, int orientation) {
  const std::string tiff = orientationDirectory(orientation);
  std::string segment = "\xFF\xE1";
  const std::string payload = std::string("Exif\0\0", 6) + tiff;
  segment.push_back(static_cast<char>((payload.size() + 2) >> 8));
  segment.push_back(static_cast<char>((payload.size() + 2) & 0xFF));
  return jpeg.substr(0, 2) + segment + payload + jpeg.substr(2);
}

std::string tiffWithOrientation(const Drawing& drawing, int orientation) {
  constexpr unsigned kEntries = 10;
  const unsigned pixels = 8 + 2 + 12 * kEntries + 4;
  std::string bytes = "II";
  put(bytes, 42, 2);
  put(bytes, 8, 4);
  put(bytes, kEntries, 2);
  const auto width = static_cast<unsigned>(drawing.width);
  const auto height = static_cast<unsigned>(drawing.height);
  entry(bytes, 256, 4, width);   // width
  entry(bytes, 257, 4, height);  // length
  entry(bytes, 258, 3, 8);       // bits per sample
  entry(bytes, 259, 3, 1);       // no compression
  entry(bytes, 262, 3, 1);       // black is zero
  entry(bytes, 273, 4, pixels);  // strip offset
  entry(bytes, 274, 3, static_cast<unsigned>(orientation));
  entry(bytes, 277, 3, 1);               // samples per pixel
  entry(bytes, 278, 4, height);          // rows per strip
  entry(bytes, 279, 4, width * height);  // strip bytes
  put(bytes, 0, 4);
  bytes.append(drawing.gray.begin(), drawing.gray.end());
  return bytes;
}

std::size_t editDistance(const std::u32string& a, const std::u32string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

Drawing besides(const Drawing& left, const Drawing& right, int gap) {
  Drawing both = blank(left.width + gap + right.width, std::max(left.height, right.height));
  for (int y = 0; y < left.height; ++y)
    std::copy_n(&left.gray[static_cast<std::size_t>(y * left.width)], left.width,
                &both.gray[static_cast<std::size_t>(y * both.width)]);
  for (int y = 0; y < right.height; ++y)
    std::copy_n(&right.gray[static_cast<std::size_t>(y * right.width)], right.width,
                &both.gray[static_cast<std::size_t>(y * both.width + left.width + gap)]);
  return both;
}

Drawing above(const Drawing& top, const Drawing& bottom) {
  Drawing both = blank(std::max(top.width, bottom.width), top.height + bottom.height);
  for (int y = 0; y < top.height; ++y)
    std::copy_n(&top.gray[static_cast<std::size_t>(y * top.width)], top.width,
                &both.gray[static_cast<std::size_t>(y * both.width)]);
  for (int y = 0; y < bottom.height; ++y)
    std::copy_n(&bottom.gray[static_cast<std::size_t>(y * bottom.width)], bottom.width,
                &both.gray[static_cast<std::size_t>((top.height + y) * both.width)]);
  return both;
}

}  // namespace fixtures
