// What the application plays into the camera: the pattern or a Y4M file,
// always at the frame size the host chose.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lab/video.h"

namespace vhublab {

class VideoSource {
 public:
  // "pattern" or a path to a Y4M file; throws LabError.
  explicit VideoSource(const std::string& choice);
  // The next frame as packed YUY2 of width x height. A file loops at its
  // end and is scaled to the size asked for.
  void Next(int width, int height, std::vector<uint8_t>& yuy2);
  uint64_t frames() const { return count_; }
  std::string Describe() const;

 private:
  std::string choice_;
  std::unique_ptr<Y4mReader> file_;
  Planar422 picture_;
  uint64_t count_ = 0;
};

}  // namespace vhublab
