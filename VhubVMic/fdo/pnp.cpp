// The bus device's dispatch, plug-and-play and power handling.
#include "core/vhub.h"
#include "camera/camera.h"
#include "audio/audio.h"

typedef NTSTATUS (*PFDO_PNP_HANDLER)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

typedef struct _FDO_PNP_ENTRY {
    UCHAR MinorFunction;
    PFDO_PNP_HANDLER Handler;
} FDO_PNP_ENTRY;

// Searched first to last; everything else goes to the driver below.
static const FDO_PNP_ENTRY FdoPnpTable[7] = {
    {IRP_MN_START_DEVICE, FdoStartDevice},
    {IRP_MN_QUERY_STOP_DEVICE, FdoHandleQueryStopDevice},
    {IRP_MN_STOP_DEVICE, FdoHandleStopDevice},
    {IRP_MN_SURPRISE_REMOVAL, FdoHandleSurpriseRemoval},
    {IRP_MN_QUERY_REMOVE_DEVICE, FdoHandleQueryRemoveDevice},
    {IRP_MN_REMOVE_DEVICE, FdoHandleRemoveDevice},
    {IRP_MN_QUERY_DEVICE_RELATIONS, FdoHandleQueryDeviceRelations},
};

static NTSTATUS FdoPassOn(PFDO_DEVICE_DATA Extension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(Extension->NextLowerDriver, Irp);
}

NTSTATUS FDO_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA FDODeviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    FDO_ASSERT(FDODeviceExtension->Common.IsFDO);
    VhubDbgPrint("FDO_Dispatch IoStack->MajorFunction:%x\n", stack->MajorFunction);

    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        return FDO_HandleCreate(DeviceObject, Irp);
    case IRP_MJ_CLOSE:
        return FDO_HandleClose(DeviceObject, Irp);
    case IRP_MJ_DEVICE_CONTROL:
        return FDO_HandleDeviceControl(DeviceObject, Irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return FDO_HandleInternalDeviceControl(DeviceObject, Irp);
    case IRP_MJ_POWER:
        // The bus takes no part in power management.
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(FDODeviceExtension->NextLowerDriver, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return FDO_HandleSystemControl(DeviceObject, Irp);
    case IRP_MJ_PNP:
        return FDO_HandlePnp(DeviceObject, Irp);
    default:
        // Not registered; should one arrive anyway, the stack below decides.
        return FdoPassOn(FDODeviceExtension, Irp);
    }
}

NTSTATUS FDO_HandleCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA DeviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;

    VhubDbgPrint("FDO_HandleCreate\n");
    FDO_ASSERT(DeviceExtension->Common.IsFDO == TRUE);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS FDO_HandleClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA DeviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;

    VhubDbgPrint("FDO_HandleClose\n");
    FDO_ASSERT(DeviceExtension->Common.IsFDO == TRUE);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS FDO_HandleInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA FDODeviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;

    VhubDbgPrint("FDO_HandleInternalDeviceControl\n");
    FDO_ASSERT(FDODeviceExtension->Common.IsFDO);
    return FdoPassOn(FDODeviceExtension, Irp);
}

NTSTATUS FDO_HandleSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA FDODeviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;

    VhubDbgPrint("FDO_HandleSystemControl\n");
    FDO_ASSERT(FDODeviceExtension->Common.IsFDO);
    return FdoPassOn(FDODeviceExtension, Irp);
}

NTSTATUS FDO_HandlePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA FDODeviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG i;

    FDO_ASSERT(FDODeviceExtension->Common.IsFDO);
    VhubDbgPrint("FDO_HandlePnp IoStack->MinorFunction:%x\n", stack->MinorFunction);

    for (i = 0; i < sizeof(FdoPnpTable) / sizeof(FdoPnpTable[0]); i++) {
        if (FdoPnpTable[i].MinorFunction == stack->MinorFunction) {
            return FdoPnpTable[i].Handler(DeviceObject, Irp);
        }
    }
    VhubDbgPrint("FDO_HandlePnp MinorFunction %x not implemented,so dispatch to next device\n",
                 stack->MinorFunction);
    return FdoPassOn(FDODeviceExtension, Irp);
}

NTSTATUS FdoStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA deviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    NTSTATUS status;

    VhubDbgPrint("FdoStartDevice\n");

    status = SyncForwardIrp(deviceExtension->NextLowerDriver, Irp);
    if (!NT_SUCCESS(status)) {
        VhubDbgPrint("SyncForwardIrp err:[%08x]\n", status);
        goto finish;
    }

    // A slot still occupied (a start after a stop) refuses the surplus child.
    AddPdo(deviceExtension->Self, VHUB_CAMERA_VENDOR_ID, VHUB_CAMERA_PRODUCT_ID, VHUB_CHILD_REVISION,
           &VhubCameraClassGuid, MicDispatch);
    AddPdo(deviceExtension->Self, VHUB_AUDIO_VENDOR_ID, VHUB_AUDIO_PRODUCT_ID, VHUB_CHILD_REVISION,
           &VhubAudioClassGuid, MicDispatchSound);

    IoInvalidateDeviceRelations(deviceExtension->UnderlyingPDO, BusRelations);
    VhubDbgPrint("IoInvalidateDeviceRelations\n");

    status = FDO_HandleQueryCapabilities(DeviceObject);
    if (!NT_SUCCESS(status)) {
        VhubDbgPrint("FdoStartDevice failed to get capabilities with %x\n", status);
        goto finish;
    }

    // The name registered at AddDevice is kept until removal, so a start
    // after a stop enables the same interface again.
    status = IoSetDeviceInterfaceState(&deviceExtension->InterfaceName, TRUE);
    if (!NT_SUCCESS(status)) {
        VhubDbgPrint("IoSetDeviceInterfaceState:enable:err %08x\n", status);
        goto finish;
    }

finish:
    StartDataThread(deviceExtension);
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FDO_HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject)
{
    PFDO_DEVICE_DATA FDODeviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PDEVICE_CAPABILITIES caps = &FDODeviceExtension->DeviceCaps;
    PIO_STACK_LOCATION next;
    KEVENT event;
    PIRP irp;
    NTSTATUS status;

    VhubDbgPrint("FDO_HandleQueryCapabilities\n");
    FDO_ASSERT(FDODeviceExtension->Common.IsFDO);

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = caps;
    IoSetCompletionRoutine(irp, IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);

    RtlZeroMemory(caps, sizeof(DEVICE_CAPABILITIES));
    caps->Size = sizeof(DEVICE_CAPABILITIES);
    caps->Version = 1;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;

    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    status = IofCallDriver(FDODeviceExtension->NextLowerDriver, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

VOID StartDataThread(PFDO_DEVICE_DATA BusExtension)
{
    HANDLE thread = NULL;
    PVOID object = NULL;
    NTSTATUS status;

    // One pacing thread per bus: a stop leaves it running, so a start after
    // a stop finds it and must not start a second one.
    if (BusExtension->DataReadThread != NULL) {
        return;
    }

    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, ThreadProc, BusExtension);
    if (!NT_SUCCESS(status)) {
        VhubDbgPrint("Failed create data read thread.\n");
        return;
    }

    status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode, &object, NULL);
    // The handle is not needed either way; the thread is known by its
    // referenced object from here on.
    ZwClose(thread);
    if (!NT_SUCCESS(status)) {
        VhubDbgPrint("Failed ObReferenceObjectByHandle.\n");
        return;
    }
    BusExtension->DataReadThread = object;
}

NTSTATUS FdoHandleQueryStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA deviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;

    VhubDbgPrint("FdoHandleQueryStopDevice\n");
    FDO_ASSERT(deviceExtension->Common.IsFDO);
    return FdoPassOn(deviceExtension, Irp);
}

NTSTATUS FdoHandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA deviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;

    VhubDbgPrint("FdoHandleSurpriseRemoval\n");
    FDO_ASSERT(deviceExtension->Common.IsFDO);
    return FdoPassOn(deviceExtension, Irp);
}

NTSTATUS FdoHandleQueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA deviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;

    VhubDbgPrint("FdoHandleQueryRemoveDevice\n");
    FDO_ASSERT(deviceExtension->Common.IsFDO);
    return FdoPassOn(deviceExtension, Irp);
}

NTSTATUS FdoHandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA deviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    NTSTATUS status;
    NTSTATUS disable;

    VhubDbgPrint("FdoHandleStopDevice\n");
    FDO_ASSERT(deviceExtension->Common.IsFDO);

    status = FdoPassOn(deviceExtension, Irp);
    if (!NT_SUCCESS(status)) {
        VhubDbgPrint("FdoHandleStopDevice:err %08x\n", status);
        return status;
    }

    // Only disabled: the name stays registered for the next start and is
    // released at removal. The request is already completed with the lower
    // driver's status, which is what is returned.
    disable = IoSetDeviceInterfaceState(&deviceExtension->InterfaceName, FALSE);
    if (!NT_SUCCESS(disable)) {
        VhubDbgPrint("IoSetDeviceInterfaceState:diable:err %08x\n", disable);
    }
    return status;
}

NTSTATUS FdoHandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA deviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PDEVICE_OBJECT leftover[VHUB_CHILD_SLOTS];
    KIRQL irql;
    NTSTATUS status;
    ULONG i;

    VhubDbgPrint("FdoHandleRemoveDevice\n");

    // The pacing thread uses the bus extension: it must have ended before
    // the extension goes away with the device.
    StopDataThread(deviceExtension);

    FDO_ASSERT(deviceExtension->Common.IsFDO);

    if (deviceExtension->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&deviceExtension->InterfaceName, FALSE);
        RtlFreeUnicodeString(&deviceExtension->InterfaceName);
    }

    // Children that the plug-and-play manager knows are removed before
    // their parent. One still in its slot now was created by a plug-in
    // whose relations answer never came, so nobody else will delete it.
    irql = KeAcquireSpinLockRaiseToDpc(&deviceExtension->SlotLock);
    for (i = 0; i < VHUB_CHILD_SLOTS; i++) {
        leftover[i] = deviceExtension->ChildPdo[i];
        deviceExtension->ChildPdo[i] = NULL;
    }
    KeReleaseSpinLock(&deviceExtension->SlotLock, irql);
    for (i = 0; i < VHUB_CHILD_SLOTS; i++) {
        if (leftover[i] != NULL) {
            IoDeleteDevice(leftover[i]);
        }
    }

    status = FdoPassOn(deviceExtension, Irp);

    IoDetachDevice(deviceExtension->NextLowerDriver);
    IoDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS FdoHandleQueryDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA deviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_RELATIONS prev;
    PDEVICE_RELATIONS relations;
    ULONG prevCount;
    ULONG present;
    ULONG added;
    ULONG size;
    KIRQL irql;
    ULONG i;

    VhubDbgPrint("FdoHandleQueryDeviceRelations \n");
    FDO_ASSERT(deviceExtension->Common.IsFDO);

    if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    prev = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    prevCount = (prev != NULL) ? prev->Count : 0;

    present = 0;
    irql = KeAcquireSpinLockRaiseToDpc(&deviceExtension->SlotLock);
    for (i = 0; i < VHUB_CHILD_SLOTS; i++) {
        PDEVICE_OBJECT child = deviceExtension->ChildPdo[i];
        if (child != NULL && ((PPDO_DEVICE_DATA)child->DeviceExtension)->Present) {
            present++;
        }
    }
    KeReleaseSpinLock(&deviceExtension->SlotLock, irql);

    // Room for one entry more than it will hold.
    size = sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT) * (prevCount + present);
    relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(NonPagedPool, size, VHUB_POOL_TAG);
    if (relations == NULL) {
        // The failed request carries no list, so the one from above, with
        // the references it holds, ends here.
        for (i = 0; i < prevCount; i++) {
            ObfDereferenceObject(prev->Objects[i]);
        }
        if (prev != NULL) {
            ExFreePool(prev);
        }
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    for (i = 0; i < prevCount; i++) {
        relations->Objects[i] = prev->Objects[i];
    }

    // Plug-in or unplug may have run since the count: append no more than
    // were counted, and only children present now, each with the reference
    // that the plug-and-play manager releases.
    added = 0;
    irql = KeAcquireSpinLockRaiseToDpc(&deviceExtension->SlotLock);
    for (i = 0; i < VHUB_CHILD_SLOTS && added < present; i++) {
        PDEVICE_OBJECT child = deviceExtension->ChildPdo[i];
        if (child != NULL && ((PPDO_DEVICE_DATA)child->DeviceExtension)->Present) {
            relations->Objects[prevCount + added] = child;
            ObfReferenceObject(child);
            added++;
        }
    }
    KeReleaseSpinLock(&deviceExtension->SlotLock, irql);

    relations->Count = prevCount + added;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    if (prev != NULL) {
        ExFreePool(prev);
    }
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
