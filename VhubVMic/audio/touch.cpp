// Touch and raw-data channels: raw access of the application to the camera
// transfer queue and to the frame queues.
#include "audio.h"

NTSTATUS BulkUsb_WriteTouch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG len = stack->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR* input = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    VhubDbgPrint("BulkUsb_WriteTouch\n");

    PIRP transfer = GetTouchPendingIrp(bus);
    if (transfer != NULL) {
        PURB urb = (PURB)IoGetCurrentIrpStackLocation(transfer)->Parameters.Others.Argument1;
        if (urb != NULL && urb->UrbIsochronousTransfer.TransferBuffer != NULL && input != NULL) {
            ULONG room = urb->UrbIsochronousTransfer.TransferBufferLength;
            RtlCopyMemory(urb->UrbIsochronousTransfer.TransferBuffer, input, len < room ? len : room);
        }
        transfer->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(transfer, IO_NO_INCREMENT);
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS BulkUsb_ReadRawData(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    VHUB_ASSERT_IN("VhubVMic\\audio", KeGetCurrentIrql() < DISPATCH_LEVEL);
    VhubDbgPrint("BulkUsb_ReadRawData\n");
    PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG len = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR out = (PUCHAR)Irp->UserBuffer;
    ULONG total = 0;

    LARGE_INTEGER timeout;
    timeout.QuadPart = VHUB_RAW_DATA_WAIT;
    NTSTATUS wait = KeWaitForSingleObject(&bus->RawDataEvent, Executive, KernelMode, FALSE, &timeout);
    if (wait != STATUS_SUCCESS) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    NTSTATUS status = STATUS_SUCCESS;
    PFRAME_RECORD volatile frame = NULL;
    PROBE_TRY
        ProbeForWrite(out, len, 4);
        while ((frame = GetPendingFrame(bus)) != NULL) {
            // A frame larger than the room left is cut to that room (the rest
            // is dropped) and ends the read.
            ULONG room = len - total;
            ULONG n = frame->ByteCount < room ? frame->ByteCount : room;
            RtlCopyMemory(out + total, frame->Data, n);
            total += n;
            BOOLEAN last = n < frame->ByteCount || total > VHUB_RAW_DATA_LIMIT ||
                           (frame->Flags & VHUB_FRAME_LAST) != 0;
            RecyleFrame(bus, frame);
            frame = NULL;
            if (last) {
                break;
            }
        }
    PROBE_EXCEPT
        DbgPrint("Catch the exception\n");
        if (frame != NULL) {
            RecyleFrame(bus, frame);
        }
        status = STATUS_UNSUCCESSFUL;
        total = 0;
    PROBE_END

    Irp->IoStatus.Information = total;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
