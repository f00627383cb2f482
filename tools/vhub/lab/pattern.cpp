#include "lab/pattern.h"

#include <algorithm>

namespace vhublab {
namespace {

struct Yuv {
  uint8_t y, u, v;
};

// 75 % bars in limited-range BT.601: white, yellow, cyan, green, magenta,
// red, blue, black.
constexpr Yuv kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

// 5 x 7 digits, one row per byte, bit 4 is the leftmost column.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

constexpr int kNumberDigits = 6;
constexpr uint8_t kInk = 235, kPaper = 16;

struct Layout {
  int scale, pad, x0, y0, cell_w;
};

Layout LayoutFor(int width, int height) {
  Layout l{};
  l.scale = std::max(1, std::min(height / 60, width / 80));
  l.pad = 2 * l.scale;
  l.x0 = l.pad;
  l.y0 = l.pad;
  l.cell_w = 6 * l.scale;
  return l;
}

void PutY(uint8_t* f, int width, int x, int y, uint8_t luma) {
  f[(size_t(y) * width + x) * 2] = luma;
}

}  // namespace

void DrawPatternFrame(uint32_t n, int width, int height, uint8_t* f) {
  const int shift = int((uint64_t(n) * 8) % uint64_t(width));
  for (int y = 0; y < height; ++y) {
    uint8_t* row = f + size_t(y) * width * 2;
    for (int x = 0; x < width; x += 2) {
      const Yuv& c = kBars[(int64_t(x + shift) % width) * 8 / width];
      row[2 * x] = c.y;
      row[2 * x + 1] = c.u;
      row[2 * x + 2] = c.y;
      row[2 * x + 3] = c.v;
    }
  }
  const Layout l = LayoutFor(width, height);
  const int box_w = kNumberDigits * l.cell_w + 2 * l.pad - l.scale;
  const int box_h = 7 * l.scale + 2 * l.pad;
  for (int y = 0; y < box_h && y < height; ++y)
    for (int x = 0; x < box_w && x < width; ++x) {
      uint8_t* p = f + (size_t(y) * width + x) * 2;
      p[0] = kPaper;
      p[1] = 128;
    }
  uint32_t value = n;
  for (int d = kNumberDigits - 1; d >= 0; --d, value /= 10) {
    const uint8_t* glyph = kDigits[value % 10];
    const int gx = l.x0 + d * l.cell_w;
    for (int r = 0; r < 7; ++r)
      for (int c = 0; c < 5; ++c)
        if (glyph[r] & (0x10 >> c))
          for (int dy = 0; dy < l.scale; ++dy)
            for (int dx = 0; dx < l.scale; ++dx) {
              const int px = gx + c * l.scale + dx, py = l.y0 + r * l.scale + dy;
              if (px < width && py < height) PutY(f, width, px, py, kInk);
            }
  }
}

std::vector<uint8_t> PatternFrame(uint32_t n, int width, int height) {
  std::vector<uint8_t> f(size_t(width) * height * 2);
  DrawPatternFrame(n, width, height, f.data());
  return f;
}

std::optional<uint32_t> ReadPatternFrameNumber(const uint8_t* f, int width, int height) {
  const Layout l = LayoutFor(width, height);
  if (l.y0 + 7 * l.scale > height || l.x0 + kNumberDigits * l.cell_w > width) return std::nullopt;
  uint32_t value = 0;
  for (int d = 0; d < kNumberDigits; ++d) {
    uint8_t rows[7] = {};
    for (int r = 0; r < 7; ++r)
      for (int c = 0; c < 5; ++c) {
        const int px = l.x0 + d * l.cell_w + c * l.scale + l.scale / 2;
        const int py = l.y0 + r * l.scale + l.scale / 2;
        const uint8_t luma = f[(size_t(py) * width + px) * 2];
        if (luma > 200) rows[r] |= uint8_t(0x10 >> c);
        else if (luma > 40) return std::nullopt;  // neither ink nor paper
      }
    int digit = -1;
    for (int k = 0; k < 10; ++k)
      if (std::equal(rows, rows + 7, kDigits[k])) digit = k;
    if (digit < 0) return std::nullopt;
    value = value * 10 + uint32_t(digit);
  }
  return value;
}

}  // namespace vhublab
