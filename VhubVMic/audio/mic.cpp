// Microphone path: each PCM write of the application fills the oldest
// parked microphone transfer and completes it; a write that finds none is
// dropped. Pacing is the application's business.
#include "audio.h"

namespace Audio {

NTSTATUS DoPcmIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, const UCHAR* Source, ULONG SourceLength) {
    VhubDbgPrint("DoPcmIrp\n");
    PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PURB urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    ULONG capacity = iso.TransferBufferLength;
    PUCHAR dest = (PUCHAR)UrbDataBuffer(iso.TransferBuffer, iso.TransferBufferMDL);
    ULONG used = 0;
    iso.TransferBufferLength = 0;

    // A transfer without a buffer goes back empty; no packet is touched.
    ULONG floor = 0;  // where the next packet may start
    for (ULONG i = 0; dest != NULL && i < iso.NumberOfPackets; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
        ULONG room;
        if (!IsoPacketRoom(iso.IsoPacket, iso.NumberOfPackets, i, capacity, &floor, &room)) {
            packet.Status = USBD_STATUS_ERROR;
            packet.Length = 0;
            continue;
        }
        ULONG left = SourceLength - used;
        ULONG take = left < room ? left : room;
        packet.Status = USBD_STATUS_SUCCESS;
        packet.Length = take;
        iso.TransferBufferLength += take;
        RtlCopyMemory(dest + packet.Offset, Source + used, take);
        used += take;
        if (used == SourceLength) {
            break;
        }
    }

    iso.ErrorCount = 0;
    iso.StartFrame = bus->IsoFrameCounter;
    bus->IsoFrameCounter += used / 4;  // 4 bytes per stereo 16-bit sample frame
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

}  // namespace Audio

NTSTATUS VhubWritePCM(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG len = stack->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR* pcm = (const UCHAR*)stack->Parameters.DeviceIoControl.Type3InputBuffer;
    Irp->IoStatus.Information = len;
    VhubDbgPrint("VhubWritePCM ulInputLength:%x\n", len);

    PIRP volatile transfer = GetMicPendingIrp(bus);
    if (transfer == NULL) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    NTSTATUS status = STATUS_SUCCESS;
    volatile BOOLEAN filling = FALSE;
    PROBE_TRY
        ProbeForRead((PVOID)pcm, len, 4);
        filling = TRUE;
        status = Audio::DoPcmIrp(DeviceObject, transfer, pcm, len);
    PROBE_EXCEPT
        DbgPrint(VHUB_KELO "Catch the exception\n");
        DbgPrint(VHUB_KELO "The program will keep going\n");
        status = STATUS_UNSUCCESSFUL;
        Irp->IoStatus.Information = 0;
        if (!filling) {
            // Nothing was read: the transfer waits, first in line, for the
            // next write.
            ReturnMicPendingIrp(bus, transfer);
        } else {
            complete_pdo_irp(IoGetCurrentIrpStackLocation(transfer)->DeviceObject, transfer,
                             STATUS_UNSUCCESSFUL, 0);
        }
    PROBE_END

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
