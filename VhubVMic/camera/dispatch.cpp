// The camera's URB dispatcher: answers the host's USB requests as a UVC
// camera would, and parks isochronous IN transfers for the video writes.
#include "camera.h"

namespace {

const UCHAR UVC_SET_CUR = 0x01;
const UCHAR UVC_GET_CUR = 0x81;
const UCHAR UVC_GET_MIN = 0x82;
const UCHAR UVC_GET_MAX = 0x83;
const ULONG kProbeControlSize = 26;  // UVC 1.00 probe/commit control
const ULONG kProbeReplyLimit = 48;

VOID Put16(PUCHAR At, USHORT Value) {
    At[0] = (UCHAR)Value;
    At[1] = (UCHAR)(Value >> 8);
}

VOID Put32(PUCHAR At, ULONG Value) {
    At[0] = (UCHAR)Value;
    At[1] = (UCHAR)(Value >> 8);
    At[2] = (UCHAR)(Value >> 16);
    At[3] = (UCHAR)(Value >> 24);
}

NTSTATUS DescriptorRequest(PPDO_DEVICE_DATA Child, PIRP Irp, PURB Urb) {
    VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE\n");
    struct _URB_CONTROL_DESCRIPTOR_REQUEST& req = Urb->UrbControlDescriptorRequest;
    ULONG len = req.TransferBufferLength;
    PVOID buf = UrbDataBuffer(req.TransferBuffer, req.TransferBufferMDL);
    if (len == 0 || buf == NULL) {
        return CompleteUrbIrp(Irp, STATUS_INVALID_PARAMETER);
    }

    switch (req.DescriptorType) {
    case USB_CONFIGURATION_DESCRIPTOR_TYPE: {
        VhubDbgPrint("Urb->UrbControlDescriptorRequest.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE\n");
        PUSB_CONFIGURATION_DESCRIPTOR config = Camera::Touch_GetConfigrationDescriptor();
        if (config == NULL) {
            req.TransferBufferLength = 0;
            return CompleteUrbIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        ReplyWithDescriptor(config, config->wTotalLength, buf, len, &req.TransferBufferLength);
        return CompleteUrbIrp(Irp, STATUS_SUCCESS);
    }
    case USB_DEVICE_DESCRIPTOR_TYPE: {
        VhubDbgPrint("Urb->UrbControlDescriptorRequest.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE\n");
        if (len < sizeof(USB_DEVICE_DESCRIPTOR)) {
            req.TransferBufferLength = sizeof(USB_DEVICE_DESCRIPTOR);
            return CompleteUrbIrp(Irp, STATUS_INVALID_BUFFER_SIZE);
        }
        PUSB_DEVICE_DESCRIPTOR device = Camera::Touch_GetDeviceDescriptor(Child->VendorId, Child->ProductId);
        if (device == NULL) {
            req.TransferBufferLength = 0;
            return CompleteUrbIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        ReplyWithDescriptor(device, device->bLength, buf, len, &req.TransferBufferLength);
        return CompleteUrbIrp(Irp, STATUS_SUCCESS);
    }
    case USB_STRING_DESCRIPTOR_TYPE: {
        VhubDbgPrint("Urb->UrbControlDescriptorRequest.DescriptorType == USB_STRING_DESCRIPTOR_TYPE\n");
        DbgPrint("Urb->UrbControlDescriptorRequest.DescriptorType=%d\nUrb->UrbControlDescriptorRequest.Index=%d\n\n",
                 req.DescriptorType, req.Index);
        WCHAR text[VHUB_TEXT_CHARS];
        BuildDeviceText(Child->BusExtension, KTEXT(" Camera"), KTEXT("Tolvexa Camera"), text);
        PUSB_STRING_DESCRIPTOR string = TouchGetStringDescriptor(text);
        if (string == NULL) {
            req.TransferBufferLength = 0;
            return CompleteUrbIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        ReplyWithDescriptor(string, string->bLength, buf, len, &req.TransferBufferLength);
        return CompleteUrbIrp(Irp, STATUS_SUCCESS);
    }
    default:
        return CompleteUrbIrp(Irp, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS ClassRequest(PFDO_DEVICE_DATA Bus, PIRP Irp, PURB Urb) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& req = Urb->UrbControlVendorClassRequest;
    ULONG len = req.TransferBufferLength;
    PUCHAR buf = (PUCHAR)UrbDataBuffer(req.TransferBuffer, req.TransferBufferMDL);
    if (len == 0 || buf == NULL) {
        return CompleteUrbIrp(Irp, STATUS_INVALID_PARAMETER);
    }
    VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_CLASS_INTERFACE %d\n", req.Request);

    UCHAR code = req.Request;
    if (code == UVC_SET_CUR || code == UVC_GET_CUR || code == UVC_GET_MIN || code == UVC_GET_MAX) {
        if (len < kProbeControlSize || Bus->VideoOpened != 0) {
            return CompleteUrbIrp(Irp, STATUS_INVALID_PARAMETER);
        }
    }
    ULONG replyLength = len < kProbeReplyLimit ? len : kProbeReplyLimit;

    switch (code) {
    case UVC_SET_CUR:
        // Only frames of the camera's table can be selected: the probe answer
        // and the video write look the index up there.
        if (buf[3] < VHUB_FRAME_INDEX_MIN || buf[3] > VHUB_FRAME_INDEX_MAX) {
            return CompleteUrbIrp(Irp, STATUS_INVALID_PARAMETER);
        }
        Bus->curr_format_index = buf[2];
        Bus->curr_frame_index = buf[3];
        Bus->FrameIdBit = 0;
        VhubDbgPrint("UVC_SET_CUR == curr_format_index:%d,                curr_frame_index:%d\n", buf[2], buf[3]);
        break;
    case UVC_GET_CUR:
        req.TransferBufferLength = replyLength;
        Put16(buf + 0, 1);                                   // bmHint
        buf[2] = Bus->curr_format_index;
        buf[3] = Bus->curr_frame_index;
        Put32(buf + 4, 333333);                              // dwFrameInterval
        Put16(buf + 8, 0);                                   // wKeyFrameRate
        Put16(buf + 10, 0);                                  // wPFrameRate
        Put16(buf + 12, 0);                                  // wCompQuality
        Put16(buf + 14, 0);                                  // wCompWindowSize
        Put16(buf + 16, 10);                                 // wDelay
        Put32(buf + 18, FrameSizeForIndex((LONG)Bus->curr_frame_index - 1));
        Put32(buf + 22, 1024);                               // dwMaxPayloadTransferSize
        break;
    case UVC_GET_MIN:
    case UVC_GET_MAX:
        RtlZeroMemory(buf, kProbeControlSize);
        buf[2] = 1;
        buf[3] = code == UVC_GET_MIN ? 1 : 3;
        req.TransferBufferLength = replyLength;
        break;
    default:
        break;
    }
    Irp->IoStatus.Information = 0;
    return CompleteUrbIrp(Irp, STATUS_SUCCESS);
}

NTSTATUS SelectConfiguration(PPDO_DEVICE_DATA Child, PIRP Irp, PURB Urb) {
    VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION\n");
    NTSTATUS status = select_configure(Urb);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Failed select configuration\n");
    } else {
        KeepConfigurationCopy(Urb, &Child->SelectedConfig);
        // Selecting a configuration puts every interface back at alternate
        // setting 0, so the stream is closed. Without this a camera unplugged
        // while streaming (the host never gets to select setting 0 on a
        // device that is gone) would leave the flag set in the bus extension,
        // and the next camera would refuse every probe and commit.
        Child->BusExtension->VideoOpened = 0;
    }
    return CompleteUrbIrp(Irp, status);
}

NTSTATUS SelectInterface(PPDO_DEVICE_DATA Child, PIRP Irp, PURB Urb) {
    VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_SELECT_INTERFACE\n");
    NTSTATUS status = select_interface(Child->SelectedConfig, Urb);
    Irp->IoStatus.Information = 0;
    if (!NT_SUCCESS(status)) {
        return CompleteUrbIrp(Irp, status);
    }
    if (Urb->UrbSelectInterface.Interface.AlternateSetting == 1) {
        Child->BusExtension->VideoOpened = 1;
        DbgPrint("\nopen video\n");
    } else {
        Child->BusExtension->VideoOpened = 0;
        DbgPrint("\nclose video\n");
    }
    return CompleteUrbIrp(Irp, STATUS_SUCCESS);
}

NTSTATUS AbortPipe(PFDO_DEVICE_DATA Bus, PIRP Irp) {
    PIRP parked;
    while ((parked = GetTouchPendingIrp(Bus)) != NULL) {
        VhubDbgPrint("GetTouchPendingIrp(deviceExtension) remove pending irp\n");
        parked->IoStatus.Information = 0;
        parked->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(parked, IO_NO_INCREMENT);
    }
    VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE\n");
    return CompleteUrbIrp(Irp, STATUS_SUCCESS);
}

// What the dispatchers read of a URB beyond its header, by function. The
// URB is its sender's memory and only UrbHeader.Length bytes of it are
// ours to read: a request shorter than its function's fixed part would have
// the dispatcher read, and answer into, whatever lies behind it.
struct URB_FIXED_PART {
    USHORT Function;
    USHORT Length;
};

const URB_FIXED_PART UrbFixedParts[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_ISOCH_TRANSFER, FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket)},
};

BOOLEAN UrbFitsItsLength(PURB Urb) {
    ULONG length = Urb->UrbHeader.Length;
    for (ULONG i = 0; i < sizeof(UrbFixedParts) / sizeof(UrbFixedParts[0]); ++i) {
        if (UrbFixedParts[i].Function != Urb->UrbHeader.Function) {
            continue;
        }
        if (length < UrbFixedParts[i].Length) {
            return FALSE;
        }
        if (Urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
            // The packet table is filled in place when the transfer is
            // answered: every packet it counts must lie inside the URB.
            ULONGLONG table = (ULONGLONG)Urb->UrbIsochronousTransfer.NumberOfPackets *
                              sizeof(USBD_ISO_PACKET_DESCRIPTOR);
            if (table > length - UrbFixedParts[i].Length) {
                return FALSE;
            }
        }
    }
    return TRUE;
}

}  // namespace

NTSTATUS CompleteUrbIrp(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

PURB UrbEntryChecks(PDEVICE_OBJECT DeviceObject, PIRP Irp, PNTSTATUS Status) {
    PPDO_DEVICE_DATA child = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (child->Common.IsFDO) {
        VhubDbgPrint("PDODeviceExtension->Common.IsFDO\n");
        Irp->IoStatus.Information = 0;
        *Status = CompleteUrbIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
        return NULL;
    }
    if (!child->Present || child->state != STATE_STARTED) {
        VhubDbgPrint("!PDODeviceExtension->Present || PDODeviceExtension->state != STATE_STARTED\n");
        Irp->IoStatus.Information = 0;
        *Status = CompleteUrbIrp(Irp, STATUS_DEVICE_NOT_CONNECTED);
        return NULL;
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        VhubDbgPrint("IoStack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB\n");
        VhubDbgPrint("IOCTL %x\n", stack->Parameters.DeviceIoControl.IoControlCode);
        VhubDbgPrint("InputBufferLength %lu\n", stack->Parameters.DeviceIoControl.InputBufferLength);
        VhubDbgPrint("OutputBufferLength %lu\n", stack->Parameters.DeviceIoControl.OutputBufferLength);
        VhubDbgPrint("Type3InputBuffer %p\n", stack->Parameters.DeviceIoControl.Type3InputBuffer);
        *Status = CompleteUrbIrp(Irp, STATUS_SUCCESS);
        return NULL;
    }
    VhubDbgPrint("Urb = (PURB)IoStack->Parameters.Others.Argument1;\n");
    PURB urb = (PURB)stack->Parameters.Others.Argument1;
    if (urb == NULL || !UrbFitsItsLength(urb)) {
        VhubDbgPrint("Urb is shorter than its function needs\n");
        *Status = CompleteUrbIrp(Irp, STATUS_INVALID_PARAMETER);
        return NULL;
    }
    return urb;
}

VOID ReplyWithDescriptor(PVOID Block, ULONG Size, PVOID Destination, ULONG Length,
                         PULONG TransferBufferLength) {
    ULONG n = Length < Size ? Length : Size;
    *TransferBufferLength = n;
    RtlCopyMemory(Destination, Block, n);
    ExFreePool(Block);
}

VOID KeepConfigurationCopy(PURB Urb, PUSB_CONFIGURATION_DESCRIPTOR* Copy) {
    PUSB_CONFIGURATION_DESCRIPTOR selected = Urb->UrbSelectConfiguration.ConfigurationDescriptor;
    if (selected == NULL) {
        return;  // the host unconfigured the device: keep the last copy
    }
    ULONG total = selected->wTotalLength;
    PUSB_CONFIGURATION_DESCRIPTOR copy =
        (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, total, VHUB_POOL_TAG);
    if (copy == NULL) {
        return;
    }
    RtlCopyMemory(copy, selected, total);
    if (*Copy != NULL) {
        ExFreePool(*Copy);
    }
    *Copy = copy;
}

NTSTATUS MicDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    VhubDbgPrint("MicDispatch\n");
    NTSTATUS status;
    PURB urb = UrbEntryChecks(DeviceObject, Irp, &status);
    if (urb == NULL) {
        return status;
    }
    PPDO_DEVICE_DATA child = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PFDO_DEVICE_DATA bus = child->BusExtension;

    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return DescriptorRequest(child, Irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(child, Irp, urb);
    case URB_FUNCTION_CLASS_INTERFACE:
        return ClassRequest(bus, Irp, urb);
    case URB_FUNCTION_SELECT_INTERFACE:
        return SelectInterface(child, Irp, urb);
    case URB_FUNCTION_ISOCH_TRANSFER:
        VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER\n");
        IoMarkIrpPending(Irp);
        PutTouchPendingIrp(bus, Irp);
        return STATUS_PENDING;
    case URB_FUNCTION_ABORT_PIPE:
        return AbortPipe(bus, Irp);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        VhubDbgPrint("Urb->UrbHeader.Function ==  URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER\n");
        break;
    case URB_FUNCTION_CONTROL_TRANSFER:
        VhubDbgPrint("Urb->UrbHeader.Function ==  URB_FUNCTION_CONTROL_TRANSFER\n");
        break;
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        VhubDbgPrint("Urb->UrbHeader.Function ==  URB_FUNCTION_SET_FEATURE_TO_INTERFACE\n");
        break;
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        VhubDbgPrint("Urb->UrbHeader.Function ==  URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE\n");
        break;
    default:
        break;
    }
    VhubDbgPrint("MicDispatch IoCompleteRequest STATUS_SUCCESS\n");
    return CompleteUrbIrp(Irp, STATUS_SUCCESS);
}
