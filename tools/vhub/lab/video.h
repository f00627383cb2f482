// Video helpers of the lab: the packed YUY2 frames the camera carries, the
// planar 4:2:2 layout of Y4M files, and the Y4M reader and writer.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vhublab {

// A lab error that ends the command with a message and a non-zero exit.
struct LabError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One 4:2:2 picture in three planes: Y is width x height, U and V are
// (width / 2) x height each. Width is always even (YUY2 pairs pixels).
struct Planar422 {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, u, v;
  void Resize(int w, int h);
};

size_t Yuy2FrameBytes(int width, int height);
// Y0 U Y1 V per pixel pair <-> planes. The packed buffer must be exactly
// Yuy2FrameBytes(width, height) long.
void Yuy2ToPlanar(const uint8_t* yuy2, int width, int height, Planar422& out);
void PlanarToYuy2(const Planar422& in, uint8_t* yuy2);
// Nearest-neighbour scaling, so an input file of any size can feed the
// frame size the host chose.
Planar422 Scale(const Planar422& in, int width, int height);

// YUV4MPEG2 output with 4:2:2 chroma, the only layout that keeps YUY2's
// samples without resampling.
class Y4mWriter {
 public:
  Y4mWriter(const std::string& path, int width, int height, int fps_num, int fps_den);
  ~Y4mWriter();
  Y4mWriter(const Y4mWriter&) = delete;
  Y4mWriter& operator=(const Y4mWriter&) = delete;
  void WriteYuy2(const uint8_t* yuy2, size_t bytes);
  int frames() const { return frames_; }
  void Close();

 private:
  FILE* f_ = nullptr;
  std::string path_;
  int width_, height_;
  int frames_ = 0;
  Planar422 scratch_;
};

// YUV4MPEG2 input: 4:2:0 (every siting), 4:2:2, 4:4:4 and mono, 8 bits.
// Every frame comes out as 4:2:2 at the file's size.
class Y4mReader {
 public:
  explicit Y4mReader(const std::string& path);  // throws LabError
  ~Y4mReader();
  Y4mReader(const Y4mReader&) = delete;
  Y4mReader& operator=(const Y4mReader&) = delete;
  int width() const { return width_; }
  int height() const { return height_; }
  int fps_num() const { return fps_num_; }
  int fps_den() const { return fps_den_; }
  const std::string& colorspace() const { return colorspace_; }
  // False at the clean end of the file; throws LabError on a damaged frame.
  bool ReadFrame(Planar422& out);
  void Rewind();

 private:
  FILE* f_ = nullptr;
  std::string path_;
  int width_ = 0, height_ = 0, fps_num_ = 30, fps_den_ = 1;
  std::string colorspace_ = "420jpeg";
  long data_start_ = 0;
  std::vector<uint8_t> raw_;
};

}  // namespace vhublab
