// What the data-path benchmarks share: a bus device and one child device of
// the driver, set up by hand without plug and play; the host's isochronous
// transfers sent to the child; the application's write requests sent to the
// bus; and the memcpy baseline the write figures are measured against.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "audio/audio.h"
#include "hk/io.h"
#include "hk/machine.h"

namespace benchrig {

inline NTSTATUS NTAPI RouteInternal(PDEVICE_OBJECT device, PIRP irp) {
    return ((PPDO_DEVICE_DATA)device->DeviceExtension)->UrbDispatch(device, irp);
}
inline VOID NTAPI Unload(PDRIVER_OBJECT) {}

// A driver whose device-control requests go to `Control` and whose URBs go
// to the child's own dispatcher.
template <NTSTATUS(NTAPI* Control)(PDEVICE_OBJECT, PIRP)>
NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = RouteInternal;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

// Counts completions into the std::atomic<int> the context points at and
// keeps the IRP for its owner.
inline NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The bus device with every queue, lock and event of its extension ready.
inline PDEVICE_OBJECT CreateBus(PDRIVER_OBJECT driver) {
    PDEVICE_OBJECT bus = nullptr;
    IoCreateDevice(driver, sizeof(FDO_DEVICE_DATA), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &bus);
    PFDO_DEVICE_DATA b = (PFDO_DEVICE_DATA)bus->DeviceExtension;
    RtlZeroMemory(b, sizeof *b);
    b->Common.IsFDO = 1;
    for (PLIST_ENTRY l : {&b->CameraIrpList, &b->MicIrpList, &b->SpeakerIrpList, &b->SpeakerPcmList,
                          &b->FreeFrameList, &b->PendingFrameList})
        InitializeListHead(l);
    for (PKSPIN_LOCK k : {&b->CameraIrpLock, &b->MicIrpLock, &b->SpeakerIrpLock, &b->SpeakerPcmLock,
                          &b->FreeFrameLock, &b->PendingFrameLock})
        KeInitializeSpinLock(k);
    KeInitializeEvent(&b->StopEvent, NotificationEvent, FALSE);
    return bus;
}

// A started, present child of `bus` whose URBs go to `dispatch`.
inline PDEVICE_OBJECT CreateChild(PDRIVER_OBJECT driver, PDEVICE_OBJECT bus,
                                  NTSTATUS(NTAPI* dispatch)(PDEVICE_OBJECT, PIRP)) {
    PDEVICE_OBJECT child = nullptr;
    IoCreateDevice(driver, sizeof(PDO_DEVICE_DATA), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &child);
    PPDO_DEVICE_DATA c = (PPDO_DEVICE_DATA)child->DeviceExtension;
    RtlZeroMemory(c, sizeof *c);
    c->Self = child;
    c->UrbDispatch = dispatch;
    c->BusExtension = (PFDO_DEVICE_DATA)bus->DeviceExtension;
    c->Present = 1;
    c->state = STATE_STARTED;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    return child;
}

// One isochronous transfer as the host's class driver keeps it.
struct Transfer {
    PIRP irp = nullptr;
    std::vector<uint64_t> urb;  // 8-byte aligned
    std::vector<uint8_t> data;
    std::atomic<int> completions{0};
    _URB_ISOCH_TRANSFER& iso() { return ((PURB)urb.data())->UrbIsochronousTransfer; }

    void Allocate(ULONG packets, ULONG packetSize) {
        urb.assign((FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR) + 7) / 8,
                   0);
        data.resize(packets * packetSize);
    }
    // Fills the URB for `packets` packets of `packetSize` bytes and sends it
    // to `device` with Done counting its completion.
    void Submit(PDEVICE_OBJECT device, ULONG packets, ULONG packetSize) {
        PURB u = (PURB)urb.data();
        u->UrbHeader.Length = (USHORT)(urb.size() * 8);
        u->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso().TransferBufferLength = packets * packetSize;
        iso().TransferBuffer = data.data();
        iso().NumberOfPackets = packets;
        for (ULONG p = 0; p < packets; ++p) iso().IsoPacket[p].Offset = p * packetSize;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = u;
        IoSetCompletionRoutine(irp, Done, &completions, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
    }
};

// A METHOD_NEITHER write of `bytes` (a registered user range) to the bus, as
// the application sends it; returns the request's final status.
inline NTSTATUS WriteRequest(PDEVICE_OBJECT bus, ULONG code, std::vector<uint8_t>& bytes) {
    PIRP irp = IoAllocateIrp(bus->StackSize, FALSE);
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = (ULONG)bytes.size();
    next->Parameters.DeviceIoControl.Type3InputBuffer = bytes.data();
    std::atomic<int> completions{0};
    IoSetCompletionRoutine(irp, Done, &completions, TRUE, TRUE, TRUE);
    IoCallDriver(bus, irp);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// Nanoseconds one memcpy of `bytes` takes, averaged over `window`.
inline double MemcpyNs(const std::vector<uint8_t>& bytes, std::chrono::milliseconds window) {
    std::vector<uint8_t> sink(bytes.size());
    auto t0 = std::chrono::steady_clock::now();
    int reps = 0;
    do {
        std::memcpy(sink.data(), bytes.data(), bytes.size());
        benchmark::DoNotOptimize(sink.data());
        ++reps;
    } while (std::chrono::steady_clock::now() - t0 < window);
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / reps;
}

}  // namespace benchrig
