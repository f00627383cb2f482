// The audio device's URB dispatcher: descriptors, selections, class
// requests, and the two isochronous streams. Microphone transfers wait for
// the application's next PCM write only while it keeps writing; speaker
// transfers always wait for the pacing thread.
#include "audio.h"

namespace {

// Low byte of the pointer-sized field behind the URB header: a transfer's
// pipe handle (whose low byte is the endpoint address), or the reserved
// field of a descriptor request.
ULONG_PTR HandleField(PURB Urb) {
    return *(ULONG_PTR*)((PUCHAR)Urb + sizeof(struct _URB_HEADER));
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
        PUSB_CONFIGURATION_DESCRIPTOR config = Audio::Touch_GetConfigrationDescriptor();
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
        PUSB_DEVICE_DESCRIPTOR device = Audio::Touch_GetDeviceDescriptor(Child->VendorId, Child->ProductId);
        if (device == NULL) {
            req.TransferBufferLength = 0;
            return CompleteUrbIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        ReplyWithDescriptor(device, sizeof(USB_DEVICE_DESCRIPTOR), buf, len, &req.TransferBufferLength);
        return CompleteUrbIrp(Irp, STATUS_SUCCESS);
    }
    case USB_STRING_DESCRIPTOR_TYPE: {
        VhubDbgPrint("Urb->UrbControlDescriptorRequest.DescriptorType == USB_STRING_DESCRIPTOR_TYPE\n");
        ULONG_PTR handle = HandleField(Urb);
        DbgPrint("Urb->UrbControlDescriptorRequest.DescriptorType=%d\nUrb->UrbControlDescriptorRequest.Index=%d --PipeHandle %d\n\n",
                 req.DescriptorType, req.Index, (ULONG)handle);
        WCHAR text[VHUB_TEXT_CHARS];
        if ((UCHAR)handle == VHUB_SPEAKER_SELECTOR) {
            BuildDeviceText(Child->BusExtension, KTEXT(" Speaker"), KTEXT("Tolvexa Speaker"), text);
        } else {
            BuildDeviceText(Child->BusExtension, KTEXT(" Microphone"), KTEXT("Tolvexa Microphone"), text);
        }
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

NTSTATUS SelectConfiguration(PPDO_DEVICE_DATA Child, PIRP Irp, PURB Urb) {
    VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION\n");
    NTSTATUS status = select_configure(Urb);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Failed select configuration\n");
    } else {
        KeepConfigurationCopy(Urb, &Child->ConfigDescriptorCopy);
    }
    return CompleteUrbIrp(Irp, status);
}

NTSTATUS SelectInterface(PPDO_DEVICE_DATA Child, PIRP Irp, PURB Urb) {
    VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_SELECT_INTERFACE\n");
    NTSTATUS status = select_interface(Child->ConfigDescriptorCopy, Urb);
    Irp->IoStatus.Information = 0;
    if (!NT_SUCCESS(status)) {
        return CompleteUrbIrp(Irp, status);
    }
    USBD_INTERFACE_INFORMATION& intf = Urb->UrbSelectInterface.Interface;
    UCHAR selector = (UCHAR)(ULONG_PTR)intf.InterfaceHandle;
    if (selector != VHUB_SPEAKER_SELECTOR && intf.AlternateSetting == 1) {
        Child->BusExtension->IsoFrameCounter = 0;
    }
    DbgPrint(intf.AlternateSetting == 1 ? "\nopen mic\n" : "\nclose mic\n");
    return CompleteUrbIrp(Irp, STATUS_SUCCESS);
}

NTSTATUS IsochronousTransfer(PPDO_DEVICE_DATA Child, PIRP Irp, PURB Urb) {
    PFDO_DEVICE_DATA bus = Child->BusExtension;
    if ((UCHAR)HandleField(Urb) == VHUB_SPEAKER_SELECTOR) {
        VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER speaker\n");
        IoMarkIrpPending(Irp);
        Irp->Tail.Overlay.DriverContext[1] = Child;
        PutTouchPendingIrpSpeaker(bus, Irp);
        return STATUS_PENDING;
    }

    LONGLONG age = QueryTickMilliseconds() - SharedRead(&bus->LastPcmWriteTime);
    if (age <= VHUB_MIC_PARK_AGE_MS) {
        VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER\n");
        IoMarkIrpPending(Irp);
        Irp->Tail.Overlay.DriverContext[2] = Child;
        PutMicPendingIrp(bus, Irp);
        return STATUS_PENDING;
    }
    // The application is not feeding audio: the host gets the transfer back
    // empty, as it came.
    VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER STATUS_SUCCESS \n");
    Irp->IoStatus.Information = 0;
    return CompleteUrbIrp(Irp, STATUS_SUCCESS);
}

}  // namespace

NTSTATUS MicDispatchSound(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    VhubDbgPrint("MicDispatchSound\n");
    NTSTATUS status;
    PURB urb = UrbEntryChecks(DeviceObject, Irp, &status);
    if (urb == NULL) {
        return status;
    }
    PPDO_DEVICE_DATA child = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;

    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return DescriptorRequest(child, Irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(child, Irp, urb);
    case URB_FUNCTION_CLASS_INTERFACE:
        VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_CLASS_INTERFACE\n");
        Irp->IoStatus.Information = 0;
        return CompleteUrbIrp(Irp, STATUS_SUCCESS);
    case URB_FUNCTION_SELECT_INTERFACE:
        return SelectInterface(child, Irp, urb);
    case URB_FUNCTION_ISOCH_TRANSFER:
        return IsochronousTransfer(child, Irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
        // Queued transfers stay queued: the host cancels them itself.
        VhubDbgPrint("Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE\n");
        return CompleteUrbIrp(Irp, STATUS_SUCCESS);
    default:
        VhubDbgPrint("MicDispatch IoCompleteRequest STATUS_SUCCESS\n");
        return CompleteUrbIrp(Irp, STATUS_SUCCESS);
    }
}
