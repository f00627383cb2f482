#include "lab/ledger.h"

#include <algorithm>
#include <cstring>

namespace vhublab {

uint64_t Fnv1a64(const uint8_t* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

void FrameLedger::Written(const uint8_t* frame, size_t bytes) {
  const Entry e{Fnv1a64(frame, bytes), bytes};
  std::lock_guard<std::mutex> lock(mu_);
  pending_.push_back(e);
  ++written_;
}

bool FrameLedger::Delivered(const uint8_t* frame, size_t bytes) {
  const uint64_t h = Fnv1a64(frame, bytes);
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const Entry& e) { return e.hash == h && e.bytes == bytes; });
  if (it == pending_.end()) {
    ++corrupt_;
    return false;
  }
  skipped_ += uint64_t(it - pending_.begin());
  pending_.erase(pending_.begin(), it + 1);
  ++matched_;
  return true;
}

uint64_t FrameLedger::written() const {
  std::lock_guard<std::mutex> lock(mu_);
  return written_;
}
uint64_t FrameLedger::matched() const {
  std::lock_guard<std::mutex> lock(mu_);
  return matched_;
}
uint64_t FrameLedger::corrupt() const {
  std::lock_guard<std::mutex> lock(mu_);
  return corrupt_;
}
uint64_t FrameLedger::dropped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return skipped_ + pending_.size();
}

void PcmLedger::Accepted(const uint8_t* bytes, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  accepted_.emplace_back(bytes, bytes + n);
  Pair();
}

void PcmLedger::Captured(const uint8_t* bytes, size_t n) {
  if (!n) return;  // the device answers idle transfers empty
  std::lock_guard<std::mutex> lock(mu_);
  captured_.emplace_back(bytes, bytes + n);
  Pair();
}

void PcmLedger::Pair() {
  while (!accepted_.empty() && !captured_.empty()) {
    const auto& w = accepted_.front();
    const auto& c = captured_.front();
    if (c.size() > w.size() || std::memcmp(c.data(), w.data(), c.size()) != 0) ++mismatches_;
    accepted_.pop_front();
    captured_.pop_front();
  }
}

uint64_t PcmLedger::mismatches() const {
  std::lock_guard<std::mutex> lock(mu_);
  return mismatches_ + captured_.size();
}

uint64_t PcmLedger::unexplained() const {
  std::lock_guard<std::mutex> lock(mu_);
  return captured_.size();
}

void SpeakerLedger::Played(const uint8_t* bytes, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  played_.insert(played_.end(), bytes, bytes + n);
}

void SpeakerLedger::AllowSilence(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  silence_allowed_ = bytes;
}

void SpeakerLedger::Read(const uint8_t* bytes, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  carry_.insert(carry_.end(), bytes, bytes + n);
  size_t at = 0;
  for (; at + block_ <= carry_.size(); at += block_) Check(carry_.data() + at);
  carry_.erase(carry_.begin(), carry_.begin() + ptrdiff_t(at));
}

void SpeakerLedger::Check(const uint8_t* p) {
  // The host's stream is cut into packets from its first byte on, so a
  // packet can only start at a multiple of the packet size.
  for (size_t off = 0; off + block_ <= played_.size(); off += block_) {
    if (std::memcmp(played_.data() + off, p, block_) == 0) {
      played_.erase(played_.begin(), played_.begin() + ptrdiff_t(off + block_));
      matched_ += block_;
      return;
    }
  }
  if (std::all_of(p, p + block_, [](uint8_t b) { return b == 0; }) && silence_used_ + block_ <= silence_allowed_) {
    silence_used_ += block_;
    return;
  }
  ++mismatches_;
}

uint64_t SpeakerLedger::mismatches() const {
  std::lock_guard<std::mutex> lock(mu_);
  return mismatches_;
}

uint64_t SpeakerLedger::matched_bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return matched_;
}

}  // namespace vhublab
