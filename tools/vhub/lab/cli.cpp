#include <unistd.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <ostream>

#include "lab/audio.h"
#include "lab/lab.h"
#include "lab/video.h"

namespace vhublab {

const std::vector<FrameSize>& OfferedFrameSizes() {
  static const std::vector<FrameSize> sizes = {{480, 360}, {640, 480}, {720, 480}, {1280, 720}};
  return sizes;
}

bool ParseFrameSize(const std::string& text, FrameSize& out) {
  for (const FrameSize& s : OfferedFrameSizes())
    if (text == std::to_string(s.width) + "x" + std::to_string(s.height)) {
      out = s;
      return true;
    }
  return false;
}

namespace {

// Checks what CLI11 cannot: that the media sources and outputs can be used,
// so a bad argument fails before anything boots.
void CheckRunOptions(const RunOptions& o) {
  if (o.video != "pattern") {
    Y4mReader probe(o.video);  // throws with the reason
    Planar422 first;
    if (!probe.ReadFrame(first)) throw LabError(o.video + " holds no frame");
  }
  OpenPcmSource(o.mic);
  OpenPcmSource(o.speaker);
  std::error_code ec;
  std::filesystem::create_directories(o.out_dir, ec);
  if (ec || !std::filesystem::is_directory(o.out_dir))
    throw LabError("cannot use output directory " + o.out_dir + (ec ? ": " + ec.message() : ""));
  if (!o.pcap.empty()) {
    std::ofstream f(o.pcap, std::ios::binary | std::ios::app);
    if (!f) throw LabError("cannot write capture file " + o.pcap);
  }
  if (o.name_given && o.name.size() > 260)
    throw LabError("--name is " + std::to_string(o.name.size()) + " bytes; the name file holds at most 260");
}

}  // namespace

int Main(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"vhub: run the virtual USB bus with its camera and audio device end to end"};
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 the session passed; 1 something arrived corrupt, leaked or was flagged; 2 bad arguments; "
      "3 the machine could not run the command.");

  RunOptions run;
  std::string frame_size = "720x480";
  auto* cmd_run = app.add_subcommand("run", "one session: boot, load the driver, stream video and audio, report");
  cmd_run->add_option("--seconds", run.seconds, "length of the session in seconds")
      ->default_val(5)
      ->check(CLI::Range(0.05, 3600.0));
  cmd_run->add_option("--frame-size", frame_size, "frame size the host chooses: 480x360, 640x480, 720x480 or 1280x720")
      ->default_val("720x480")
      ->check(CLI::IsMember({"480x360", "640x480", "720x480", "1280x720"}));
  cmd_run->add_option("--video", run.video, "pattern, or a YUV4MPEG2 file to play into the camera")
      ->default_val("pattern");
  cmd_run->add_option("--mic", run.mic, "tone:HZ, or a 48 kHz WAV file to feed the microphone")
      ->default_val("tone:440");
  cmd_run->add_option("--speaker", run.speaker, "tone:HZ, or a 48 kHz WAV file the host plays")
      ->default_val("tone:1000");
  cmd_run->add_option("--out", run.out_dir, "output directory")->default_val("./vhub-out");
  cmd_run->add_option("--pcap", run.pcap, "write every URB of the two devices to this USBPcap file");
  cmd_run->add_option("--replug", run.replug, "unplug and plug in the devices N times while streaming")
      ->default_val(0)
      ->check(CLI::Range(0, 1000));
  auto* name_opt = cmd_run->add_option("--name", run.name, "product name placed in C:\\DeiverName.dat");
  cmd_run->add_flag("--verbose", run.verbose, "show the driver's debug output");
  cmd_run->add_flag("--virtual-time", run.virtual_time, "run on the virtual clock as fast as the machine allows");

  std::string which;
  bool raw = false;
  auto* cmd_desc = app.add_subcommand("descriptors", "print the descriptors as the host read them");
  cmd_desc->add_option("device", which, "camera or audio")->required()->check(CLI::IsMember({"camera", "audio"}));
  cmd_desc->add_flag("--raw", raw, "hex bytes instead of decoded fields");

  auto* cmd_dev = app.add_subcommand("devices", "the device tree as the plug-and-play manager sees it");

  // CLI11 would only say that a subcommand is required; name the stranger.
  const std::string first = argc > 1 ? argv[1] : "";
  if (!first.empty() && first[0] != '-' && first != "run" && first != "descriptors" && first != "devices") {
    err << "vhub: unknown command '" << argv[1] << "' (run, descriptors or devices; try --help)\n";
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help is a ParseError that exits 0; every other one is a usage error.
    return app.exit(e, out, err) == 0 ? 0 : 2;
  }

  try {
    if (*cmd_run) {
      ParseFrameSize(frame_size, run.frame_size);
      run.name_given = name_opt->count() > 0;
      run.progress = &out == &std::cout && isatty(STDOUT_FILENO);
      CheckRunOptions(run);
    }
  } catch (const LabError& e) {
    err << "vhub: " << e.what() << "\n";
    return 2;
  }
  // From here the arguments are sound: what fails is the machine.
  try {
    if (*cmd_run) return RunSession(run, out, err);
    if (*cmd_desc) return ShowDescriptors(which, raw, out, err);
    if (*cmd_dev) return ShowDevices(out, err);
  } catch (const LabError& e) {
    err << "vhub: " << e.what() << "\n";
    return 3;
  }
  return 2;
}

}  // namespace vhublab
