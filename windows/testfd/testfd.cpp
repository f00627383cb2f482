// VhubTestFd.sys: a minimal USB video function driver for testing the bus.
//
// Bound by its INF to the camera child's hardware identifier, it does what a
// host's video class driver does to get a stream going, with plain URBs:
//   1. reads the device and configuration descriptors;
//   2. selects configuration 1 (USBD_CreateConfigurationRequestEx over the
//      two interfaces that USBD_ParseConfigurationDescriptorEx finds);
//   3. probes and commits one frame size (SET_CUR probe, GET_CUR probe,
//      SET_CUR commit);
//   4. selects alternate setting 1 of the streaming interface;
//   5. keeps several isochronous IN transfers in flight on its pipe,
//      resubmitting each as it completes.
// From the payloads (a 2-byte-or-longer header with FID and EOF, then data)
// it reassembles frames and keeps a checksum of every complete one. The
// report is read through the driver's own device interface
// (testfd_ioctl.h), so a test can compare the frames the application fed
// with what a function driver received, one by one.
//
// It is a test instrument, not a product: one frame size, no power policy,
// no selective suspend.
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}

#include "testfd_ioctl.h"

#define TESTFD_TAG ((ULONG)0x64467456)  // "VtFd" in memory
#define TESTFD_TRANSFERS 8          // isochronous transfers kept in flight
#define TESTFD_PACKETS 32           // packets per transfer
#define TESTFD_PACKET_BYTES 3072    // room per packet: the largest high-bandwidth packet
#define TESTFD_FRAME_INDEX 1        // 480x360, the smallest size offered
#define TESTFD_FRAME_INTERVAL 333333

#define UVC_SET_CUR 0x01
#define UVC_GET_CUR 0x81
#define UVC_VS_PROBE_CONTROL 0x01
#define UVC_VS_COMMIT_CONTROL 0x02
#define UVC_PROBE_LENGTH 26
#define UVC_HEADER_FID 0x01
#define UVC_HEADER_EOF 0x02
#define UVC_HEADER_ERR 0x40

static const GUID kTestFdInterface = VHUB_TESTFD_INTERFACE_GUID_INIT;

struct TESTFD_TRANSFER {
    struct TESTFD_EXTENSION* Owner;
    PIRP Irp;
    PURB Urb;
    PUCHAR Buffer;
};

struct TESTFD_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Lower;
    UNICODE_STRING InterfaceName;
    BOOLEAN InterfaceRegistered;

    USBD_CONFIGURATION_HANDLE ConfigHandle;
    USBD_PIPE_HANDLE VideoPipe;
    UCHAR StreamInterface;

    BOOLEAN Stopping;
    LONG InFlight;          // transfers owned by the bus
    KEVENT AllBack;         // set when InFlight drops to 0 while Stopping
    TESTFD_TRANSFER Transfers[TESTFD_TRANSFERS];

    KSPIN_LOCK Lock;        // guards the reassembly state and Report
    BOOLEAN InFrame;
    UCHAR FrameFid;
    ULONG FrameLength;
    ULONG FrameSum;
    VHUB_TESTFD_REPORT Report;
};

extern "C" DRIVER_INITIALIZE DriverEntry;

static VOID TestFdLog(const char* what, NTSTATUS status) {
    DbgPrint("VhubTestFd: %s: 0x%08lx\n", what, (ULONG)status);
}

// --- synchronous URBs -------------------------------------------------------

static NTSTATUS SubmitUrb(TESTFD_EXTENSION* fd, PURB urb) {
    KEVENT done;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, fd->Lower, NULL, 0,
                                             NULL, 0, TRUE, &done, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(fd->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    return status;
}

static NTSTATUS GetDescriptor(TESTFD_EXTENSION* fd, UCHAR type, PVOID buffer, ULONG length,
                              ULONG* returned, UCHAR index = 0, USHORT language = 0) {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                                 index, language, buffer, NULL, length, NULL);
    NTSTATUS status = SubmitUrb(fd, &urb);
    *returned = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

// A UVC class request to the streaming interface.
static NTSTATUS ClassRequest(TESTFD_EXTENSION* fd, UCHAR request, UCHAR selector, PUCHAR data,
                             ULONG length, BOOLEAN in) {
    URB whole;
    RtlZeroMemory(&whole, sizeof whole);
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& urb = whole.UrbControlVendorClassRequest;
    urb.Hdr.Length = (USHORT)sizeof urb;
    urb.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    urb.TransferFlags = (in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) |
                        USBD_SHORT_TRANSFER_OK;
    urb.TransferBuffer = data;
    urb.TransferBufferLength = length;
    urb.Request = request;
    urb.Value = (USHORT)(selector << 8);
    urb.Index = fd->StreamInterface;
    return SubmitUrb(fd, &whole);
}

// --- the stream ---------------------------------------------------------------

static VOID EndFrame(TESTFD_EXTENSION* fd) {
    VHUB_TESTFD_REPORT* r = &fd->Report;
    if (fd->FrameLength == r->FrameBytes) {
        r->FramesComplete++;
        if (r->FrameCount < VHUB_TESTFD_MAX_FRAMES) r->Checksums[r->FrameCount++] = fd->FrameSum;
    } else {
        r->FramesBad++;
        DbgPrint("VhubTestFd: frame of %lu bytes, expected %lu\n", fd->FrameLength, r->FrameBytes);
    }
    fd->InFrame = FALSE;
    fd->FrameLength = 0;
    fd->FrameSum = VHUB_FNV_OFFSET;
}

// One completed transfer's packets, in order. Caller holds fd->Lock.
static VOID TakePayloads(TESTFD_EXTENSION* fd, TESTFD_TRANSFER* t) {
    struct _URB_ISOCH_TRANSFER* iso = &t->Urb->UrbIsochronousTransfer;
    VHUB_TESTFD_REPORT* r = &fd->Report;
    ULONG packets = iso->NumberOfPackets;
    if (packets > TESTFD_PACKETS) packets = TESTFD_PACKETS;
    for (ULONG i = 0; i < packets; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR* p = &iso->IsoPacket[i];
        if (!USBD_SUCCESS(p->Status)) {
            r->PacketErrors++;
            continue;
        }
        if (p->Length == 0) {
            r->EmptyPackets++;
            continue;
        }
        if (p->Offset >= TESTFD_PACKETS * TESTFD_PACKET_BYTES ||
            p->Length > TESTFD_PACKETS * TESTFD_PACKET_BYTES - p->Offset) {
            r->PacketErrors++;
            continue;
        }
        PUCHAR data = t->Buffer + p->Offset;
        UCHAR header_length = data[0];
        UCHAR info = data[1];
        if (p->Length < 2 || header_length < 2 || header_length > p->Length || (info & UVC_HEADER_ERR)) {
            r->PacketErrors++;
            continue;
        }
        UCHAR fid = info & UVC_HEADER_FID;
        // A new FID without the previous frame's EOF ends that frame short.
        if (fd->InFrame && fid != fd->FrameFid) EndFrame(fd);
        if (!fd->InFrame) {
            fd->InFrame = TRUE;
            fd->FrameFid = fid;
        }
        for (ULONG k = header_length; k < p->Length; ++k) {
            fd->FrameSum = (fd->FrameSum ^ data[k]) * VHUB_FNV_PRIME;
        }
        fd->FrameLength += p->Length - header_length;
        if (info & UVC_HEADER_EOF) EndFrame(fd);
    }
}

static NTSTATUS SubmitTransfer(TESTFD_TRANSFER* t);

static NTSTATUS TransferDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    TESTFD_TRANSFER* t = (TESTFD_TRANSFER*)context;
    TESTFD_EXTENSION* fd = t->Owner;
    KIRQL irql;
    KeAcquireSpinLock(&fd->Lock, &irql);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        fd->Report.TransfersCompleted++;
        TakePayloads(fd, t);
    } else {
        fd->Report.TransfersFailed++;
    }
    BOOLEAN again = !fd->Stopping && NT_SUCCESS(irp->IoStatus.Status);
    KeReleaseSpinLock(&fd->Lock, irql);
    if (!again || !NT_SUCCESS(SubmitTransfer(t))) {
        if (InterlockedDecrement(&fd->InFlight) == 0) KeSetEvent(&fd->AllBack, IO_NO_INCREMENT, FALSE);
    }
    // The IRP is ours and is reused: the I/O manager must not touch it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// (Re)arms one transfer and hands it to the bus. Returns the failure when
// the bus refused it at once; a pending or completed transfer has already
// been through TransferDone.
static NTSTATUS SubmitTransfer(TESTFD_TRANSFER* t) {
    TESTFD_EXTENSION* fd = t->Owner;
    struct _URB_ISOCH_TRANSFER* iso = &t->Urb->UrbIsochronousTransfer;
    RtlZeroMemory(iso, GET_ISO_URB_SIZE(TESTFD_PACKETS));
    iso->Hdr.Length = (USHORT)GET_ISO_URB_SIZE(TESTFD_PACKETS);
    iso->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso->PipeHandle = fd->VideoPipe;
    iso->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
    iso->TransferBuffer = t->Buffer;
    iso->TransferBufferLength = TESTFD_PACKETS * TESTFD_PACKET_BYTES;
    iso->NumberOfPackets = TESTFD_PACKETS;
    for (ULONG i = 0; i < TESTFD_PACKETS; ++i) {
        iso->IsoPacket[i].Offset = i * TESTFD_PACKET_BYTES;
        iso->IsoPacket[i].Length = 0;
        iso->IsoPacket[i].Status = 0;
    }
    IoReuseIrp(t->Irp, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = t->Urb;
    IoSetCompletionRoutine(t->Irp, TransferDone, t, TRUE, TRUE, TRUE);
    IoCallDriver(fd->Lower, t->Irp);
    return STATUS_SUCCESS;
}

static VOID FreeTransfers(TESTFD_EXTENSION* fd) {
    for (ULONG i = 0; i < TESTFD_TRANSFERS; ++i) {
        TESTFD_TRANSFER* t = &fd->Transfers[i];
        if (t->Irp) IoFreeIrp(t->Irp);
        if (t->Urb) ExFreePoolWithTag(t->Urb, TESTFD_TAG);
        if (t->Buffer) ExFreePoolWithTag(t->Buffer, TESTFD_TAG);
        RtlZeroMemory(t, sizeof *t);
    }
}

// Cancels what the bus still holds and waits until every transfer is back.
static VOID StopStream(TESTFD_EXTENSION* fd) {
    KIRQL irql;
    KeAcquireSpinLock(&fd->Lock, &irql);
    BOOLEAN running = !fd->Stopping && fd->InFlight > 0;
    fd->Stopping = TRUE;
    KeReleaseSpinLock(&fd->Lock, irql);
    if (running) {
        for (ULONG i = 0; i < TESTFD_TRANSFERS; ++i) {
            if (fd->Transfers[i].Irp) IoCancelIrp(fd->Transfers[i].Irp);
        }
        KeWaitForSingleObject(&fd->AllBack, Executive, KernelMode, FALSE, NULL);
    }
    FreeTransfers(fd);
}

// --- set-up at start ------------------------------------------------------------

static NTSTATUS SetUpCamera(TESTFD_EXTENSION* fd) {
    VHUB_TESTFD_REPORT* r = &fd->Report;
    UCHAR device[18];
    ULONG got = 0;
    NTSTATUS status = GetDescriptor(fd, USB_DEVICE_DESCRIPTOR_TYPE, device, sizeof device, &got);
    if (!NT_SUCCESS(status) || got < sizeof device) {
        TestFdLog("device descriptor", status);
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    // The product text, as a host shows it (US English).
    UCHAR text[256];
    RtlZeroMemory(text, sizeof text);
    UCHAR product_index = ((PUSB_DEVICE_DESCRIPTOR)device)->iProduct;
    if (product_index != 0 &&
        NT_SUCCESS(GetDescriptor(fd, USB_STRING_DESCRIPTOR_TYPE, text, sizeof text, &got,
                                 product_index, 0x0409)) &&
        got >= 2 && text[0] >= 2 && text[1] == USB_STRING_DESCRIPTOR_TYPE) {
        ULONG chars = ((text[0] < got ? text[0] : got) - 2) / 2;
        if (chars > 63) chars = 63;
        RtlCopyMemory(r->Product, text + 2, chars * 2);
        r->Product[chars] = 0;
    }

    USB_CONFIGURATION_DESCRIPTOR head;
    status = GetDescriptor(fd, USB_CONFIGURATION_DESCRIPTOR_TYPE, &head, sizeof head, &got);
    if (!NT_SUCCESS(status) || got < sizeof head || head.wTotalLength < sizeof head) {
        TestFdLog("configuration descriptor header", status);
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    ULONG total = head.wTotalLength;
    auto* config = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, total, TESTFD_TAG);
    if (!config) return STATUS_INSUFFICIENT_RESOURCES;
    status = GetDescriptor(fd, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, total, &got);
    if (!NT_SUCCESS(status) || got != total) {
        TestFdLog("configuration descriptor", status);
        ExFreePoolWithTag(config, TESTFD_TAG);
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    r->Stage = VhubTestFdStageDescriptors;

    // The video control and the video streaming interface, alternate 0.
    USBD_INTERFACE_LIST_ENTRY list[3];
    RtlZeroMemory(list, sizeof list);
    PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(
        config, config, -1, 0, USB_DEVICE_CLASS_VIDEO, 1, -1);
    PUSB_INTERFACE_DESCRIPTOR stream = USBD_ParseConfigurationDescriptorEx(
        config, config, -1, 0, USB_DEVICE_CLASS_VIDEO, 2, -1);
    if (!control || !stream) {
        ExFreePoolWithTag(config, TESTFD_TAG);
        TestFdLog("no video control or streaming interface", STATUS_DEVICE_DATA_ERROR);
        return STATUS_DEVICE_DATA_ERROR;
    }
    fd->StreamInterface = stream->bInterfaceNumber;
    list[0].InterfaceDescriptor = control;
    list[1].InterfaceDescriptor = stream;
    PURB select = USBD_CreateConfigurationRequestEx(config, list);
    if (!select) {
        ExFreePoolWithTag(config, TESTFD_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = SubmitUrb(fd, select);
    if (NT_SUCCESS(status)) {
        fd->ConfigHandle = select->UrbSelectConfiguration.ConfigurationHandle;
        r->Stage = VhubTestFdStageConfigured;
    } else {
        TestFdLog("select configuration", status);
    }
    ExFreePool(select);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(config, TESTFD_TAG);
        return status;
    }

    // Probe, read back, commit.
    UCHAR probe[UVC_PROBE_LENGTH];
    RtlZeroMemory(probe, sizeof probe);
    probe[0] = 1;  // bmHint: keep the frame interval
    probe[2] = 1;  // bFormatIndex
    probe[3] = TESTFD_FRAME_INDEX;
    *(ULONG UNALIGNED*)&probe[4] = TESTFD_FRAME_INTERVAL;
    status = ClassRequest(fd, UVC_SET_CUR, UVC_VS_PROBE_CONTROL, probe, sizeof probe, FALSE);
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(probe, sizeof probe);
        status = ClassRequest(fd, UVC_GET_CUR, UVC_VS_PROBE_CONTROL, probe, sizeof probe, TRUE);
    }
    if (NT_SUCCESS(status) && (probe[2] != 1 || probe[3] != TESTFD_FRAME_INDEX)) {
        TestFdLog("the probe answer names another format or frame", STATUS_DEVICE_DATA_ERROR);
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (NT_SUCCESS(status)) {
        r->FrameIndex = probe[3];
        r->FrameBytes = *(ULONG UNALIGNED*)&probe[18];
        status = ClassRequest(fd, UVC_SET_CUR, UVC_VS_COMMIT_CONTROL, probe, sizeof probe, FALSE);
    }
    if (!NT_SUCCESS(status)) {
        TestFdLog("probe and commit", status);
        ExFreePoolWithTag(config, TESTFD_TAG);
        return status;
    }
    r->Stage = VhubTestFdStageCommitted;

    // Alternate setting 1 of the streaming interface opens the stream.
    PUSB_INTERFACE_DESCRIPTOR alt1 = USBD_ParseConfigurationDescriptorEx(
        config, config, fd->StreamInterface, 1, -1, -1, -1);
    ULONG pipes = alt1 ? alt1->bNumEndpoints : 0;
    ExFreePoolWithTag(config, TESTFD_TAG);
    if (pipes == 0) {
        TestFdLog("no alternate setting 1 with an endpoint", STATUS_DEVICE_DATA_ERROR);
        return STATUS_DEVICE_DATA_ERROR;
    }
    USHORT size = (USHORT)GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
    auto* alt = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, TESTFD_TAG);
    if (!alt) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(alt, size);
    alt->UrbSelectInterface.Hdr.Length = size;
    alt->UrbSelectInterface.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    alt->UrbSelectInterface.ConfigurationHandle = fd->ConfigHandle;
    USBD_INTERFACE_INFORMATION* info = &alt->UrbSelectInterface.Interface;
    info->Length = (USHORT)(size - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface));
    info->InterfaceNumber = fd->StreamInterface;
    info->AlternateSetting = 1;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) info->Pipes[i].MaximumTransferSize = TESTFD_PACKETS * TESTFD_PACKET_BYTES;
    status = SubmitUrb(fd, alt);
    fd->VideoPipe = NULL;
    if (NT_SUCCESS(status)) {
        for (ULONG i = 0; i < info->NumberOfPipes && i < pipes; ++i) {
            if (info->Pipes[i].PipeType == UsbdPipeTypeIsochronous &&
                USB_ENDPOINT_DIRECTION_IN(info->Pipes[i].EndpointAddress)) {
                fd->VideoPipe = info->Pipes[i].PipeHandle;
            }
        }
        if (!fd->VideoPipe) status = STATUS_DEVICE_DATA_ERROR;
    }
    ExFreePoolWithTag(alt, TESTFD_TAG);
    if (!NT_SUCCESS(status)) {
        TestFdLog("select alternate setting 1", status);
        return status;
    }

    // Transfers in flight.
    for (ULONG i = 0; i < TESTFD_TRANSFERS; ++i) {
        TESTFD_TRANSFER* t = &fd->Transfers[i];
        t->Owner = fd;
        t->Irp = IoAllocateIrp(fd->Lower->StackSize, FALSE);
        t->Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, GET_ISO_URB_SIZE(TESTFD_PACKETS), TESTFD_TAG);
        t->Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, TESTFD_PACKETS * TESTFD_PACKET_BYTES, TESTFD_TAG);
        if (!t->Irp || !t->Urb || !t->Buffer) {
            FreeTransfers(fd);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    fd->FrameSum = VHUB_FNV_OFFSET;
    fd->InFlight = TESTFD_TRANSFERS;
    r->Stage = VhubTestFdStageStreaming;
    for (ULONG i = 0; i < TESTFD_TRANSFERS; ++i) SubmitTransfer(&fd->Transfers[i]);
    DbgPrint("VhubTestFd: streaming frame index %lu, %lu bytes per frame\n", r->FrameIndex, r->FrameBytes);
    return STATUS_SUCCESS;
}

// --- plug and play ------------------------------------------------------------------

static NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS ForwardAndWait(TESTFD_EXTENSION* fd, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(fd->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS PassOn(TESTFD_EXTENSION* fd, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(fd->Lower, irp);
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS TestFdPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* fd = (TESTFD_EXTENSION*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(fd, irp);
        if (NT_SUCCESS(status)) {
            fd->Report.Stage = VhubTestFdStageStarted;
            NTSTATUS setup = SetUpCamera(fd);
            fd->Report.SetupStatus = setup;
            // The report interface comes up either way: a set-up that
            // stopped half-way is what a test wants to read.
            if (fd->InterfaceRegistered) IoSetDeviceInterfaceState(&fd->InterfaceName, TRUE);
        }
        return Complete(irp, status, 0);
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
        DbgPrint("VhubTestFd: %s\n", stack->MinorFunction == IRP_MN_STOP_DEVICE ? "stop" : "surprise removal");
        if (fd->InterfaceRegistered) IoSetDeviceInterfaceState(&fd->InterfaceName, FALSE);
        StopStream(fd);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassOn(fd, irp);
    case IRP_MN_REMOVE_DEVICE: {
        if (fd->InterfaceRegistered) {
            IoSetDeviceInterfaceState(&fd->InterfaceName, FALSE);
            RtlFreeUnicodeString(&fd->InterfaceName);
            fd->InterfaceRegistered = FALSE;
        }
        StopStream(fd);
        DbgPrint("VhubTestFd: removed; transfers back: %lu completed, %lu failed, %ld still out\n",
                 fd->Report.TransfersCompleted, fd->Report.TransfersFailed, fd->InFlight);
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassOn(fd, irp);
        IoDetachDevice(fd->Lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassOn(fd, irp);
    default:
        return PassOn(fd, irp);
    }
}

static NTSTATUS TestFdDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* fd = (TESTFD_EXTENSION*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        return TestFdPnp(device, irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(fd->Lower, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL: {
        if (stack->Parameters.DeviceIoControl.IoControlCode != VHUB_TESTFD_IOCTL_REPORT) {
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(VHUB_TESTFD_REPORT)) {
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        KIRQL irql;
        KeAcquireSpinLock(&fd->Lock, &irql);
        fd->Report.TransfersInFlight = (ULONG)fd->InFlight;
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &fd->Report, sizeof fd->Report);
        KeReleaseSpinLock(&fd->Lock, irql);
        return Complete(irp, STATUS_SUCCESS, sizeof(VHUB_TESTFD_REPORT));
    }
    default:
        return PassOn(fd, irp);
    }
}

static NTSTATUS TestFdAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(TESTFD_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* fd = (TESTFD_EXTENSION*)device->DeviceExtension;
    RtlZeroMemory(fd, sizeof *fd);
    fd->Self = device;
    fd->Pdo = pdo;
    KeInitializeSpinLock(&fd->Lock);
    KeInitializeEvent(&fd->AllBack, NotificationEvent, FALSE);
    fd->FrameSum = VHUB_FNV_OFFSET;
    fd->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!fd->Lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = IoRegisterDeviceInterface(pdo, &kTestFdInterface, NULL, &fd->InterfaceName);
    fd->InterfaceRegistered = NT_SUCCESS(status);
    if (!fd->InterfaceRegistered) TestFdLog("IoRegisterDeviceInterface", status);
    fd->Report.Stage = VhubTestFdStageAdded;
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    DbgPrint("VhubTestFd: attached to %p\n", pdo);
    return STATUS_SUCCESS;
}

static VOID TestFdUnload(PDRIVER_OBJECT) {}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = TestFdDispatch;
    driver->DriverExtension->AddDevice = TestFdAddDevice;
    driver->DriverUnload = TestFdUnload;
    return STATUS_SUCCESS;
}
