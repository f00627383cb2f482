// Frame reassembly from UVC payloads: a table of payload sequences with the
// frames and errors each must produce. Frames are 10 bytes here.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "usbclass/uvc.h"

namespace {

using namespace usbclass::uvc;

struct Payload {
    uint8_t info;           // bmHeaderInfo (EOH is added)
    size_t bytes;           // payload bytes after the header
    uint8_t header = 2;     // bHeaderLength
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    size_t length = 0;      // packet length when it is not header + bytes
};

struct Case {
    const char* what;
    std::vector<Payload> payloads;
    std::string expected;  // one letter per event: F0/F1 a frame with that FID, S short, O oversized,
                           // H header, P packet status, Y out of sync, E error bit
};

constexpr uint8_t F0 = 0, F1 = HEADER_FID, EOFB = HEADER_EOF;

std::string Feed(const std::vector<Payload>& payloads, FrameAssembler& a, std::vector<Frame>* frames = nullptr) {
    std::string events;
    a.onFrame = [&](Frame&& f) {
        events += "F" + std::to_string(f.fid);
        if (frames) frames->push_back(std::move(f));
    };
    a.onError = [&](const StreamErrorEvent& e) {
        static const char letters[] = {'P', 'H', 'S', 'O', 'Y', 'E'};
        events += letters[(int)e.kind];
    };
    uint8_t counter = 0;
    int64_t time = 0;
    for (const Payload& p : payloads) {
        std::vector<uint8_t> packet(p.header + p.bytes, 0);
        if (!packet.empty()) packet[0] = p.header;
        if (packet.size() > 1) packet[1] = (uint8_t)(p.info | HEADER_EOH);
        for (size_t i = p.header; i < packet.size(); ++i) packet[i] = counter++;
        size_t length = p.length ? p.length : packet.size();
        packet.resize(std::max(length, packet.size()));
        a.Packet(packet.data(), length, p.status, ++time);
    }
    return events;
}

TEST(FrameAssembly, PayloadSequences) {
    const Case cases[] = {
        {"two frames, FID toggling, EOF each", {{F0, 6}, {F0 | EOFB, 4}, {F1, 10}, {F1 | EOFB, 0}}, "F0F1"},
        {"a frame across many packets", {{F0, 1}, {F0, 2}, {F0, 3}, {F0 | EOFB, 4}}, "F0"},
        {"empty packets between payloads", {{F0, 5}, {F0, 0, 0, 0, 0}, {F0 | EOFB, 5}}, "F0"},
        {"short frame, then a good one", {{F0 | EOFB, 8}, {F1 | EOFB, 10}}, "SF1"},
        {"oversized frame drops its rest", {{F0, 8}, {F0, 4}, {F0 | EOFB, 2}, {F1 | EOFB, 10}}, "OF1"},
        {"oversized in the EOF packet", {{F0, 8}, {F0 | EOFB, 4}, {F1 | EOFB, 10}}, "OF1"},
        {"FID toggle completes a full frame without EOF", {{F0, 10}, {F1, 4}, {F1 | EOFB, 6}}, "F0F1"},
        {"FID toggle cuts a partial frame", {{F0, 7}, {F1 | EOFB, 10}}, "SF1"},
        {"same FID after EOF is out of sync", {{F0 | EOFB, 10}, {F0, 3}, {F0 | EOFB, 7}, {F1 | EOFB, 10}}, "F0YF1"},
        {"header length below 2", {{F0, 4}, {F0, 4, 1}, {F0 | EOFB, 6}, {F1 | EOFB, 10}}, "HF1"},
        {"header longer than the packet", {{F0, 4}, {F0, 2, 12, 0, 6}, {F1 | EOFB, 10}}, "HF1"},
        {"PTS flag without room for it", {{F0 | HEADER_PTS, 4}, {F1 | EOFB, 10}}, "HF1"},
        {"packet error drops the frame", {{F0, 4}, {F0, 0, 2, USBD_STATUS_ERROR}, {F0 | EOFB, 6}, {F1 | EOFB, 10}}, "PF1"},
        {"error bit spoils the frame", {{F0 | HEADER_ERR, 4}, {F0 | EOFB, 6}, {F1 | EOFB, 10}}, "EF1"},
        {"PTS and SCR headers of 12 bytes", {{F0 | HEADER_PTS | HEADER_SCR, 6, 12}, {F0 | EOFB, 4}}, "F0"},
        {"stream joined in the middle of a frame", {{F1, 4}, {F1 | EOFB, 2}, {F0 | EOFB, 10}}, "SF0"},
    };
    for (const Case& c : cases) {
        FrameAssembler a;
        a.Reset(10);
        EXPECT_EQ(Feed(c.payloads, a), c.expected) << c.what;
    }
}

TEST(FrameAssembly, FramesCarryThePayloadBytesInOrderWithTheirTime) {
    FrameAssembler a;
    a.Reset(10);
    std::vector<Frame> frames;
    Feed({{F0, 3}, {F0 | HEADER_PTS, 3, 6}, {F0 | EOFB, 4}, {F1 | EOFB, 10}}, a, &frames);
    ASSERT_EQ(frames.size(), 2u);
    std::vector<uint8_t> expected = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(frames[0].bytes, expected);
    EXPECT_EQ(frames[0].time, 3);  // the packet that ended it
    EXPECT_EQ(frames[0].sequence, 1u);
    EXPECT_EQ(frames[1].sequence, 2u);
    EXPECT_EQ(frames[1].bytes.front(), 10);
    EXPECT_EQ(a.Frames(), 2u);
    EXPECT_EQ(a.Errors(), 0u);
}

}  // namespace
