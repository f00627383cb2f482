// The bus's control interface: routing of the application's device-control
// requests, device information, plug-in, unplug and child creation.
#include "core/vhub.h"
#include "camera/camera.h"
#include "audio/audio.h"
#include "devsec.h"

typedef NTSTATUS (*PFDO_IOCTL_HANDLER)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

typedef struct _FDO_IOCTL_ENTRY {
    ULONG IoControlCode;
    const char* Message;
    PFDO_IOCTL_HANDLER Handler;
} FDO_IOCTL_ENTRY;

static const FDO_IOCTL_ENTRY FdoIoctlTable[9] = {
    {IOCTL_GET_DEVICE_INFO, "IOCTL_GET_DEVICE_INFO :%x\n", VhubGetDeviceInfo},
    {IOCTL_BUSENUM_PLUGIN_DEVICE, "IOCTL_BUSENUM_PLUGIN_DEVICE :%x\n", VhubPluginDevice},
    {IOCTL_BUSENUM_UNPLUG_DEVICE, "IOCTL_BUSENUM_UNPLUG_DEVICE :%x\n", VhubUnPluginDevice},
    {IOCTL_BULKUSB_WRITE_PCM, "IOCTL_BULKUSB_WRITE_PCM :%x\n", VhubWritePCM},
    {IOCTL_BULKUSB_WRITE_TOUCH, "IOCTL_BULKUSB_WRITE_TOUCH :%x\n", BulkUsb_WriteTouch},
    {IOCTL_BULKUSB_READ_RAW_DATA, "IOCTL_BULKUSB_READ_RAW_DATA :%x\n", BulkUsb_ReadRawData},
    {IOCTL_BULKUSB_Read_PCM, "IOCTL_BULKUSB_Read_PCM :%x\n", VhubReadPCM},
    {IOCTL_BULKUSB_WRITE_YUV2, "IOCTL_BULKUSB_WRITE_YUV2 :%x\n", VhubWriteYuv2},
    {IOCTL_BULKUSB_READ_VIDEOINDEX, "IOCTL_BULKUSB_READ_VIDEOINDEX :%x\n", BulkUsb_ReadVideoIndex},
};

// AddPdo's answer when both slots are taken (STATUS_REQUEST_OUT_OF_SEQUENCE).
#define VHUB_STATUS_NO_FREE_SLOT ((NTSTATUS)0xC000042AL)

// Security of the children: full access for the system; read, write and
// execute for administrators, everyone and restricted code.
static const WCHAR ChildSddl[] = KTEXT("D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)(A;;GRGWGX;;;RC)");

NTSTATUS FDO_HandleDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA FDODeviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG i;

    FDO_ASSERT(FDODeviceExtension->Common.IsFDO);
    VhubDbgPrint("FDO_HandleDeviceControl code:%x\n", code);

    for (i = 0; i < sizeof(FdoIoctlTable) / sizeof(FdoIoctlTable[0]); i++) {
        if (FdoIoctlTable[i].IoControlCode == code) {
            VhubDbgPrint(FdoIoctlTable[i].Message, code);
            return FdoIoctlTable[i].Handler(DeviceObject, Irp);
        }
    }

    VhubDbgPrint("FDO_Dispatch Function %x not implemented,so dispatch to next device\n", code);
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(FDODeviceExtension->NextLowerDriver, Irp);
}

NTSTATUS VhubGetDeviceInfo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    VhubDbgPrint("VhubGetDeviceInfo\n");
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS VhubPluginDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA deviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    NTSTATUS status;
    BOOLEAN occupied;
    KIRQL irql;

    VhubDbgPrint("VhubPluginDevice\n");

    // Checking the slots and claiming the plug-in are one step, so that two
    // plug-ins cannot both find the slots free and create two pairs.
    irql = KeAcquireSpinLockRaiseToDpc(&deviceExtension->SlotLock);
    occupied = deviceExtension->ChildPdo[0] != NULL || deviceExtension->ChildPdo[1] != NULL ||
               deviceExtension->PlugInProgress;
    if (!occupied) {
        deviceExtension->PlugInProgress = TRUE;
    }
    KeReleaseSpinLock(&deviceExtension->SlotLock, irql);

    if (occupied) {
        Irp->IoStatus.Status = STATUS_OBJECTID_EXISTS;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_OBJECTID_EXISTS;
    }

    AddPdo(DeviceObject, VHUB_CAMERA_VENDOR_ID, VHUB_CAMERA_PRODUCT_ID, VHUB_CHILD_REVISION,
           &VhubCameraClassGuid, MicDispatch);
    status = AddPdo(DeviceObject, VHUB_AUDIO_VENDOR_ID, VHUB_AUDIO_PRODUCT_ID, VHUB_CHILD_REVISION,
                    &VhubAudioClassGuid, MicDispatchSound);

    irql = KeAcquireSpinLockRaiseToDpc(&deviceExtension->SlotLock);
    deviceExtension->PlugInProgress = FALSE;
    KeReleaseSpinLock(&deviceExtension->SlotLock, irql);

    IoInvalidateDeviceRelations(deviceExtension->UnderlyingPDO, BusRelations);

    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS VhubUnPluginDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFDO_DEVICE_DATA deviceExtension = (PFDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    BOOLEAN found = FALSE;
    NTSTATUS status;
    KIRQL irql;
    ULONG i;

    VhubDbgPrint("VhubUnPluginDevice\n");

    irql = KeAcquireSpinLockRaiseToDpc(&deviceExtension->SlotLock);
    for (i = 0; i < VHUB_CHILD_SLOTS; i++) {
        PDEVICE_OBJECT child = deviceExtension->ChildPdo[i];
        if (child != NULL) {
            ((PPDO_DEVICE_DATA)child->DeviceExtension)->Present = FALSE;
            found = TRUE;
        }
    }
    KeReleaseSpinLock(&deviceExtension->SlotLock, irql);

    if (found) {
        // The camera is going away: its parked transfers are completed as
        // cancelled rather than left on a list that no taker will see again.
        CancelTouchPendingIrps(deviceExtension);
        IoInvalidateDeviceRelations(deviceExtension->UnderlyingPDO, BusRelations);
    }

    status = found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS AddPdo(PDEVICE_OBJECT BusDevice, USHORT VendorId, USHORT ProductId, USHORT Revision,
                const GUID* ClassGuid, PURB_DISPATCH_ROUTINE Dispatch)
{
    PFDO_DEVICE_DATA busExtension = (PFDO_DEVICE_DATA)BusDevice->DeviceExtension;
    PDEVICE_OBJECT pdo = NULL;
    PPDO_DEVICE_DATA pdoData;
    UNICODE_STRING sddl;
    NTSTATUS status;
    LONG slot;
    KIRQL irql;
    ULONG i;

    VhubDbgPrint("AddPdo\n");

    sddl.Buffer = (PWCH)ChildSddl;
    sddl.Length = (USHORT)(sizeof(ChildSddl) - sizeof(WCHAR));
    sddl.MaximumLength = (USHORT)sizeof(ChildSddl);

    status = IoCreateDeviceSecure(BusDevice->DriverObject, sizeof(PDO_DEVICE_DATA), NULL, FILE_DEVICE_BUS_EXTENDER,
                                  FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &sddl, ClassGuid, &pdo);
    if (!NT_SUCCESS(status)) {
        VhubDbgPrint("IoCreateDeviceSecure failed  %x\n", status);
        return status;
    }
    VhubDbgPrint("AddPdo IoCreateDeviceSecure PDOdeviceObject %x\n", (ULONG)(ULONG_PTR)pdo);

    pdoData = (PPDO_DEVICE_DATA)pdo->DeviceExtension;
    RtlZeroMemory(pdoData, sizeof(PDO_DEVICE_DATA));
    pdoData->Common.IsFDO = FALSE;
    pdoData->VendorId = VendorId;
    pdoData->ProductId = ProductId;
    pdoData->Revision = Revision;
    pdoData->UrbDispatch = Dispatch;
    pdoData->Present = TRUE;
    pdoData->InterfaceRefCount = 0;
    pdoData->BusExtension = busExtension;
    pdoData->ParentFdo = BusDevice;
    pdoData->Self = pdo;
    RtlCopyMemory(&pdoData->ParentCaps, &busExtension->DeviceCaps, sizeof(DEVICE_CAPABILITIES));

    pdo->StackSize = (CCHAR)(BusDevice->StackSize + 1);
    pdo->Flags |= DO_DIRECT_IO | DO_MAP_IO_BUFFER;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    slot = -1;
    irql = KeAcquireSpinLockRaiseToDpc(&busExtension->SlotLock);
    for (i = 0; i < VHUB_CHILD_SLOTS; i++) {
        if (busExtension->ChildPdo[i] == NULL) {
            slot = (LONG)i;
            pdoData->SlotIndex = i;
            busExtension->ChildPdo[i] = pdo;
            break;
        }
    }
    KeReleaseSpinLock(&busExtension->SlotLock, irql);

    if (slot < 0) {
        IoDeleteDevice(pdo);
        return VHUB_STATUS_NO_FREE_SLOT;
    }
    return STATUS_SUCCESS;
}
