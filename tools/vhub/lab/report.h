// The figures of one lab session: report.json and the closing table.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vhublab {

struct Report {
  struct Camera {
    uint64_t frames_written = 0;    // frames the application's writes were accepted for
    uint64_t frames_delivered = 0;  // complete frames the host's video function received
    uint64_t frames_dropped = 0;    // written frames that never reached the host
    uint64_t frames_corrupt = 0;    // delivered frames that differ from every frame written
    uint64_t fid_errors = 0;        // frames whose FID did not toggle, or host reassembly errors
    double video_fps = 0;
    std::string frame_size;
  } camera;
  struct Microphone {
    uint64_t mic_bytes_written = 0;
    uint64_t mic_bytes_captured = 0;
    uint64_t mic_mismatches = 0;
  } microphone;
  struct Speaker {
    uint64_t speaker_bytes_played = 0;
    uint64_t speaker_bytes_read = 0;
    uint64_t speaker_mismatches = 0;  // packets read that the host never played in that order
    double speaker_transfers_per_second = 0;
  } speaker;
  struct System {
    uint64_t replugs = 0;
    // What reached the host after the last plug-in (only with replugs).
    uint64_t frames_after_last_replug = 0;
    uint64_t mic_bytes_after_last_replug = 0;
    uint64_t pool_bytes_leaked = 0;
    uint64_t verifier_findings = 0;
    double seconds = 0;
    bool virtual_time = false;
  } system;
  // What went wrong outside the figures (a stage that could not run).
  std::vector<std::string> problems;

  nlohmann::json ToJson() const;
  // The reasons this session failed; empty when it passed.
  std::vector<std::string> Failures() const;
  void PrintTable(std::ostream& out) const;
};

// Writes report.json; throws LabError.
void WriteReport(const Report& r, const std::string& path);

}  // namespace vhublab
