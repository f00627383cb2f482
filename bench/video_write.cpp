// The video write path: one IOCTL_BULKUSB_WRITE_YUV2 request cut into the
// host's parked isochronous transfers (32 packets of 3072 bytes each, as the
// video class driver submits them), filled and completed. Reported as bytes
// per second and against a plain memcpy of the same frame measured in the
// same run (the counter "vs_memcpy" is write time / memcpy time).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/audio.h"
#include "hk/io.h"
#include "hk/machine.h"

namespace {

constexpr ULONG kPackets = 32;
constexpr ULONG kPacketSize = 3072;

NTSTATUS NTAPI RouteInternal(PDEVICE_OBJECT device, PIRP irp) {
    return ((PPDO_DEVICE_DATA)device->DeviceExtension)->UrbDispatch(device, irp);
}
NTSTATUS NTAPI RouteControl(PDEVICE_OBJECT device, PIRP irp) { return VhubWriteYuv2(device, irp); }
VOID NTAPI Unload(PDRIVER_OBJECT) {}
NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = RouteInternal;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RouteControl;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP, PVOID context) {
    ++*static_cast<int*>(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct Transfer {
    PIRP irp = nullptr;
    std::vector<uint64_t> urb;
    std::vector<uint8_t> data;
    int completions = 0;
    _URB_ISOCH_TRANSFER& iso() { return ((PURB)urb.data())->UrbIsochronousTransfer; }
};

struct VideoRig {
    hk::Machine machine;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT bus = nullptr, camera = nullptr;
    std::vector<std::unique_ptr<Transfer>> transfers;

    VideoRig() {
        driver = hk::io::LoadDriver("videobench", Entry);
        IoCreateDevice(driver, sizeof(FDO_DEVICE_DATA), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &bus);
        PFDO_DEVICE_DATA b = (PFDO_DEVICE_DATA)bus->DeviceExtension;
        RtlZeroMemory(b, sizeof *b);
        b->Common.IsFDO = 1;
        InitializeListHead(&b->CameraIrpList);
        KeInitializeSpinLock(&b->CameraIrpLock);
        KeInitializeEvent(&b->StopEvent, NotificationEvent, FALSE);
        for (PLIST_ENTRY l : {&b->MicIrpList, &b->SpeakerIrpList, &b->SpeakerPcmList, &b->FreeFrameList,
                              &b->PendingFrameList})
            InitializeListHead(l);
        bus->Flags &= ~DO_DEVICE_INITIALIZING;
        IoCreateDevice(driver, sizeof(PDO_DEVICE_DATA), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &camera);
        PPDO_DEVICE_DATA c = (PPDO_DEVICE_DATA)camera->DeviceExtension;
        RtlZeroMemory(c, sizeof *c);
        c->Self = camera;
        c->UrbDispatch = MicDispatch;
        c->BusExtension = b;
        c->Present = 1;
        c->state = STATE_STARTED;
        camera->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~VideoRig() {
        for (auto& t : transfers) IoFreeIrp(t->irp);
        IoDeleteDevice(camera);
        IoDeleteDevice(bus);
        hk::io::UnloadDriver("videobench");
    }
    PFDO_DEVICE_DATA ext() { return (PFDO_DEVICE_DATA)bus->DeviceExtension; }

    void Prepare(size_t count) {
        while (transfers.size() < count) {
            auto t = std::make_unique<Transfer>();
            t->urb.assign((FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket) +
                           kPackets * sizeof(USBD_ISO_PACKET_DESCRIPTOR) + 7) / 8, 0);
            t->data.resize(kPackets * kPacketSize);
            t->irp = IoAllocateIrp(camera->StackSize, FALSE);
            transfers.push_back(std::move(t));
        }
    }
    // Parks `count` transfers, as the host keeps them queued.
    void Park(size_t count) {
        Prepare(count);
        for (size_t i = 0; i < count; ++i) {
            Transfer& t = *transfers[i];
            IoReuseIrp(t.irp, STATUS_SUCCESS);
            PURB urb = (PURB)t.urb.data();
            urb->UrbHeader.Length = (USHORT)(t.urb.size() * 8);
            urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
            t.iso().TransferBufferLength = kPackets * kPacketSize;
            t.iso().TransferBuffer = t.data.data();
            t.iso().NumberOfPackets = kPackets;
            for (ULONG p = 0; p < kPackets; ++p) t.iso().IsoPacket[p].Offset = p * kPacketSize;
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t.irp);
            next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            next->Parameters.Others.Argument1 = urb;
            IoSetCompletionRoutine(t.irp, Done, &t.completions, TRUE, TRUE, TRUE);
            IoCallDriver(camera, t.irp);
        }
    }
    NTSTATUS Write(std::vector<uint8_t>& frame) {
        PIRP irp = IoAllocateIrp(bus->StackSize, FALSE);
        irp->RequestorMode = UserMode;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_BULKUSB_WRITE_YUV2;
        next->Parameters.DeviceIoControl.InputBufferLength = (ULONG)frame.size();
        next->Parameters.DeviceIoControl.Type3InputBuffer = frame.data();
        int completions = 0;
        IoSetCompletionRoutine(irp, Done, &completions, TRUE, TRUE, TRUE);
        IoCallDriver(bus, irp);
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        return status;
    }
};

void BM_VideoWrite(benchmark::State& state) {
    const UCHAR frame_index = (UCHAR)state.range(0);
    const ULONG bytes = FrameSizeForIndex(frame_index - 1);
    const size_t needed = (bytes + (kPacketSize - 2) * kPackets - 1) / ((kPacketSize - 2) * kPackets);
    VideoRig rig;
    rig.ext()->curr_frame_index = frame_index;
    ULONG saved_level = VhubDebugLevel;
    VhubDebugLevel = 0;  // measure the path, not the debug log
    std::vector<uint8_t> frame(bytes, 0x5A);
    hk::UserRange range(frame.data(), frame.size(), false);

    // Baseline in the same run: memcpy of the frame into transfer-sized buffers.
    std::vector<uint8_t> sink(bytes);
    auto t0 = std::chrono::steady_clock::now();
    int reps = 0;
    do {
        std::memcpy(sink.data(), frame.data(), bytes);
        benchmark::DoNotOptimize(sink.data());
        ++reps;
    } while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(100));
    double memcpy_ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / reps;

    double write_ns = 0;
    for (auto _ : state) {
        state.PauseTiming();
        rig.Park(needed);
        state.ResumeTiming();
        auto w0 = std::chrono::steady_clock::now();
        NTSTATUS status = rig.Write(frame);
        write_ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - w0).count();
        if (status != STATUS_SUCCESS) state.SkipWithError("write failed");
    }
    VhubDebugLevel = saved_level;
    state.SetBytesProcessed((int64_t)state.iterations() * bytes);
    state.counters["frame_bytes"] = bytes;
    state.counters["transfers"] = (double)needed;
    state.counters["memcpy_GBps"] = bytes / memcpy_ns;
    state.counters["vs_memcpy"] = (write_ns / state.iterations()) / memcpy_ns;
}
BENCHMARK(BM_VideoWrite)->DenseRange(1, 5)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
