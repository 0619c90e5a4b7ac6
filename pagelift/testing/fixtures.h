#pragma once

// Test fixtures made at run time: pictures of text drawn with a known font, and small PDFs.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fixtures {

inline constexpr char kLatinFont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
inline constexpr char kCjkFont[] = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc";

// An 8-bit grey picture, 0 black to 255 white, rows without padding.
struct Drawing {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> gray;
};

// Lines of UTF-8 text drawn black on white at pixelSize, one line every 1.5 × pixelSize, with
// margin pixels around them. Throws std::runtime_error when the font cannot be used.
Drawing drawText(const std::string& fontPath, int pixelSize, const std::vector<std::string>& lines,
                 int margin);

// A blank white picture.
Drawing blank(int width, int height);

// Pictures put together on white: side by side with gap pixels between them, or one above
// the other.
Drawing besides(const Drawing& left, const Drawing& right, int gap);
Drawing above(const Drawing& top, const Drawing& bottom);

// The drawing turned clockwise by quarter turns.
Drawing turned(const Drawing& drawing, int quarterTurns);

// The drawing turned clockwise by a small angle about its centre, on a canvas that holds all
// of it, grey levels sampled bilinearly as a scanner would.
Drawing tilted(const Drawing& drawing, double degrees);

// JPEG bytes with an EXIF segment that carries orientation (1 to 8), put after the start marker.
std::string withExifOrientation(const std::string& jpeg, int orientation);

// PNG bytes with an eXIf chunk that carries orientation, put after the header chunk.
std::string withPngOrientation(const std::string& png, int orientation);

// An uncompressed 8-bit grey TIFF whose orientation tag is orientation.
std::string tiffWithOrientation(const Drawing& drawing, int orientation);

// Writes a drawing as PNG, JPEG, BMP or TIFF (by format name "png", "jpg", "bmp", "tiff");
// throws std::runtime_error on failure.
void writePicture(const Drawing& drawing, const std::string& path, const std::string& format);

// Writes the drawings as the pages of one TIFF file.
void writeMultipageTiff(const std::vector<Drawing>& pages, const std::string& path);

struct TextRun {
  double x = 72;
  double y = 700;
  double size = 12;
  std::string text;  // ASCII, drawn in Helvetica
};

struct PdfPageSpec {
  double width = 612;
  double height = 792;
  std::vector<TextRun> text;
  std::optional<Drawing> scan;  // drawn over the whole page, under the text
};

// The bytes of a PDF file with these pages.
std::string pdfBytes(const std::vector<PdfPageSpec>& pages);

// Insertions, deletions and substitutions that make one text the other.
std::size_t editDistance(const std::u32string& a, const std::u32string& b);

// Writes bytes to a file; throws std::runtime_error on failure.
void writeBytes(const std::string& path, const std::string& bytes);

}  // namespace fixtures
