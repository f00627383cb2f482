// The speaker path: the pacing thread on the virtual clock, the copy out of
// a speaker transfer, and the application's speaker read.
#include <gtest/gtest.h>

#include <cstring>

#include "support/media_fixture.h"

using media::Bench;
using media::UsbRequest;

namespace {

hk::Machine::Options ClockOptions(bool rounding) {
    hk::Machine::Options options = Bench::DefaultOptions();
    options.timer_resolution_rounding = rounding;
    return options;
}

struct SpeakerBench : Bench {
    explicit SpeakerBench(bool rounding = false) : Bench(ClockOptions(rounding)) {}
    std::vector<std::unique_ptr<UsbRequest>> queued;
    uint32_t next_seq = 0;

    // Queues a speaker transfer whose data starts with its sequence number.
    UsbRequest& Queue(ULONG packets = 10, ULONG size = 192) {
        queued.push_back(media::IsoTransfer(0x02, packets, size));
        UsbRequest& t = *queued.back();
        uint32_t seq = next_seq++;
        std::memcpy(t.data.data(), &seq, sizeof seq);
        EXPECT_EQ(Submit(audio(), t), STATUS_PENDING);
        return t;
    }
    size_t Completed() const {
        size_t n = 0;
        for (auto& t : queued) n += t->completions.load();
        return n;
    }
    // Advances virtual time one millisecond at a time.
    void Run(LONGLONG ms) {
        for (LONGLONG i = 0; i < ms; ++i) machine().AdvanceMs(1);
    }
    // Advances to the pacing thread's next wake-up (the only deadline on
    // this machine), so that exactly one pass runs; returns its time.
    LONGLONG Pass() {
        LONGLONG due = machine().NextDeadline();
        EXPECT_GE(due, machine().Elapsed100ns()) << "the pacing thread is not sleeping";
        machine().Advance100ns(due - machine().Elapsed100ns());
        return due;
    }
    void AddRecord(ULONG length, uint8_t fill) {
        auto* r = (PSPEAKER_PCM_RECORD)ExAllocatePoolWithTag(NonPagedPool, sizeof(SPEAKER_PCM_RECORD),
                                                             VHUB_PCM_POOL_TAG);
        std::memset(r->Data, fill, length);
        r->Length = length;
        InsertTailList(&ext()->SpeakerPcmList, &r->Link);
        ++ext()->SpeakerPcmCount;
    }
    std::vector<uint32_t> RecordSeqs() {
        std::vector<uint32_t> seqs;
        for (PLIST_ENTRY l = ext()->SpeakerPcmList.Flink; l != &ext()->SpeakerPcmList; l = l->Flink) {
            uint32_t s;
            std::memcpy(&s, CONTAINING_RECORD(l, SPEAKER_PCM_RECORD, Link)->Data, 4);
            seqs.push_back(s);
        }
        return seqs;
    }
};

size_t ThreadProcThreads(hk::Machine& m, bool running_only) {
    size_t n = 0;
    for (const hk::ThreadInfo& t : m.Threads())
        if (t.start_routine == (void*)&ThreadProc && (!running_only || !t.finished)) ++n;
    return n;
}

}  // namespace

// The pacing tests run on two clocks: every deadline met exactly, and
// timer expirations rounded to Windows' default 15.625 ms tick. On the
// rounded clock the 9 ms sleep lasts a whole tick (64 passes a second) and
// the system time the window is measured with moves in ticks; the catch-up
// rule of two transfers a pass is what still makes about 100 a second.
struct SpeakerClock {
    const char* name;
    bool rounding;
    LONGLONG pass_period;      // 100 ns between two passes
    size_t first_window;       // transfers completed in the first window
    size_t passes_at_two;      // after a 400 ms stall, passes that take two each
    int window_turns_at_pass;  // of those 40 passes, the one that opens a new window; -1: none
    size_t most_records;       // records waiting at most with no reader
};

// Exact clock: passes every 9 ms; the 96th transfer's turn (950 ms) comes
// before the window's end, so the first window holds all 96; after the
// stall two a pass catch up with the window's age at pass 37.
// Rounded clock: passes every 15.625 ms; the window's age reads 937.5 ms
// and then 953.125 ms, already past the window, so the first window holds
// 94; after the stall two a pass never catch up (128 a second against 100)
// before the window turns over at its 35th pass, whose new window takes two
// again; trims every fourth pass instead of every seventh.
const SpeakerClock kSpeakerClocks[] = {
    {"Exact", false, 90000, 96, 37, -1, 4 + 2 * 7},
    {"TickRounded", true, 156250, 94, 36, 35, 4 + 2 * 4},
};

void PrintTo(const SpeakerClock& c, std::ostream* os) { *os << c.name; }

class AudioSpeakerPacing : public ::testing::TestWithParam<SpeakerClock> {};

INSTANTIATE_TEST_SUITE_P(Clocks, AudioSpeakerPacing, ::testing::ValuesIn(kSpeakerClocks),
                         [](const ::testing::TestParamInfo<SpeakerClock>& info) {
                             return std::string(info.param.name);
                         });

TEST_P(AudioSpeakerPacing, AboutOneHundredTransfersPerSecondWithASteadySupply) {
    SpeakerBench bench(GetParam().rounding);
    for (int i = 0; i < 1100; ++i) bench.Queue();
    bench.StartPacing();
    bench.machine().Settle();
    size_t start = bench.Completed();
    bench.Run(10000);
    double per_second = (bench.Completed() - start) / 10.0;
    EXPECT_GE(per_second, 95.0);
    EXPECT_LE(per_second, 102.0);
    EXPECT_EQ(bench.ext()->SpeakerIrpCount, 1100 - bench.Completed());
    bench.StopPacing();
}

TEST_P(AudioSpeakerPacing, AtMostNinetySixPerWindowAndThe97thWaits) {
    const SpeakerClock& c = GetParam();
    SpeakerBench bench(c.rounding);
    for (int i = 0; i < 300; ++i) bench.Queue();
    bench.StartPacing();
    bench.machine().Settle();
    // The first pass opens a window.
    LONGLONG opened = bench.ext()->PacingWindowStart;
    ASSERT_NE(opened, 0);
    bench.Run(950);
    EXPECT_EQ(bench.Completed(), c.first_window) << "the window's limit";
    EXPECT_LE(bench.Completed(), 96u);
    EXPECT_EQ(bench.ext()->PacingWindowStart, opened) << "still the first window";
    // The next window opens on the first pass more than 0.95 s after the
    // first, and only then does the next transfer complete.
    while (bench.ext()->PacingWindowStart == opened) {
        EXPECT_EQ(bench.Completed(), c.first_window);
        bench.Run(1);
    }
    EXPECT_GT(bench.ext()->PacingWindowStart - opened, 9500000);
    EXPECT_GT(bench.Completed(), c.first_window);
    EXPECT_LE(bench.Completed(), c.first_window + 2);
    bench.StopPacing();
}

TEST_P(AudioSpeakerPacing, CatchesUpAtTwoPerPassAfterAStall) {
    const SpeakerClock& c = GetParam();
    SpeakerBench bench(c.rounding);
    bench.StartPacing();
    bench.machine().Settle();
    LONGLONG opened = bench.ext()->PacingWindowStart;
    bench.Run(400);  // a window 400 ms old with nothing done in it
    for (int i = 0; i < 200; ++i) bench.Queue();
    std::vector<size_t> per_pass;
    int window_turned = -1;
    size_t before = bench.Completed();
    for (int pass = 0; pass < 40; ++pass) {
        LONGLONG at = bench.Pass();
        per_pass.push_back(bench.Completed() - before);
        before = bench.Completed();
        EXPECT_EQ(bench.machine().NextDeadline() - at, c.pass_period) << "pass " << pass;
        if (window_turned < 0 && bench.ext()->PacingWindowStart != opened) window_turned = pass;
    }
    // Two per pass until the count catches up with the window's age, then
    // the pace of one per 10 ms (never more than two a pass).
    for (size_t pass = 0; pass < c.passes_at_two; ++pass) EXPECT_EQ(per_pass[pass], 2u) << pass;
    EXPECT_EQ(per_pass[c.passes_at_two], 0u) << "caught up";
    for (size_t n : per_pass) EXPECT_LE(n, 2u);
    size_t tail = 0;
    for (int pass = 34; pass < 40; ++pass) tail += per_pass[pass];
    EXPECT_LT(tail, 12u) << "back to the real-time pace";
    EXPECT_EQ(window_turned, c.window_turns_at_pass);
    bench.StopPacing();
}

TEST_P(AudioSpeakerPacing, TrimKeepsAtMostFourRecordsWithNoReader) {
    const SpeakerClock& c = GetParam();
    SpeakerBench bench(c.rounding);
    for (int i = 0; i < 150; ++i) bench.Queue();
    bench.StartPacing();
    bench.machine().Settle();
    size_t most = 0;
    for (int ms = 0; ms < 1000; ++ms) {
        bench.Run(1);
        most = std::max<size_t>(most, bench.ext()->SpeakerPcmCount);
    }
    // Between trims (every 50+ ms on the 15.625 ms tick count) at most four
    // plus the records of the passes since the last trim.
    EXPECT_LE(most, c.most_records);
    EXPECT_LE(most, 4u + 2 * 7);
    EXPECT_GT(bench.Completed(), 90u);
    // The records left are the newest, in order (the thread is asleep now).
    auto seqs = bench.RecordSeqs();
    ASSERT_FALSE(seqs.empty());
    EXPECT_EQ(seqs.back(), bench.Completed() - 1);
    for (size_t i = 1; i < seqs.size(); ++i) EXPECT_EQ(seqs[i], seqs[i - 1] + 1);
    bench.StopPacing();
}

TEST(AudioSpeaker, RecordLengthsFromTheTransfers) {
    struct Case {
        ULONG packets, size;
        ULONG record;
        ULONG transfer_length;
        ULONG last_filled_packet;  // packets after it keep what the host set
    } cases[] = {
        {10, 192, 1920, 1920, 9},
        {10, 240, 2048, 2048, 8},  // 2400 bytes: cut at 2048, packet 8 takes 128
    };
    for (const Case& c : cases) {
        SpeakerBench bench;
        UsbRequest& t = bench.Queue(c.packets, c.size);
        auto pattern = media::Pattern(c.packets * c.size);
        std::copy(pattern.begin(), pattern.end(), t.data.begin());
        PIRP irp = GetSpeakerPendingIrp(bench.ext());
        ASSERT_EQ(irp, t.irp);
        std::vector<uint8_t> dest(4096, 0xEE);
        ULONG count = 0;
        DoPcmIrpReadBurffer(irp, dest.data(), VHUB_PCM_RECORD_FILL, &count);
        EXPECT_EQ(count, c.record);
        EXPECT_TRUE(std::equal(pattern.begin(), pattern.begin() + count, dest.begin()));
        EXPECT_EQ(dest[count], 0xEE);
        EXPECT_EQ(t.iso().TransferBufferLength, c.transfer_length);
        for (ULONG i = 0; i < c.packets; ++i) {
            if (i <= c.last_filled_packet) {
                EXPECT_EQ(t.iso().IsoPacket[i].Status, 0u);
            } else {
                EXPECT_EQ(t.iso().IsoPacket[i].Length, 0xABABu) << i;
                EXPECT_EQ(t.iso().IsoPacket[i].Status, 0x12345678u) << i;
            }
        }
        if (c.record == 2048) {
            EXPECT_EQ(t.iso().IsoPacket[8].Length, 128u);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// Packets whose offsets go back into an earlier packet's bytes: each byte is
// read once, and the transfer never reports more than its buffer holds.
TEST(AudioSpeaker, PacketsSharingBytesAreReadOnce) {
    SpeakerBench bench;
    UsbRequest& t = bench.Queue(4, 4);
    const ULONG offsets[] = {0, 8, 2, 10};
    for (ULONG i = 0; i < 4; ++i) t.iso().IsoPacket[i].Offset = offsets[i];
    t.iso().TransferBufferLength = 10;
    auto pattern = media::Pattern(16);
    std::copy(pattern.begin(), pattern.end(), t.data.begin());
    PIRP irp = GetSpeakerPendingIrp(bench.ext());
    ASSERT_EQ(irp, t.irp);
    std::vector<uint8_t> dest(64, 0xEE);
    ULONG count = 0;
    DoPcmIrpReadBurffer(irp, dest.data(), VHUB_PCM_RECORD_FILL, &count);
    EXPECT_EQ(count, 8u);
    EXPECT_TRUE(std::equal(pattern.begin(), pattern.begin() + 8, dest.begin()));
    EXPECT_EQ(t.iso().TransferBufferLength, 8u);
    const USBD_STATUS statuses[] = {0, USBD_STATUS_ERROR, USBD_STATUS_ERROR, 0};
    for (ULONG i = 0; i < 4; ++i) EXPECT_EQ(t.iso().IsoPacket[i].Status, statuses[i]) << i;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_P(AudioSpeakerPacing, TransferWithoutDataMakesNoRecordButIsCompleted) {
    SpeakerBench bench(GetParam().rounding);
    UsbRequest& bare = bench.Queue();
    bare.iso().TransferBuffer = nullptr;
    UsbRequest& good = bench.Queue();
    bench.StartPacing();
    bench.machine().Settle();
    bench.Run(30);
    EXPECT_EQ(bare.completions.load(), 1);
    EXPECT_EQ(bare.status, STATUS_SUCCESS);
    EXPECT_EQ(good.completions.load(), 1);
    EXPECT_EQ(bench.ext()->SpeakerPcmCount, 1u);
    EXPECT_NE(bench.machine().DebugText().find("DoPcmIrpReadBurffer --- nodata\n"), std::string::npos);
    bench.StopPacing();
}

TEST_P(AudioSpeakerPacing, RecordAllocationFailureStillCompletesTheTransfer) {
    SpeakerBench bench(GetParam().rounding);
    UsbRequest& t = bench.Queue();
    bench.machine().FailTag(VHUB_PCM_POOL_TAG);
    bench.StartPacing();
    bench.machine().Settle();
    bench.Run(10);
    bench.machine().ClearPoolFaults();
    EXPECT_EQ(t.completions.load(), 1);
    EXPECT_EQ(t.iso().IsoPacket[0].Length, 0xABABu) << "not copied";
    EXPECT_EQ(bench.ext()->SpeakerPcmCount, 0u);
    bench.StopPacing();
}

TEST(AudioSpeaker, SpeakerRead) {
    struct Case {
        const char* what;
        std::vector<ULONG> records;
        ULONG buffer;
        ULONG_PTR information;
        std::vector<ULONG> left;  // record lengths still waiting
    } cases[] = {
        {"two of three", {1920, 1920, 1920}, 3840, 3840, {1920}},
        {"all", {1920, 1000}, 4096, 2920, {}},
        {"record split at the end of the buffer", {1920, 1920}, 3000, 3000, {840}},
        {"buffer smaller than one record", {1920}, 1000, 1000, {920}},
        {"nothing waiting", {}, 4096, 0, {}},
        {"empty buffer", {1920}, 0, 0, {1920}},
    };
    for (const Case& c : cases) {
        SpeakerBench bench;
        uint8_t fill = 1;
        for (ULONG r : c.records) bench.AddRecord(r, fill++);
        std::vector<uint8_t> out(c.buffer + 16, 0xEE);
        hk::UserRange range(out.data(), c.buffer ? c.buffer : 4);
        media::AppRequest request;
        bench.Control(IOCTL_BULKUSB_Read_PCM, nullptr, 0, out.data(), c.buffer, request);
        EXPECT_EQ(request.status, STATUS_SUCCESS) << c.what;
        EXPECT_EQ(request.information, c.information) << c.what;
        // Oldest first, plain concatenation.
        std::vector<uint8_t> expected;
        fill = 1;
        for (ULONG r : c.records) expected.insert(expected.end(), r, fill++);
        expected.resize(c.information);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << c.what;
        for (size_t i = c.information; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << c.what << " " << i;
        std::vector<ULONG> left;
        for (PLIST_ENTRY l = bench.ext()->SpeakerPcmList.Flink; l != &bench.ext()->SpeakerPcmList; l = l->Flink)
            left.push_back(CONTAINING_RECORD(l, SPEAKER_PCM_RECORD, Link)->Length);
        EXPECT_EQ(left, c.left) << c.what;
        EXPECT_EQ(bench.ext()->SpeakerPcmCount, c.left.size()) << c.what;
    }
}

TEST(AudioSpeaker, SplitRecordGivesItsRestToTheNextRead) {
    SpeakerBench bench;
    bench.AddRecord(1920, 7);
    std::vector<uint8_t> out(1000);
    hk::UserRange range(out.data(), out.size());
    for (ULONG_PTR expected : {1000u, 920u, 0u}) {
        media::AppRequest request;
        bench.Control(IOCTL_BULKUSB_Read_PCM, nullptr, 0, out.data(), (ULONG)out.size(), request);
        EXPECT_EQ(request.information, expected);
        for (size_t i = 0; i < expected; ++i) ASSERT_EQ(out[i], 7);
    }
}

TEST(AudioSpeaker, UnwritableReadBufferLeavesTheRecords) {
    struct Case {
        const char* what;
        bool registered;
        bool writable;
        size_t offset;
    } cases[] = {
        {"not caller memory", false, true, 0},
        {"read-only", true, false, 0},
        {"unaligned", true, true, 1},
    };
    for (const Case& c : cases) {
        SpeakerBench bench;
        bench.AddRecord(1920, 1);
        bench.AddRecord(1920, 2);
        std::vector<uint8_t> out(4096 + 8);
        std::unique_ptr<hk::UserRange> range;
        if (c.registered) range = std::make_unique<hk::UserRange>(out.data(), out.size(), c.writable);
        media::AppRequest request;
        bench.Control(IOCTL_BULKUSB_Read_PCM, nullptr, 0, out.data() + c.offset, 4096, request);
        EXPECT_EQ(request.status, STATUS_UNSUCCESSFUL) << c.what;
        EXPECT_EQ(request.information, 0u) << c.what;
        EXPECT_EQ(bench.ext()->SpeakerPcmCount, 2u) << c.what;
        EXPECT_NE(bench.machine().DebugText().find("Kelo\xA3\xBA" " BulkUsb_ReadTouchCatch the exception\n"),
                  std::string::npos);
    }
}

TEST_P(AudioSpeakerPacing, ThreadEndsAtRemovalBeforeTheDeviceGoes) {
    SpeakerBench bench(GetParam().rounding);
    for (int i = 0; i < 5; ++i) bench.Queue();
    bench.StartPacing();
    bench.machine().Settle();
    bench.Run(20);
    EXPECT_EQ(ThreadProcThreads(bench.machine(), true), 1u);
    // No clock advance is needed: the thread's sleep ends with the stop.
    bench.StopPacing();
    EXPECT_EQ(bench.ext()->DataReadThread, nullptr);
    EXPECT_EQ(ThreadProcThreads(bench.machine(), true), 0u);
    EXPECT_EQ(bench.ext()->SpeakerPcmCount, 0u) << "records go with the bus";
    EXPECT_TRUE(IsListEmpty(&bench.ext()->SpeakerPcmList));
}

TEST(AudioSpeaker, OnePacingThreadPerStartedBus) {
    SpeakerBench bench;
    StartDataThread(bench.ext());
    StartDataThread(bench.ext());  // a start after a stop
    bench.machine().Settle();
    EXPECT_EQ(ThreadProcThreads(bench.machine(), true), 1u);
    StopDataThread(bench.ext());
    EXPECT_EQ(ThreadProcThreads(bench.machine(), true), 0u);
}
