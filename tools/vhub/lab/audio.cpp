#include "lab/audio.h"

#include <sndfile.h>

#include <cmath>
#include <cstring>

#include "lab/video.h"  // LabError

namespace vhublab {

ToneSource::ToneSource(double hz) : hz_(hz) {
  if (!(hz > 0) || hz >= kSampleRate / 2.0)
    throw LabError("tone frequency must lie between 0 and 24000 Hz, not " + std::to_string(hz));
}

void ToneSource::Read(uint8_t* out, size_t bytes) {
  const double step = 2.0 * M_PI * hz_ / kSampleRate;
  for (size_t i = 0; i + 4 <= bytes; i += 4, ++frame_) {
    // Phase from the frame count modulo the rate keeps the argument small.
    const double phase = step * double(frame_ % uint64_t(kSampleRate * 1000));
    const int16_t s = int16_t(std::lround(16383.0 * std::sin(phase)));
    const uint16_t u = uint16_t(s);
    out[i] = out[i + 2] = uint8_t(u & 0xFF);
    out[i + 1] = out[i + 3] = uint8_t(u >> 8);
  }
}

std::string ToneSource::Describe() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "tone %g Hz", hz_);
  return buf;
}

WavInfo ProbeWav(const std::string& path) {
  SF_INFO info{};
  SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
  if (!sf) throw LabError("cannot read " + path + ": " + sf_strerror(nullptr));
  sf_close(sf);
  return WavInfo{info.samplerate, info.channels, int64_t(info.frames), info.format & SF_FORMAT_SUBMASK};
}

WavFileSource::WavFileSource(const std::string& path) : path_(path) {
  SF_INFO info{};
  SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
  if (!sf) throw LabError("cannot read " + path + ": " + sf_strerror(nullptr));
  std::string problem;
  if (info.samplerate != kSampleRate)
    problem = "sample rate is " + std::to_string(info.samplerate) + " Hz; the device plays 48000 Hz";
  else if (info.channels != 1 && info.channels != 2)
    problem = "has " + std::to_string(info.channels) + " channels; the device takes mono or stereo";
  else if (info.frames <= 0)
    problem = "holds no audio";
  else if (info.frames > int64_t(kSampleRate) * 3600)
    problem = "is longer than an hour";
  if (!problem.empty()) {
    sf_close(sf);
    throw LabError(path + ": " + problem);
  }
  std::vector<int16_t> raw(size_t(info.frames) * info.channels);
  const sf_count_t got = sf_readf_short(sf, raw.data(), info.frames);
  sf_close(sf);
  if (got <= 0) throw LabError(path + ": no audio could be read");
  raw.resize(size_t(got) * info.channels);
  if (info.channels == 2) {
    pcm_ = std::move(raw);
  } else {
    pcm_.resize(raw.size() * 2);
    for (size_t i = 0; i < raw.size(); ++i) pcm_[2 * i] = pcm_[2 * i + 1] = raw[i];
  }
}

void WavFileSource::Read(uint8_t* out, size_t bytes) {
  for (size_t i = 0; i + 2 <= bytes; i += 2) {
    const uint16_t u = uint16_t(pcm_[pos_]);
    out[i] = uint8_t(u & 0xFF);
    out[i + 1] = uint8_t(u >> 8);
    if (++pos_ == pcm_.size()) pos_ = 0;
  }
}

std::string WavFileSource::Describe() const { return path_; }

std::unique_ptr<PcmSource> OpenPcmSource(const std::string& choice) {
  if (choice.rfind("tone:", 0) == 0) {
    const std::string hz = choice.substr(5);
    char* end = nullptr;
    const double v = std::strtod(hz.c_str(), &end);
    if (hz.empty() || *end) throw LabError("bad tone '" + choice + "': expected tone:HZ, e.g. tone:440");
    return std::make_unique<ToneSource>(v);
  }
  return std::make_unique<WavFileSource>(choice);
}

WavWriter::WavWriter(const std::string& path) : path_(path) {
  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = kChannels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  sf_ = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!sf_) throw LabError("cannot write " + path + ": " + sf_strerror(nullptr));
}

WavWriter::~WavWriter() {
  if (sf_) sf_close(static_cast<SNDFILE*>(sf_));
}

void WavWriter::Write(const uint8_t* bytes, size_t n) {
  carry_.insert(carry_.end(), bytes, bytes + n);
  const size_t whole = carry_.size() / kBytesPerFrame * kBytesPerFrame;
  if (!whole) return;
  std::vector<int16_t> samples(whole / 2);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = int16_t(uint16_t(carry_[2 * i] | (carry_[2 * i + 1] << 8)));
  const sf_count_t frames = sf_count_t(whole / kBytesPerFrame);
  if (sf_writef_short(static_cast<SNDFILE*>(sf_), samples.data(), frames) != frames)
    throw LabError("cannot write " + path_ + ": " + sf_strerror(static_cast<SNDFILE*>(sf_)));
  carry_.erase(carry_.begin(), carry_.begin() + long(whole));
  bytes_ += whole;
}

void WavWriter::Close() {
  if (!sf_) return;
  const int rc = sf_close(static_cast<SNDFILE*>(sf_));
  sf_ = nullptr;
  if (rc != 0) throw LabError("cannot finish " + path_);
}

}  // namespace vhublab
