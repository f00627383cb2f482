#include "lab/contact_sheet.h"

#include <png.h>

#include <algorithm>
#include <cstring>

#include "lab/video.h"

namespace vhublab {

void YuvToRgb(int y, int u, int v, uint8_t rgb[3]) {
  const int c = y - 16, d = u - 128, e = v - 128;
  auto clamp = [](int x) { return uint8_t(std::clamp(x, 0, 255)); };
  rgb[0] = clamp((298 * c + 409 * e + 128) >> 8);
  rgb[1] = clamp((298 * c - 100 * d - 208 * e + 128) >> 8);
  rgb[2] = clamp((298 * c + 516 * d + 128) >> 8);
}

ContactSheet::ContactSheet(int tiles, int columns, int shrink)
    : tiles_(std::max(1, tiles)), columns_(std::max(1, columns)), shrink_(std::max(1, shrink)) {}

void ContactSheet::Offer(const uint8_t* f, int width, int height) {
  const uint64_t index = offered_++;
  if (index % stride_) return;
  // Keep every stride-th frame; when the sheet overflows, keep every other
  // thumbnail and double the stride, so the sample stays even over the run.
  if (int(thumbs_.size()) == 2 * tiles_) {
    std::vector<Thumb> half;
    for (size_t i = 0; i < thumbs_.size(); i += 2) half.push_back(std::move(thumbs_[i]));
    thumbs_ = std::move(half);
    stride_ *= 2;
    if (index % stride_) return;
  }
  Thumb t;
  t.w = std::max(2, width / shrink_) & ~1;
  t.h = std::max(1, height / shrink_);
  t.rgb.resize(size_t(t.w) * t.h * 3);
  for (int r = 0; r < t.h; ++r) {
    const int sr = int(int64_t(r) * height / t.h);
    for (int c = 0; c < t.w; ++c) {
      const int sc = int(int64_t(c) * width / t.w);
      const uint8_t* pair = f + (size_t(sr) * width + (sc & ~1)) * 2;
      YuvToRgb(pair[(sc & 1) * 2], pair[1], pair[3], &t.rgb[(size_t(r) * t.w + c) * 3]);
    }
  }
  thumbs_.push_back(std::move(t));
}

void ContactSheet::Write(const std::string& path) const {
  // Pick `tiles_` of the kept thumbnails, evenly.
  std::vector<const Thumb*> pick;
  const size_t n = thumbs_.size();
  const size_t want = std::min<size_t>(n, size_t(tiles_));
  for (size_t i = 0; i < want; ++i) pick.push_back(&thumbs_[i * n / want]);

  const int gap = 4;
  int tw = 1, th = 1;
  for (auto* t : pick) tw = std::max(tw, t->w), th = std::max(th, t->h);
  const int cols = pick.empty() ? 1 : std::min<int>(columns_, int(pick.size()));
  const int rows = pick.empty() ? 1 : int((pick.size() + cols - 1) / cols);
  const int W = pick.empty() ? 1 : cols * tw + (cols + 1) * gap;
  const int H = pick.empty() ? 1 : rows * th + (rows + 1) * gap;
  std::vector<uint8_t> img(size_t(W) * H * 3, pick.empty() ? 0 : 40);
  for (size_t i = 0; i < pick.size(); ++i) {
    const int x0 = gap + int(i % cols) * (tw + gap), y0 = gap + int(i / cols) * (th + gap);
    for (int r = 0; r < pick[i]->h; ++r)
      std::memcpy(&img[(size_t(y0 + r) * W + x0) * 3], &pick[i]->rgb[size_t(r) * pick[i]->w * 3],
                  size_t(pick[i]->w) * 3);
  }

  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = png_uint_32(W);
  image.height = png_uint_32(H);
  image.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&image, path.c_str(), 0, img.data(), W * 3, nullptr))
    throw LabError("cannot write " + path + ": " + image.message);
}

}  // namespace vhublab
