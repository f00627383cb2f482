#include "lab/report.h"

#include <fstream>
#include <iomanip>
#include <sstream>

#include "lab/video.h"  // LabError

namespace vhublab {

nlohmann::json Report::ToJson() const {
  nlohmann::json j;
  j["camera"] = {{"frame_size", camera.frame_size},
                 {"frames_written", camera.frames_written},
                 {"frames_delivered", camera.frames_delivered},
                 {"frames_dropped", camera.frames_dropped},
                 {"frames_corrupt", camera.frames_corrupt},
                 {"fid_errors", camera.fid_errors},
                 {"video_fps", camera.video_fps}};
  j["microphone"] = {{"mic_bytes_written", microphone.mic_bytes_written},
                     {"mic_bytes_captured", microphone.mic_bytes_captured},
                     {"mic_mismatches", microphone.mic_mismatches}};
  j["speaker"] = {{"speaker_bytes_played", speaker.speaker_bytes_played},
                  {"speaker_bytes_read", speaker.speaker_bytes_read},
                  {"speaker_mismatches", speaker.speaker_mismatches},
                  {"speaker_transfers_per_second", speaker.speaker_transfers_per_second}};
  j["system"] = {{"replugs", system.replugs},
                 {"frames_after_last_replug", system.frames_after_last_replug},
                 {"mic_bytes_after_last_replug", system.mic_bytes_after_last_replug},
                 {"pool_bytes_leaked", system.pool_bytes_leaked},
                 {"verifier_findings", system.verifier_findings},
                 {"seconds", system.seconds},
                 {"clock", system.virtual_time ? "virtual" : "real"},
                 {"problems", problems}};
  j["passed"] = Failures().empty();
  return j;
}

std::vector<std::string> Report::Failures() const {
  std::vector<std::string> f;
  if (camera.frames_corrupt) f.push_back(std::to_string(camera.frames_corrupt) + " corrupt video frame(s)");
  if (camera.fid_errors) f.push_back(std::to_string(camera.fid_errors) + " frame-identifier error(s)");
  if (microphone.mic_mismatches)
    f.push_back(std::to_string(microphone.mic_mismatches) + " microphone transfer(s) differ from what was written");
  if (speaker.speaker_mismatches)
    f.push_back(std::to_string(speaker.speaker_mismatches) + " speaker packet(s) differ from what the host played");
  if (system.pool_bytes_leaked) f.push_back(std::to_string(system.pool_bytes_leaked) + " pool byte(s) leaked");
  if (system.verifier_findings) f.push_back(std::to_string(system.verifier_findings) + " verifier finding(s)");
  for (const std::string& p : problems) f.push_back(p);
  return f;
}

void Report::PrintTable(std::ostream& out) const {
  auto row = [&](const char* section, const char* name, const std::string& value) {
    out << "  " << std::left << std::setw(12) << section << std::setw(30) << name << std::right << value << "\n";
  };
  auto num = [](double v) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(2) << v;
    return s.str();
  };
  out << "\n  " << std::left << std::setw(12) << "section" << std::setw(30) << "figure" << "value\n";
  out << "  " << std::string(52, '-') << "\n";
  row("camera", "frame_size", camera.frame_size);
  row("camera", "frames_written", std::to_string(camera.frames_written));
  row("camera", "frames_delivered", std::to_string(camera.frames_delivered));
  row("camera", "frames_dropped", std::to_string(camera.frames_dropped));
  row("camera", "frames_corrupt", std::to_string(camera.frames_corrupt));
  row("camera", "fid_errors", std::to_string(camera.fid_errors));
  row("camera", "video_fps", num(camera.video_fps));
  row("microphone", "mic_bytes_written", std::to_string(microphone.mic_bytes_written));
  row("microphone", "mic_bytes_captured", std::to_string(microphone.mic_bytes_captured));
  row("microphone", "mic_mismatches", std::to_string(microphone.mic_mismatches));
  row("speaker", "speaker_bytes_played", std::to_string(speaker.speaker_bytes_played));
  row("speaker", "speaker_bytes_read", std::to_string(speaker.speaker_bytes_read));
  row("speaker", "speaker_mismatches", std::to_string(speaker.speaker_mismatches));
  row("speaker", "speaker_transfers_per_second", num(speaker.speaker_transfers_per_second));
  row("system", "replugs", std::to_string(system.replugs));
  if (system.replugs) {
    row("system", "frames_after_last_replug", std::to_string(system.frames_after_last_replug));
    row("system", "mic_bytes_after_last_replug", std::to_string(system.mic_bytes_after_last_replug));
  }
  row("system", "pool_bytes_leaked", std::to_string(system.pool_bytes_leaked));
  row("system", "verifier_findings", std::to_string(system.verifier_findings));
  row("system", "seconds", num(system.seconds) + (system.virtual_time ? " (virtual)" : " (real)"));
  const auto failures = Failures();
  out << "\n  " << (failures.empty() ? "PASSED" : "FAILED") << "\n";
  for (const std::string& f : failures) out << "    - " << f << "\n";
}

void WriteReport(const Report& r, const std::string& path) {
  std::ofstream f(path);
  if (!f) throw LabError("cannot write " + path);
  f << r.ToJson().dump(2) << "\n";
  if (!f) throw LabError("cannot write " + path);
}

}  // namespace vhublab
