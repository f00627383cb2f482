// Request completion, synchronous forwarding and the millisecond clock.
#include "core/vhub.h"

NTSTATUS complete_irp(PIRP Irp, NTSTATUS Status, LONG Information)
{
    VhubDbgPrint("complete_irp\n");
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = (ULONG_PTR)(LONG_PTR)Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS complete_pdo_irp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, LONG Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    UNREFERENCED_PARAMETER(DeviceObject);
    VhubDbgPrint("complete_pdo_irp\n");

    // A URB request also reports the outcome in the URB's own header.
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        stack->Parameters.Others.Argument1 != NULL) {
        PURB urb = (PURB)stack->Parameters.Others.Argument1;
        urb->UrbHeader.Status = (Status < 0) ? USBD_STATUS_ERROR : USBD_STATUS_SUCCESS;
    }
    return complete_irp(Irp, Status, Information);
}

NTSTATUS SyncForwardIrp(PDEVICE_OBJECT TargetDevice, PIRP Irp)
{
    KEVENT event;
    NTSTATUS status;

    VhubDbgPrint("SyncForwardIrp.\n");
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);

    status = IofCallDriver(TargetDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    // The request belongs to the caller again, who completes it.
    return status;
}

NTSTATUS IrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    VhubDbgPrint("IrpCompletionRoutine.\n");
    if (Context != NULL) {
        KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    }
    // Keep the request: whoever waits on the event finishes it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

LONGLONG QueryTickMilliseconds(VOID)
{
    LARGE_INTEGER ticks;
    LONGLONG increment;

    KeQueryTickCount(&ticks);
    increment = (LONGLONG)KeQueryTimeIncrement();
    return (ticks.QuadPart * increment) / 10000;
}

VOID DelayMilliseconds(LONG Milliseconds)
{
    LARGE_INTEGER interval;

    interval.QuadPart = -10000LL * (LONGLONG)Milliseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
