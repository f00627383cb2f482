#include "lab/lab_layers.h"
#if VHUBLAB_HAS_RIG

#include "lab/host.h"
#include "lab/rig.h"

#include "lab/video.h"

#if VHUBLAB_HAS_HOST
#include <thread>

#include "usbclass/usbclass.h"
#endif

#if VHUBLAB_HAS_SECURITY
#include "hk/security.h"
#endif

namespace vhublab {

#if !VHUBLAB_HAS_HOST

void RegisterHostClassDrivers() {}
void UnregisterHostClassDrivers() {}
bool HostClassDriversPresent() { return false; }
std::unique_ptr<HostSide> MakeHostSide(Rig&) { return nullptr; }
bool ReadHostDescriptors(Rig&, const std::string&, DescriptorSet*, std::string* why) {
  *why = "the host's USB class drivers are not in this build";
  return false;
}

#else

void RegisterHostClassDrivers() { usbclass::Install(); }
void UnregisterHostClassDrivers() {
  // The composite driver's object outlives its devices until it is
  // unloaded, as a driver image stays until its last device goes.
  if (hk::io::FindDriver("usbccgp")) hk::io::UnloadDriver("usbccgp");
}
bool HostClassDriversPresent() { return true; }

namespace {

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

struct Identity {
  uint16_t vid, pid;
};
constexpr Identity kCamera{0xFC01, 0xFD01}, kAudio{0xFC02, 0xFD02};

std::shared_ptr<usbclass::CompositeDevice> WaitDevice(Rig& rig, Identity id, std::string* why) {
  std::shared_ptr<usbclass::CompositeDevice> dev;
  rig.PassUntil(
      [&] {
        dev = usbclass::FindDevice(id.vid, id.pid);
        return dev && dev->State() != usbclass::DeviceState::Starting;
      },
      std::chrono::milliseconds(5000));
  char name[32];
  std::snprintf(name, sizeof name, "%04X:%04X", id.vid, id.pid);
  if (!dev) {
    *why = std::string("no class driver instance for ") + name;
    return nullptr;
  }
  if (dev->State() != usbclass::DeviceState::Started) {
    char st[16];
    std::snprintf(st, sizeof st, "0x%08X", unsigned(dev->StartStatus()));
    *why = std::string("the host could not start ") + name + " (" + usbclass::DeviceStateName(dev->State()) + ", " + st + ")";
    return nullptr;
  }
  return dev;
}

std::string Hex(NTSTATUS s) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", unsigned(s));
  return b;
}

class UsbClassHost : public HostSide {
 public:
  explicit UsbClassHost(Rig& rig) : rig_(rig) {}
  ~UsbClassHost() override { Stop(); }

  bool Start(const FrameSize& size, PcmSource* speaker, std::string* why) override {
    speaker_ = speaker;
    cam_ = WaitDevice(rig_, kCamera, why);
    if (!cam_) return false;
    aud_ = WaitDevice(rig_, kAudio, why);
    if (!aud_) return false;
    video_ = cam_->Video();
    audio_ = aud_->Audio();
    if (!video_ || !video_->Usable()) return *why = "the camera has no usable video function", false;
    if (!audio_ || !audio_->Usable()) return *why = "the audio device has no usable audio function", false;

    const usbclass::uvc::FormatInfo* format = nullptr;
    const usbclass::uvc::FrameInfo* frame = nullptr;
    for (const auto& f : video_->Info().formats)
      for (const auto& fr : f.frames)
        if (fr.width == size.width && fr.height == size.height) format = &f, frame = &fr;
    if (!frame) return *why = "the camera offers no " + std::to_string(size.width) + "x" + std::to_string(size.height) + " frame", false;

    video_->OnFrame([this](const usbclass::uvc::Frame& f) {
      if (!on_frame) return;
      HostFrame hf{f.bytes.data(), f.bytes.size(), width_, height_, f.fid};
      on_frame(hf);
    });
    width_ = frame->width;
    height_ = frame->height;
    NTSTATUS st = video_->SetFrame(format->index, frame->index, 0);
    if (NT_SUCCESS(st)) st = video_->Start();
    if (!NT_SUCCESS(st)) return *why = "video start failed with " + Hex(st), false;

    audio_->OnCapture([this](const usbclass::CaptureChunk& c) {
      if (on_mic) on_mic(c.pcm.data(), c.pcm.size());
    });
    st = audio_->StartCapture();
    if (!NT_SUCCESS(st)) return *why = "microphone capture failed to start with " + Hex(st), false;
    Pump();
    st = audio_->StartPlayback();
    if (!NT_SUCCESS(st)) return *why = "speaker playback failed to start with " + Hex(st), false;
    play_start_ = rig_.Now();
    playing_ = true;
    return true;
  }

  void Pump() override {
    if (!audio_ || !speaker_) return;
    // Keep about 80 ms queued, as an audio engine keeps its buffer filled:
    // the device's pacing may complete two transfers in one pass while it
    // catches up (it does so right after playback starts), and the host
    // resubmits each at once, so 30 ms in flight plus 40 ms queued can run
    // dry between two 10 ms pumps and the host would send silence.
    std::vector<uint8_t> chunk(size_t(kBytesPerMs) * 10);
    while (audio_->PlaybackQueued() < size_t(kBytesPerMs) * 80) {
      speaker_->Read(chunk.data(), chunk.size());
      audio_->PushPlayback(chunk.data(), chunk.size());
    }
  }

  void Stop() override {
    if (playing_) {
      final_ = Snapshot();
      play_end_ = rig_.Now();
      playing_ = false;
    }
    if (video_ && video_->Streaming()) video_->Stop();
    if (audio_ && audio_->Capturing()) audio_->StopCapture();
    if (audio_ && audio_->Playing()) audio_->StopPlayback();
  }

  uint32_t FrameInterval100ns() const override {
    const uint32_t i = video_ ? video_->Committed().dwFrameInterval : 0;
    return i ? i : 333333;
  }

  HostCounters Counters() const override {
    HostCounters c = playing_ ? Snapshot() : final_;
    const auto end = playing_ ? rig_.Now() : play_end_;
    c.speaker_seconds = double((end - play_start_).count()) / 1e6;
    return c;
  }

 private:
  HostCounters Snapshot() const {
    HostCounters c;
    if (video_) c.fid_errors = video_->Counters().outOfSync;
    if (audio_) {
      const auto a = audio_->Counters();
      c.speaker_bytes_played = a.playbackBytesTaken;
      c.speaker_transfers = a.playbackTransfers;
      c.speaker_underrun_bytes = a.playbackUnderrunBytes;
    }
    return c;
  }

  Rig& rig_;
  PcmSource* speaker_ = nullptr;
  std::shared_ptr<usbclass::CompositeDevice> cam_, aud_;
  std::shared_ptr<usbclass::VideoFunction> video_;
  std::shared_ptr<usbclass::AudioFunction> audio_;
  int width_ = 0, height_ = 0;
  bool playing_ = false;
  std::chrono::microseconds play_start_{0}, play_end_{0};
  HostCounters final_;
};

}  // namespace

std::unique_ptr<HostSide> MakeHostSide(Rig& rig) { return std::make_unique<UsbClassHost>(rig); }

bool ReadHostDescriptors(Rig& rig, const std::string& which, DescriptorSet* out, std::string* why) {
  auto dev = WaitDevice(rig, which == "camera" ? kCamera : kAudio, why);
  if (!dev) return false;
  out->device = dev->DeviceDescriptorBytes();
  out->config = dev->ConfigurationBytes();
  for (const auto& [index, text] : dev->Strings()) out->strings[index] = Utf8(text);
  return true;
}

#endif

std::string DescribeSecurity(PDEVICE_OBJECT device) {
#if VHUBLAB_HAS_SECURITY
  return hk::security::DeviceSddl(device);
#else
  (void)device;
  return {};
#endif
}

}  // namespace vhublab
#endif
