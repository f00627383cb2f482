// URBs from a host that plays by no rules, sent to the camera and the audio
// device through the installed bus, as a class driver sends them: an
// internal device-control request with the URB in Argument1.
//
// Every URB lives in a heap block of exactly its UrbHeader.Length (or of the
// header alone when it claims less), and its data buffer in a block of
// exactly its TransferBufferLength, reached through TransferBuffer, through
// an MDL, or not at all; AddressSanitizer catches any access outside them.
// The application side writes video frames and PCM through the bus
// interface, so that parked isochronous transfers are filled with fuzzed
// packet tables. After each input every transfer still parked is cancelled
// as its sender would, and the machine must be clean: every request
// completed exactly once, no verifier finding, no pool overrun, no growth.
//
// The driver library is built with the fuzz targets' instrumentation in the
// fuzzing build, so the driver's own code carries the sanitizers' checks and
// gives the fuzzer its coverage.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>


#include "audio/audio.h"
#include "camera/camera.h"
#include "core/vhub.h"
#include "fuzz_setup.h"
#include "hk/io.h"
#include "hk/machine.h"
#include "hk/pnp.h"

namespace {

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "\nchild_urbs: %s\n", what);
    std::abort();
}

// --- the bus, installed once ---------------------------------------------------------------

struct World {
    hk::Machine* machine = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT child[2] = {};  // camera, audio
    hk::io::Handle bus = nullptr;
    std::vector<uint8_t> config[2];  // the configuration sets the children report
    std::vector<uint8_t> frame;      // a video frame of the largest size
    size_t baseline_irps = 0;
    size_t baseline_pool = 0;
};

World& Boot() {
    static World* world = [] {
        auto* w = new World;
        hk::Machine::Options options;
        options.clock = hk::ClockMode::Virtual;  // the pacing thread moves only when told
        w->machine = new hk::Machine(options);
        VhubDebugLevel = 0;

        hk::io::DriverOptions driver_options;
        driver_options.pool_tags = {VHUB_POOL_TAG, VHUB_PCM_POOL_TAG};
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        if (!hk::io::LoadDriver("VhubVMic", DriverEntry, &status, driver_options)) Finding("driver did not load");
        hk::pnp::RegisterFunctionDriver("ROOT\\VHUBVMIC", "VhubVMic", DriverEntry);
        // The children get a function driver that passes everything down, so
        // that the manager starts them and this target is their host.
        hk::pnp::RegisterPassThroughFunctionDriver("USB\\COMPOSITE");
        hk::pnp::RootDeviceSettings root;
        root.hardware_ids = {"ROOT\\VHUBVMIC"};
        root.description = "virtual USB bus";
        root.driver = "VhubVMic";
        PDEVICE_OBJECT root_pdo = nullptr;
        hk::pnp::InstallRootDevice(root, &root_pdo);
        hk::pnp::WaitIdle();
        if (!root_pdo) Finding("bus did not install");
        w->fdo = IoGetAttachedDeviceReference(root_pdo);
        ObfDereferenceObject(w->fdo);
        PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)w->fdo->DeviceExtension;
        for (int i = 0; i < 2; ++i) {
            w->child[i] = bus->ChildPdo[i];
            if (!w->child[i]) Finding("a child is missing after installation");
        }
        std::vector<std::u16string> links = hk::io::FindInterfaces(VhubBusInterfaceGuid);
        if (links.empty() || !NT_SUCCESS(hk::io::Open(links[0], &w->bus))) Finding("bus interface did not open");

        PUSB_CONFIGURATION_DESCRIPTOR sets[2] = {Camera::Touch_GetConfigrationDescriptor(),
                                                 Audio::Touch_GetConfigrationDescriptor()};
        for (int i = 0; i < 2; ++i) {
            w->config[i].assign((uint8_t*)sets[i], (uint8_t*)sets[i] + sets[i]->wTotalLength);
            ExFreePool(sets[i]);
        }
        ULONG largest = 0;
        for (LONG i = 0; i < VHUB_FRAME_INDEX_MAX; ++i)
            if (FrameSizeForIndex(i) > largest) largest = FrameSizeForIndex(i);
        w->frame.assign(largest, 0x5A);
        w->baseline_irps = hk::io::OutstandingIrpCount();
        w->baseline_pool = w->machine->OutstandingPool().size();
        return w;
    }();
    return *world;
}

// --- input --------------------------------------------------------------------------------

using fuzzsetup::Reader;

// The functions the dispatchers handle, with the fixed part each one has;
// any other code is sent now and then as well.
struct FunctionKind {
    USHORT function;
    USHORT fixed;
};
const FunctionKind kFunctions[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_SELECT_CONFIGURATION, sizeof(_URB_SELECT_CONFIGURATION)},
    {URB_FUNCTION_SELECT_INTERFACE, sizeof(_URB_SELECT_INTERFACE)},
    {URB_FUNCTION_CLASS_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_CLASS_ENDPOINT, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_CLASS_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_VENDOR_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, sizeof(_URB_CONTROL_GET_STATUS_REQUEST)},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, sizeof(_URB_CONTROL_GET_STATUS_REQUEST)},
    {URB_FUNCTION_ISOCH_TRANSFER, (USHORT)FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket)},
    {URB_FUNCTION_ISOCH_TRANSFER, (USHORT)FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket)},
    {URB_FUNCTION_ISOCH_TRANSFER, (USHORT)FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket)},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)},
    {URB_FUNCTION_CONTROL_TRANSFER, sizeof(_URB_CONTROL_TRANSFER)},
    {URB_FUNCTION_ABORT_PIPE, sizeof(_URB_PIPE_REQUEST)},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sizeof(_URB_PIPE_REQUEST)},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, sizeof(_URB_CONTROL_FEATURE_REQUEST)},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, sizeof(_URB_CONTROL_FEATURE_REQUEST)},
    {URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, sizeof(_URB_GET_CURRENT_FRAME_NUMBER)},
};
const size_t kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];

// Where the transfer buffer pointer and length sit in every URB that has
// one (all share this layout).
const size_t kBufferLengthAt = FIELD_OFFSET(_URB_CONTROL_TRANSFER, TransferBufferLength);
const size_t kBufferAt = FIELD_OFFSET(_URB_CONTROL_TRANSFER, TransferBuffer);
const size_t kMdlAt = FIELD_OFFSET(_URB_CONTROL_TRANSFER, TransferBufferMDL);
static_assert(FIELD_OFFSET(_URB_ISOCH_TRANSFER, TransferBufferLength) == kBufferLengthAt, "layout");
static_assert(FIELD_OFFSET(_URB_ISOCH_TRANSFER, TransferBufferMDL) == kMdlAt, "layout");
static_assert(FIELD_OFFSET(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == kBufferAt, "layout");

// One request in flight: what the host owns until the request completes.
struct Request {
    PIRP irp = nullptr;
    uint8_t* urb = nullptr;
    size_t urb_block = 0;
    uint8_t* data = nullptr;
    ULONG data_length = 0;  // the capacity as sent
    PMDL mdl = nullptr;
    bool isoch = false;
    int completions = 0;
    // The status stored at completion; the URB's outcome is checked then,
    // while the host still owns every byte of it.
    NTSTATUS status = 0;
};

const size_t kMaxRequests = 24;
Request g_requests[kMaxRequests];
size_t g_count = 0;

void CheckOutcome(Request& r) {
    if (r.urb_block < kBufferLengthAt + sizeof(ULONG)) return;
    ULONG reported;
    std::memcpy(&reported, r.urb + kBufferLengthAt, sizeof reported);
    USHORT function;
    std::memcpy(&function, r.urb + 2, sizeof function);
    // A successful answer never claims more bytes than the buffer holds.
    if (NT_SUCCESS(r.status) && reported > r.data_length && function != URB_FUNCTION_SELECT_CONFIGURATION &&
        function != URB_FUNCTION_SELECT_INTERFACE)
        Finding("a successful URB reports more bytes than its buffer holds");
    const size_t count_at = FIELD_OFFSET(_URB_ISOCH_TRANSFER, NumberOfPackets);
    if (!r.isoch || !NT_SUCCESS(r.status) || r.urb_block < count_at + sizeof(ULONG)) return;
    ULONG packets;
    std::memcpy(&packets, r.urb + count_at, sizeof packets);
    const size_t at = FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket);
    for (ULONG i = 0; i < packets && at + (i + 1) * sizeof(USBD_ISO_PACKET_DESCRIPTOR) <= r.urb_block; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR p;
        std::memcpy(&p, r.urb + at + i * sizeof p, sizeof p);
        if (p.Status == USBD_STATUS_SUCCESS && p.Length != 0 && (uint64_t)p.Offset + p.Length > r.data_length)
            Finding("a filled packet lies outside the transfer buffer");
    }
}

NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    Request* r = static_cast<Request*>(context);
    if (++r->completions == 1) {
        r->status = irp->IoStatus.Status;
        CheckOutcome(*r);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Release(Request& r) {
    if (r.completions != 1) Finding("a URB request was completed more or less than once");
    IoFreeIrp(r.irp);
    if (r.mdl) IoFreeMdl(r.mdl);
    std::free(r.urb);
    std::free(r.data);
    r = Request();
}

// Builds and sends one URB from the input.
void SendUrb(World& w, Reader& in, uint8_t op) {
    if (g_count == kMaxRequests) return;
    const int which = op & 1;
    const uint8_t shape = in.Byte();
    const FunctionKind kind = (shape & 0xE0) == 0xE0 ? FunctionKind{in.Word(), sizeof(_URB_HEADER)}
                                                     : kFunctions[in.Byte() % kFunctionCount];

    // The data buffer: mostly small, sometimes large enough for whole packets.
    ULONG data_length = (shape & 0x10) ? in.Word() % 8192 : in.Byte() % 64;
    const int buffer_mode = (shape >> 2) & 3;  // 0, 1: buffer; 2: MDL; 3: none

    // The packet table of an isochronous transfer.
    ULONG packets = 0;
    if (kind.function == URB_FUNCTION_ISOCH_TRANSFER) packets = in.Byte() % 33;

    // The URB's length: its fixed part (and packets), a little more, a
    // little less, or anything.
    size_t natural = kind.fixed + (size_t)packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    size_t length;
    switch (shape & 3) {
    case 0: length = natural; break;
    case 1: length = natural + in.Byte() % 64; break;
    case 2: length = natural - (in.Byte() % (natural + 1)); break;
    default: length = in.Word() % 1024; break;
    }
    if (length > 0xFFFF) length = 0xFFFF;
    const size_t block = length < sizeof(_URB_HEADER) ? sizeof(_URB_HEADER) : length;

    Request& r = g_requests[g_count];
    r.urb = static_cast<uint8_t*>(std::malloc(block));
    r.urb_block = block;
    std::memset(r.urb, 0, block);
    in.Take(r.urb + sizeof(_URB_HEADER), block - sizeof(_URB_HEADER) < 48 ? block - sizeof(_URB_HEADER) : 48);
    _URB_HEADER header = {};
    header.Length = (USHORT)length;
    header.Function = kind.function;
    std::memcpy(r.urb, &header, sizeof header);
    auto put = [&](size_t at, const void* value, size_t n) {
        if (at + n <= block) std::memcpy(r.urb + at, value, n);
    };

    r.data_length = data_length;
    r.data = static_cast<uint8_t*>(std::malloc(data_length ? data_length : 1));
    std::memset(r.data, 0xEE, data_length);
    in.Take(r.data, data_length < 32 ? data_length : 32);
    PVOID buffer = nullptr;
    if (buffer_mode < 2 && data_length) buffer = r.data;
    if (buffer_mode == 2 && data_length) {
        r.mdl = IoAllocateMdl(r.data, data_length, FALSE, FALSE, nullptr);
        if (r.mdl) MmBuildMdlForNonPagedPool(r.mdl);
    }

    switch (kind.function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        // The configuration the child reports (the host's copy), or none.
        const std::vector<uint8_t>& set = w.config[(shape & 0x10) ? which ^ 1 : which];
        std::free(r.data);
        r.data_length = (ULONG)set.size();
        r.data = static_cast<uint8_t*>(std::malloc(set.size()));
        std::memcpy(r.data, set.data(), set.size());
        if (r.mdl) {
            IoFreeMdl(r.mdl);
            r.mdl = nullptr;
        }
        PVOID descriptor = (shape & 0x0C) == 0x0C ? nullptr : r.data;
        put(FIELD_OFFSET(_URB_SELECT_CONFIGURATION, ConfigurationDescriptor), &descriptor, sizeof descriptor);
        break;
    }
    case URB_FUNCTION_SELECT_INTERFACE:
        break;  // the body is the input's, interface block and all
    default:
        put(kBufferLengthAt, &data_length, sizeof data_length);
        put(kBufferAt, &buffer, sizeof buffer);
        put(kMdlAt, &r.mdl, sizeof r.mdl);
        break;
    }
    if (kind.function == URB_FUNCTION_ISOCH_TRANSFER) {
        r.isoch = true;
        // Pipe handle: the endpoint in its low byte (the video IN pipe, the
        // microphone IN pipe, the speaker OUT pipe) or anything.
        static const UCHAR endpoints[] = {0x82, 0x81, 0x02, 0x00};
        uint8_t e = in.Byte();
        ULONG_PTR pipe = (e & 4) ? e : (ULONG_PTR)(endpoints[e & 3] | (1u << 8) | (1u << 16));
        put(FIELD_OFFSET(_URB_ISOCH_TRANSFER, PipeHandle), &pipe, sizeof pipe);
        ULONG stated = (e & 0x80) ? in.Word() : packets;  // may disagree with the URB's length
        put(FIELD_OFFSET(_URB_ISOCH_TRANSFER, NumberOfPackets), &stated, sizeof stated);
        // Offsets: evenly spread, or from the input.
        ULONG step = packets ? data_length / packets : 0;
        for (ULONG i = 0; i < packets; ++i) {
            USBD_ISO_PACKET_DESCRIPTOR p = {};
            p.Offset = (e & 0x40) ? in.Dword() % (data_length + 16) : i * step;
            p.Length = 0xABAB;
            p.Status = 0x12345678;  // a packet the driver fills gets its own status
            put(FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket) + i * sizeof p, &p, sizeof p);
        }
    }

    PDEVICE_OBJECT target = w.child[which];
    r.irp = IoAllocateIrp(target->StackSize, FALSE);
    if (!r.irp) Finding("IoAllocateIrp failed");
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r.irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = (op & 0x80) && (op & 0x40) ? in.Dword()
                                                                                : IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = r.urb;
    IoSetCompletionRoutine(r.irp, Done, &r, TRUE, TRUE, TRUE);
    ++g_count;
    NTSTATUS returned = IoCallDriver(target, r.irp);
    if (returned != STATUS_PENDING) {
        if (r.completions != 1) Finding("a request answered without pending was not completed once");
        if (returned != r.status) Finding("the returned status differs from the completed one");
    }
}

// The application's side: a frame of the selected size, or PCM.
void Poke(World& w, Reader& in, uint8_t op) {
    ULONG returned = 0;
    if (op & 1) {
        PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)w.fdo->DeviceExtension;
        ULONG size = FrameSizeForIndex((LONG)bus->curr_frame_index - 1);
        if (size > w.frame.size() || (op & 2)) size = in.Word() % 4096;  // a wrong size is refused
        hk::io::DeviceIoControl(w.bus, IOCTL_BULKUSB_WRITE_YUV2, w.frame.data(), size, nullptr, 0, &returned);
    } else {
        static uint8_t pcm[8192];
        ULONG size = in.Word() % sizeof pcm;
        hk::io::DeviceIoControl(w.bus, IOCTL_BULKUSB_WRITE_PCM, pcm, size, nullptr, 0, &returned);
    }
}

bool WaitCompleted(World& w, Request& r) {
    for (int i = 0; i < 20000 && r.completions == 0; ++i) {
        w.machine->Settle(std::chrono::milliseconds(1));
        std::this_thread::yield();
    }
    return r.completions != 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) { return fuzzsetup::NoLeakScanPerInput(argc, argv); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = Boot();
    Reader in{data, size};
    for (int step = 0; step < 16 && in.size > 0; ++step) {
        uint8_t op = in.Byte();
        switch ((op >> 1) & 7) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
            SendUrb(w, in, op);
            break;
        case 5:
            Poke(w, in, op);
            break;
        case 6:
            // Time passes: the microphone's park window closes, the pacing
            // thread takes speaker transfers.
            w.machine->AdvanceMs(in.Byte() % 40);
            w.machine->Settle(std::chrono::milliseconds(100));
            break;
        default:
            // The host cancels one of its transfers.
            if (g_count) {
                Request& r = g_requests[in.Byte() % g_count];
                if (r.completions == 0) IoCancelIrp(r.irp);
            }
            break;
        }
    }

    // The host takes back everything still out, as a class driver does when
    // it stops: cancel and wait.
    for (size_t i = 0; i < g_count; ++i) {
        Request& r = g_requests[i];
        if (r.completions == 0) IoCancelIrp(r.irp);
        if (!WaitCompleted(w, r)) Finding("a cancelled URB request never completed");
    }
    for (size_t i = 0; i < g_count; ++i) Release(g_requests[i]);
    g_count = 0;
    w.machine->ClearDebugLog();  // DbgPrint's own messages are kept whatever the level

    if (!w.machine->Findings().empty()) {
        std::fprintf(stderr, "%s\n", w.machine->Report().c_str());
        Finding("verifier finding");
    }
    if (w.machine->CheckPoolGuards() != 0) Finding("pool guard bytes overwritten");
    if (hk::io::OutstandingIrpCount() != w.baseline_irps) Finding("IRPs left allocated after the input");
    // The bus keeps a configuration copy per child and a bounded stock of
    // frame and PCM records; anything beyond that is growth.
    if (w.machine->OutstandingPool().size() > w.baseline_pool + 2 + VHUB_FREE_FRAME_MAX + 16)
        Finding("pool grows from input to input");
    return 0;
}
