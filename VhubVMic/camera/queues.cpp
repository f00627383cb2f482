// Request and frame queues of the bus extension.
//
// The host's isochronous transfers and the application's data requests meet
// here. A parked transfer can leave its queue four ways: a taker (video,
// touch, microphone write, pacing thread), ABORT_PIPE, unplug, or the host's
// cancellation. Each must complete it exactly once and nobody may touch it
// afterwards, so the queues follow the cancel-safe pattern:
//
//  - a put links the request and arms the cancel routine under the queue's
//    lock; if the request was cancelled before the routine was armed, the
//    put takes it straight back and completes it as cancelled;
//  - a take unlinks the head under the lock and clears the cancel routine;
//    a NULL answer means the cancel routine already owns the request, so the
//    taker leaves it alone and tries the next one;
//  - a cancel routine unlinks its request under the queue's lock only if it
//    still finds it on the queue (a taker may have unlinked it, or unplug
//    may have emptied the list), and then completes it.
#include "camera.h"

namespace {

struct IrpQueue {
    PLIST_ENTRY List;
    PKSPIN_LOCK Lock;
    PULONG Count;  // NULL for queues without a counter
    PDRIVER_CANCEL Cancel;
};

IrpQueue CameraQueue(PFDO_DEVICE_DATA Bus) {
    return IrpQueue{&Bus->CameraIrpList, &Bus->CameraIrpLock, NULL, urb_irp_cancel_routine5};
}
IrpQueue MicQueue(PFDO_DEVICE_DATA Bus) {
    return IrpQueue{&Bus->MicIrpList, &Bus->MicIrpLock, NULL, urb_irp_cancel_routine2};
}
IrpQueue SpeakerQueue(PFDO_DEVICE_DATA Bus) {
    return IrpQueue{&Bus->SpeakerIrpList, &Bus->SpeakerIrpLock, &Bus->SpeakerIrpCount,
                    urb_irp_cancel_routine3};
}

PIRP IrpFromLink(PLIST_ENTRY Link) {
    return CONTAINING_RECORD(Link, IRP, Tail.Overlay.ListEntry);
}

// Links Irp into the queue (at the head or the tail) and arms the cancel
// routine, all under the queue's lock. Returns FALSE when the request had
// already been cancelled: it is then unlinked again and the caller must
// complete it.
BOOLEAN LinkAndArm(const IrpQueue& Q, PIRP Irp, BOOLEAN AtHead) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Q.Lock);
    if (AtHead) {
        InsertHeadList(Q.List, &Irp->Tail.Overlay.ListEntry);
    } else {
        InsertTailList(Q.List, &Irp->Tail.Overlay.ListEntry);
    }
    if (Q.Count) {
        InterlockedIncrement((volatile LONG*)Q.Count);
    }
    (VOID)IoSetCancelRoutine(Irp, Q.Cancel);
    BOOLEAN parked = TRUE;
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        // Cancelled before the routine was armed: the I/O manager found no
        // routine to call, so the request is ours to finish.
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        if (Q.Count) {
            InterlockedDecrement((volatile LONG*)Q.Count);
        }
        parked = FALSE;
    }
    KeReleaseSpinLock(Q.Lock, irql);
    return parked;
}

VOID Park(const IrpQueue& Q, PIRP Irp, BOOLEAN AtHead) {
    if (!LinkAndArm(Q, Irp, AtHead)) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        complete_pdo_irp(stack->DeviceObject, Irp, STATUS_CANCELLED, 0);
    }
}

// Unlinks the oldest request whose cancel routine has not started; the
// queue's lock is held. Requests whose cancellation has begun are unlinked
// and left to their cancel routine.
PIRP TakeLocked(const IrpQueue& Q) {
    while (!IsListEmpty(Q.List)) {
        PIRP irp = IrpFromLink(RemoveHeadList(Q.List));
        if (Q.Count) {
            InterlockedDecrement((volatile LONG*)Q.Count);
        }
        // Self-linked: the cancel routine will not find it on the list.
        InitializeListHead(&irp->Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            return irp;
        }
    }
    return NULL;
}

PIRP Take(const IrpQueue& Q) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Q.Lock);
    PIRP taken = TakeLocked(Q);
    KeReleaseSpinLock(Q.Lock, irql);
    return taken;
}

// The common body of the three cancel routines.
VOID CancelParked(const IrpQueue& Q, PDEVICE_OBJECT DeviceObject, PIRP Irp, PCSTR Message) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    DbgPrint(Message, Irp);

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Q.Lock);
    for (PLIST_ENTRY link = Q.List->Flink; link != Q.List; link = link->Flink) {
        if (link == &Irp->Tail.Overlay.ListEntry) {
            RemoveEntryList(link);
            if (Q.Count) {
                InterlockedDecrement((volatile LONG*)Q.Count);
            }
            break;
        }
    }
    KeReleaseSpinLock(Q.Lock, irql);

    complete_pdo_irp(DeviceObject, Irp, STATUS_CANCELLED, 0);
}

PFDO_DEVICE_DATA BusOfChild(PVOID ChildExtension) {
    return ((PPDO_DEVICE_DATA)ChildExtension)->BusExtension;
}

}  // namespace

// ---------------------------------------------------------------------------
// Camera queue
// ---------------------------------------------------------------------------

VOID PutTouchPendingIrp(PFDO_DEVICE_DATA BusExtension, PIRP Irp) {
    VhubDbgPrint("PutTouchPendingIrp.\n");
    Park(CameraQueue(BusExtension), Irp, FALSE);
}

PIRP GetTouchPendingIrp(PFDO_DEVICE_DATA BusExtension) {
    VhubDbgPrint("GetTouchPendingIrp.\n");
    return Take(CameraQueue(BusExtension));
}

VOID ReturnTouchPendingIrp(PFDO_DEVICE_DATA BusExtension, PIRP Irp) {
    Park(CameraQueue(BusExtension), Irp, TRUE);
}

VOID CancelTouchPendingIrps(PFDO_DEVICE_DATA BusExtension) {
    PIRP irp;
    while ((irp = Take(CameraQueue(BusExtension))) != NULL) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        complete_pdo_irp(stack->DeviceObject, irp, STATUS_CANCELLED, 0);
    }
}

VOID NTAPI urb_irp_cancel_routine5(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PPDO_DEVICE_DATA child = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    CancelParked(CameraQueue(child->BusExtension), DeviceObject, Irp,
                 "urb_irp_cancel_routine5 Cancle Irp :%p\n");
}

// ---------------------------------------------------------------------------
// Microphone queue
// ---------------------------------------------------------------------------

VOID PutMicPendingIrp(PFDO_DEVICE_DATA BusExtension, PIRP Irp) {
    VhubDbgPrint("PutTouchPendingIrp.\n");
    Park(MicQueue(BusExtension), Irp, FALSE);
}

PIRP GetMicPendingIrp(PFDO_DEVICE_DATA BusExtension) {
    VhubDbgPrint("GetTouchPendingIrp.\n");
    IrpQueue q = MicQueue(BusExtension);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(q.Lock);
    PIRP taken = TakeLocked(q);
    // Every write stamps the time, found or not: the dispatcher parks
    // microphone transfers only while the application keeps writing.
    InterlockedExchange64(&BusExtension->LastPcmWriteTime, QueryTickMilliseconds());
    KeReleaseSpinLock(q.Lock, irql);
    return taken;
}

VOID ReturnMicPendingIrp(PFDO_DEVICE_DATA BusExtension, PIRP Irp) {
    Park(MicQueue(BusExtension), Irp, TRUE);
}

VOID NTAPI urb_irp_cancel_routine2(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PVOID child = Irp->Tail.Overlay.DriverContext[2];
    CancelParked(MicQueue(BusOfChild(child)), ((PPDO_DEVICE_DATA)child)->Self, Irp,
                 "urb_irp_cancel_routine2 Cancle Irp :%p\n");
}

// ---------------------------------------------------------------------------
// Speaker queue
// ---------------------------------------------------------------------------

VOID PutTouchPendingIrpSpeaker(PFDO_DEVICE_DATA BusExtension, PIRP Irp) {
    VhubDbgPrint("PutTouchPendingIrpSpeaker.\n");
    Park(SpeakerQueue(BusExtension), Irp, FALSE);
}

PIRP GetSpeakerPendingIrp(PFDO_DEVICE_DATA BusExtension) {
    return Take(SpeakerQueue(BusExtension));
}

VOID NTAPI urb_irp_cancel_routine3(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PVOID child = Irp->Tail.Overlay.DriverContext[1];
    CancelParked(SpeakerQueue(BusOfChild(child)), ((PPDO_DEVICE_DATA)child)->Self, Irp,
                 "urb_irp_cancel_routine3 Cancle Irp :%p\n");
}

// ---------------------------------------------------------------------------
// Frame queues of the raw-data channel
// ---------------------------------------------------------------------------

PFRAME_RECORD GetPendingFrame(PFDO_DEVICE_DATA BusExtension) {
    VhubDbgPrint("GetPendingFrame.\n");
    PFRAME_RECORD frame = NULL;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&BusExtension->PendingFrameLock);
    if (!IsListEmpty(&BusExtension->PendingFrameList)) {
        frame = CONTAINING_RECORD(RemoveHeadList(&BusExtension->PendingFrameList), FRAME_RECORD, Link);
        --BusExtension->PendingFrameCount;
    }
    KeReleaseSpinLock(&BusExtension->PendingFrameLock, irql);
    return frame;
}

VOID RecyleFrame(PFDO_DEVICE_DATA BusExtension, PFRAME_RECORD Frame) {
    VhubDbgPrint("RecyleFrame.\n");
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&BusExtension->FreeFrameLock);
    if (BusExtension->FreeFrameCount < VHUB_FREE_FRAME_MAX) {
        ++BusExtension->FreeFrameCount;
        InsertTailList(&BusExtension->FreeFrameList, &Frame->Link);
    } else {
        ExFreePool(Frame);
    }
    KeReleaseSpinLock(&BusExtension->FreeFrameLock, irql);
}

// ---------------------------------------------------------------------------
// URB data buffer
// ---------------------------------------------------------------------------

PVOID UrbDataBuffer(PVOID TransferBuffer, PMDL TransferBufferMDL) {
    if (TransferBuffer != NULL) {
        return TransferBuffer;
    }
    if (TransferBufferMDL != NULL) {
        return MmGetSystemAddressForMdlSafe(TransferBufferMDL, NormalPagePriority);
    }
    return NULL;
}
