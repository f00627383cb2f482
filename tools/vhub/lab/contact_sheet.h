// A contact sheet of sampled frames, written as PNG (libpng).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vhublab {

class ContactSheet {
 public:
  // At most `tiles` thumbnails, each 1/`shrink` of the frame on a side.
  explicit ContactSheet(int tiles = 12, int columns = 4, int shrink = 4);
  // Offers every received frame; the sheet keeps an even sample of them.
  void Offer(const uint8_t* yuy2, int width, int height);
  int kept() const { return int(thumbs_.size()); }
  // Writes the sheet (a 1x1 black image when no frame came); throws LabError.
  void Write(const std::string& path) const;

 private:
  struct Thumb {
    int w, h;
    std::vector<uint8_t> rgb;
  };
  int tiles_, columns_, shrink_;
  uint64_t offered_ = 0;
  uint64_t stride_ = 1;
  std::vector<Thumb> thumbs_;
};

// BT.601 limited-range YUV to 8-bit RGB.
void YuvToRgb(int y, int u, int v, uint8_t rgb[3]);

}  // namespace vhublab
