#include "lab/source.h"

#include "lab/pattern.h"

namespace vhublab {

VideoSource::VideoSource(const std::string& choice) : choice_(choice) {
  if (choice != "pattern") file_ = std::make_unique<Y4mReader>(choice);
}

void VideoSource::Next(int width, int height, std::vector<uint8_t>& yuy2) {
  yuy2.resize(Yuy2FrameBytes(width, height));
  if (!file_) {
    DrawPatternFrame(uint32_t(count_++), width, height, yuy2.data());
    return;
  }
  if (!file_->ReadFrame(picture_)) {
    file_->Rewind();
    if (!file_->ReadFrame(picture_)) throw LabError(choice_ + " holds no frame");
  }
  ++count_;
  PlanarToYuy2(Scale(picture_, width, height), yuy2.data());
}

std::string VideoSource::Describe() const {
  if (!file_) return "moving colour bars with the frame number";
  return choice_ + " (" + std::to_string(file_->width()) + "x" + std::to_string(file_->height()) + ", C" +
         file_->colorspace() + ")";
}

}  // namespace vhublab
