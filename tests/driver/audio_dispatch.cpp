// The audio URB dispatcher: descriptor requests, microphone versus speaker
// text, selections, ABORT_PIPE and where isochronous transfers go.
#include <gtest/gtest.h>

#include "support/media_fixture.h"
#include "support/media_hex.h"

using media::Bench;

namespace {

constexpr ULONG_PTR kSpeakerPipe = 0x10102;
constexpr ULONG_PTR kMicPipe = 0x10481;

std::u16string Answer(media::UsbRequest& req) {
    return std::u16string((const char16_t*)&req.data[2], (req.data[0] - 2) / 2);
}

}  // namespace

TEST(AudioDispatch, EntryChecks) {
    struct Case {
        const char* what;
        BOOLEAN present;
        ULONG state;
        ULONG code;
        NTSTATUS status;
    } cases[] = {
        {"unplugged", 0, STATE_STARTED, IOCTL_INTERNAL_USB_SUBMIT_URB, STATUS_DEVICE_NOT_CONNECTED},
        {"stop pending", 1, STATE_STOP_PENDING, IOCTL_INTERNAL_USB_SUBMIT_URB, STATUS_DEVICE_NOT_CONNECTED},
        {"other control code", 1, STATE_STARTED, 0x220013, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        Bench bench;
        bench.child(bench.audio())->Present = c.present;
        bench.child(bench.audio())->state = c.state;
        auto t = media::IsoTransfer(0x02, 1, 192);
        bench.Submit(bench.audio(), *t, c.code);
        EXPECT_EQ(t->completions.load(), 1) << c.what;
        EXPECT_EQ(t->status, c.status) << c.what;
        EXPECT_EQ(bench.ext()->SpeakerIrpCount, 0u) << c.what;
    }
}

TEST(AudioDispatch, DescriptorRequests) {
    std::vector<uint8_t> config;
    {
        Bench bench;
        config = Bench::AudioConfig();
    }
    auto device = media::Hex("12 01 00 02 00 00 00 40 02 FC 02 FD 01 01 01 02 03 01");
    struct Case {
        UCHAR type;
        ULONG length;
        NTSTATUS status;
        ULONG reported;
        const std::vector<uint8_t>* expected;
    } cases[] = {
        {2, 9, STATUS_SUCCESS, 9, &config},
        {2, 255, STATUS_SUCCESS, 174, &config},
        {2, 8, STATUS_SUCCESS, 8, &config},
        {1, 8, STATUS_INVALID_BUFFER_SIZE, 18, nullptr},
        {1, 18, STATUS_SUCCESS, 18, &device},
        {1, 255, STATUS_SUCCESS, 18, &device},
        {6, 10, STATUS_NOT_SUPPORTED, 10, nullptr},
        {2, 0, STATUS_INVALID_PARAMETER, 0, nullptr},
    };
    for (const Case& c : cases) {
        Bench bench;
        auto req = media::DescriptorRequest(c.type, 0, 0, c.length);
        EXPECT_EQ(bench.Submit(bench.audio(), *req), c.status) << (int)c.type << "/" << c.length;
        EXPECT_EQ(req->urb()->UrbControlDescriptorRequest.TransferBufferLength, c.reported);
        if (c.expected)
            EXPECT_TRUE(std::equal(req->data.begin(), req->data.begin() + c.reported, c.expected->begin()));
        else
            for (uint8_t b : req->data) EXPECT_EQ(b, 0xEE);
    }
}

TEST(AudioDispatch, StringTextChosenByTheHandleSelector) {
    struct Case {
        const char* name;
        ULONG_PTR handle;
        std::u16string text;
    } cases[] = {
        {"", 0, u"Tolvexa Microphone"},
        {"", 2, u"Tolvexa Speaker"},
        {"", 0x10102, u"Tolvexa Speaker"},
        {"", 0x10481, u"Tolvexa Microphone"},
        {"", 0x202, u"Tolvexa Speaker"},  // only the low byte counts
        {"Abc", 2, u"Abc Speaker"},
        {"Abc", 1, u"Abc Microphone"},
    };
    for (const Case& c : cases) {
        Bench bench;
        bench.SetDriverName(c.name);
        for (UCHAR index : {0, 1, 2, 3}) {
            auto req = media::DescriptorRequest(3, index, 0x0409, 255, c.handle);
            ASSERT_EQ(bench.Submit(bench.audio(), *req), STATUS_SUCCESS);
            EXPECT_EQ(req->data[0], 2 + 2 * c.text.size());
            EXPECT_EQ(Answer(*req), c.text) << c.handle;
        }
    }
}

TEST(AudioDispatch, AbortPipeLeavesQueuedTransfersQueued) {
    Bench bench;
    auto speaker = media::IsoTransfer(0x02, 10, 192);
    ASSERT_EQ(bench.Submit(bench.audio(), *speaker), STATUS_PENDING);
    auto mic = media::IsoTransfer(0x81, 10, 192);
    ASSERT_EQ(bench.Submit(bench.audio(), *mic), STATUS_PENDING);  // a write was just "made" at creation
    auto abort = media::SimpleUrb(URB_FUNCTION_ABORT_PIPE, kSpeakerPipe);
    EXPECT_EQ(bench.Submit(bench.audio(), *abort), STATUS_SUCCESS);
    EXPECT_FALSE(speaker->completed());
    EXPECT_FALSE(mic->completed());
    EXPECT_EQ(bench.ext()->SpeakerIrpCount, 1u);
}

TEST(AudioDispatch, SelectionsAndTheFrameCounter) {
    Bench bench;
    auto early = media::SelectInterface(1, 1, 1);
    EXPECT_EQ(bench.Submit(bench.audio(), *early), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(early->information, 0u);

    bench.ConfigureAudio();
    ASSERT_NE(bench.child(bench.audio())->ConfigDescriptorCopy, nullptr);
    EXPECT_EQ(bench.child(bench.audio())->SelectedConfig, nullptr);

    struct Case {
        UCHAR interface_number, alternate;
        ULONG_PTR handle;
        ULONG counter_after;  // starting from 1234
        const char* printed;
    } cases[] = {
        {1, 1, 1, 0, "\nopen mic\n"},
        {2, 1, 1, 0, "\nopen mic\n"},     // the speaker interface, handle 1 as handed out
        // The selection itself writes InterfaceHandle 1, so the selector is
        // never 2 by the time it is looked at.
        {2, 1, 2, 0, "\nopen mic\n"},
        {1, 0, 1, 1234, "\nclose mic\n"},
    };
    for (const Case& c : cases) {
        bench.ext()->IsoFrameCounter = 1234;
        bench.machine().ClearDebugLog();
        auto select = media::SelectInterface(c.interface_number, c.alternate, 1, c.handle);
        EXPECT_EQ(bench.Submit(bench.audio(), *select), STATUS_SUCCESS);
        EXPECT_EQ(bench.ext()->IsoFrameCounter, c.counter_after) << (int)c.interface_number;
        EXPECT_NE(bench.machine().DebugText().find(c.printed), std::string::npos);
    }
    auto missing = media::SelectInterface(1, 3, 1);
    EXPECT_EQ(bench.Submit(bench.audio(), *missing), STATUS_NOT_FOUND);
}

TEST(AudioDispatch, ClassAndOtherRequestsSucceedWithoutData) {
    Bench bench;
    auto cls = media::ClassRequest(0x81, 0x0100, 0x0201, 4);
    EXPECT_EQ(bench.Submit(bench.audio(), *cls), STATUS_SUCCESS);
    for (uint8_t b : cls->data) EXPECT_EQ(b, 0xEE);
    for (USHORT f : {URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_RESET_PIPE, URB_FUNCTION_CONTROL_TRANSFER}) {
        auto other = media::SimpleUrb(f);
        EXPECT_EQ(bench.Submit(bench.audio(), *other), STATUS_SUCCESS) << f;
    }
}

TEST(AudioDispatch, SpeakerTransfersAreAlwaysQueued) {
    Bench bench;
    bench.machine().AdvanceMs(1000);  // no microphone write for a long time
    auto a = media::IsoTransfer(0x02, 10, 192);
    auto b = media::IsoTransfer(0x02, 10, 192);
    EXPECT_EQ(bench.Submit(bench.audio(), *a), STATUS_PENDING);
    EXPECT_EQ(bench.Submit(bench.audio(), *b), STATUS_PENDING);
    EXPECT_EQ(bench.ext()->SpeakerIrpCount, 2u);
    EXPECT_EQ(a->irp->Tail.Overlay.DriverContext[1], bench.child(bench.audio()));
    // Cancelling one takes it off the queue and its count.
    IoCancelIrp(b->irp);
    EXPECT_EQ(b->completions.load(), 1);
    EXPECT_EQ(b->status, STATUS_CANCELLED);
    EXPECT_EQ(b->urb()->UrbHeader.Status, USBD_STATUS_ERROR);
    EXPECT_EQ(bench.ext()->SpeakerIrpCount, 1u);
    (void)kMicPipe;
}

// A transfer whose packet count reaches past the URB's own length is refused
// before it is queued: the fill would write packet results behind the URB.
TEST(AudioDispatch, TransfersWithPacketsBeyondTheUrbAreRefused) {
    struct Case {
        const char* what;
        UCHAR endpoint;
        ULONG packets_stated;
        NTSTATUS status;
    } cases[] = {
        {"speaker, whole", 0x02, 4, STATUS_PENDING},
        {"speaker, count past the URB", 0x02, 5, STATUS_INVALID_PARAMETER},
        {"microphone, whole", 0x81, 4, STATUS_PENDING},
        {"microphone, count past the URB", 0x81, 64, STATUS_INVALID_PARAMETER},
        {"microphone, count that wraps", 0x81, 0x15555556, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        Bench bench;  // its clock stands still: the microphone counts as fed
        auto t = media::IsoTransfer(c.endpoint, 4, 192);
        t->iso().NumberOfPackets = c.packets_stated;
        EXPECT_EQ(bench.Submit(bench.audio(), *t), c.status) << c.what;
        bool queued = !IsListEmpty(&bench.ext()->MicIrpList) || bench.ext()->SpeakerIrpCount != 0;
        EXPECT_EQ(queued, c.status == STATUS_PENDING) << c.what;
        if (c.status != STATUS_PENDING) {
            EXPECT_EQ(t->completions.load(), 1) << c.what;
            EXPECT_EQ(t->status, c.status) << c.what;
        }
    }
}

TEST(AudioDispatch, DescriptorRequestWithoutPoolFailsCleanly) {
    for (UCHAR type : {1, 2, 3}) {
        Bench bench;
        auto req = media::DescriptorRequest(type, 0, 0, 255);
        bench.machine().FailTag(VHUB_POOL_TAG);
        EXPECT_EQ(bench.Submit(bench.audio(), *req), STATUS_INSUFFICIENT_RESOURCES) << (int)type;
        bench.machine().ClearPoolFaults();
        EXPECT_EQ(req->urb()->UrbControlDescriptorRequest.TransferBufferLength, 0u);
        EXPECT_EQ(req->data[0], 0xEE) << "nothing copied";
    }
}
