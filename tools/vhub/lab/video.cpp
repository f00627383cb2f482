#include "lab/video.h"

#include <cerrno>
#include <cstring>
#include <sstream>

namespace vhublab {

void Planar422::Resize(int w, int h) {
  width = w;
  height = h;
  y.assign(size_t(w) * h, 16);
  u.assign(size_t(w / 2) * h, 128);
  v.assign(size_t(w / 2) * h, 128);
}

size_t Yuy2FrameBytes(int width, int height) { return size_t(width) * height * 2; }

void Yuy2ToPlanar(const uint8_t* p, int width, int height, Planar422& out) {
  out.width = width;
  out.height = height;
  out.y.resize(size_t(width) * height);
  out.u.resize(size_t(width / 2) * height);
  out.v.resize(size_t(width / 2) * height);
  const size_t pairs = size_t(width / 2) * height;
  for (size_t i = 0; i < pairs; ++i) {
    out.y[2 * i] = p[4 * i];
    out.u[i] = p[4 * i + 1];
    out.y[2 * i + 1] = p[4 * i + 2];
    out.v[i] = p[4 * i + 3];
  }
}

void PlanarToYuy2(const Planar422& in, uint8_t* p) {
  const size_t pairs = size_t(in.width / 2) * in.height;
  for (size_t i = 0; i < pairs; ++i) {
    p[4 * i] = in.y[2 * i];
    p[4 * i + 1] = in.u[i];
    p[4 * i + 2] = in.y[2 * i + 1];
    p[4 * i + 3] = in.v[i];
  }
}

Planar422 Scale(const Planar422& in, int width, int height) {
  if (in.width == width && in.height == height) return in;
  Planar422 out;
  out.Resize(width, height);
  const int cw_in = in.width / 2, cw_out = width / 2;
  for (int r = 0; r < height; ++r) {
    const int sr = int(int64_t(r) * in.height / height);
    for (int c = 0; c < width; ++c)
      out.y[size_t(r) * width + c] = in.y[size_t(sr) * in.width + size_t(int64_t(c) * in.width / width)];
    for (int c = 0; c < cw_out; ++c) {
      const size_t sc = size_t(int64_t(c) * cw_in / cw_out);
      out.u[size_t(r) * cw_out + c] = in.u[size_t(sr) * cw_in + sc];
      out.v[size_t(r) * cw_out + c] = in.v[size_t(sr) * cw_in + sc];
    }
  }
  return out;
}

// ---------------------------------------------------------------- writer

Y4mWriter::Y4mWriter(const std::string& path, int width, int height, int fps_num, int fps_den)
    : path_(path), width_(width), height_(height) {
  if (width <= 0 || height <= 0 || width % 2)
    throw LabError("Y4M frame size " + std::to_string(width) + "x" + std::to_string(height) +
                   " cannot hold YUY2 frames");
  f_ = std::fopen(path.c_str(), "wb");
  if (!f_) throw LabError("cannot write " + path + ": " + std::strerror(errno));
  std::fprintf(f_, "YUV4MPEG2 W%d H%d F%d:%d Ip A1:1 C422\n", width, height, fps_num, fps_den);
}

Y4mWriter::~Y4mWriter() {
  if (f_) std::fclose(f_);
}

void Y4mWriter::Close() {
  if (f_ && std::fclose(f_) != 0) {
    f_ = nullptr;
    throw LabError("cannot finish " + path_ + ": " + std::strerror(errno));
  }
  f_ = nullptr;
}

void Y4mWriter::WriteYuy2(const uint8_t* yuy2, size_t bytes) {
  if (bytes != Yuy2FrameBytes(width_, height_))
    throw LabError("frame of " + std::to_string(bytes) + " bytes does not fit the Y4M stream of " +
                   std::to_string(width_) + "x" + std::to_string(height_));
  Yuy2ToPlanar(yuy2, width_, height_, scratch_);
  std::fputs("FRAME\n", f_);
  std::fwrite(scratch_.y.data(), 1, scratch_.y.size(), f_);
  std::fwrite(scratch_.u.data(), 1, scratch_.u.size(), f_);
  std::fwrite(scratch_.v.data(), 1, scratch_.v.size(), f_);
  if (std::ferror(f_)) throw LabError("cannot write " + path_ + ": " + std::strerror(errno));
  ++frames_;
}

// ---------------------------------------------------------------- reader

namespace {

bool ReadLine(FILE* f, std::string& line, size_t limit) {
  line.clear();
  for (;;) {
    int c = std::fgetc(f);
    if (c == EOF) return false;
    if (c == '\n') return true;
    line.push_back(char(c));
    if (line.size() > limit) return false;
  }
}

bool ParseRatio(const std::string& s, int& num, int& den) {
  auto colon = s.find(':');
  if (colon == std::string::npos) return false;
  try {
    num = std::stoi(s.substr(0, colon));
    den = std::stoi(s.substr(colon + 1));
  } catch (...) {
    return false;
  }
  return num > 0 && den > 0;
}

}  // namespace

Y4mReader::Y4mReader(const std::string& path) : path_(path) {
  f_ = std::fopen(path.c_str(), "rb");
  if (!f_) throw LabError("cannot read " + path + ": " + std::strerror(errno));
  std::string header;
  if (!ReadLine(f_, header, 4096) || header.rfind("YUV4MPEG2", 0) != 0) {
    std::fclose(f_);
    f_ = nullptr;
    throw LabError(path + " is not a YUV4MPEG2 file");
  }
  std::istringstream tokens(header.substr(9));
  std::string t;
  while (tokens >> t) {
    const char tag = t[0];
    const std::string val = t.substr(1);
    try {
      if (tag == 'W') width_ = std::stoi(val);
      else if (tag == 'H') height_ = std::stoi(val);
      else if (tag == 'C') colorspace_ = val;
      else if (tag == 'F' && !ParseRatio(val, fps_num_, fps_den_))
        throw LabError(path + ": bad frame rate " + val);
    } catch (const std::logic_error&) {
      std::fclose(f_);
      f_ = nullptr;
      throw LabError(path + ": bad header field " + t);
    }
  }
  const bool known = colorspace_ == "420jpeg" || colorspace_ == "420paldv" || colorspace_ == "420mpeg2" ||
                     colorspace_ == "420" || colorspace_ == "422" || colorspace_ == "444" ||
                     colorspace_ == "mono";
  std::string problem;
  if (width_ <= 0 || height_ <= 0 || width_ > 16384 || height_ > 16384)
    problem = "frame size " + std::to_string(width_) + "x" + std::to_string(height_) + " is not usable";
  else if (!known)
    problem = "colour space C" + colorspace_ + " is not supported (8-bit 420, 422, 444 or mono)";
  if (!problem.empty()) {
    std::fclose(f_);
    f_ = nullptr;
    throw LabError(path + ": " + problem);
  }
  data_start_ = std::ftell(f_);
}

Y4mReader::~Y4mReader() {
  if (f_) std::fclose(f_);
}

void Y4mReader::Rewind() { std::fseek(f_, data_start_, SEEK_SET); }

bool Y4mReader::ReadFrame(Planar422& out) {
  const int first = std::fgetc(f_);
  if (first == EOF) return false;  // clean end: nothing after the last frame
  std::ungetc(first, f_);
  std::string line;
  if (!ReadLine(f_, line, 4096)) throw LabError(path_ + ": damaged frame header");
  if (line.rfind("FRAME", 0) != 0) throw LabError(path_ + ": expected FRAME, found '" + line.substr(0, 16) + "'");

  const size_t w = size_t(width_), h = size_t(height_);
  size_t cw = 0, ch = 0;
  if (colorspace_.rfind("420", 0) == 0) cw = (w + 1) / 2, ch = (h + 1) / 2;
  else if (colorspace_ == "422") cw = (w + 1) / 2, ch = h;
  else if (colorspace_ == "444") cw = w, ch = h;
  const size_t bytes = w * h + 2 * cw * ch;
  raw_.resize(bytes);
  if (std::fread(raw_.data(), 1, bytes, f_) != bytes) throw LabError(path_ + ": truncated frame");

  // The lab's pictures have even width; an odd-width file loses its last column.
  const int ow = int(w & ~size_t(1));
  out.Resize(ow, int(h));
  const uint8_t* Y = raw_.data();
  const uint8_t* U = Y + w * h;
  const uint8_t* V = U + cw * ch;
  for (size_t r = 0; r < h; ++r) std::memcpy(&out.y[r * ow], Y + r * w, ow);
  if (cw == 0) return true;  // mono: chroma stays neutral
  for (size_t r = 0; r < h; ++r) {
    const size_t sr = ch == h ? r : r / 2;
    for (int c = 0; c < ow / 2; ++c) {
      size_t sc = cw == w ? size_t(c) * 2 : size_t(c);
      if (cw == w) {  // 4:4:4 -> average the pair
        out.u[r * (ow / 2) + c] = uint8_t((U[sr * cw + sc] + U[sr * cw + sc + 1] + 1) / 2);
        out.v[r * (ow / 2) + c] = uint8_t((V[sr * cw + sc] + V[sr * cw + sc + 1] + 1) / 2);
      } else {
        out.u[r * (ow / 2) + c] = U[sr * cw + sc];
        out.v[r * (ow / 2) + c] = V[sr * cw + sc];
      }
    }
  }
  return true;
}

}  // namespace vhublab
