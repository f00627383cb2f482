// URBs travel as IRPs: the class drivers build them, send them down their
// stack with IoCallDriver and take them back in completion routines.
#include <chrono>
#include <cstring>
#include <thread>

#include "internal.h"

namespace usbclass {
namespace detail {

namespace {

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours again
}

// Sends a prepared IRP and waits for it; frees it.
NTSTATUS CallAndWait(PDEVICE_OBJECT target, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

thread_local IsoStream::Transfer* tls_submitting = nullptr;

LONGLONG Now() { return (LONGLONG)KeQueryInterruptTime(); }

}  // namespace

NTSTATUS SubmitUrb(PDEVICE_OBJECT target, PURB urb) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    return CallAndWait(target, irp);
}

NTSTATUS GetDescriptor(PDEVICE_OBJECT target, UCHAR type, UCHAR index, USHORT language, ULONG length,
                       std::vector<uint8_t>& out) {
    out.clear();
    auto* buffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, length ? length : 1, kPoolTag));
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kPoolTag));
    if (!buffer || !urb) {
        if (buffer) ExFreePool(buffer);
        if (urb) ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(buffer, 0, length ? length : 1);
    std::memset(urb, 0, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                                 buffer, nullptr, length, nullptr);
    NTSTATUS status = SubmitUrb(target, urb);
    if (NT_SUCCESS(status)) {
        // A device can only shorten the transfer.
        ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (got > length) got = length;
        out.assign(buffer, buffer + got);
    }
    ExFreePool(urb);
    ExFreePool(buffer);
    return status;
}

NTSTATUS ClassRequest(PDEVICE_OBJECT target, USHORT function, bool in, UCHAR request, USHORT value, USHORT index,
                      std::vector<uint8_t>& data) {
    ULONG length = (ULONG)data.size();
    auto* buffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, length ? length : 1, kPoolTag));
    auto* urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kPoolTag));
    if (!buffer || !urb) {
        if (buffer) ExFreePool(buffer);
        if (urb) ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(urb, 0, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (length) std::memcpy(buffer, data.data(), length);
    ULONG flags = in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    UsbBuildVendorRequest(urb, function, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0,
                          request, value, index, length ? buffer : nullptr, nullptr, length, nullptr);
    NTSTATUS status = SubmitUrb(target, urb);
    if (NT_SUCCESS(status) && in) {
        ULONG got = urb->UrbControlVendorClassRequest.TransferBufferLength;
        if (got > length) got = length;
        data.assign(buffer, buffer + got);
    }
    ExFreePool(urb);
    ExFreePool(buffer);
    return status;
}

NTSTATUS SelectInterface(PDEVICE_OBJECT target, USBD_CONFIGURATION_HANDLE configuration,
                         const USB_CONFIGURATION_DESCRIPTOR* descriptor, UCHAR interfaceNumber, UCHAR alternate,
                         std::vector<USBD_PIPE_INFORMATION>& pipes) {
    pipes.clear();
    auto* config = const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor);
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(config, config, interfaceNumber, alternate, -1, -1, -1);
    if (!interface) return STATUS_INVALID_PARAMETER;
    ULONG endpoints = interface->bNumEndpoints;
    SIZE_T size = GET_SELECT_INTERFACE_REQUEST_SIZE(endpoints ? endpoints : 1);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(urb, 0, size);
    UsbBuildSelectInterfaceRequest(urb, (USHORT)size, configuration, interfaceNumber, alternate);
    urb->UrbSelectInterface.Interface.NumberOfPipes = endpoints;
    for (ULONG p = 0; p < endpoints; ++p)
        urb->UrbSelectInterface.Interface.Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    NTSTATUS status = SubmitUrb(target, urb);
    if (NT_SUCCESS(status)) {
        ULONG reported = urb->UrbSelectInterface.Interface.NumberOfPipes;
        // Only the records the URB has room for can have been filled.
        if (reported > (endpoints ? endpoints : 1)) reported = endpoints ? endpoints : 1;
        for (ULONG p = 0; p < reported; ++p) pipes.push_back(urb->UrbSelectInterface.Interface.Pipes[p]);
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS QueryBusInterface(PDEVICE_OBJECT target, USB_BUS_INTERFACE_USBDI_V3& out) {
    static const USHORT sizes[] = {sizeof(USB_BUS_INTERFACE_USBDI_V0), sizeof(USB_BUS_INTERFACE_USBDI_V1),
                                   sizeof(USB_BUS_INTERFACE_USBDI_V2), sizeof(USB_BUS_INTERFACE_USBDI_V3)};
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (int version = 3; version >= 0; --version) {
        std::memset(&out, 0, sizeof out);
        PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
        if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // what every PnP request starts with
        irp->IoStatus.Information = 0;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_INTERFACE;
        next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
        next->Parameters.QueryInterface.Size = sizes[version];
        next->Parameters.QueryInterface.Version = (USHORT)version;
        next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&out);
        next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
        status = CallAndWait(target, irp);
        if (NT_SUCCESS(status)) return status;
    }
    return status;
}

// --- isochronous streams -------------------------------------------------------------------
struct IsoStream::Transfer {
    IsoStream* stream = nullptr;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    uint8_t* buffer = nullptr;
    ULONG urbSize = 0;
    enum State { Idle, Pending, Delayed } state = Idle;
    LONGLONG due = 0;
};

IsoStream::~IsoStream() { Stop(); }

NTSTATUS IsoStream::Start(const IsoStreamConfig& config) {
    if (started_) return STATUS_INVALID_DEVICE_STATE;
    if (!config.target || config.transfers == 0 || config.packets == 0 || config.packetSize == 0)
        return STATUS_INVALID_PARAMETER;
    config_ = config;
    KeInitializeSpinLock(&lock_);
    KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
    stopping_ = exit_ = false;
    inFlight_ = 0;
    consecutiveFailures_ = 0;
    halted_ = false;

    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < config.transfers && NT_SUCCESS(status); ++i) {
        auto* t = new Transfer;
        t->stream = this;
        t->urbSize = (ULONG)GET_ISO_URB_SIZE(config.packets);
        t->irp = IoAllocateIrp(config.target->StackSize, FALSE);
        t->urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, t->urbSize, kPoolTag));
        t->buffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)config.packets * config.packetSize, kPoolTag));
        transfers_.push_back(t);
        if (!t->irp || !t->urb || !t->buffer) status = STATUS_INSUFFICIENT_RESOURCES;
        else std::memset(t->buffer, 0, (SIZE_T)config.packets * config.packetSize);
    }
    if (NT_SUCCESS(status)) {
        HANDLE handle = nullptr;
        status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Worker, this);
        if (NT_SUCCESS(status)) {
            threadHandle_ = handle;
            status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread_, nullptr);
            if (!NT_SUCCESS(status)) {
                // The worker runs but cannot be waited for: end it and refuse.
                KIRQL old;
                KeAcquireSpinLock(&lock_, &old);
                exit_ = true;
                KeReleaseSpinLock(&lock_, old);
                KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
            }
        }
    }
    started_ = true;
    if (!NT_SUCCESS(status)) {
        Stop();
        return status;
    }
    std::vector<Transfer*> batch;
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    for (Transfer* t : transfers_) {
        Rearm(t);
        ++inFlight_;
        batch.push_back(t);
    }
    KeReleaseSpinLock(&lock_, old);
    for (Transfer* t : batch) Send(t);
    return STATUS_SUCCESS;
}

void IsoStream::Rearm(Transfer* t) {
    IoReuseIrp(t->irp, STATUS_NOT_SUPPORTED);
    PURB urb = t->urb;
    std::memset(urb, 0, t->urbSize);
    urb->UrbIsochronousTransfer.Hdr.Length = (USHORT)t->urbSize;
    urb->UrbIsochronousTransfer.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    urb->UrbIsochronousTransfer.PipeHandle = config_.pipe;
    urb->UrbIsochronousTransfer.TransferFlags =
        USBD_START_ISO_TRANSFER_ASAP | (config_.in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0);
    urb->UrbIsochronousTransfer.TransferBuffer = t->buffer;
    urb->UrbIsochronousTransfer.TransferBufferLength = config_.packets * config_.packetSize;
    urb->UrbIsochronousTransfer.NumberOfPackets = config_.packets;
    for (ULONG p = 0; p < config_.packets; ++p) urb->UrbIsochronousTransfer.IsoPacket[p].Offset = p * config_.packetSize;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(t->irp, Completion, t, TRUE, TRUE, TRUE);
    t->state = Transfer::Pending;
}

void IsoStream::Send(Transfer* t) {
    if (!config_.in && config_.prepare) {
        IsoTransferView view{t->urb, t->buffer, config_.packets, config_.packetSize};
        config_.prepare(view);
    }
    Transfer* outer = tls_submitting;
    tls_submitting = t;
    IoCallDriver(config_.target, t->irp);
    tls_submitting = outer;
}

void IsoStream::Retire(Transfer* t) {
    t->state = Transfer::Idle;
    if (inFlight_ > 0) --inFlight_;
}

NTSTATUS NTAPI IsoStream::Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* t = static_cast<Transfer*>(context);
    IsoStream* s = t->stream;
    NTSTATUS status = irp->IoStatus.Status;
    bool synchronous = tls_submitting == t;

    KIRQL old;
    KeAcquireSpinLock(&s->lock_, &old);
    bool stopping = s->stopping_;
    KeReleaseSpinLock(&s->lock_, old);

    bool hadData = false;
    if (status == STATUS_CANCELLED) {
        ++s->cancelled_;
    } else {
        if (!NT_SUCCESS(status)) ++s->failed_;
        if (s->config_.complete) {
            IsoTransferView view{t->urb, t->buffer, s->config_.packets, s->config_.packetSize};
            hadData = s->config_.complete(view, status);
        }
    }

    KeAcquireSpinLock(&s->lock_, &old);
    if (s->stopping_ || stopping) {
        s->Retire(t);
        KeReleaseSpinLock(&s->lock_, old);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (NT_SUCCESS(status)) s->consecutiveFailures_ = 0;
    else if (++s->consecutiveFailures_ >= 8) {
        s->halted_ = true;
        s->Retire(t);
        KeReleaseSpinLock(&s->lock_, old);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (synchronous || !NT_SUCCESS(status) || (s->config_.in && !hadData)) {
        t->state = Transfer::Delayed;
        t->due = Now() + s->config_.transferDuration;
        KeReleaseSpinLock(&s->lock_, old);
        KeSetEvent(&s->wake_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    s->Rearm(t);
    KeReleaseSpinLock(&s->lock_, old);
    s->Send(t);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void NTAPI IsoStream::Worker(PVOID context) {
    auto* s = static_cast<IsoStream*>(context);
    for (;;) {
        std::vector<Transfer*> due;
        LONGLONG next = -1;
        KIRQL old;
        KeAcquireSpinLock(&s->lock_, &old);
        if (s->exit_) {
            KeReleaseSpinLock(&s->lock_, old);
            break;
        }
        LONGLONG now = Now();
        for (Transfer* t : s->transfers_) {
            if (t->state != Transfer::Delayed) continue;
            if (s->stopping_) {
                s->Retire(t);
            } else if (t->due <= now) {
                s->Rearm(t);
                due.push_back(t);
            } else if (next < 0 || t->due < next) {
                next = t->due;
            }
        }
        KeReleaseSpinLock(&s->lock_, old);
        for (Transfer* t : due) s->Send(t);
        if (!due.empty()) continue;  // some may be back already
        LARGE_INTEGER timeout;
        timeout.QuadPart = next < 0 ? 0 : -(next - now);
        KeWaitForSingleObject(&s->wake_, Executive, KernelMode, FALSE, next < 0 ? nullptr : &timeout);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

size_t IsoStream::InFlight() const {
    if (!started_) return 0;
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    size_t n = inFlight_;
    KeReleaseSpinLock(&lock_, old);
    return n;
}

bool IsoStream::Stop() {
    if (!started_) return true;
    bool clean = true;
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    stopping_ = true;
    for (Transfer* t : transfers_)
        if (t->state == Transfer::Delayed) Retire(t);
    KeReleaseSpinLock(&lock_, old);

    // Cancel until every transfer is back. A transfer on its way into the
    // device may not have its cancel routine yet; it is cancelled again on
    // the next round.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::vector<PIRP> pending;
        KeAcquireSpinLock(&lock_, &old);
        for (Transfer* t : transfers_)
            if (t->state == Transfer::Pending) pending.push_back(t->irp);
        KeReleaseSpinLock(&lock_, old);
        if (pending.empty()) break;
        for (PIRP irp : pending) IoCancelIrp(irp);
        if (std::chrono::steady_clock::now() > deadline) {
            clean = false;
            break;
        }
        std::this_thread::yield();
    }

    KeAcquireSpinLock(&lock_, &old);
    exit_ = true;
    KeReleaseSpinLock(&lock_, old);
    KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
    if (thread_) {
        KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread_);
        thread_ = nullptr;
    }
    if (threadHandle_) {
        ZwClose(threadHandle_);
        threadHandle_ = nullptr;
    }
    for (Transfer* t : transfers_) {
        if (t->state != Transfer::Idle) continue;  // never free what a driver still holds
        if (t->irp) IoFreeIrp(t->irp);
        if (t->urb) ExFreePool(t->urb);
        if (t->buffer) ExFreePool(t->buffer);
        delete t;
    }
    transfers_.clear();
    started_ = false;
    return clean;
}

}  // namespace detail
}  // namespace usbclass
