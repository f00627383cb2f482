// Audio of the lab: the device's one format (48 kHz, stereo, 16-bit
// little-endian, 4 bytes a sample frame), tone and WAV sources, WAV output.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vhublab {

constexpr int kSampleRate = 48000;
constexpr int kChannels = 2;
constexpr int kBytesPerFrame = 4;
constexpr int kBytesPerMs = kSampleRate / 1000 * kBytesPerFrame;  // 192

// A never-ending stream of PCM in the device format.
class PcmSource {
 public:
  virtual ~PcmSource() = default;
  // Fills `bytes` bytes (a multiple of 4).
  virtual void Read(uint8_t* out, size_t bytes) = 0;
  virtual std::string Describe() const = 0;
};

// A sine of `hz` on both channels at half full scale; the phase runs on
// across reads so chunked output is one continuous tone.
class ToneSource : public PcmSource {
 public:
  explicit ToneSource(double hz);
  void Read(uint8_t* out, size_t bytes) override;
  std::string Describe() const override;

 private:
  double hz_;
  uint64_t frame_ = 0;
};

// A WAV file at 48 kHz (mono is duplicated to both channels), looped.
class WavFileSource : public PcmSource {
 public:
  explicit WavFileSource(const std::string& path);  // throws LabError
  void Read(uint8_t* out, size_t bytes) override;
  std::string Describe() const override;
  size_t frames() const { return pcm_.size() / 2; }

 private:
  std::string path_;
  std::vector<int16_t> pcm_;  // interleaved stereo
  size_t pos_ = 0;            // in samples
};

// "tone:HZ" or a path to a WAV file.
std::unique_ptr<PcmSource> OpenPcmSource(const std::string& choice);

// Writes device-format PCM as a 48 kHz stereo 16-bit WAV (libsndfile).
class WavWriter {
 public:
  explicit WavWriter(const std::string& path);  // throws LabError
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;
  // Any byte count; a partial sample frame waits for the next call.
  void Write(const uint8_t* bytes, size_t n);
  uint64_t bytes_written() const { return bytes_; }
  void Close();

 private:
  void* sf_ = nullptr;
  std::string path_;
  std::vector<uint8_t> carry_;
  uint64_t bytes_ = 0;
};

// Reads a whole WAV into device-format bytes, with its rate and channels.
struct WavInfo {
  int sample_rate = 0;
  int channels = 0;
  int64_t frames = 0;
  int subtype = 0;  // libsndfile SF_FORMAT_SUBMASK bits
};
WavInfo ProbeWav(const std::string& path);  // throws LabError

}  // namespace vhublab
