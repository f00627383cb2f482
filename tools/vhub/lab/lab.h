// The vhub lab's commands. Main() is the whole command line; tests call it
// with their own argv and streams.
#pragma once
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace vhublab {

struct FrameSize {
  int width = 720;
  int height = 480;
};

// The frame sizes the camera offers, in the order of its frame indexes.
const std::vector<FrameSize>& OfferedFrameSizes();
// "720x480" -> size; false when the camera does not offer it.
bool ParseFrameSize(const std::string& text, FrameSize& out);

struct RunOptions {
  double seconds = 5;
  FrameSize frame_size;
  std::string video = "pattern";
  std::string mic = "tone:440";
  std::string speaker = "tone:1000";
  std::string out_dir = "./vhub-out";
  std::string pcap;
  int replug = 0;
  bool name_given = false;
  std::string name;
  bool verbose = false;
  bool virtual_time = false;
  bool progress = false;  // a live progress line (on a terminal)
};

int Main(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The commands, after their arguments have been checked. Each returns the
// process exit status.
int RunSession(const RunOptions& options, std::ostream& out, std::ostream& err);
int ShowDescriptors(const std::string& which, bool raw, std::ostream& out, std::ostream& err);
int ShowDevices(std::ostream& out, std::ostream& err);

}  // namespace vhublab
