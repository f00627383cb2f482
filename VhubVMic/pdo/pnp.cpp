// A child device's dispatch and plug-and-play answers: identity, texts,
// capabilities, relations, bus information, start and removal.
#include "core/vhub.h"

#define PDO_ID_BUFFER_BYTES 512
#define PDO_TEXT_BUFFER_BYTES 256

static const WCHAR DescriptionText[] = KTEXT("Tolvexo Denoise Device");
static const WCHAR LocationText[] = KTEXT("USB Virtual Bus");
static const WCHAR CompatibleId[] = KTEXT("USB\\COMPOSITE");
static const WCHAR HardwareIdPrefix[] = KTEXT("USB\\VID_");
static const WCHAR ProductPart[] = KTEXT("&PID_");
static const WCHAR RevisionPart[] = KTEXT("&REV_");
static const WCHAR HexDigits[] = KTEXT("0123456789ABCDEF");

// Appends a NUL-terminated text at Buffer[*At]; returns nothing, moves *At.
static VOID pdo_append_text(PWCHAR Buffer, ULONG* At, const WCHAR* Text)
{
    while (*Text != 0) {
        Buffer[(*At)++] = *Text++;
    }
}

// Four upper-case hexadecimal digits, as "%04X" gives them.
static VOID pdo_append_hex4(PWCHAR Buffer, ULONG* At, USHORT Value)
{
    int shift;
    for (shift = 12; shift >= 0; shift -= 4) {
        Buffer[(*At)++] = HexDigits[(Value >> shift) & 0xF];
    }
}

// At least two decimal digits, zero-padded, as "%02d" gives them.
static VOID pdo_append_dec2(PWCHAR Buffer, ULONG* At, ULONG Value)
{
    WCHAR digits[10];
    ULONG n = 0;
    do {
        digits[n++] = HexDigits[Value % 10];
        Value /= 10;
    } while (Value != 0);
    if (n < 2) {
        digits[n++] = HexDigits[0];
    }
    while (n > 0) {
        Buffer[(*At)++] = digits[--n];
    }
}

static NTSTATUS pdo_complete_unchanged(PIRP Irp)
{
    NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS pdo_complete_status(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS PDO_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPDO_DEVICE_DATA PDODeviceExtension = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    PDO_ASSERT(PDODeviceExtension->Common.IsFDO == FALSE);
    VhubDbgPrint("PDO_Dispatch IoStack->MajorFunction:%x\n", stack->MajorFunction);

    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
        return PDO_HandleCreateClose(DeviceObject, Irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return PDO_HandleInternalDeviceControl(DeviceObject, Irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(PDODeviceExtension->ParentFdo, Irp);
    case IRP_MJ_PNP:
        return PDO_HandlePnp(DeviceObject, Irp);
    default:
        // Device control on a child is the bus's business: the child's stack
        // is one deeper than the bus's, which leaves room for this.
        VhubDbgPrint("PDO_Dispatch Function %x not implemented, so go to next device\n", stack->MajorFunction);
        IoSkipCurrentIrpStackLocation(Irp);
        return IofCallDriver(PDODeviceExtension->ParentFdo, Irp);
    }
}

NTSTATUS PDO_HandleCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PCOMMON_DEVICE_DATA DeviceExtension = (PCOMMON_DEVICE_DATA)DeviceObject->DeviceExtension;

    PDO_ASSERT(DeviceExtension->IsFDO == FALSE);
    VhubDbgPrint("PDO_HandleCreateClose.\n");
    return pdo_complete_status(Irp, STATUS_SUCCESS);
}

NTSTATUS PdoDefaultPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PCOMMON_DEVICE_DATA DeviceExtension = (PCOMMON_DEVICE_DATA)DeviceObject->DeviceExtension;

    PDO_ASSERT(DeviceExtension->IsFDO == FALSE);
    VhubDbgPrint("PdoDefaultPnp.\n");
    return pdo_complete_status(Irp, STATUS_SUCCESS);
}

// Present changes under the bus's slot lock, like the slot table itself.
static VOID pdo_set_absent(PPDO_DEVICE_DATA PdoData)
{
    PFDO_DEVICE_DATA bus = PdoData->BusExtension;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&bus->SlotLock);
    PdoData->Present = FALSE;
    KeReleaseSpinLock(&bus->SlotLock, irql);
}

NTSTATUS PDO_HandlePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPDO_DEVICE_DATA PDODeviceExtension = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    PDO_ASSERT(PDODeviceExtension->Common.IsFDO == FALSE);
    VhubDbgPrint("PDO_HandlePnp IoStack->MinorFunction:%x\n", stack->MinorFunction);

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return PdoStartDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return PdoDefaultPnp(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return PdoRemoveDevice(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
        PDODeviceExtension->state = STATE_STOPPED;
        return pdo_complete_status(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
        PDODeviceExtension->state = STATE_STOP_PENDING;
        return pdo_complete_status(Irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_STOP_DEVICE:
        PDODeviceExtension->state = STATE_STARTED;
        return pdo_complete_status(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return PdoHandleDeviceRelations(DeviceObject, Irp);
    case IRP_MN_QUERY_INTERFACE:
        return PDOHandleQueryInterface(DeviceObject, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return Pdo_HandleQueryCapabilities(DeviceObject, Irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return PdoHandleQueryDeviceText(DeviceObject, Irp);
    case IRP_MN_EJECT:
        pdo_set_absent(PDODeviceExtension);
        return pdo_complete_status(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_ID:
        return PdoHandleQueryId(DeviceObject, Irp);
    case IRP_MN_QUERY_BUS_INFORMATION:
        return PDOHandleQueryBusInformation(DeviceObject, Irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        // No paging, hibernation or dump file on a virtual device.
        return pdo_complete_status(Irp, STATUS_UNSUCCESSFUL);
    case IRP_MN_SURPRISE_REMOVAL:
        if (PDODeviceExtension->InterfaceName.Buffer != NULL) {
            IoSetDeviceInterfaceState(&PDODeviceExtension->InterfaceName, FALSE);
        }
        pdo_set_absent(PDODeviceExtension);
        PDODeviceExtension->state = STATE_SURPRISE_REMOVED;
        return pdo_complete_status(Irp, STATUS_SUCCESS);
    default:
        return pdo_complete_unchanged(Irp);
    }
}

NTSTATUS PdoStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPDO_DEVICE_DATA pdoData = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    NTSTATUS status;

    VhubDbgPrint("PdoStartDevice.\n");
    pdoData->state = STATE_STARTED;

    // Every start registers again and gets a fresh copy of the name; the
    // one from an earlier start is released first.
    if (pdoData->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&pdoData->InterfaceName);
    }

    status = IoRegisterDeviceInterface(pdoData->Self, &VhubUsbDeviceInterfaceGuid, NULL, &pdoData->InterfaceName);
    if (!NT_SUCCESS(status)) {
        return pdo_complete_status(Irp, status);
    }

    status = IoSetDeviceInterfaceState(&pdoData->InterfaceName, TRUE);
    if (!NT_SUCCESS(status)) {
        return pdo_complete_status(Irp, status);
    }

    Irp->IoStatus.Information = 0;
    return pdo_complete_status(Irp, STATUS_SUCCESS);
}

NTSTATUS PdoRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPDO_DEVICE_DATA pdoData = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PFDO_DEVICE_DATA bus = pdoData->BusExtension;
    BOOLEAN found = FALSE;
    KIRQL irql;
    ULONG i;

    VhubDbgPrint("PdoRemoveDevice.\n");

    irql = KeAcquireSpinLockRaiseToDpc(&bus->SlotLock);
    for (i = 0; i < VHUB_CHILD_SLOTS; i++) {
        if (bus->ChildPdo[i] == DeviceObject) {
            bus->ChildPdo[i] = NULL;
            found = TRUE;
            break;
        }
    }
    KeReleaseSpinLock(&bus->SlotLock, irql);

    if (found) {
        // What the child owns goes with it: the interface name of its last
        // start and the configuration copy its personality kept.
        if (pdoData->InterfaceName.Buffer != NULL) {
            RtlFreeUnicodeString(&pdoData->InterfaceName);
        }
        if (pdoData->SelectedConfig != NULL) {
            ExFreePool(pdoData->SelectedConfig);
            pdoData->SelectedConfig = NULL;
        }
        if (pdoData->ConfigDescriptorCopy != NULL) {
            ExFreePool(pdoData->ConfigDescriptorCopy);
            pdoData->ConfigDescriptorCopy = NULL;
        }
        // The plug-and-play manager still holds its reference: the device
        // object and this request stay valid until the request completes.
        IoDeleteDevice(DeviceObject);
    }

    Irp->IoStatus.Information = 0;
    return pdo_complete_status(Irp, STATUS_SUCCESS);
}

NTSTATUS PdoHandleDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_RELATIONS relations;
    NTSTATUS status;

    VhubDbgPrint("PdoHandleDeviceRelations.\n");
    if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
        return pdo_complete_unchanged(Irp);
    }

    VhubDbgPrint("PdoHandleDeviceRelations debug ExAllocatePoolWithTag(PagedPool\n");
    relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), VHUB_POOL_TAG);
    if (relations == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        relations->Count = 1;
        relations->Objects[0] = DeviceObject;
        ObfReferenceObject(DeviceObject);
        Irp->IoStatus.Information = (ULONG_PTR)relations;
        status = STATUS_SUCCESS;
    }
    return pdo_complete_status(Irp, status);
}

NTSTATUS PdoHandleQueryDeviceText(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPDO_DEVICE_DATA PDODeviceExtension = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const WCHAR* text;
    ULONG textBytes;
    PWCHAR buffer;

    PDO_ASSERT(PDODeviceExtension->Common.IsFDO == FALSE);
    VhubDbgPrint("PdoHandleQueryDeviceText.\n");

    // The locale is not looked at: one text for every language.
    switch (stack->Parameters.QueryDeviceText.DeviceTextType) {
    case DeviceTextDescription:
        VhubDbgPrint("DeviceTextDescription debug ExAllocatePoolWithTag(PagedPool\n");
        text = DescriptionText;
        textBytes = sizeof(DescriptionText);
        break;
    case DeviceTextLocationInformation:
        VhubDbgPrint("DeviceTextLocationInformation debug ExAllocatePoolWithTag(PagedPool\n");
        text = LocationText;
        textBytes = sizeof(LocationText);
        break;
    default:
        return pdo_complete_unchanged(Irp);
    }

    buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, PDO_TEXT_BUFFER_BYTES, VHUB_POOL_TAG);
    if (buffer == NULL) {
        return pdo_complete_status(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlCopyMemory(buffer, text, textBytes);
    Irp->IoStatus.Information = (ULONG_PTR)buffer;
    return pdo_complete_status(Irp, STATUS_SUCCESS);
}

NTSTATUS PdoHandleQueryId(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPDO_DEVICE_DATA pdoData = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
    PWCHAR buffer;
    ULONG at = 0;

    VhubDbgPrint("PdoHandleQueryId.\n");

    switch (type) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
        VhubDbgPrint("BusQueryHardwareIDs debug ExAllocatePoolWithTag(PagedPool\n");
        break;
    case BusQueryCompatibleIDs:
        VhubDbgPrint("BusQueryCompatibleIDs debug ExAllocatePoolWithTag(PagedPool\n");
        break;
    case BusQueryInstanceID:
        VhubDbgPrint("BusQueryInstanceID debug ExAllocatePoolWithTag(PagedPool\n");
        break;
    case BusQueryContainerID:
        return pdo_complete_status(Irp, STATUS_NOT_SUPPORTED);
    default:
        return pdo_complete_unchanged(Irp);
    }

    // Zero-filled: the fill ends the text, and a multi-string's second NUL.
    buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, PDO_ID_BUFFER_BYTES, VHUB_POOL_TAG);
    if (buffer == NULL) {
        return pdo_complete_status(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(buffer, PDO_ID_BUFFER_BYTES);

    switch (type) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
        pdo_append_text(buffer, &at, HardwareIdPrefix);
        pdo_append_hex4(buffer, &at, pdoData->VendorId);
        pdo_append_text(buffer, &at, ProductPart);
        pdo_append_hex4(buffer, &at, pdoData->ProductId);
        pdo_append_text(buffer, &at, RevisionPart);
        pdo_append_hex4(buffer, &at, pdoData->Revision);
        break;
    case BusQueryCompatibleIDs:
        pdo_append_text(buffer, &at, CompatibleId);
        break;
    default:  // BusQueryInstanceID
        pdo_append_dec2(buffer, &at, pdoData->SlotIndex + 1);
        break;
    }

    Irp->IoStatus.Information = (ULONG_PTR)buffer;
    return pdo_complete_status(Irp, STATUS_SUCCESS);
}

NTSTATUS Pdo_HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPDO_DEVICE_DATA pdoData = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
    DEVICE_CAPABILITIES parentCaps;
    NTSTATUS status;

    VhubDbgPrint("Pdo_HandleQueryCapabilities.\n");

    if (caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        return pdo_complete_status(Irp, STATUS_UNSUCCESSFUL);
    }

    status = pdo_get_device_capabilities(pdoData->ParentFdo, &parentCaps);
    if (!NT_SUCCESS(status)) {
        RtlCopyMemory(&parentCaps, &pdoData->ParentCaps, sizeof(DEVICE_CAPABILITIES));
    }

    RtlCopyMemory(caps->DeviceState, parentCaps.DeviceState, sizeof(caps->DeviceState));

    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    if (caps->DeviceState[PowerSystemSleeping1] != PowerDeviceD0) {
        caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    }
    if (caps->DeviceState[PowerSystemSleeping2] != PowerDeviceD0) {
        caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
    }
    if (caps->DeviceState[PowerSystemSleeping3] != PowerDeviceD0) {
        caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    }
    caps->DeviceWake = PowerDeviceD1;

    caps->DeviceD1 = TRUE;
    caps->DeviceD2 = FALSE;
    caps->WakeFromD0 = FALSE;
    caps->WakeFromD1 = TRUE;
    caps->WakeFromD2 = FALSE;
    caps->WakeFromD3 = FALSE;

    caps->D1Latency = 0;
    caps->D2Latency = 0;
    caps->D3Latency = 0;

    caps->EjectSupported = TRUE;
    caps->HardwareDisabled = FALSE;
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = FALSE;
    caps->SilentInstall = FALSE;

    caps->Address = pdoData->SlotIndex + 1;
    caps->UINumber = pdoData->SlotIndex + 1;

    return pdo_complete_status(Irp, STATUS_SUCCESS);
}

NTSTATUS pdo_get_device_capabilities(PDEVICE_OBJECT DeviceObject, PDEVICE_CAPABILITIES Capabilities)
{
    IO_STATUS_BLOCK ioStatus;
    PIO_STACK_LOCATION next;
    PDEVICE_OBJECT target;
    KEVENT event;
    PIRP irp;
    NTSTATUS status;

    VhubDbgPrint("pdo_get_device_capabilities.\n");

    RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->Address = 0xFFFFFFFF;
    Capabilities->UINumber = 0xFFFFFFFF;

    KeInitializeEvent(&event, NotificationEvent, FALSE);

    // The top of the stack the bus device sits in.
    target = IoGetAttachedDeviceReference(DeviceObject);
    irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, NULL, 0, NULL, &event, &ioStatus);
    if (irp == NULL) {
        ObfDereferenceObject(target);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    next = IoGetNextIrpStackLocation(irp);
    RtlZeroMemory(next, sizeof(IO_STACK_LOCATION));
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = Capabilities;

    status = IofCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }

    ObfDereferenceObject(target);
    return status;
}

NTSTATUS PDOHandleQueryBusInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPNP_BUS_INFORMATION info;

    UNREFERENCED_PARAMETER(DeviceObject);
    VhubDbgPrint("PDOHandleQueryBusInformation debug ExAllocatePoolWithTag(PagedPool\n");

    info = (PPNP_BUS_INFORMATION)ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), VHUB_POOL_TAG);
    if (info == NULL) {
        VhubDbgPrint("Failed allocate bus information.\n");
        return pdo_complete_status(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    info->BusTypeGuid = VhubUsbBusTypeGuid;
    info->LegacyBusType = PNPBus;
    info->BusNumber = 0;
    Irp->IoStatus.Information = (ULONG_PTR)info;
    return pdo_complete_status(Irp, STATUS_SUCCESS);
}
