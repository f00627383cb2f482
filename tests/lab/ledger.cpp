// The comparison of what was fed in with what the host received.
#include <gtest/gtest.h>

#include <string>

#include "lab/ledger.h"

using namespace vhublab;

namespace {
const uint8_t* B(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
}  // namespace

TEST(FrameLedger, DropsAndCorruptionAreTold) {
  struct Case {
    const char* what;
    std::vector<std::string> written, delivered;
    uint64_t matched, dropped, corrupt;
  } cases[] = {
      {"all arrive", {"f0", "f1", "f2"}, {"f0", "f1", "f2"}, 3, 0, 0},
      {"gap", {"f0", "f1", "f2", "f3"}, {"f0", "f3"}, 2, 2, 0},
      {"never delivered", {"f0", "f1"}, {}, 0, 2, 0},
      // A frame made of the start of one write and the end of the next.
      {"spliced", {"aaaa", "bbbb"}, {"aabb"}, 0, 2, 1},
      {"out of order", {"f0", "f1"}, {"f1", "f0"}, 1, 1, 1},
      {"repeated content", {"same", "same", "same"}, {"same", "same"}, 2, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FrameLedger l;
    for (auto& w : c.written) l.Written(B(w), w.size());
    for (auto& d : c.delivered) l.Delivered(B(d), d.size());
    EXPECT_EQ(l.written(), c.written.size());
    EXPECT_EQ(l.matched(), c.matched);
    EXPECT_EQ(l.dropped(), c.dropped);
    EXPECT_EQ(l.corrupt(), c.corrupt);
  }
}

TEST(PcmLedger, CapturesPairWithAcceptedWritesInEitherOrder) {
  PcmLedger l;
  const std::string a(1920, 'a'), b(1920, 'b');
  l.Captured(B(a), a.size());  // the completion ran inside the write
  l.Accepted(B(a), a.size());
  l.Accepted(B(b), b.size());
  l.Captured(B(b), 1000);  // a smaller transfer takes the write's first bytes
  l.Captured(nullptr, 0);  // idle transfers come back empty
  EXPECT_EQ(l.mismatches(), 0u);

  const std::string c(1920, 'c'), wrong(1920, 'x');
  l.Accepted(B(c), c.size());
  l.Captured(B(wrong), wrong.size());
  EXPECT_EQ(l.mismatches(), 1u);
  l.Captured(B(c), c.size());  // nothing written to explain it
  EXPECT_EQ(l.unexplained(), 1u);
  EXPECT_EQ(l.mismatches(), 2u);
}

// Packets of 4 bytes stand for the device's 192-byte millisecond packets.
TEST(SpeakerLedger, ReadAudioMustFollowThePlayedStream) {
  const std::string played = "AAAABBBBCCCCDDDDEEEE";
  struct Case {
    const char* what;
    std::vector<std::string> reads;  // as the application's read calls returned them
    uint64_t silence_allowed;
    uint64_t mismatches, matched;
  } cases[] = {
      {"whole stream", {"AAAABBBBCCCCDDDDEEEE"}, 0, 0, 20},
      {"split across reads mid-packet", {"AAAAB", "BBBCC", "CC"}, 0, 0, 12},
      {"a trimmed record leaves a gap", {"AAAA", "DDDDEEEE"}, 0, 0, 12},
      {"a changed byte", {"AAAABBxBCCCC"}, 0, 1, 8},
      {"out of order", {"CCCCAAAA"}, 0, 1, 4},
      {"repeated packet", {"AAAAAAAA"}, 0, 1, 4},
      {"silence the host reported", {"AAAA", std::string(4, '\0'), "BBBB"}, 4, 0, 8},
      {"silence beyond what the host sent", {std::string(8, '\0'), "AAAA"}, 4, 1, 4},
      {"packet shifted by two bytes", {"AABBBBCC"}, 0, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SpeakerLedger l(4);
    l.Played(B(played), 8);  // the host may play in any chunks
    l.Played(B(played) + 8, played.size() - 8);
    l.AllowSilence(c.silence_allowed);
    for (const std::string& r : c.reads) l.Read(B(r), r.size());
    EXPECT_EQ(l.mismatches(), c.mismatches);
    EXPECT_EQ(l.matched_bytes(), c.matched);
  }
}
