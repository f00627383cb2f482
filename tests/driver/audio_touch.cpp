// The touch write into the camera's transfers and the raw-data read.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "support/media_fixture.h"

using media::Bench;

namespace {

PFRAME_RECORD NewFrame(USHORT bytes, UCHAR flags, uint8_t fill) {
    auto* f = (PFRAME_RECORD)ExAllocatePoolWithTag(NonPagedPool, VHUB_FRAME_RECORD_SIZE(bytes), VHUB_POOL_TAG);
    f->Flags = flags;
    f->ByteCount = bytes;
    std::memset(f->Data, fill, bytes);
    return f;
}

void Pend(Bench& bench, PFRAME_RECORD f) {
    InsertTailList(&bench.ext()->PendingFrameList, &f->Link);
    ++bench.ext()->PendingFrameCount;
}

}  // namespace

TEST(Touch, WriteCopiesIntoTheNextCameraTransfer) {
    struct Case {
        ULONG input;
        ULONG copied;
    } cases[] = {{10, 10}, {5000, 3072}, {0, 0}};
    for (const Case& c : cases) {
        Bench bench;
        auto t = media::IsoTransfer(0x82, 1, 3072);
        t->data.resize(3072 + 64, 0xEE);
        t->iso().TransferBuffer = t->data.data();
        ASSERT_EQ(bench.Submit(bench.camera(), *t), STATUS_PENDING);
        auto input = media::Pattern(c.input ? c.input : 1);
        EXPECT_EQ(bench.Control(IOCTL_BULKUSB_WRITE_TOUCH, input.data(), c.input), STATUS_SUCCESS);
        ASSERT_EQ(t->completions.load(), 1) << c.input;
        EXPECT_EQ(t->status, STATUS_SUCCESS);
        EXPECT_EQ(t->iso().TransferBufferLength, 3072u) << "unchanged";
        EXPECT_EQ(t->iso().IsoPacket[0].Length, 0xABABu) << "packets untouched";
        EXPECT_TRUE(std::equal(input.begin(), input.begin() + c.copied, t->data.begin())) << c.input;
        for (size_t i = c.copied; i < t->data.size(); ++i) ASSERT_EQ(t->data[i], 0xEE) << c.input << " " << i;
    }
}

TEST(Touch, WriteWithNothingParkedSucceeds) {
    Bench bench;
    uint8_t input[10] = {};
    EXPECT_EQ(bench.Control(IOCTL_BULKUSB_WRITE_TOUCH, input, sizeof input), STATUS_SUCCESS);
}

TEST(RawData, ReadCompletesAfter500VirtualMillisecondsWithNoData) {
    Bench bench;
    alignas(4) uint8_t out[64];
    hk::UserRange range(out, sizeof out);
    media::AppRequest request;
    std::thread reader([&] { bench.Control(IOCTL_BULKUSB_READ_RAW_DATA, nullptr, 0, out, sizeof out, request); });
    ASSERT_TRUE(bench.machine().WaitForBlockedThreads(1));
    bench.machine().AdvanceMs(499);
    EXPECT_EQ(request.completions.load(), 0);
    bench.machine().AdvanceMs(1);
    reader.join();
    EXPECT_EQ(request.completions.load(), 1);
    EXPECT_EQ(request.status, STATUS_SUCCESS);
    EXPECT_EQ(request.information, 0u);
}

TEST(RawData, DrainStopsAtTheLastFlagAndNeverWritesPastTheBuffer) {
    struct Case {
        const char* what;
        std::vector<std::pair<USHORT, UCHAR>> frames;  // bytes, flags
        ULONG buffer;
        ULONG_PTR information;
        ULONG left;      // frames still pending
        ULONG recycled;  // frames on the free list
    } cases[] = {
        {"stops after the flagged frame", {{100, 0}, {200, VHUB_FRAME_LAST}, {50, 0}}, 1024, 300, 1, 2},
        {"drains all", {{100, 0}, {100, 0}}, 1024, 200, 0, 2},
        {"frame cut at the buffer's end", {{100, 0}, {200, 0}, {10, 0}}, 250, 250, 1, 2},
        {"past 17800 bytes", {{9000, 0}, {9000, 0}, {10, 0}}, 20000, 18000, 1, 2},
    };
    for (const Case& c : cases) {
        Bench bench;
        uint8_t fill = 1;
        for (auto [bytes, flags] : c.frames) Pend(bench, NewFrame(bytes, flags, fill++));
        KeSetEvent(&bench.ext()->RawDataEvent, IO_NO_INCREMENT, FALSE);
        std::vector<uint8_t> out(c.buffer + 16, 0xEE);
        hk::UserRange range(out.data(), c.buffer);
        media::AppRequest request;
        bench.Control(IOCTL_BULKUSB_READ_RAW_DATA, nullptr, 0, out.data(), c.buffer, request);
        EXPECT_EQ(request.status, STATUS_SUCCESS) << c.what;
        EXPECT_EQ(request.information, c.information) << c.what;
        for (size_t i = c.information; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << c.what;
        EXPECT_EQ(bench.ext()->PendingFrameCount, c.left) << c.what;
        EXPECT_EQ(bench.ext()->FreeFrameCount, c.recycled) << c.what;
    }
}

TEST(RawData, UnwritableBufferFails) {
    Bench bench;
    Pend(bench, NewFrame(10, 0, 1));
    KeSetEvent(&bench.ext()->RawDataEvent, IO_NO_INCREMENT, FALSE);
    uint8_t out[16];
    media::AppRequest request;
    bench.Control(IOCTL_BULKUSB_READ_RAW_DATA, nullptr, 0, out, sizeof out, request);
    EXPECT_EQ(request.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(request.information, 0u);
    EXPECT_NE(bench.machine().DebugText().find("Catch the exception\n"), std::string::npos);
}

TEST(FrameQueues, RecyleKeepsAtMost51AndTakeOnEmptyIsNull) {
    Bench bench;
    EXPECT_EQ(GetPendingFrame(bench.ext()), nullptr);
    EXPECT_EQ(bench.ext()->PendingFrameCount, 0u);
    for (int i = 0; i < 50; ++i) RecyleFrame(bench.ext(), NewFrame(1, 0, 0));
    EXPECT_EQ(bench.ext()->FreeFrameCount, 50u);
    RecyleFrame(bench.ext(), NewFrame(1, 0, 0));
    EXPECT_EQ(bench.ext()->FreeFrameCount, 51u);
    size_t before = bench.machine().PoolStats(VHUB_POOL_TAG).blocks_in_use;
    RecyleFrame(bench.ext(), NewFrame(1, 0, 0));
    EXPECT_EQ(bench.ext()->FreeFrameCount, 51u);
    EXPECT_EQ(bench.machine().PoolStats(VHUB_POOL_TAG).blocks_in_use, before) << "the 52nd is freed";

    Pend(bench, NewFrame(1, 0, 1));
    Pend(bench, NewFrame(1, 0, 2));
    PFRAME_RECORD first = GetPendingFrame(bench.ext());
    EXPECT_EQ(first->Data[0], 1);
    EXPECT_EQ(bench.ext()->PendingFrameCount, 1u);
    ExFreePool(first);
}
