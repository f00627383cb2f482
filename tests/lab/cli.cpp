// The lab's commands as a person runs them: bad arguments are refused with
// a clear message and a non-zero exit before anything boots, and short
// virtual-time sessions leave well-formed outputs whose figures agree with
// what was fed in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "lab/audio.h"
#include "lab/lab.h"
#include "lab/lab_layers.h"
#include "lab/video.h"
#include "support/files.h"

using namespace vhublab;
using namespace labtest;

namespace {

struct VhubRun {
  int code;
  std::string out, err;
};

VhubRun Vhub(std::vector<std::string> args) {
  args.insert(args.begin(), "vhub");
  std::vector<const char*> argv;
  for (auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int code = Main(int(argv.size()), argv.data(), out, err);
  return {code, out.str(), err.str()};
}

// A capture file read back the way Wireshark's USBPcap dissector reads it;
// every length must agree or the walk fails the test.
struct PcapRecord {
  uint16_t function;
  bool completion;
  uint16_t device;
  uint8_t endpoint, transfer;
  uint32_t packets = 0;
  std::vector<uint32_t> packet_lengths;
  uint32_t data_len;
};
std::vector<PcapRecord> ReadPcap(const std::string& path) {
  const std::string b = Slurp(path);
  std::vector<PcapRecord> out;
  EXPECT_GE(b.size(), 24u);
  if (b.size() < 24) return out;
  EXPECT_EQ(Le32(b, 0), 0xA1B2C3D4u);
  EXPECT_EQ(Le32(b, 20), 249u);
  size_t at = 24;
  while (at + 16 + 27 <= b.size()) {
    const uint32_t incl = Le32(b, at + 8);
    EXPECT_EQ(incl, Le32(b, at + 12));
    const size_t h = at + 16;
    PcapRecord r;
    const uint16_t header_len = Le16(b, h);
    r.function = Le16(b, h + 14);
    r.completion = b[h + 16] & 1;
    r.device = Le16(b, h + 19);
    r.endpoint = uint8_t(b[h + 21]);
    r.transfer = uint8_t(b[h + 22]);
    r.data_len = Le32(b, h + 23);
    EXPECT_EQ(header_len + r.data_len, incl);
    if (r.transfer == 0) {
      r.packets = Le32(b, h + 31);
      EXPECT_EQ(header_len, 39 + 12 * r.packets);
      for (uint32_t i = 0; i < r.packets && h + 39 + 12 * i + 12 <= b.size(); ++i) {
        const uint32_t offset = Le32(b, h + 39 + 12 * i), length = Le32(b, h + 39 + 12 * i + 4);
        // Data that came back lies inside the record (empty packets may sit past it).
        if (r.completion && (r.endpoint & 0x80) && length) EXPECT_LE(offset + length, r.data_len);
        r.packet_lengths.push_back(length);
      }
    }
    out.push_back(r);
    at += 16 + incl;
  }
  EXPECT_EQ(at, b.size()) << "the last record runs past the end";
  return out;
}

// The frames of a Y4M file written by the lab (4:2:2), back as YUY2.
std::vector<std::vector<uint8_t>> Y4mFrames(const std::string& path) {
  std::vector<std::vector<uint8_t>> frames;
  Y4mReader r(path);
  Planar422 p;
  while (r.ReadFrame(p)) {
    frames.emplace_back(Yuy2FrameBytes(p.width, p.height));
    PlanarToYuy2(p, frames.back().data());
  }
  return frames;
}

std::vector<uint8_t> WavData(const std::string& path) {
  const std::string b = Slurp(path);
  EXPECT_GE(b.size(), 44u);
  if (b.size() < 44) return {};
  EXPECT_EQ(b.substr(0, 4), "RIFF");
  EXPECT_EQ(Le16(b, 22), 2);          // channels
  EXPECT_EQ(Le32(b, 24), 48000u);     // rate
  EXPECT_EQ(Le16(b, 34), 16);         // bits
  EXPECT_EQ(b.substr(36, 4), "data");
  EXPECT_EQ(Le32(b, 40), b.size() - 44);
  return std::vector<uint8_t>(b.begin() + 44, b.end());
}

bool Contains(const std::vector<uint8_t>& hay, size_t from, const uint8_t* needle, size_t n, size_t* at) {
  for (size_t i = from; i + n <= hay.size(); ++i)
    if (std::equal(needle, needle + n, hay.begin() + ptrdiff_t(i))) return *at = i, true;
  return false;
}

}  // namespace

TEST(Cli, BadArgumentsAreRefusedClearly) {
  TempDir dir;
  {
    std::ofstream f(dir.File("notvideo.y4m"));
    f << "hello";
  }
  struct Case {
    std::vector<std::string> args;
    const char* message;  // part of the error text
  } cases[] = {
      {{}, "A subcommand is required"},
      {{"fly"}, "fly"},
      {{"run", "--frame-size", "1920x1080"}, "--frame-size"},
      {{"run", "--frame-size", "big"}, "--frame-size"},
      {{"run", "--seconds", "0"}, "--seconds"},
      {{"run", "--seconds", "abc"}, "--seconds"},
      {{"run", "--replug", "-1"}, "--replug"},
      {{"run", "--video", dir.File("missing.y4m")}, "missing.y4m"},
      {{"run", "--video", dir.File("notvideo.y4m")}, "not a YUV4MPEG2 file"},
      {{"run", "--mic", "tone:abc"}, "bad tone"},
      {{"run", "--speaker", dir.File("missing.wav")}, "missing.wav"},
      {{"run", "--out", "/proc/no-such-place"}, "output directory"},
      {{"run", "--pcap", dir.File("no/such/dir/c.pcap")}, "capture file"},
      {{"run", "--name", std::string(300, 'n')}, "--name"},
      {{"run", "--unknown-flag"}, "--unknown-flag"},
      {{"descriptors"}, "device"},
      {{"descriptors", "keyboard"}, "keyboard"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    VhubRun r = Vhub(c.args);
    EXPECT_EQ(r.code, 2);  // a usage error, told apart from a failed session
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Device tree"), std::string::npos) << "booted despite a bad argument";
  }
}

TEST(Cli, HelpOnEveryCommand) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--help"}, {"run", "--help"},
                                        {"descriptors", "--help"}, {"devices", "--help"}}) {
    VhubRun r = Vhub(args);
    EXPECT_EQ(r.code, 0) << args[0];
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << r.out;
  }
  EXPECT_NE(Vhub({"run", "--help"}).out.find("--virtual-time"), std::string::npos);
}

#if VHUBLAB_HAS_RIG

// A short session: every output exists and is well formed, and the report
// agrees with what the application fed in.
TEST(Session, ShortVirtualTimeSessionLeavesOutputs) {
  TempDir dir;
  VhubRun r = Vhub({"run", "--virtual-time", "--seconds", "0.5", "--frame-size", "480x360", "--out", dir.File("out"),
                "--pcap", dir.File("usb.pcap")});
  SCOPED_TRACE(r.out + r.err);
  ASSERT_TRUE(std::filesystem::exists(dir.File("out/report.json")));
  const auto report = nlohmann::json::parse(Slurp(dir.File("out/report.json")));
  for (const char* section : {"camera", "microphone", "speaker", "system"}) ASSERT_TRUE(report.contains(section));

  // Video: the application writes at 30 frames a second.
  const auto& cam = report["camera"];
  EXPECT_NEAR(cam["frames_written"].get<double>(), 15, 1);
  EXPECT_EQ(cam["frames_delivered"].get<uint64_t>() + cam["frames_dropped"].get<uint64_t>(),
            cam["frames_written"].get<uint64_t>() + cam["frames_corrupt"].get<uint64_t>());
  const std::string y4m = Slurp(dir.File("out/camera.y4m"));
  const std::string header = "YUV4MPEG2 W480 H360 F30:1 Ip A1:1 C422\n";
  ASSERT_EQ(y4m.substr(0, header.size()), header);
  EXPECT_EQ(y4m.size(), header.size() + cam["frames_delivered"].get<size_t>() * (6 + 480 * 360 * 2));

  // Microphone: 10 ms of PCM every 10 ms.
  const auto& mic = report["microphone"];
  EXPECT_NEAR(mic["mic_bytes_written"].get<double>(), 0.5 * 192000, 1920 * 2);
  const std::string wav = Slurp(dir.File("out/microphone.wav"));
  ASSERT_GE(wav.size(), 44u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(wav.substr(8, 4), "WAVE");
  EXPECT_EQ(wav.size() - 44, mic["mic_bytes_captured"].get<size_t>());
  const std::string spk = Slurp(dir.File("out/speaker.wav"));
  ASSERT_GE(spk.size(), 44u);
  EXPECT_EQ(spk.size() - 44, report["speaker"]["speaker_bytes_read"].get<size_t>());

  EXPECT_TRUE(std::filesystem::file_size(dir.File("out/camera.png")) > 0);
  const std::string pcap = Slurp(dir.File("usb.pcap"));
  ASSERT_GE(pcap.size(), 24u);
  EXPECT_EQ(uint8_t(pcap[20]), 249);
  EXPECT_EQ(report["system"]["pool_bytes_leaked"], 0);
  EXPECT_EQ(report["system"]["verifier_findings"], 0);
  EXPECT_EQ(r.code, report["passed"].get<bool>() ? 0 : 1);
  EXPECT_NE(r.out.find("frames_delivered"), std::string::npos);
}

#if VHUBLAB_HAS_HOST

// Each size the host can choose: the capture file holds both devices'
// enumeration and the video stream, and every frame in camera.y4m is whole.
TEST(Session, EveryFrameSizeStreamsAndIsCaptured) {
  TempDir dir;
  for (const FrameSize& size : OfferedFrameSizes()) {
    const std::string name = std::to_string(size.width) + "x" + std::to_string(size.height);
    SCOPED_TRACE(name);
    const std::string out = dir.File(name), pcap = dir.File(name + ".pcap");
    VhubRun r = Vhub({"run", "--virtual-time", "--seconds", "0.12", "--frame-size", name, "--out", out, "--pcap", pcap});
    SCOPED_TRACE(r.out + r.err);
    EXPECT_EQ(r.code, 0);
    const auto report = nlohmann::json::parse(Slurp(out + "/report.json"));
    const auto& cam = report["camera"];
    EXPECT_EQ(cam["frame_size"], name);
    EXPECT_GE(cam["frames_delivered"].get<int>(), 3);
    EXPECT_EQ(cam["frames_corrupt"], 0);
    EXPECT_EQ(cam["fid_errors"], 0);

    const std::string header = "YUV4MPEG2 W" + std::to_string(size.width) + " H" + std::to_string(size.height);
    EXPECT_EQ(Slurp(out + "/camera.y4m").substr(0, header.size()), header);
    const auto frames = Y4mFrames(out + "/camera.y4m");
    EXPECT_EQ(frames.size(), cam["frames_delivered"].get<size_t>());

    const auto records = ReadPcap(pcap);
    size_t video_in = 0, video_bytes = 0, config = 0, descriptors = 0, submits = 0, completions = 0;
    for (const PcapRecord& rec : records) {
      (rec.completion ? completions : submits)++;
      if (rec.function == 0x0000 && !rec.completion) ++config;       // select configuration
      if (rec.function == 0x000B && !rec.completion) ++descriptors;  // get descriptor
      if (rec.function == 0x000A && rec.endpoint == 0x82 && rec.completion) {
        ++video_in;
        video_bytes += rec.data_len;
        EXPECT_GT(rec.packets, 0u);
      }
    }
    EXPECT_EQ(config, 2u);  // one configuration per device
    EXPECT_GE(descriptors, 4u);
    EXPECT_GT(video_in, 0u);
    // The payloads of every delivered frame crossed the wire, headers on top.
    EXPECT_GE(video_bytes, frames.size() * Yuy2FrameBytes(size.width, size.height));
    // Each URB that went down came back (the session removes the devices at the end).
    EXPECT_EQ(submits, completions);
  }
}

// Media of the test's own making in, and out exactly as fed: each delivered
// frame is the next (or a later) frame of the input file, the microphone
// capture is the input WAV's bytes in order, and the speaker PCM the
// application read is the host's WAV in order.
TEST(Session, WhatArrivesIsWhatWasFedIn) {
  TempDir dir;
  const int w = 480, h = 360, input_frames = 4;
  std::vector<std::vector<uint8_t>> input;
  {
    Y4mWriter y4m(dir.File("in.y4m"), w, h, 30, 1);
    uint32_t seed = 12345;
    for (int n = 0; n < input_frames; ++n) {
      input.emplace_back(Yuy2FrameBytes(w, h));
      for (auto& b : input.back()) b = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
      y4m.WriteYuy2(input.back().data(), input.back().size());
    }
  }
  // One second of distinct sample pairs for each direction.
  auto ramp = [](uint16_t base) {
    std::vector<uint8_t> pcm(size_t(kSampleRate) * kBytesPerFrame);
    for (size_t i = 0; i < pcm.size() / 2; ++i) {
      const uint16_t v = uint16_t(base + i * 3);
      pcm[2 * i] = uint8_t(v);
      pcm[2 * i + 1] = uint8_t(v >> 8);
    }
    return pcm;
  };
  const auto mic_in = ramp(1), spk_in = ramp(7777);
  {
    WavWriter a(dir.File("mic.wav"));
    a.Write(mic_in.data(), mic_in.size());
    WavWriter b(dir.File("spk.wav"));
    b.Write(spk_in.data(), spk_in.size());
  }

  VhubRun r = Vhub({"run", "--virtual-time", "--seconds", "0.5", "--frame-size", "480x360", "--video",
                    dir.File("in.y4m"), "--mic", dir.File("mic.wav"), "--speaker", dir.File("spk.wav"), "--out",
                    dir.File("out")});
  SCOPED_TRACE(r.out + r.err);
  EXPECT_EQ(r.code, 0);
  const auto report = nlohmann::json::parse(Slurp(dir.File("out/report.json")));

  const auto frames = Y4mFrames(dir.File("out/camera.y4m"));
  ASSERT_EQ(frames.size(), report["camera"]["frames_delivered"].get<size_t>());
  ASSERT_FALSE(frames.empty());
  size_t next = 0;  // index into the looped input
  for (size_t i = 0; i < frames.size(); ++i) {
    size_t k = next;
    while (k < next + input_frames && frames[i] != input[k % input_frames]) ++k;
    ASSERT_LT(k, next + input_frames) << "frame " << i << " is none of the input frames";
    next = k + 1;
  }
  EXPECT_EQ(uint64_t(frames.size()) + report["camera"]["frames_dropped"].get<uint64_t>(),
            report["camera"]["frames_written"].get<uint64_t>());

  // The microphone: every captured 10 ms is the next written 10 ms or a
  // later one (a write that found no parked transfer is dropped).
  const auto mic_out = WavData(dir.File("out/microphone.wav"));
  EXPECT_EQ(mic_out.size(), report["microphone"]["mic_bytes_captured"].get<size_t>());
  EXPECT_GE(mic_out.size(), mic_in.size() / 2 - 4 * 1920);
  size_t at = 0;
  for (size_t off = 0; off + 1920 <= mic_out.size(); off += 1920) {
    size_t found;
    ASSERT_TRUE(Contains(mic_in, at, mic_out.data() + off, 1920, &found)) << "captured chunk at " << off;
    EXPECT_EQ(found % 1920, 0u);
    at = found + 1920;
  }
  EXPECT_EQ(report["microphone"]["mic_mismatches"], 0);

  // The speaker: what the application read, in order, from the host's WAV.
  const auto spk_out = WavData(dir.File("out/speaker.wav"));
  EXPECT_EQ(spk_out.size(), report["speaker"]["speaker_bytes_read"].get<size_t>());
  EXPECT_GE(spk_out.size(), spk_in.size() / 4);
  at = 0;
  for (size_t off = 0; off + 192 <= spk_out.size(); off += 192) {
    size_t found;
    ASSERT_TRUE(Contains(spk_in, at, spk_out.data() + off, 192, &found)) << "speaker packet at " << off;
    at = found + 192;
  }
  EXPECT_EQ(report["speaker"]["speaker_mismatches"], 0);
}

#endif

TEST(Session, ReplugsEndWithTheDevicesBack) {
  TempDir dir;
  VhubRun r = Vhub({"run", "--virtual-time", "--seconds", "0.6", "--frame-size", "480x360", "--replug", "3", "--out",
                dir.File("out"), "--pcap", dir.File("usb.pcap")});
  SCOPED_TRACE(r.out + r.err);
  const auto report = nlohmann::json::parse(Slurp(dir.File("out/report.json")));
  EXPECT_EQ(report["system"]["replugs"], 3);
  EXPECT_EQ(r.out.find("did not start again"), std::string::npos);
#if VHUBLAB_HAS_HOST
  EXPECT_EQ(r.code, 0);
  // Streaming again after the last plug-in: frames and microphone audio
  // arrive in the last part.
  EXPECT_GT(report["camera"]["frames_delivered"].get<int>(), 0);
  EXPECT_GT(report["system"]["frames_after_last_replug"].get<int>(), 0);
  EXPECT_GT(report["system"]["mic_bytes_after_last_replug"].get<int>(), 0);
  EXPECT_EQ(report["camera"]["frames_corrupt"], 0);
  // Each plug-in brought both devices back through a full enumeration.
  size_t configurations = 0;
  for (const PcapRecord& rec : ReadPcap(dir.File("usb.pcap")))
    configurations += rec.function == 0x0000 && !rec.completion;
  EXPECT_EQ(configurations, 2u * (1 + 3));
#endif
}

#if VHUBLAB_HAS_HOST
// The descriptors as the host's class drivers read them, decoded and raw.
TEST(Descriptors, AsTheHostReadThem) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> expected;
  } cases[] = {
      {{"descriptors", "camera"},
       {"idVendor               0xfc01", "wTotalLength           0x0139", "bInterfaceSubClass     2 Video Streaming",
        "Tolvexa Camera"}},
      {{"descriptors", "audio"}, {"idVendor               0xfc02", "wTotalLength           0x00ae", "Tolvexa"}},
      {{"descriptors", "camera", "--raw"}, {"device descriptor (18 bytes):\n0000: 12 01", "(313 bytes)"}},
      {{"descriptors", "audio", "--raw"}, {"(174 bytes)", "0000: 09 02 ae 00"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + (c.args.size() > 2 ? " --raw" : ""));
    VhubRun r = Vhub(c.args);
    EXPECT_EQ(r.code, 0) << r.err;
    for (const std::string& e : c.expected) EXPECT_NE(r.out.find(e), std::string::npos) << e << "\n" << r.out;
  }
}
#endif

TEST(Devices, TreeShowsTheBusAndItsTwoChildren) {
  VhubRun r = Vhub({"devices"});
  SCOPED_TRACE(r.err);
  EXPECT_NE(r.out.find("ROOT\\VHUBVMIC"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("USB\\VID_FC01&PID_FD01"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("USB\\VID_FC02&PID_FD02"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("USB\\COMPOSITE"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Tolvexo Denoise Device"), std::string::npos) << r.out;
}

#endif
