// The lab's commands as a person runs them: bad arguments are refused with
// a clear message and a non-zero exit before anything boots, and short
// virtual-time sessions leave well-formed outputs whose figures agree with
// what was fed in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "lab/lab.h"
#include "lab/lab_layers.h"
#include "lab/video.h"

using namespace vhublab;

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

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    path = std::filesystem::temp_directory_path() /
           ("vhublab-cli-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(path);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string File(const std::string& name) const { return (path / name).string(); }
};

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
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
    EXPECT_NE(r.code, 0);
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

TEST(Session, ReplugsEndWithTheDevicesBack) {
  TempDir dir;
  VhubRun r = Vhub({"run", "--virtual-time", "--seconds", "0.6", "--frame-size", "480x360", "--replug", "3", "--out",
                dir.File("out")});
  SCOPED_TRACE(r.out + r.err);
  const auto report = nlohmann::json::parse(Slurp(dir.File("out/report.json")));
  EXPECT_EQ(report["system"]["replugs"], 3);
  EXPECT_EQ(r.out.find("did not start again"), std::string::npos);
#if VHUBLAB_HAS_HOST
  // Streaming again after the last plug-in: frames arrive in the last part.
  EXPECT_GT(report["camera"]["frames_delivered"].get<int>(), 0);
#endif
}

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
