// The camera's URB dispatcher: entry checks, descriptor requests, the UVC
// probe and commit answers, interface selection and ABORT_PIPE.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "support/media_fixture.h"
#include "support/media_hex.h"

using media::Bench;
using media::Hex;

namespace {

ULONG Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (ULONG)b[at + 3] << 24;
}

// SET_CUR of a probe control with the given indexes.
NTSTATUS SetCur(Bench& bench, UCHAR format, UCHAR frame, ULONG length = 26) {
    auto req = media::ClassRequest(0x01, 0x0100, 0x0001, length);
    std::fill(req->data.begin(), req->data.end(), 0);
    req->data[2] = format;
    req->data[3] = frame;
    return bench.Submit(bench.camera(), *req);
}

std::vector<uint8_t> GetCur(Bench& bench, ULONG length = 26) {
    auto req = media::ClassRequest(0x81, 0x0100, 0x0001, length);
    EXPECT_EQ(bench.Submit(bench.camera(), *req), STATUS_SUCCESS);
    return req->data;
}

}  // namespace

TEST(CameraDispatch, EntryChecksRefuseBeforeLookingAtTheUrb) {
    struct Case {
        const char* what;
        bool to_bus;
        BOOLEAN present;
        ULONG state;
        ULONG code;
        NTSTATUS status;
    } cases[] = {
        {"bus extension", true, 1, STATE_STARTED, IOCTL_INTERNAL_USB_SUBMIT_URB, STATUS_INVALID_DEVICE_REQUEST},
        {"unplugged", false, 0, STATE_STARTED, IOCTL_INTERNAL_USB_SUBMIT_URB, STATUS_DEVICE_NOT_CONNECTED},
        {"not started", false, 1, STATE_STOPPED, IOCTL_INTERNAL_USB_SUBMIT_URB, STATUS_DEVICE_NOT_CONNECTED},
        {"surprise removed", false, 1, STATE_SURPRISE_REMOVED, IOCTL_INTERNAL_USB_SUBMIT_URB,
         STATUS_DEVICE_NOT_CONNECTED},
        {"other control code", false, 1, STATE_STARTED, 0x220013, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        Bench bench;
        bench.child(bench.camera())->Present = c.present;
        bench.child(bench.camera())->state = c.state;
        // An isochronous transfer would be parked if it got through.
        auto transfer = media::IsoTransfer(0x82, 1, 3072);
        bench.Submit(c.to_bus ? bench.bus() : bench.camera(), *transfer, c.code);
        EXPECT_EQ(transfer->completions.load(), 1) << c.what;
        EXPECT_EQ(transfer->status, c.status) << c.what;
        EXPECT_EQ(transfer->returned, c.status) << c.what;
        EXPECT_TRUE(IsListEmpty(&bench.ext()->CameraIrpList)) << c.what;
    }
}

TEST(CameraDispatch, DescriptorRequests) {
    std::vector<uint8_t> config;
    {
        Bench bench;
        config = Bench::CameraConfig();
    }
    struct Case {
        UCHAR type, index;
        USHORT language;
        ULONG length;
        NTSTATUS status;
        ULONG reported;   // TransferBufferLength afterwards
        size_t compared;  // bytes of the answer checked against `expected`
        std::vector<uint8_t> expected;
    } cases[] = {
        {2, 0, 0, 9, STATUS_SUCCESS, 9, 9, config},
        {2, 0, 0, 1024, STATUS_SUCCESS, 313, 313, config},
        {2, 0, 0, 313, STATUS_SUCCESS, 313, 313, config},
        {1, 0, 0, 8, STATUS_INVALID_BUFFER_SIZE, 18, 0, {}},
        {1, 0, 0, 18, STATUS_SUCCESS, 18, 18, Hex("12 01 00 02 EF 02 01 40 01 FC 01 FD 00 00 01 02 00 01")},
        {1, 0, 0, 64, STATUS_SUCCESS, 18, 18, Hex("12 01 00 02 EF 02 01 40 01 FC 01 FD 00 00 01 02 00 01")},
        {6, 0, 0, 10, STATUS_NOT_SUPPORTED, 10, 0, {}},  // device qualifier
        {2, 0, 0, 0, STATUS_INVALID_PARAMETER, 0, 0, {}},
    };
    for (const Case& c : cases) {
        Bench bench;
        auto req = media::DescriptorRequest(c.type, c.index, c.language, c.length);
        EXPECT_EQ(bench.Submit(bench.camera(), *req), c.status) << (int)c.type << "/" << c.length;
        EXPECT_EQ(req->urb()->UrbControlDescriptorRequest.TransferBufferLength, c.reported)
            << (int)c.type << "/" << c.length;
        EXPECT_TRUE(std::equal(c.expected.begin(), c.expected.begin() + c.compared, req->data.begin()))
            << (int)c.type << "/" << c.length;
        // The URB header status is the bus driver's business only on cancel.
        EXPECT_EQ(req->urb()->UrbHeader.Status, 0u);
    }
}

TEST(CameraDispatch, EveryStringIndexAndLanguageGetsTheCameraText) {
    for (const char* name : {"", "Abc"}) {
        Bench bench;
        bench.SetDriverName(name);
        std::u16string expected = *name ? u"Abc Camera" : u"Tolvexa Camera";
        for (UCHAR index : {0, 1, 2, 5}) {
            for (USHORT language : {0x0000, 0x0409, 0x0804}) {
                auto req = media::DescriptorRequest(3, index, language, 255);
                ASSERT_EQ(bench.Submit(bench.camera(), *req), STATUS_SUCCESS);
                ASSERT_EQ(req->data[0], 2 + 2 * expected.size());
                EXPECT_EQ(req->data[1], 3);
                EXPECT_EQ(req->urb()->UrbControlDescriptorRequest.TransferBufferLength, req->data[0]);
                EXPECT_EQ(std::u16string((const char16_t*)&req->data[2], expected.size()), expected);
            }
        }
        // A short request gets the start of the descriptor.
        auto shortReq = media::DescriptorRequest(3, 1, 0x409, 4);
        ASSERT_EQ(bench.Submit(bench.camera(), *shortReq), STATUS_SUCCESS);
        EXPECT_EQ(shortReq->urb()->UrbControlDescriptorRequest.TransferBufferLength, 4u);
    }
}

TEST(CameraDispatch, DescriptorRequestWithoutPoolFailsCleanly) {
    for (UCHAR type : {1, 2, 3}) {
        Bench bench;
        auto req = media::DescriptorRequest(type, 0, 0, 255);
        bench.machine().FailTag(VHUB_POOL_TAG);
        EXPECT_EQ(bench.Submit(bench.camera(), *req), STATUS_INSUFFICIENT_RESOURCES) << (int)type;
        bench.machine().ClearPoolFaults();
        EXPECT_EQ(req->urb()->UrbControlDescriptorRequest.TransferBufferLength, 0u);
        EXPECT_EQ(req->data[0], 0xEE) << "nothing copied";
    }
}

TEST(CameraDispatch, ProbeAnswersBeforeAndAfterSetCur) {
    Bench bench;
    auto cur = GetCur(bench);
    EXPECT_EQ(cur[0] | cur[1] << 8, 1);
    EXPECT_EQ(cur[2], 0);
    EXPECT_EQ(cur[3], 3);
    EXPECT_EQ(Le32(cur, 4), 333333u);
    EXPECT_EQ(cur[16] | cur[17] << 8, 10);
    EXPECT_EQ(Le32(cur, 18), 691200u);
    EXPECT_EQ(Le32(cur, 22), 1024u);

    bench.ext()->FrameIdBit = 1;
    EXPECT_EQ(SetCur(bench, 1, 4), STATUS_SUCCESS);
    EXPECT_EQ(bench.ext()->FrameIdBit, 0) << "SET_CUR restarts the frame identifier";
    cur = GetCur(bench);
    EXPECT_EQ(cur[2], 1);
    EXPECT_EQ(cur[3], 4);
    EXPECT_EQ(Le32(cur, 18), 1843200u);
    EXPECT_EQ(Le32(cur, 4), 333333u);

    // Frame index 5 is in the frame table though no descriptor offers it.
    EXPECT_EQ(SetCur(bench, 1, 5), STATUS_SUCCESS);
    EXPECT_EQ(Le32(GetCur(bench), 18), 4147200u);
}

TEST(CameraDispatch, SetCurOutsideTheFrameTableIsRefused) {
    for (UCHAR frame : {0, 6, 200, 255}) {
        Bench bench;
        bench.ext()->FrameIdBit = 1;
        EXPECT_EQ(SetCur(bench, 1, frame), STATUS_INVALID_PARAMETER) << (int)frame;
        EXPECT_EQ(bench.ext()->curr_frame_index, 3);
        EXPECT_EQ(bench.ext()->curr_format_index, 0);
        EXPECT_EQ(bench.ext()->FrameIdBit, 1);
    }
}

TEST(CameraDispatch, ClassRequestLengthsAndCodes) {
    struct Case {
        const char* what;
        UCHAR code;
        ULONG length;
        NTSTATUS status;
        ULONG reported;
    } cases[] = {
        {"GET_CUR 34", 0x81, 34, STATUS_SUCCESS, 34},
        {"GET_CUR 60", 0x81, 60, STATUS_SUCCESS, 48},
        {"GET_CUR 2", 0x81, 2, STATUS_INVALID_PARAMETER, 2},
        {"GET_MIN 26", 0x82, 26, STATUS_SUCCESS, 26},
        {"GET_MAX 40", 0x83, 40, STATUS_SUCCESS, 40},
        {"SET_CUR 25", 0x01, 25, STATUS_INVALID_PARAMETER, 25},
        {"GET_INFO 1", 0x86, 1, STATUS_SUCCESS, 1},
        {"GET_DEF 26", 0x87, 26, STATUS_SUCCESS, 26},
        {"no data stage", 0x81, 0, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        Bench bench;
        auto req = media::ClassRequest(c.code, 0x0200, 0x0200, c.length);
        EXPECT_EQ(bench.Submit(bench.camera(), *req), c.status) << c.what;
        EXPECT_EQ(req->urb()->UrbControlVendorClassRequest.TransferBufferLength, c.reported) << c.what;
        size_t untouched_from = (c.code >= 0x81 && c.code <= 0x83 && c.status == STATUS_SUCCESS) ? 26 : 0;
        for (size_t i = untouched_from; i < req->data.size(); ++i)
            EXPECT_EQ(req->data[i], 0xEE) << c.what << " byte " << i;
    }
}

TEST(CameraDispatch, MinAndMaxAnswers) {
    Bench bench;
    for (auto [code, frame] : {std::pair<UCHAR, UCHAR>{0x82, 1}, {0x83, 3}}) {
        auto req = media::ClassRequest(code, 0x0100, 0x0001, 26);
        ASSERT_EQ(bench.Submit(bench.camera(), *req), STATUS_SUCCESS);
        std::vector<uint8_t> expected(26, 0);
        expected[2] = 1;
        expected[3] = frame;
        EXPECT_EQ(req->data, expected);
    }
}

TEST(CameraDispatch, StreamSelectionGatesProbeAndCommit) {
    Bench bench;
    auto early = media::SelectInterface(1, 1, 1);
    EXPECT_EQ(bench.Submit(bench.camera(), *early), STATUS_DEVICE_NOT_READY) << "before any configuration";
    EXPECT_EQ(bench.ext()->VideoOpened, 0);

    bench.ConfigureCamera();
    ASSERT_NE(bench.child(bench.camera())->SelectedConfig, nullptr);
    bench.SelectAlternate(bench.camera(), 1, 1);
    EXPECT_EQ(bench.ext()->VideoOpened, 1);
    EXPECT_NE(bench.machine().DebugText().find("\nopen video\n"), std::string::npos);

    EXPECT_EQ(SetCur(bench, 1, 1), STATUS_INVALID_PARAMETER) << "while the stream is open";
    auto cur = media::ClassRequest(0x81, 0x0100, 1, 26);
    EXPECT_EQ(bench.Submit(bench.camera(), *cur), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bench.ext()->curr_frame_index, 3);

    // Any other selection closes the stream, interface 0 included.
    auto close = media::SelectInterface(0, 0, 1);
    EXPECT_EQ(bench.Submit(bench.camera(), *close), STATUS_SUCCESS);
    EXPECT_EQ(bench.ext()->VideoOpened, 0);
    EXPECT_NE(bench.machine().DebugText().find("\nclose video\n"), std::string::npos);
    EXPECT_EQ(SetCur(bench, 1, 1), STATUS_SUCCESS);
    EXPECT_EQ(bench.ext()->curr_frame_index, 1);

    auto missing = media::SelectInterface(1, 7, 1);
    EXPECT_EQ(bench.Submit(bench.camera(), *missing), STATUS_NOT_FOUND);
}

TEST(CameraDispatch, ReselectingTheConfigurationReplacesTheCopy) {
    Bench bench;
    bench.ConfigureCamera();
    bench.ConfigureCamera();  // the first copy is freed (the leak check would see it)
    auto unconfigure = media::SelectConfiguration({}, {});
    unconfigure->urb()->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    EXPECT_EQ(bench.Submit(bench.camera(), *unconfigure), STATUS_SUCCESS);
    EXPECT_NE(bench.child(bench.camera())->SelectedConfig, nullptr) << "unconfiguring keeps the copy";
}

TEST(CameraDispatch, IsochronousTransfersParkEvenWhileClosed) {
    Bench bench;
    auto a = media::IsoTransfer(0x82, 4, 3072);
    auto b = media::IsoTransfer(0x82, 4, 3072);
    EXPECT_EQ(bench.Submit(bench.camera(), *a), STATUS_PENDING);
    EXPECT_EQ(bench.Submit(bench.camera(), *b), STATUS_PENDING);
    EXPECT_FALSE(a->completed());
    EXPECT_FALSE(b->completed());
    // The host's cancellation completes them (the request destructors cancel).
}

TEST(CameraDispatch, AbortPipeCompletesEveryParkedTransferUnfilled) {
    Bench bench;
    std::vector<std::unique_ptr<media::UsbRequest>> parked;
    for (int i = 0; i < 3; ++i) {
        parked.push_back(media::IsoTransfer(0x82, 2, 3072));
        ASSERT_EQ(bench.Submit(bench.camera(), *parked.back()), STATUS_PENDING);
    }
    auto abort = media::SimpleUrb(URB_FUNCTION_ABORT_PIPE, 0x10182);
    EXPECT_EQ(bench.Submit(bench.camera(), *abort), STATUS_SUCCESS);
    for (auto& t : parked) {
        EXPECT_EQ(t->completions.load(), 1);
        EXPECT_EQ(t->status, STATUS_SUCCESS);
        EXPECT_EQ(t->information, 0u);
        EXPECT_EQ(t->iso().TransferBufferLength, 2u * 3072);
        EXPECT_EQ(t->iso().IsoPacket[0].Length, 0xABABu);
        EXPECT_EQ(t->data[0], 0xEE);
    }
    EXPECT_TRUE(IsListEmpty(&bench.ext()->CameraIrpList));
}

TEST(CameraDispatch, OtherFunctionsSucceedWithoutEffect) {
    Bench bench;
    for (USHORT f : {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, URB_FUNCTION_CONTROL_TRANSFER,
                     URB_FUNCTION_SET_FEATURE_TO_INTERFACE, URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE,
                     URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_RESET_PIPE}) {
        auto req = media::SimpleUrb(f);
        EXPECT_EQ(bench.Submit(bench.camera(), *req), STATUS_SUCCESS) << f;
    }
}

// The URB is read only as far as its own UrbHeader.Length: a request whose
// stated length leaves out part of what its function carries is refused
// before any of it is used. The storage behind each short URB still holds a
// well-formed request, so a dispatcher that read past the stated length
// would answer it (or park it) instead.
TEST(CameraDispatch, UrbsShorterThanTheirFunctionAreRefusedUnread) {
    const USHORT header = sizeof(_URB_HEADER);
    const USHORT isoFixed = FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket);
    const USHORT packet = sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    struct Case {
        const char* what;
        std::function<std::unique_ptr<media::UsbRequest>()> make;
        USHORT length;            // 0: as built
        ULONG packets_stated;     // 0: as built
        NTSTATUS status;
    } cases[] = {
        {"descriptor request, whole", [] { return media::DescriptorRequest(1, 0, 0, 18); }, 0, 0, STATUS_SUCCESS},
        {"descriptor request, header only", [] { return media::DescriptorRequest(1, 0, 0, 18); }, header, 0,
         STATUS_INVALID_PARAMETER},
        {"descriptor request, one byte short", [] { return media::DescriptorRequest(1, 0, 0, 18); },
         sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) - 1, 0, STATUS_INVALID_PARAMETER},
        {"GET_CUR, header only", [] { return media::ClassRequest(0x81, 0x0100, 0x0001, 26); }, header, 0,
         STATUS_INVALID_PARAMETER},
        {"isochronous, whole", [] { return media::IsoTransfer(0x82, 4, 512); }, 0, 0, STATUS_PENDING},
        {"isochronous, last packet cut off", [] { return media::IsoTransfer(0x82, 4, 512); },
         (USHORT)(isoFixed + 3 * packet), 0, STATUS_INVALID_PARAMETER},
        {"isochronous, no packet table", [] { return media::IsoTransfer(0x82, 4, 512); }, (USHORT)(isoFixed - 1), 0,
         STATUS_INVALID_PARAMETER},
        // 0x15555556 packets of 12 bytes are 8 bytes modulo 2^32.
        {"isochronous, packet count that wraps", [] { return media::IsoTransfer(0x82, 1, 512); }, 0, 0x15555556,
         STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        Bench bench;
        auto req = c.make();
        if (c.length) req->urb()->UrbHeader.Length = c.length;
        if (c.packets_stated) req->iso().NumberOfPackets = c.packets_stated;
        EXPECT_EQ(bench.Submit(bench.camera(), *req), c.status) << c.what;
        if (c.status == STATUS_PENDING) {
            EXPECT_FALSE(IsListEmpty(&bench.ext()->CameraIrpList)) << c.what;
            continue;
        }
        EXPECT_EQ(req->completions.load(), 1) << c.what;
        EXPECT_EQ(req->status, c.status) << c.what;
        EXPECT_TRUE(IsListEmpty(&bench.ext()->CameraIrpList)) << c.what;
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(req->data[0], 0xEE) << c.what << ": the buffer was answered into";
        }
    }
}

TEST(CameraDispatch, UrbPointerMissingIsRefused) {
    Bench bench;
    media::UsbRequest empty;  // no URB storage: Argument1 is null
    EXPECT_EQ(bench.Submit(bench.camera(), empty), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(empty.completions.load(), 1);
}
