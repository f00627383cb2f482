// Video frame path: the application writes one YUY2 frame at a time and the
// driver cuts it into 2-byte-header UVC payloads straight into the host's
// parked isochronous IN transfers, completing each as soon as it is filled.
#include "camera.h"

namespace {

const UCHAR kHeaderLength = 2;
const UCHAR kHeaderEoh = 0x80;
const UCHAR kHeaderEof = 0x02;

}  // namespace

BOOLEAN IsoPacketRoom(const USBD_ISO_PACKET_DESCRIPTOR* Packets, ULONG Count, ULONG Index, ULONG Total,
                      PULONG Floor, PULONG Room) {
    ULONG offset = Packets[Index].Offset;
    ULONG end = Index + 1 < Count ? Packets[Index + 1].Offset : Total;
    ULONG room = end - offset;
    *Room = room;
    // Offsets that do not increase give a room beyond the transfer; a room
    // that starts or ends past the buffer would be written out of bounds;
    // one that starts inside an earlier packet's room would hand the same
    // bytes out twice and count them twice in the transfer's length.
    if (room > Total || offset > Total || room > Total - offset || offset < *Floor) {
        return FALSE;
    }
    *Floor = offset + room;
    return TRUE;
}

namespace Camera {

NTSTATUS DoPcmIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, const UCHAR* Frame, ULONG FrameLength) {
    VhubDbgPrint("DoPcmIrp\n");
    PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PURB urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    ULONG total = iso.TransferBufferLength;
    PUCHAR buf = (PUCHAR)UrbDataBuffer(iso.TransferBuffer, iso.TransferBufferMDL);

    // The fill never reads outside the frame (the write has already dealt
    // with an offset left by a larger frame).
    if (bus->FrameOffset >= FrameLength) {
        bus->FrameOffset = 0;
    }

    UCHAR header[2] = {kHeaderLength, (UCHAR)(kHeaderEoh | bus->FrameIdBit)};
    iso.TransferBufferLength = 0;

    // A transfer without a buffer gets nothing (no packet is touched).
    ULONG floor = 0;  // where the next packet may start
    for (ULONG i = 0; buf != NULL && i < iso.NumberOfPackets; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
        ULONG room;
        if (!IsoPacketRoom(iso.IsoPacket, iso.NumberOfPackets, i, total, &floor, &room)) {
            packet.Status = USBD_STATUS_ERROR;
            packet.Length = 0;
            continue;
        }
        if (room < kHeaderLength) {
            // No room for the payload header: the packet goes out empty.
            packet.Status = USBD_STATUS_SUCCESS;
            packet.Length = 0;
            continue;
        }
        ULONG left = FrameLength - bus->FrameOffset;
        ULONG n = left < room - kHeaderLength ? left + kHeaderLength : room;
        packet.Status = USBD_STATUS_SUCCESS;
        packet.Length = n;
        iso.TransferBufferLength += n;

        PUCHAR at = buf + packet.Offset;
        RtlCopyMemory(at, header, kHeaderLength);
        RtlCopyMemory(at + kHeaderLength, Frame + bus->FrameOffset, n - kHeaderLength);
        bus->FrameOffset += n - kHeaderLength;

        if (bus->FrameOffset >= FrameLength) {
            header[1] |= kHeaderEof;
            RtlCopyMemory(at, header, kHeaderLength);
            bus->FrameIdBit ^= 1;
            bus->FrameOffset = 0;
            break;
        }
    }

    iso.ErrorCount = 0;
    iso.StartFrame = bus->IsoFrameCounter;
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

}  // namespace Camera

NTSTATUS VhubWriteYuv2(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG len = stack->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR* frame = (const UCHAR*)stack->Parameters.DeviceIoControl.Type3InputBuffer;
    ULONG expected = FrameSizeForIndex((LONG)bus->curr_frame_index - 1);
    NTSTATUS status = STATUS_SUCCESS;

    if (len != expected) {
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        VhubDbgPrint("VhubWritePCM VideoFormat error--req:%x,should:%x\n", len, expected);
        bus->FrameOffset = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Information = len;
    VhubDbgPrint("VhubWritePCM ulInputLength:%x\n", len);

    PIRP volatile transfer = GetTouchPendingIrp(bus);
    if (transfer == NULL) {
        Irp->IoStatus.Information = 0;
        return complete_irp(Irp, STATUS_SUCCESS, 0);
    }

    // A frame size change can leave an offset from a larger frame: that frame
    // is abandoned and a new one starts, with the other FID so that the host
    // drops the unfinished one.
    if (bus->FrameOffset >= len) {
        bus->FrameOffset = 0;
        bus->FrameIdBit ^= 1;
    }

    while (transfer != NULL) {
        volatile BOOLEAN filling = FALSE;
        // The fill toggles the FID when it writes the frame's last packet.
        UCHAR frameId = bus->FrameIdBit;
        PROBE_TRY
            ProbeForRead((PVOID)frame, len, 4);
            filling = TRUE;
            status = Camera::DoPcmIrp(DeviceObject, transfer, frame, len);
            transfer = NULL;
        PROBE_EXCEPT
            DbgPrint(VHUB_KELO "Catch the exception\n");
            DbgPrint(VHUB_KELO "The program will keep going\n");
            status = STATUS_UNSUCCESSFUL;
            Irp->IoStatus.Information = 0;
            if (!filling) {
                // The frame cannot be read at all: the transfer stays parked
                // for the next write, and so would every other one.
                ReturnTouchPendingIrp(bus, transfer);
            } else {
                // Faulted halfway through the fill: the frame is lost and the
                // transfer goes back to the host as failed.
                bus->FrameOffset = 0;
                bus->FrameIdBit ^= 1;
                complete_pdo_irp(IoGetCurrentIrpStackLocation(transfer)->DeviceObject, transfer,
                                 STATUS_UNSUCCESSFUL, 0);
            }
            break;
        PROBE_END
        if (bus->FrameIdBit != frameId) {
            break;  // the frame is complete
        }
        transfer = GetTouchPendingIrp(bus);
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BulkUsb_ReadVideoIndex(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    VhubDbgPrint("BulkUsb_ReadVideoIndex\n");
    PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG len = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR out = (PUCHAR)Irp->UserBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;

    if (len == 0) {
        // The probe does not check an empty range; there is no byte to write.
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        PROBE_TRY
            ProbeForWrite(out, len, 4);
            UCHAR index = (UCHAR)(bus->curr_frame_index - 1);
            out[0] = index;
            VhubDbgPrint("BulkUsb_ReadVideoIndex ==== index %x\n", index);
            information = 1;
        PROBE_EXCEPT
            status = STATUS_UNSUCCESSFUL;
            information = 0;
        PROBE_END
    }
    Irp->IoStatus.Information = information;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
