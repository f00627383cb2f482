// The microphone path: when transfers are parked, how a PCM write fills the
// oldest one, and what a bad caller buffer leaves behind.
#include <gtest/gtest.h>

#include <cstring>

#include "support/media_fixture.h"

using media::Bench;
using media::UsbRequest;

namespace {

struct MicBench : Bench {
    explicit MicBench(hk::Machine::Options o = DefaultOptions()) : Bench(o) {}
    std::unique_ptr<UsbRequest> Transfer(ULONG packets = 10, ULONG size = 192) {
        auto t = media::IsoTransfer(0x81, packets, size);
        Submit(audio(), *t);
        return t;
    }
    // A PCM write from the application; returns its status.
    NTSTATUS Write(const uint8_t* pcm, ULONG length, ULONG_PTR* information = nullptr) {
        media::AppRequest request;
        Control(IOCTL_BULKUSB_WRITE_PCM, pcm, length, nullptr, 0, request);
        EXPECT_EQ(request.completions.load(), 1);
        if (information) *information = request.information;
        return request.status;
    }
    NTSTATUS Write(std::vector<uint8_t>& pcm, ULONG_PTR* information = nullptr) {
        hk::UserRange range(pcm.data(), pcm.size(), false);
        return Write(pcm.data(), (ULONG)pcm.size(), information);
    }
};

}  // namespace

// The window is measured on the tick count, so it reads the same whether
// timer expirations are rounded to the tick or not; both clocks are run.
TEST(AudioMic, TransfersAreParkedOnlyWhileTheLastWriteIsRecent) {
    struct Case {
        const char* clock;
        ULONG increment;  // 100 ns per tick
        LONGLONG after_100ns;
        bool parked;
    } cases[] = {
        // Windows' 15.625 ms tick: the age moves in 15 or 16 ms steps.
        {"15.625 ms tick", 156250, 300000, true},   // 30 ms real, one tick: age 15
        {"15.625 ms tick", 156250, 312499, true},   // still one tick
        {"15.625 ms tick", 156250, 312500, false},  // two ticks: age 31
        {"15.625 ms tick", 156250, 400000, false},
        {"1 ms tick", 10000, 300000, true},         // age 30
        {"1 ms tick", 10000, 309999, true},
        {"1 ms tick", 10000, 310000, false},        // age 31
    };
    for (bool rounding : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(rounding ? "expirations rounded to the tick" : "exact expirations");
            hk::Machine::Options options = Bench::DefaultOptions();
            options.time_increment = c.increment;
            options.timer_resolution_rounding = rounding;
            MicBench bench(options);
            std::vector<uint8_t> none(4);
            ULONG_PTR information = 99;
            EXPECT_EQ(bench.Write(none, &information), STATUS_SUCCESS);  // stamps the time, nothing waiting
            EXPECT_EQ(information, 0u);
            bench.machine().Advance100ns(c.after_100ns);
            auto t = bench.Transfer();
            EXPECT_EQ(t->completed(), !c.parked) << c.clock << " " << c.after_100ns;
            if (!c.parked) {
                EXPECT_EQ(t->status, STATUS_SUCCESS);
                EXPECT_EQ(t->iso().TransferBufferLength, 1920u) << "handed back as it came";
                EXPECT_EQ(t->iso().IsoPacket[0].Length, 0xABABu);
            }
        }
    }
}

TEST(AudioMic, WriteFillsTheOldestTransfer) {
    struct Case {
        ULONG write;
        ULONG_PTR information;
        ULONG transfer_length;
        ULONG counter_step;
        std::vector<ULONG> lengths;  // per packet; 0xABAB: as the host sent it
    } cases[] = {
        {1920, 1920, 1920, 480, {192, 192, 192, 192, 192, 192, 192, 192, 192, 192}},
        {1000, 1000, 1000, 250, {192, 192, 192, 192, 192, 40, 0xABAB, 0xABAB, 0xABAB, 0xABAB}},
        {1922, 1922, 1920, 480, {192, 192, 192, 192, 192, 192, 192, 192, 192, 192}},
        {0, 0, 0, 0, {0, 0xABAB, 0xABAB, 0xABAB, 0xABAB, 0xABAB, 0xABAB, 0xABAB, 0xABAB, 0xABAB}},
        {6, 6, 6, 1, {6, 0xABAB, 0xABAB, 0xABAB, 0xABAB, 0xABAB, 0xABAB, 0xABAB, 0xABAB, 0xABAB}},
    };
    for (const Case& c : cases) {
        MicBench bench;
        bench.ext()->IsoFrameCounter = 7000;
        auto t = bench.Transfer();
        ASSERT_FALSE(t->completed());
        auto pcm = media::Pattern(c.write ? c.write : 4);
        pcm.resize(std::max<ULONG>(c.write, 4));
        ULONG_PTR information = 0;
        hk::UserRange range(pcm.data(), pcm.size(), false);
        EXPECT_EQ(bench.Write(pcm.data(), c.write, &information), STATUS_SUCCESS) << c.write;
        EXPECT_EQ(information, c.information) << c.write;
        ASSERT_EQ(t->completions.load(), 1) << c.write;
        EXPECT_EQ(t->status, STATUS_SUCCESS);
        EXPECT_EQ(t->iso().TransferBufferLength, c.transfer_length) << c.write;
        EXPECT_EQ(t->iso().StartFrame, 7000u);
        EXPECT_EQ(t->iso().ErrorCount, 0u);
        EXPECT_EQ(bench.ext()->IsoFrameCounter, 7000u + c.counter_step) << c.write;
        for (ULONG i = 0; i < 10; ++i) {
            EXPECT_EQ(t->iso().IsoPacket[i].Length, c.lengths[i]) << c.write << " packet " << i;
            if (c.lengths[i] != 0xABAB) {
                EXPECT_EQ(t->iso().IsoPacket[i].Status, 0u);
            }
        }
        EXPECT_TRUE(std::equal(pcm.begin(), pcm.begin() + c.transfer_length, t->data.begin())) << c.write;
    }
}

TEST(AudioMic, WritesTakeTransfersInOrderAndDropWhenNoneWaits) {
    MicBench bench;
    auto first = bench.Transfer();
    auto second = bench.Transfer();
    auto a = media::Pattern(1920, 1), b = media::Pattern(1920, 2), c = media::Pattern(1920, 3);
    EXPECT_EQ(bench.Write(a), STATUS_SUCCESS);
    EXPECT_TRUE(first->completed());
    EXPECT_FALSE(second->completed());
    EXPECT_EQ(bench.Write(b), STATUS_SUCCESS);
    EXPECT_TRUE(second->completed());
    EXPECT_EQ(std::vector<uint8_t>(second->data.begin(), second->data.begin() + 1920), b);
    bench.machine().AdvanceMs(20);
    ULONG_PTR information = 1;
    EXPECT_EQ(bench.Write(c, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(bench.ext()->LastPcmWriteTime, QueryTickMilliseconds()) << "stamped though nothing waited";
}

TEST(AudioMic, UnreadableBufferLeavesTheTransferFirstInLine) {
    struct Case {
        const char* what;
        bool registered;
        size_t offset;
    } cases[] = {
        {"not caller memory", false, 0},
        {"unaligned", true, 2},
    };
    for (const Case& c : cases) {
        MicBench bench;
        auto first = bench.Transfer();
        auto second = bench.Transfer();
        std::vector<uint8_t> pcm(1924);
        std::unique_ptr<hk::UserRange> range;
        if (c.registered) range = std::make_unique<hk::UserRange>(pcm.data(), pcm.size(), false);
        ULONG_PTR information = 5;
        EXPECT_EQ(bench.Write(pcm.data() + c.offset, 1920, &information), STATUS_UNSUCCESSFUL) << c.what;
        EXPECT_EQ(information, 0u) << c.what;
        EXPECT_FALSE(first->completed()) << c.what;
        range.reset();
        // The next good write fills the same, oldest transfer.
        auto good = media::Pattern(1920);
        EXPECT_EQ(bench.Write(good), STATUS_SUCCESS);
        EXPECT_EQ(first->completions.load(), 1) << c.what;
        EXPECT_FALSE(second->completed()) << c.what;
    }
}

TEST(AudioMic, TransferWithoutABufferIsCompletedWithoutACopy) {
    MicBench bench;
    bench.ext()->IsoFrameCounter = 10;
    auto t = bench.Transfer();
    t->iso().TransferBuffer = nullptr;
    auto pcm = media::Pattern(1920);
    EXPECT_EQ(bench.Write(pcm), STATUS_SUCCESS);
    EXPECT_EQ(t->completions.load(), 1);
    EXPECT_EQ(t->iso().TransferBufferLength, 0u);
    EXPECT_EQ(t->iso().IsoPacket[0].Length, 0xABABu);
    EXPECT_EQ(bench.ext()->IsoFrameCounter, 10u);
}

TEST(AudioMic, CancelledTransferLeavesTheQueue) {
    MicBench bench;
    auto a = bench.Transfer();
    auto b = bench.Transfer();
    IoCancelIrp(a->irp);
    EXPECT_EQ(a->completions.load(), 1);
    EXPECT_EQ(a->status, STATUS_CANCELLED);
    EXPECT_EQ(a->urb()->UrbHeader.Status, USBD_STATUS_ERROR);
    auto pcm = media::Pattern(1920);
    EXPECT_EQ(bench.Write(pcm), STATUS_SUCCESS);
    EXPECT_EQ(a->completions.load(), 1);
    EXPECT_EQ(b->completions.load(), 1);
    EXPECT_EQ(b->status, STATUS_SUCCESS);
}
