// Bookkeeping that compares what the application fed in with what the host
// received. Both sides may report from different threads and in either
// order (a host completion can run inside the application's write).
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace vhublab {

uint64_t Fnv1a64(const uint8_t* p, size_t n);

// Video: every frame the application writes is noted before the write; a
// frame the host delivers must equal one written frame, in order. Frames
// skipped over were dropped; a delivered frame equal to none is corrupt.
class FrameLedger {
 public:
  void Written(const uint8_t* frame, size_t bytes);
  // True when the frame matches a written one.
  bool Delivered(const uint8_t* frame, size_t bytes);
  uint64_t written() const;
  uint64_t matched() const;
  uint64_t corrupt() const;
  // Written frames that never arrived (those still waiting at the end count).
  uint64_t dropped() const;

 private:
  struct Entry {
    uint64_t hash;
    size_t bytes;
  };
  mutable std::mutex mu_;
  std::deque<Entry> pending_;  // written, not yet matched or skipped
  uint64_t written_ = 0, matched_ = 0, corrupt_ = 0, skipped_ = 0;
};

// Microphone: each accepted write fills exactly one host transfer, so the
// non-empty captures, in order, must equal the accepted writes (or their
// first bytes, when a transfer holds less than a write).
class PcmLedger {
 public:
  void Accepted(const uint8_t* bytes, size_t n);
  void Captured(const uint8_t* bytes, size_t n);
  uint64_t mismatches() const;
  // Captures with no accepted write to explain them.
  uint64_t unexplained() const;

 private:
  void Pair();
  mutable std::mutex mu_;
  std::deque<std::vector<uint8_t>> accepted_, captured_;
  uint64_t mismatches_ = 0;
};

// Speaker: the host plays one continuous stream; the device copies each
// transfer into a record and the application reads the records. What the
// application reads, cut into `block`-byte packets, must appear in that
// stream in order (records the driver trimmed leave gaps, never changes).
// All-zero packets stand for the silence a host sends when its queue runs
// dry, up to the number of bytes it reports as sent that way.
class SpeakerLedger {
 public:
  explicit SpeakerLedger(size_t block = 192) : block_(block) {}
  void Played(const uint8_t* bytes, size_t n);
  void Read(const uint8_t* bytes, size_t n);
  void AllowSilence(uint64_t bytes);
  // Packets read that are nowhere in the played stream after the last match.
  uint64_t mismatches() const;
  uint64_t matched_bytes() const;

 private:
  void Check(const uint8_t* p);
  const size_t block_;
  mutable std::mutex mu_;
  std::vector<uint8_t> played_;  // from the last matched packet on
  std::vector<uint8_t> carry_;   // read bytes short of a packet
  uint64_t silence_allowed_ = 0, silence_used_ = 0;
  uint64_t mismatches_ = 0, matched_ = 0;
};

}  // namespace vhublab
