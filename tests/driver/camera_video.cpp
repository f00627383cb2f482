// The video frame path: frames cut into UVC payloads in the parked camera
// transfers, the size check, and the video index read.
#include <gtest/gtest.h>

#include "support/media_fixture.h"

using media::Bench;
using media::Payload;
using media::UsbRequest;

namespace {

constexpr ULONG kFrame1 = 345600;  // 480x360

struct VideoBench : Bench {
    std::vector<std::unique_ptr<UsbRequest>> transfers;

    // Sets the frame index as the host's probe/commit does.
    void SelectFrame(UCHAR frame) {
        auto req = media::ClassRequest(0x01, 0x0200, 1, 26);
        req->data[2] = 1;
        req->data[3] = frame;
        ASSERT_EQ(Submit(camera(), *req), STATUS_SUCCESS);
    }
    UsbRequest& Park(ULONG packets, ULONG size) {
        transfers.push_back(media::IsoTransfer(0x82, packets, size));
        EXPECT_EQ(Submit(camera(), *transfers.back()), STATUS_PENDING);
        return *transfers.back();
    }
    NTSTATUS Write(std::vector<uint8_t>& frame, ULONG_PTR* information = nullptr) {
        hk::UserRange range(frame.data(), frame.size(), false);
        media::AppRequest request;
        Control(IOCTL_BULKUSB_WRITE_YUV2, frame.data(), (ULONG)frame.size(), nullptr, 0, request);
        EXPECT_EQ(request.completions.load(), 1);
        if (information) *information = request.information;
        return request.status;
    }
    // Frame bytes carried by the used packets of the transfers, in order.
    std::vector<uint8_t> Reassemble(size_t first, size_t count) {
        std::vector<uint8_t> out;
        for (size_t t = first; t < first + count; ++t) {
            UsbRequest& r = *transfers[t];
            for (ULONG i = 0; i < r.iso().NumberOfPackets; ++i) {
                const auto& p = r.iso().IsoPacket[i];
                if (p.Status != 0 || p.Length < 2 || p.Length == 0xABAB) continue;
                out.insert(out.end(), r.data.begin() + p.Offset + 2, r.data.begin() + p.Offset + p.Length);
            }
        }
        return out;
    }
};

}  // namespace

TEST(CameraVideo, FrameCutInto3072BytePackets) {
    VideoBench bench;
    bench.SelectFrame(1);
    for (int i = 0; i < 4; ++i) bench.Park(32, 3072);
    auto frame = media::Pattern(kFrame1);
    ULONG_PTR information = 0;
    EXPECT_EQ(bench.Write(frame, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, kFrame1);

    std::vector<Payload> all;
    for (auto& t : bench.transfers) {
        EXPECT_EQ(t->completions.load(), 1);
        EXPECT_EQ(t->status, STATUS_SUCCESS);
        EXPECT_EQ(t->iso().ErrorCount, 0u);
        auto p = media::Payloads(*t);
        all.insert(all.end(), p.begin(), p.end());
    }
    ASSERT_EQ(all.size(), 113u);
    for (size_t i = 0; i < 112; ++i) {
        EXPECT_EQ(all[i].length, 3072u) << i;
        EXPECT_EQ(all[i].info, 0x80) << i;
    }
    EXPECT_EQ(all[112].length, 1762u);
    EXPECT_EQ(all[112].info, 0x82);
    // The last transfer: 17 packets used, the rest as the host sent them.
    UsbRequest& last = *bench.transfers[3];
    EXPECT_EQ(last.iso().TransferBufferLength, 16u * 3072 + 1762);
    EXPECT_EQ(last.iso().IsoPacket[17].Length, 0xABABu);
    EXPECT_EQ(last.iso().IsoPacket[17].Status, 0x12345678u);
    EXPECT_EQ(bench.Reassemble(0, 4), frame);
    EXPECT_EQ(bench.ext()->FrameOffset, 0u);
    EXPECT_EQ(bench.ext()->FrameIdBit, 1);
}

TEST(CameraVideo, FrameEndingOnAPacketBoundaryAndTheNextFrame) {
    VideoBench bench;
    bench.SelectFrame(1);
    // 3200 frame bytes per packet: the frame ends exactly with packet 108.
    bench.Park(108, 3202);
    bench.Park(108, 3202);
    auto a = media::Pattern(kFrame1, 1);
    auto b = media::Pattern(kFrame1, 2);
    EXPECT_EQ(bench.Write(a), STATUS_SUCCESS);
    auto first = media::Payloads(*bench.transfers[0]);
    ASSERT_EQ(first.size(), 108u);
    EXPECT_EQ(first.back().length, 3202u);
    EXPECT_EQ(first.back().info, 0x82);
    EXPECT_FALSE(bench.transfers[1]->completed()) << "the next frame starts in the next transfer";

    EXPECT_EQ(bench.Write(b), STATUS_SUCCESS);
    auto second = media::Payloads(*bench.transfers[1]);
    ASSERT_EQ(second.size(), 108u);
    EXPECT_EQ(second.front().info, 0x81);
    EXPECT_EQ(second.back().info, 0x83);
    EXPECT_EQ(bench.Reassemble(1, 1), b);
}

TEST(CameraVideo, FrameSpreadOverWritesCarriesOnAtTheOffset) {
    VideoBench bench;
    bench.SelectFrame(1);
    bench.Park(32, 3072);
    bench.Park(32, 3072);
    auto a = media::Pattern(kFrame1, 1);
    auto b = media::Pattern(kFrame1, 2);
    EXPECT_EQ(bench.Write(a), STATUS_SUCCESS);
    EXPECT_EQ(bench.ext()->FrameOffset, 64u * 3070);
    EXPECT_EQ(bench.ext()->FrameIdBit, 0);

    bench.Park(32, 3072);
    bench.Park(32, 3072);
    EXPECT_EQ(bench.Write(b), STATUS_SUCCESS);
    // The second write goes on with the second frame's bytes from the offset
    // reached, under the same FID, and ends the frame.
    std::vector<uint8_t> expected(a.begin(), a.begin() + 64 * 3070);
    expected.insert(expected.end(), b.begin() + 64 * 3070, b.end());
    EXPECT_EQ(bench.Reassemble(0, 4), expected);
    auto tail = media::Payloads(*bench.transfers[3]);
    EXPECT_EQ(tail.size(), 113u - 96);
    EXPECT_EQ(tail.front().info, 0x80);
    EXPECT_EQ(tail.back().info, 0x82);
    EXPECT_EQ(bench.ext()->FrameOffset, 0u);
}

TEST(CameraVideo, OffsetLeftByALargerFrameStartsANewFrame) {
    VideoBench bench;
    bench.SelectFrame(1);
    bench.ext()->FrameOffset = 400000;  // beyond the new frame's 345,600 bytes
    bench.Park(32, 3072);
    auto frame = media::Pattern(kFrame1);
    EXPECT_EQ(bench.Write(frame), STATUS_SUCCESS);
    auto p = media::Payloads(*bench.transfers[0]);
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.front().info, 0x81) << "a new FID marks the unfinished frame as abandoned";
    EXPECT_EQ(bench.Reassemble(0, 1), std::vector<uint8_t>(frame.begin(), frame.begin() + 32 * 3070));
    EXPECT_EQ(bench.ext()->FrameOffset, 32u * 3070);
}

TEST(CameraVideo, PacketsThatCannotHoldAPayload) {
    VideoBench bench;
    bench.SelectFrame(1);
    struct Case {
        const char* what;
        std::vector<ULONG> offsets;
        ULONG total;
        std::vector<ULONG> lengths;   // expected Length per packet
        std::vector<USBD_STATUS> statuses;  // expected Status per packet
    } cases[] = {
        {"rooms of 0 and 1 byte", {0, 0, 1, 2}, 3074, {0, 0, 0, 3072}, {0, 0, 0, 0}},
        // Packet 1's room wraps below zero; packet 2 would share packet 0's
        // bytes, so it is an error too and the payloads stay apart.
        {"offsets that go backwards", {0, 3072, 1000, 6144}, 9216, {3072, 0, 0, 3072},
         {0, USBD_STATUS_ERROR, USBD_STATUS_ERROR, 0}},
        {"packet inside an earlier one", {0, 8, 2, 10}, 10, {8, 0, 0, 0},
         {0, USBD_STATUS_ERROR, USBD_STATUS_ERROR, 0}},
        {"packet reaching past the buffer", {0, 9000, 13000}, 12288, {9000, 0, 0},
         {0, USBD_STATUS_ERROR, USBD_STATUS_ERROR}},
    };
    for (const Case& c : cases) {
        bench.ext()->FrameOffset = 0;
        auto& t = bench.Park((ULONG)c.offsets.size(), 1);
        t.data.assign(c.total + 16, 0xEE);
        t.iso().TransferBuffer = t.data.data();
        t.iso().TransferBufferLength = c.total;
        for (size_t i = 0; i < c.offsets.size(); ++i) t.iso().IsoPacket[i].Offset = c.offsets[i];
        auto frame = media::Pattern(kFrame1);
        EXPECT_EQ(bench.Write(frame), STATUS_SUCCESS) << c.what;
        ASSERT_TRUE(t.completed()) << c.what;
        for (size_t i = 0; i < c.offsets.size(); ++i) {
            EXPECT_EQ(t.iso().IsoPacket[i].Length, c.lengths[i]) << c.what << " packet " << i;
            EXPECT_EQ(t.iso().IsoPacket[i].Status, c.statuses[i]) << c.what << " packet " << i;
        }
        // Nothing written beyond the transfer buffer, nor counted beyond it.
        for (size_t i = c.total; i < t.data.size(); ++i) ASSERT_EQ(t.data[i], 0xEE) << c.what;
        EXPECT_LE(t.iso().TransferBufferLength, c.total) << c.what;
    }
}

TEST(CameraVideo, WriteOfTheWrongSizeFails) {
    VideoBench bench;  // frame index 3: 691,200 bytes
    auto& t = bench.Park(8, 3072);
    bench.ext()->FrameOffset = 1234;
    for (size_t size : {614400u, 691199u, 691201u, 0u}) {
        std::vector<uint8_t> frame(size ? size : 4);
        hk::UserRange range(frame.data(), frame.size(), false);
        media::AppRequest request;
        bench.Control(IOCTL_BULKUSB_WRITE_YUV2, frame.data(), (ULONG)size, nullptr, 0, request);
        EXPECT_EQ(request.status, STATUS_INSUFFICIENT_RESOURCES) << size;
        EXPECT_EQ(bench.ext()->FrameOffset, 0u);
        EXPECT_FALSE(t.completed());
    }
    std::vector<uint8_t> right(691200);
    EXPECT_EQ(bench.Write(right), STATUS_SUCCESS);
    EXPECT_TRUE(t.completed());
}

TEST(CameraVideo, FramesWithoutAParkedTransferAreDropped) {
    VideoBench bench;
    bench.SelectFrame(1);
    bench.ext()->FrameOffset = 3070;
    bench.ext()->FrameIdBit = 1;
    auto frame = media::Pattern(kFrame1);
    ULONG_PTR information = 99;
    EXPECT_EQ(bench.Write(frame, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(bench.ext()->FrameOffset, 3070u);
    EXPECT_EQ(bench.ext()->FrameIdBit, 1);
}

TEST(CameraVideo, UnreadableFrameLeavesTheTransferParked) {
    VideoBench bench;
    bench.SelectFrame(1);
    auto& t = bench.Park(8, 3072);
    std::vector<uint8_t> frame(kFrame1 + 8);
    struct Case {
        const char* what;
        const uint8_t* address;
        bool registered;
    } cases[] = {
        {"not caller memory", frame.data(), false},
        {"unaligned", frame.data() + 1, true},
    };
    for (const Case& c : cases) {
        std::unique_ptr<hk::UserRange> range;
        if (c.registered) range = std::make_unique<hk::UserRange>(frame.data(), frame.size(), false);
        media::AppRequest request;
        bench.Control(IOCTL_BULKUSB_WRITE_YUV2, c.address, kFrame1, nullptr, 0, request);
        EXPECT_EQ(request.status, STATUS_UNSUCCESSFUL) << c.what;
        EXPECT_EQ(request.information, 0u) << c.what;
        EXPECT_FALSE(t.completed()) << c.what;
        EXPECT_FALSE(IsListEmpty(&bench.ext()->CameraIrpList)) << c.what << ": still parked";
    }
    EXPECT_NE(bench.machine().DebugText().find("Kelo\xA3\xBA" "Catch the exception\n"), std::string::npos);
    // A readable frame then fills it.
    auto good = media::Pattern(kFrame1);
    EXPECT_EQ(bench.Write(good), STATUS_SUCCESS);
    EXPECT_TRUE(t.completed());
}

TEST(CameraVideo, TransferWithoutABufferIsCompletedEmpty) {
    VideoBench bench;
    bench.SelectFrame(1);
    auto& bare = bench.Park(4, 3072);
    bare.iso().TransferBuffer = nullptr;
    auto& next = bench.Park(4, 3072);
    auto frame = media::Pattern(kFrame1);
    EXPECT_EQ(bench.Write(frame), STATUS_SUCCESS);
    EXPECT_EQ(bare.completions.load(), 1);
    EXPECT_EQ(bare.iso().TransferBufferLength, 0u);
    EXPECT_EQ(bare.iso().IsoPacket[0].Length, 0xABABu);
    EXPECT_EQ(next.completions.load(), 1);
    EXPECT_EQ(bench.ext()->FrameOffset, 4u * 3070) << "the frame went to the next transfer";
}

TEST(CameraVideo, VideoIndexRead) {
    struct Case {
        const char* what;
        int set_frame;  // -1: none
        ULONG length;
        bool registered;
        size_t offset;
        NTSTATUS status;
        ULONG_PTR information;
        uint8_t byte;
    } cases[] = {
        {"before the host chose", -1, 4, true, 0, STATUS_SUCCESS, 1, 2},
        {"after SET_CUR frame 1", 1, 4, true, 0, STATUS_SUCCESS, 1, 0},
        {"after SET_CUR frame 5", 5, 1, true, 0, STATUS_SUCCESS, 1, 4},
        {"empty output", -1, 0, true, 0, STATUS_BUFFER_TOO_SMALL, 0, 0xEE},
        {"not caller memory", -1, 4, false, 0, STATUS_UNSUCCESSFUL, 0, 0xEE},
        {"unaligned", -1, 3, true, 1, STATUS_UNSUCCESSFUL, 0, 0xEE},
    };
    for (const Case& c : cases) {
        VideoBench bench;
        if (c.set_frame >= 0) bench.SelectFrame((UCHAR)c.set_frame);
        alignas(8) uint8_t out[8];
        std::fill(std::begin(out), std::end(out), 0xEE);
        std::unique_ptr<hk::UserRange> range;
        if (c.registered) range = std::make_unique<hk::UserRange>(out, 4);
        media::AppRequest request;
        bench.Control(IOCTL_BULKUSB_READ_VIDEOINDEX, nullptr, 0, out + c.offset, c.length, request);
        EXPECT_EQ(request.status, c.status) << c.what;
        EXPECT_EQ(request.information, c.information) << c.what;
        EXPECT_EQ(out[c.offset], c.byte) << c.what;
        for (size_t i = c.offset + 1; i < 8; ++i) EXPECT_EQ(out[i], 0xEE) << c.what;
    }
}
