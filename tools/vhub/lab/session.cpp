// `vhub run`, `vhub descriptors` and `vhub devices`.
#include "lab/lab_layers.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "lab/audio.h"
#include "lab/contact_sheet.h"
#include "lab/lab.h"
#include "lab/ledger.h"
#include "lab/report.h"
#include "lab/source.h"
#include "lab/usbdesc.h"
#include "lab/usbpcap.h"
#include "lab/video.h"

#if VHUBLAB_HAS_RIG
#include "lab/capture.h"
#include "lab/host.h"
#include "lab/rig.h"
#include "vhub/sdk.h"
#endif

namespace vhublab {

#if !VHUBLAB_HAS_RIG

int RunSession(const RunOptions&, std::ostream&, std::ostream& err) {
  err << "vhub: this build lacks hostkernel's plug-and-play manager, the driver or the SDK; no session can run\n";
  return 3;
}
int ShowDescriptors(const std::string&, bool, std::ostream&, std::ostream& err) {
  err << "vhub: this build lacks hostkernel's plug-and-play manager, the driver or the SDK\n";
  return 3;
}
int ShowDevices(std::ostream&, std::ostream& err) {
  err << "vhub: this build lacks hostkernel's plug-and-play manager, the driver or the SDK\n";
  return 3;
}

#else

namespace sdk = vhub::sdk;
using std::chrono::microseconds;
using std::chrono::milliseconds;

namespace {

std::string Status(int32_t s) { return sdk::StatusText(s); }

// The speaker source as the host plays it, every byte noted in the ledger
// before the host can send it.
class PlayedSource : public PcmSource {
 public:
  PlayedSource(std::unique_ptr<PcmSource> inner, SpeakerLedger& ledger)
      : inner_(std::move(inner)), ledger_(ledger) {}
  void Read(uint8_t* out, size_t bytes) override {
    inner_->Read(out, bytes);
    ledger_.Played(out, bytes);
  }
  std::string Describe() const override { return inner_->Describe(); }

 private:
  std::unique_ptr<PcmSource> inner_;
  SpeakerLedger& ledger_;
};

int FrameIndexOf(const FrameSize& s) {
  const auto& all = OfferedFrameSizes();
  for (size_t i = 0; i < all.size(); ++i)
    if (all[i].width == s.width && all[i].height == s.height) return int(i);
  return -1;
}

// Brings the children up and the SDK's handle open; used by every command.
struct Bench {
  Rig rig;
  sdk::Bus bus;
  explicit Bench(const RigOptions& o) : rig(o) {}
  bool WaitChildren(size_t n, milliseconds limit = milliseconds(10000)) {
    return rig.PassUntil([&] { return rig.StartedChildren() == n && rig.Children().size() == n; }, limit);
  }
};

class Session {
 public:
  Session(const RunOptions& o, std::ostream& out, std::ostream& err) : o_(o), out_(out), err_(err) {}
  int Run();

 private:
  void Say(const std::string& line) {
    ClearProgress();
    out_ << line << "\n";
  }
  void ClearProgress() {
    if (progress_shown_) out_ << "\r" << std::string(78, ' ') << "\r";
    progress_shown_ = false;
  }
  void Progress(double t);
  bool StartHost();
  void Replug(int k);
  void OnFrame(const HostFrame& f);
  void Finalise(Rig::Leftovers left);

  const RunOptions& o_;
  std::ostream& out_;
  std::ostream& err_;
  bool progress_shown_ = false;
  Report report_;

  std::unique_ptr<Bench> bench_;
  std::unique_ptr<HostSide> host_;
  VideoSource video_{"pattern"};
  std::unique_ptr<PcmSource> mic_, speaker_;
  std::unique_ptr<Y4mWriter> y4m_;
  std::unique_ptr<WavWriter> mic_wav_, speaker_wav_;
  std::unique_ptr<UsbPcapWriter> pcap_;
  ContactSheet sheet_;
  FrameLedger frames_;
  PcmLedger pcm_;
  SpeakerLedger speaker_ledger_{size_t(kBytesPerMs)};
  // Machine time of the first and last frame the host received.
  int64_t first_frame_us_ = -1, last_frame_us_ = -1;
  uint64_t delivered_at_last_replug_ = 0, mic_at_last_replug_ = 0;
  std::mutex host_mu_;  // frames and captures arrive on the host's threads
  int last_fid_ = -1;
  uint64_t fid_toggle_errors_ = 0;
  uint64_t wrong_size_frames_ = 0;
  uint64_t video_write_failures_ = 0, mic_write_failures_ = 0, speaker_read_failures_ = 0;
  int32_t last_failure_ = 0;
  uint64_t mic_written_ = 0, mic_captured_ = 0, speaker_read_ = 0;
  HostCounters host_totals_;
};

void Session::Progress(double t) {
  if (!o_.progress) return;
  std::ostringstream s;
  s << "\r  " << std::fixed << std::setprecision(1) << t << "/" << o_.seconds << " s  video "
    << frames_.matched() << "/" << frames_.written() << "  mic " << mic_captured_ / 1024 << " KiB  speaker "
    << speaker_read_ / 1024 << " KiB  replugs " << report_.system.replugs << "   ";
  out_ << s.str() << std::flush;
  progress_shown_ = true;
}

void Session::OnFrame(const HostFrame& f) {
  std::lock_guard<std::mutex> lock(host_mu_);
  if (f.width != o_.frame_size.width || f.height != o_.frame_size.height ||
      f.bytes != Yuy2FrameBytes(f.width, f.height)) {
    ++wrong_size_frames_;
    frames_.Delivered(f.data, f.bytes);  // counted as corrupt
    return;
  }
  frames_.Delivered(f.data, f.bytes);
  const int64_t t = bench_ ? bench_->rig.Now().count() : 0;
  if (first_frame_us_ < 0) first_frame_us_ = t;
  last_frame_us_ = t;
  if (f.fid >= 0) {
    if (last_fid_ >= 0 && f.fid == last_fid_) ++fid_toggle_errors_;
    last_fid_ = f.fid;
  }
  if (y4m_) y4m_->WriteYuy2(f.data, f.bytes);
  sheet_.Offer(f.data, f.width, f.height);
}

bool Session::StartHost() {
  if (!host_) return false;
  host_->on_frame = [this](const HostFrame& f) { OnFrame(f); };
  host_->on_mic = [this](const uint8_t* p, size_t n) {
    std::lock_guard<std::mutex> lock(host_mu_);
    pcm_.Captured(p, n);
    mic_captured_ += n;
    if (n) mic_wav_->Write(p, n);
  };
  last_fid_ = -1;  // a new stream may start with either FID
  std::string why;
  if (!host_->Start(o_.frame_size, speaker_.get(), &why)) {
    report_.problems.push_back("the host could not start streaming: " + why);
    return false;
  }
  uint8_t index = 0xFF;
  sdk::Result r = bench_->bus.ReadVideoIndex(&index);
  if (!r.ok() || index != FrameIndexOf(o_.frame_size))
    report_.problems.push_back("READ_VIDEOINDEX answered " + std::to_string(index) + " (" + Status(r.status) +
                               ") after the host chose row " + std::to_string(FrameIndexOf(o_.frame_size)));
  return true;
}

void Session::Replug(int k) {
  if (host_) {
    const HostCounters c = host_->Counters();
    host_totals_.fid_errors += c.fid_errors;
    host_totals_.speaker_bytes_played += c.speaker_bytes_played;
    host_totals_.speaker_transfers += c.speaker_transfers;
    host_totals_.speaker_seconds += c.speaker_seconds;
    host_totals_.speaker_underrun_bytes += c.speaker_underrun_bytes;
    host_->Stop();
  }
  Rig& rig = bench_->rig;
  sdk::Result r = bench_->bus.Unplug();
  if (!r.ok()) {
    report_.problems.push_back("unplug " + std::to_string(k) + " failed: " + Status(r.status));
    return;
  }
  rig.Settle();
  if (!rig.PassUntil([&] { return rig.Children().empty(); }, milliseconds(10000))) {
    report_.problems.push_back("unplug " + std::to_string(k) + ": the children were not removed");
    return;
  }
  r = bench_->bus.PlugIn();
  if (!r.ok()) {
    report_.problems.push_back("plug-in " + std::to_string(k) + " failed: " + Status(r.status));
    return;
  }
  rig.Settle();
  if (!bench_->WaitChildren(2)) {
    report_.problems.push_back("plug-in " + std::to_string(k) + ": the children did not start again");
    return;
  }
  ++report_.system.replugs;
  {
    std::lock_guard<std::mutex> lock(host_mu_);
    delivered_at_last_replug_ = frames_.matched() + frames_.corrupt();
    mic_at_last_replug_ = mic_captured_;
  }
  Say("  replug " + std::to_string(k) + ": unplugged, children removed, plugged in, both started");
  if (host_) {
    host_ = MakeHostSide(rig);
    StartHost();
  }
}

int Session::Run() {
  report_.system.virtual_time = o_.virtual_time;
  report_.camera.frame_size = std::to_string(o_.frame_size.width) + "x" + std::to_string(o_.frame_size.height);
  video_ = VideoSource(o_.video);
  mic_ = OpenPcmSource(o_.mic);
  speaker_ = std::make_unique<PlayedSource>(OpenPcmSource(o_.speaker), speaker_ledger_);
  namespace fs = std::filesystem;
  const fs::path dir(o_.out_dir);
  mic_wav_ = std::make_unique<WavWriter>((dir / "microphone.wav").string());
  speaker_wav_ = std::make_unique<WavWriter>((dir / "speaker.wav").string());
  if (!o_.pcap.empty()) pcap_ = std::make_unique<UsbPcapWriter>(o_.pcap);

  std::ostringstream secs;
  secs << o_.seconds;
  Say("vhub run: " + report_.camera.frame_size + ", " + secs.str() + " s on the " +
      (o_.virtual_time ? "virtual" : "real") + " clock");
  Say("  video:   " + video_.Describe());
  Say("  mic:     " + mic_->Describe() + "    speaker (host plays): " + speaker_->Describe());

  RigOptions ro;
  ro.virtual_time = o_.virtual_time;
  ro.verbose = o_.verbose;
  ro.name_given = o_.name_given;
  ro.name = o_.name;
  ro.log = &out_;
  if (pcap_) ro.urb_tap = [this](const UrbRecord& r) { pcap_->Write(r); };
  bench_ = std::make_unique<Bench>(ro);
  Rig& rig = bench_->rig;
  if (!bench_->WaitChildren(2)) report_.problems.push_back("the bus's two children did not start");
  Say("\nDevice tree after the bus started:\n" + rig.DescribeTree());

  int32_t st = bench_->bus.Open();
  if (st < 0) throw LabError("the application could not open the bus interface: " + Status(st));
  sdk::Result info = bench_->bus.GetDeviceInfo();
  Say("  bus interface " + bench_->bus.Path() + " open; GET_DEVICE_INFO " + Status(info.status));

  host_ = MakeHostSide(rig);
  if (!host_) report_.problems.push_back("the host's USB class drivers are not in this build: nothing streamed");
  StartHost();
  const uint32_t interval = host_ ? host_->FrameInterval100ns() : 333333;
  const int fps_num = int(std::lround(1e7 / (interval ? interval : 333333)));
  y4m_ = std::make_unique<Y4mWriter>((dir / "camera.y4m").string(), o_.frame_size.width, o_.frame_size.height,
                                     fps_num ? fps_num : 30, 1);

  // The application's loop: video at the host's frame interval, 10 ms of
  // microphone PCM every 10 ms, the speaker read every 10 ms, replugs spread
  // evenly over the session.
  const int64_t total_us = int64_t(o_.seconds * 1e6);
  const int64_t frame_us = std::max<int64_t>(1, interval / 10);
  const int64_t audio_us = 10000;
  const microseconds t0 = rig.Now();
  int64_t next_frame = 0, next_audio = 0, next_progress = 0;
  int next_replug = 1;
  std::vector<uint8_t> frame, mic(size_t(kBytesPerMs) * 10), spk(8192);
  for (;;) {
    const int64_t now = (rig.Now() - t0).count();
    if (now >= total_us) break;
    if (next_replug <= o_.replug && now >= total_us * next_replug / (o_.replug + 1)) {
      Replug(next_replug++);
      // The application resumes its pacing from the plug-in rather than
      // writing in a burst the frames it would have written meanwhile.
      const int64_t resumed = (rig.Now() - t0).count();
      next_frame = std::max(next_frame, resumed);
      next_audio = std::max(next_audio, resumed);
      continue;
    }
    if (now >= next_frame) {
      video_.Next(o_.frame_size.width, o_.frame_size.height, frame);
      frames_.Written(frame.data(), frame.size());
      sdk::Result r = bench_->bus.WriteFrame(frame);
      if (!r.ok()) ++video_write_failures_, last_failure_ = r.status;
      next_frame += frame_us;
    }
    if (now >= next_audio) {
      mic_->Read(mic.data(), mic.size());
      sdk::Result r = bench_->bus.WritePcm(mic);
      mic_written_ += mic.size();
      if (!r.ok()) ++mic_write_failures_, last_failure_ = r.status;
      else if (r.bytes == mic.size()) pcm_.Accepted(mic.data(), mic.size());
      std::vector<uint8_t> got;
      r = bench_->bus.ReadSpeakerPcm(&got, spk.size());
      if (!r.ok()) ++speaker_read_failures_, last_failure_ = r.status;
      speaker_read_ += got.size();
      speaker_ledger_.AllowSilence(host_totals_.speaker_underrun_bytes +
                                   (host_ ? host_->Counters().speaker_underrun_bytes : 0));
      speaker_ledger_.Read(got.data(), got.size());
      speaker_wav_->Write(got.data(), got.size());
      if (host_) host_->Pump();
      next_audio += audio_us;
    }
    if (now >= next_progress) {
      Progress(double(now) / 1e6);
      next_progress += 250000;
    }
    const int64_t due = std::min({next_frame, next_audio, total_us});
    const int64_t after = (rig.Now() - t0).count();
    if (due > after) rig.Pass(microseconds(due - after));
  }
  Progress(o_.seconds);
  const double elapsed = double((rig.Now() - t0).count()) / 1e6;

  if (host_) {
    const HostCounters c = host_->Counters();
    host_totals_.fid_errors += c.fid_errors;
    host_totals_.speaker_bytes_played += c.speaker_bytes_played;
    host_totals_.speaker_transfers += c.speaker_transfers;
    host_totals_.speaker_seconds += c.speaker_seconds;
    host_totals_.speaker_underrun_bytes += c.speaker_underrun_bytes;
    host_->Stop();
  }

  // The application unplugs; the children must go.
  sdk::Result r = bench_->bus.Unplug();
  rig.Settle();
  const bool gone = rig.PassUntil([&] { return rig.Children().empty(); }, milliseconds(10000));
  Say("\nUNPLUG " + Status(r.status) + "; device tree afterwards:\n" + rig.DescribeTree());
  if (!r.ok() || !gone) report_.problems.push_back("unplug at the end did not remove the children");
  host_.reset();
  bench_->bus.Close();

  report_.system.seconds = elapsed;
  Finalise(rig.Finish());
  bench_.reset();

  y4m_->Close();
  mic_wav_->Close();
  speaker_wav_->Close();
  if (pcap_) pcap_->Close();
  sheet_.Write((dir / "camera.png").string());
  WriteReport(report_, (dir / "report.json").string());
  ClearProgress();
  report_.PrintTable(out_);
  out_ << "\n  outputs in " << o_.out_dir << (o_.pcap.empty() ? "" : ", capture in " + o_.pcap) << "\n";
  return report_.Failures().empty() ? 0 : 1;
}

void Session::Finalise(Rig::Leftovers left) {
  Report::Camera& c = report_.camera;
  c.frames_written = frames_.written();
  c.frames_delivered = frames_.matched() + frames_.corrupt();
  c.frames_corrupt = frames_.corrupt();
  c.frames_dropped = frames_.dropped();
  c.fid_errors = fid_toggle_errors_ + host_totals_.fid_errors;
  // The rate the host received frames at, first to last.
  c.video_fps = c.frames_delivered > 1 && last_frame_us_ > first_frame_us_
                    ? double(c.frames_delivered - 1) * 1e6 / double(last_frame_us_ - first_frame_us_)
                    : 0;
  report_.microphone.mic_bytes_written = mic_written_;
  report_.microphone.mic_bytes_captured = mic_captured_;
  report_.microphone.mic_mismatches = pcm_.mismatches();
  report_.speaker.speaker_bytes_played = host_totals_.speaker_bytes_played;
  report_.speaker.speaker_bytes_read = speaker_read_;
  report_.speaker.speaker_mismatches = speaker_ledger_.mismatches();
  if (report_.system.replugs) {
    report_.system.frames_after_last_replug = c.frames_delivered - delivered_at_last_replug_;
    report_.system.mic_bytes_after_last_replug = mic_captured_ - mic_at_last_replug_;
    if (HostClassDriversPresent() &&
        (!report_.system.frames_after_last_replug || !report_.system.mic_bytes_after_last_replug))
      report_.problems.push_back("nothing streamed after plug-in " + std::to_string(report_.system.replugs));
  }
  report_.speaker.speaker_transfers_per_second =
      host_totals_.speaker_seconds > 0 ? double(host_totals_.speaker_transfers) / host_totals_.speaker_seconds : 0;
  report_.system.pool_bytes_leaked = left.pool_bytes;
  report_.system.verifier_findings = left.findings.size();
  for (const auto& f : left.findings) Say("  verifier: " + f);
  if (wrong_size_frames_)
    report_.problems.push_back(std::to_string(wrong_size_frames_) + " frame(s) of the wrong size arrived");
  auto failures = [&](uint64_t n, const char* what) {
    if (n) report_.problems.push_back(std::to_string(n) + " " + what + " failed (last " + Status(last_failure_) + ")");
  };
  failures(video_write_failures_, "video write(s)");
  failures(mic_write_failures_, "microphone write(s)");
  failures(speaker_read_failures_, "speaker read(s)");
}

RigOptions QuietRig() {
  RigOptions ro;
  ro.virtual_time = true;  // nothing here waits on real time
  return ro;
}

}  // namespace

int RunSession(const RunOptions& options, std::ostream& out, std::ostream& err) {
  Session s(options, out, err);
  return s.Run();
}

int ShowDevices(std::ostream& out, std::ostream& err) {
  Bench bench(QuietRig());
  if (!bench.WaitChildren(2)) err << "vhub: the bus's children did not all start\n";
  out << bench.rig.DescribeTree();
  const auto left = bench.rig.Finish();
  for (const auto& f : left.findings) err << "verifier: " << f << "\n";
  return left.findings.empty() && left.pool_bytes == 0 ? 0 : 1;
}

int ShowDescriptors(const std::string& which, bool raw, std::ostream& out, std::ostream& err) {
  Bench bench(QuietRig());
  if (!bench.WaitChildren(2)) err << "vhub: the bus's children did not all start\n";
  DescriptorSet d;
  std::string why;
  if (!ReadHostDescriptors(bench.rig, which, &d, &why)) {
    err << "vhub: cannot read the " << which << "'s descriptors: " << why << "\n";
    return 1;
  }
  if (raw) {
    out << "device descriptor (" << d.device.size() << " bytes):\n" << HexDump(d.device);
    out << "configuration descriptor set (" << d.config.size() << " bytes):\n" << HexDump(d.config);
  } else {
    out << DecodeDescriptors(d);
  }
  const auto left = bench.rig.Finish();
  for (const auto& f : left.findings) err << "verifier: " << f << "\n";
  return left.findings.empty() && left.pool_bytes == 0 ? 0 : 1;
}

#endif

}  // namespace vhublab
