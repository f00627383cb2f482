// Speaker path: the pacing thread completes the host's speaker transfers at
// the pace of real time (about one per 10 ms), keeping their audio as PCM
// records that the application reads; records nobody collects are trimmed so
// that no more than four wait.
#include "audio.h"

namespace {

VOID FreePcmRecords(PFDO_DEVICE_DATA Bus, ULONG Keep) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Bus->SpeakerPcmLock);
    while (!IsListEmpty(&Bus->SpeakerPcmList) && Bus->SpeakerPcmCount > Keep) {
        PLIST_ENTRY link = RemoveHeadList(&Bus->SpeakerPcmList);
        --Bus->SpeakerPcmCount;
        ExFreePool(CONTAINING_RECORD(link, SPEAKER_PCM_RECORD, Link));
    }
    KeReleaseSpinLock(&Bus->SpeakerPcmLock, irql);
}

VOID FreeFrameRecords(PLIST_ENTRY List, PKSPIN_LOCK Lock, PULONG Count) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Lock);
    while (!IsListEmpty(List)) {
        ExFreePool(CONTAINING_RECORD(RemoveHeadList(List), FRAME_RECORD, Link));
    }
    *Count = 0;
    KeReleaseSpinLock(Lock, irql);
}

LONGLONG SystemTime() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

}  // namespace

VOID DoPcmIrpReadBurffer(PIRP Irp, PUCHAR Destination, ULONG Limit, PULONG Count) {
    *Count = 0;
    PURB urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    ULONG capacity = iso.TransferBufferLength;
    const UCHAR* source = (const UCHAR*)UrbDataBuffer(iso.TransferBuffer, iso.TransferBufferMDL);
    ULONG copied = 0;
    iso.TransferBufferLength = 0;

    // A transfer without a buffer has nothing to give; no packet is touched.
    ULONG floor = 0;  // where the next packet may start
    for (ULONG i = 0; source != NULL && i < iso.NumberOfPackets; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
        ULONG room;
        if (!IsoPacketRoom(iso.IsoPacket, iso.NumberOfPackets, i, capacity, &floor, &room)) {
            packet.Status = USBD_STATUS_ERROR;
            packet.Length = 0;
            continue;
        }
        ULONG left = Limit - copied;
        ULONG take = left < room ? left : room;
        packet.Status = USBD_STATUS_SUCCESS;
        packet.Length = take;
        iso.TransferBufferLength += take;
        RtlCopyMemory(Destination + copied, source + packet.Offset, take);
        copied += take;
        if (copied == Limit) {
            break;
        }
    }
    *Count = copied;
}

VOID NTAPI ThreadProc(PVOID StartContext) {
    PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)StartContext;
    KeSetPriorityThread(KeGetCurrentThread(), VHUB_PACING_PRIORITY);
    LONGLONG lastTrim = QueryTickMilliseconds();
    LONGLONG windowCount = 0;

    while (KeReadStateEvent(&bus->StopEvent) == 0) {
        LONGLONG now = SystemTime();
        LONGLONG age = now - bus->PacingWindowStart;
        if (age > VHUB_PACING_WINDOW) {
            VhubDbgPrint("======= ThreadProc ======timespan ster %d\n", (LONG)age);
            windowCount = 0;
            bus->PacingWindowStart = now;
        }

        if ((ULONGLONG)(QueryTickMilliseconds() - lastTrim) > VHUB_PACING_TRIM_PERIOD_MS) {
            FreePcmRecords(bus, VHUB_PACING_TRIM_BOUND - 1);
            lastTrim = QueryTickMilliseconds();
        }

        LONG allowance = windowCount * VHUB_PACING_PER_TRANSFER <= age ? VHUB_PACING_PER_PASS : 0;
        if (windowCount > VHUB_PACING_WINDOW_LIMIT) {
            allowance = 0;
        }

        while (SharedRead(&bus->SpeakerIrpCount) != 0 && allowance > 0 && windowCount <= VHUB_PACING_WINDOW_LIMIT) {
            PIRP transfer = GetSpeakerPendingIrp(bus);
            if (transfer == NULL) {
                continue;
            }
            PSPEAKER_PCM_RECORD record = (PSPEAKER_PCM_RECORD)ExAllocatePoolWithTag(
                NonPagedPool, sizeof(SPEAKER_PCM_RECORD), VHUB_PCM_POOL_TAG);
            if (record != NULL) {
                ULONG count = 0;
                DoPcmIrpReadBurffer(transfer, record->Data, VHUB_PCM_RECORD_FILL, &count);
                if (count > 0) {
                    VhubDbgPrint("======= ThreadProc ======timespan:%d--totalcount:%d packetlen%d loopcount %d\n",
                                 (LONG)age, (LONG)windowCount, count, allowance);
                    record->Length = count;
                    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&bus->SpeakerPcmLock);
                    InsertTailList(&bus->SpeakerPcmList, &record->Link);
                    ++bus->SpeakerPcmCount;
                    KeReleaseSpinLock(&bus->SpeakerPcmLock, irql);
                } else {
                    VhubDbgPrint("DoPcmIrpReadBurffer --- nodata\n");
                    ExFreePool(record);
                }
            }
            ++windowCount;
            --allowance;
            transfer->IoStatus.Information = 0;
            transfer->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(transfer, IO_NO_INCREMENT);
        }

        // The pass's sleep waits on StopEvent, so that removal does not have
        // to wait out a sleep to see the thread end.
        LARGE_INTEGER sleep;
        sleep.QuadPart = -10000LL * VHUB_PACING_SLEEP_MS;
        KeWaitForSingleObject(&bus->StopEvent, Executive, KernelMode, FALSE, &sleep);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID StopDataThread(PFDO_DEVICE_DATA BusExtension) {
    KeSetEvent(&BusExtension->StopEvent, IO_NO_INCREMENT, FALSE);
    if (BusExtension->DataReadThread != NULL) {
        KeWaitForSingleObject(BusExtension->DataReadThread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(BusExtension->DataReadThread);
        BusExtension->DataReadThread = NULL;
    }
    // The bus is going away: records nobody will read any more go with it.
    FreePcmRecords(BusExtension, 0);
    FreeFrameRecords(&BusExtension->FreeFrameList, &BusExtension->FreeFrameLock, &BusExtension->FreeFrameCount);
    FreeFrameRecords(&BusExtension->PendingFrameList, &BusExtension->PendingFrameLock,
                     &BusExtension->PendingFrameCount);
}

NTSTATUS VhubReadPCM(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    VhubDbgPrint("BulkUsb_WriteTouch\n");
    VHUB_ASSERT_IN("VhubVMic\\audio", KeGetCurrentIrql() < DISPATCH_LEVEL);
    VhubDbgPrint("BulkUsb_ReadTouch\n");
    PFDO_DEVICE_DATA bus = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG len = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR out = (PUCHAR)Irp->UserBuffer;
    volatile ULONG total = 0;
    NTSTATUS status = STATUS_SUCCESS;

    // Records are unlinked under the lock and copied to the caller's buffer
    // after it is released: the caller's memory may fault or page, which a
    // spin lock holder must never risk.
    LIST_ENTRY taken;
    InitializeListHead(&taken);

    PROBE_TRY
        ProbeForWrite(out, len, 4);

        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&bus->SpeakerPcmLock);
        ULONG planned = 0;
        while (!IsListEmpty(&bus->SpeakerPcmList) && planned < len) {
            PLIST_ENTRY link = RemoveHeadList(&bus->SpeakerPcmList);
            --bus->SpeakerPcmCount;
            InsertTailList(&taken, link);
            planned += CONTAINING_RECORD(link, SPEAKER_PCM_RECORD, Link)->Length;
        }
        KeReleaseSpinLock(&bus->SpeakerPcmLock, irql);

        while (!IsListEmpty(&taken)) {
            PSPEAKER_PCM_RECORD record = CONTAINING_RECORD(taken.Flink, SPEAKER_PCM_RECORD, Link);
            ULONG room = len - total;
            ULONG n = record->Length < room ? record->Length : room;
            RtlCopyMemory(out + total, record->Data, n);
            total += n;
            RemoveHeadList(&taken);
            if (n < record->Length) {
                // Only part of the record fits: the rest stays first in line
                // for the next read.
                RtlMoveMemory(record->Data, record->Data + n, record->Length - n);
                record->Length -= n;
                irql = KeAcquireSpinLockRaiseToDpc(&bus->SpeakerPcmLock);
                InsertHeadList(&bus->SpeakerPcmList, &record->Link);
                ++bus->SpeakerPcmCount;
                KeReleaseSpinLock(&bus->SpeakerPcmLock, irql);
            } else {
                ExFreePool(record);
            }
        }
    PROBE_EXCEPT
        DbgPrint(VHUB_KELO " BulkUsb_ReadTouchCatch the exception\n");
        DbgPrint(VHUB_KELO " BulkUsb_ReadTouch The program will keep going\n");
        status = STATUS_UNSUCCESSFUL;
        // Records not yet delivered go back to the head, in their order.
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&bus->SpeakerPcmLock);
        while (!IsListEmpty(&taken)) {
            InsertHeadList(&bus->SpeakerPcmList, RemoveTailList(&taken));
            ++bus->SpeakerPcmCount;
        }
        KeReleaseSpinLock(&bus->SpeakerPcmLock, irql);
    PROBE_END

    Irp->IoStatus.Information = total;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
