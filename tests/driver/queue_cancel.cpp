// The transfer queues: order, and every parked transfer completed exactly
// once whoever gets to it first: a taker, ABORT_PIPE, unplug or the host's
// cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "support/media_fixture.h"

using media::Bench;
using media::UsbRequest;

namespace {

// The host keeps at most `limit` transfers outstanding: it cancels the
// oldest beyond that and waits for each, which must have completed exactly
// once. They are kept in `retired`, to be freed after every thread stops.
void TrimWindow(std::vector<std::unique_ptr<UsbRequest>>& window, size_t limit,
                std::vector<std::unique_ptr<UsbRequest>>& retired) {
    while (window.size() > limit) {
        EXPECT_TRUE(window.front()->CancelAndWait());
        EXPECT_EQ(window.front()->completions.load(), 1);
        retired.push_back(std::move(window.front()));
        window.erase(window.begin());
    }
}

}  // namespace

TEST(Queues, TransfersComeOutInTheOrderTheyWerePut) {
    struct Case {
        const char* what;
        UCHAR endpoint;
        bool camera;
        PIRP (*take)(PFDO_DEVICE_DATA);
    } cases[] = {
        {"camera", 0x82, true, GetTouchPendingIrp},
        {"microphone", 0x81, false, GetMicPendingIrp},
        {"speaker", 0x02, false, GetSpeakerPendingIrp},
    };
    for (const Case& c : cases) {
        Bench bench;
        EXPECT_EQ(c.take(bench.ext()), nullptr) << c.what;
        std::vector<std::unique_ptr<UsbRequest>> parked;
        for (int i = 0; i < 3; ++i) {
            parked.push_back(media::IsoTransfer(c.endpoint, 1, 192));
            ASSERT_EQ(bench.Submit(c.camera ? bench.camera() : bench.audio(), *parked.back()), STATUS_PENDING);
        }
        for (auto& t : parked) {
            PIRP irp = c.take(bench.ext());
            EXPECT_EQ(irp, t->irp) << c.what;
            EXPECT_EQ(irp->CancelRoutine, nullptr) << c.what << ": the taker owns it";
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        EXPECT_EQ(c.take(bench.ext()), nullptr) << c.what;
        EXPECT_EQ(bench.ext()->SpeakerIrpCount, 0u);
    }
}

TEST(Queues, MicrophoneTakeStampsTheWriteTimeEvenWhenEmpty) {
    Bench bench;
    bench.machine().AdvanceMs(500);
    EXPECT_EQ(GetMicPendingIrp(bench.ext()), nullptr);
    EXPECT_EQ(bench.ext()->LastPcmWriteTime, QueryTickMilliseconds());
}

TEST(Queues, TransferCancelledBeforeItArrivesIsNotParked) {
    for (UCHAR endpoint : {0x82, 0x81, 0x02}) {
        Bench bench;
        auto t = media::IsoTransfer(endpoint, 1, 192);
        t->cancel_before_submit = true;
        EXPECT_EQ(bench.Submit(endpoint == 0x82 ? bench.camera() : bench.audio(), *t), STATUS_PENDING);
        EXPECT_EQ(t->completions.load(), 1) << (int)endpoint;
        EXPECT_EQ(t->status, STATUS_CANCELLED);
        EXPECT_TRUE(IsListEmpty(&bench.ext()->CameraIrpList));
        EXPECT_TRUE(IsListEmpty(&bench.ext()->MicIrpList));
        EXPECT_TRUE(IsListEmpty(&bench.ext()->SpeakerIrpList));
        EXPECT_EQ(bench.ext()->SpeakerIrpCount, 0u);
    }
}

TEST(Queues, UnplugCancelsEveryParkedCameraTransfer) {
    Bench bench;
    std::vector<std::unique_ptr<UsbRequest>> parked;
    for (int i = 0; i < 4; ++i) {
        parked.push_back(media::IsoTransfer(0x82, 1, 3072));
        bench.Submit(bench.camera(), *parked.back());
    }
    IoCancelIrp(parked[1]->irp);  // the host got to one first
    CancelTouchPendingIrps(bench.ext());
    for (auto& t : parked) {
        EXPECT_EQ(t->completions.load(), 1);
        EXPECT_EQ(t->status, STATUS_CANCELLED);
        EXPECT_EQ(t->urb()->UrbHeader.Status, USBD_STATUS_ERROR);
    }
    EXPECT_TRUE(IsListEmpty(&bench.ext()->CameraIrpList));
}

// A host thread submits and cancels camera transfers, an application thread
// writes frames and touch data, a third thread unplugs: every transfer must
// be completed exactly once (the verifier also watches for a completion of
// a completed IRP and for a completion with a cancel routine still set).
TEST(Queues, CancelTakeAndUnplugRace) {
    Bench bench;
    {
        auto req = media::ClassRequest(0x01, 0x0200, 1, 26);
        req->data[2] = 1;
        req->data[3] = 1;  // 345,600-byte frames
        ASSERT_EQ(bench.Submit(bench.camera(), *req), STATUS_SUCCESS);
    }
    constexpr int kIterations = 3000;
    std::atomic<bool> done{false};
    std::atomic<int> total{0};

    // Completed requests are freed only after every thread has stopped: a
    // request completed by another thread may still be inside
    // IofCompleteRequest there when its completion routine has signalled.
    std::vector<std::unique_ptr<UsbRequest>> retired;
    std::thread host([&] {
        std::mt19937 rng(7);
        std::vector<std::unique_ptr<UsbRequest>> window;
        for (int i = 0; i < kIterations; ++i) {
            window.push_back(media::IsoTransfer(0x82, 8, 3072));
            bench.Submit(bench.camera(), *window.back());
            total.fetch_add(1);
            if (rng() % 3 == 0) IoCancelIrp(window[rng() % window.size()]->irp);
            // Retire completed transfers; each must have completed once.
            for (size_t j = 0; j < window.size();) {
                if (window[j]->completed()) {
                    EXPECT_EQ(window[j]->completions.load(), 1);
                    retired.push_back(std::move(window[j]));
                    window.erase(window.begin() + j);
                } else {
                    ++j;
                }
            }
            TrimWindow(window, 32, retired);
        }
        TrimWindow(window, 0, retired);
        done = true;
    });
    std::thread app([&] {
        std::vector<uint8_t> frame = media::Pattern(345600);
        hk::UserRange range(frame.data(), frame.size(), false);
        uint8_t touch[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        for (int i = 0; !done; ++i) {
            if (i % 4 == 0)
                bench.Control(IOCTL_BULKUSB_WRITE_TOUCH, touch, sizeof touch);
            else
                bench.Control(IOCTL_BULKUSB_WRITE_YUV2, frame.data(), (ULONG)frame.size());
        }
    });
    std::thread unplug([&] {
        while (!done) {
            CancelTouchPendingIrps(bench.ext());
            std::this_thread::yield();
        }
    });
    host.join();
    app.join();
    unplug.join();
    for (auto& t : retired) EXPECT_EQ(t->completions.load(), 1);
    retired.clear();
    EXPECT_EQ(total.load(), kIterations);
    EXPECT_TRUE(IsListEmpty(&bench.ext()->CameraIrpList));
    EXPECT_TRUE(bench.machine().Findings().empty());
}

// The same race on the audio queues: microphone writes and the pacing
// thread take while the host cancels.
TEST(Queues, AudioCancelAndTakeRace) {
    Bench bench;
    bench.StartPacing();
    constexpr int kIterations = 2000;
    std::atomic<bool> done{false};
    std::vector<std::unique_ptr<UsbRequest>> retired;
    std::thread host([&] {
        std::mt19937 rng(11);
        std::vector<std::unique_ptr<UsbRequest>> window;
        for (int i = 0; i < kIterations; ++i) {
            window.push_back(media::IsoTransfer(i % 2 ? 0x81 : 0x02, 10, 192));
            bench.Submit(bench.audio(), *window.back());
            if (rng() % 2 == 0) IoCancelIrp(window[rng() % window.size()]->irp);
            TrimWindow(window, 16, retired);
        }
        TrimWindow(window, 0, retired);
        done = true;
    });
    std::thread app([&] {
        std::vector<uint8_t> pcm = media::Pattern(1920);
        hk::UserRange range(pcm.data(), pcm.size(), false);
        while (!done) bench.Control(IOCTL_BULKUSB_WRITE_PCM, pcm.data(), (ULONG)pcm.size());
    });
    std::thread clock([&] {
        while (!done) bench.machine().AdvanceMs(3);
    });
    host.join();
    app.join();
    clock.join();
    bench.StopPacing();
    for (auto& t : retired) EXPECT_EQ(t->completions.load(), 1);
    retired.clear();
    EXPECT_EQ(bench.ext()->SpeakerIrpCount, 0u);
    EXPECT_TRUE(IsListEmpty(&bench.ext()->MicIrpList));
    EXPECT_TRUE(bench.machine().Findings().empty());
}
