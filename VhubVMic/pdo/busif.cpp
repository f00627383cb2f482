// A child's internal requests and the USB bus interface it hands to the
// class drivers loaded on it.
#include "core/vhub.h"
#include "camera/camera.h"
#include "audio/audio.h"

#define USBDI_VERSION_600 0x600
#define USB_VERSION_200 0x200

NTSTATUS PDO_HandleInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPDO_DEVICE_DATA pdoData = (PPDO_DEVICE_DATA)DeviceObject->DeviceExtension;
    NTSTATUS status;

    VhubDbgPrint("PDO_HandleInternalDeviceControl\n");

    // Compared, never called through: only the two personalities run.
    if (pdoData->UrbDispatch == MicDispatch) {
        return MicDispatch(DeviceObject, Irp);
    }
    if (pdoData->UrbDispatch == MicDispatchSound) {
        return MicDispatchSound(DeviceObject, Irp);
    }
    status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static BOOLEAN busif_same_guid(const GUID* A, const GUID* B)
{
    const UCHAR* a = (const UCHAR*)A;
    const UCHAR* b = (const UCHAR*)B;
    ULONG i;
    for (i = 0; i < sizeof(GUID); i++) {
        if (a[i] != b[i]) {
            return FALSE;
        }
    }
    return TRUE;
}

static const USHORT UsbdiInterfaceSize[4] = {
    sizeof(USB_BUS_INTERFACE_USBDI_V0),
    sizeof(USB_BUS_INTERFACE_USBDI_V1),
    sizeof(USB_BUS_INTERFACE_USBDI_V2),
    sizeof(USB_BUS_INTERFACE_USBDI_V3),
};

NTSTATUS PDOHandleQueryInterface(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
    USHORT size = stack->Parameters.QueryInterface.Size;
    USHORT version = stack->Parameters.QueryInterface.Version;
    PUSB_BUS_INTERFACE_USBDI_V3 bus;
    NTSTATUS status;

    VhubDbgPrint("PDOHandleQueryInterface.\n");

    if (type == NULL) {
        status = STATUS_INVALID_PARAMETER;
        goto complete;
    }
    if (!busif_same_guid(type, &VhubUsbdiInterfaceGuid)) {
        // Not ours: whatever its sender preset stands.
        status = Irp->IoStatus.Status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    if (version > USB_BUSIF_USBDI_VERSION_3 || size < UsbdiInterfaceSize[version]) {
        status = STATUS_INVALID_PARAMETER;
        goto complete;
    }

    stack->Parameters.QueryInterface.InterfaceSpecificData = NULL;

    // Members that the requested version does not have are not written:
    // the caller's buffer may end there.
    bus = (PUSB_BUS_INTERFACE_USBDI_V3)stack->Parameters.QueryInterface.Interface;
    bus->Size = UsbdiInterfaceSize[version];
    bus->Version = version;
    bus->BusContext = DeviceObject->DeviceExtension;
    if (version >= USB_BUSIF_USBDI_VERSION_3) {
        bus->QueryBusTimeEx = QueryBusTimeEx;
        bus->QueryControllerType = QueryControllerType;
    }
    if (version >= USB_BUSIF_USBDI_VERSION_2) {
        bus->EnumLogEntry = EnumLogEntry;
    }
    if (version >= USB_BUSIF_USBDI_VERSION_1) {
        bus->IsDeviceHighSpeed = IsDeviceHighSpeed;
    }
    bus->QueryBusInformation = QueryBusInformation;
    bus->SubmitIsoOutUrb = SubmitIsoOutUrb;
    bus->QueryBusTime = QueryBusTime;
    bus->GetUSBDIVersion = GetUSBDIVersion;
    bus->InterfaceReference = InterfaceReference;
    bus->InterfaceDereference = InterfaceDereference;
    status = STATUS_SUCCESS;

complete:
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI InterfaceReference(PVOID Context)
{
    VhubDbgPrint("InterfaceReference.\n");
    InterlockedIncrement(&((PPDO_DEVICE_DATA)Context)->InterfaceRefCount);
}

VOID NTAPI InterfaceDereference(PVOID Context)
{
    VhubDbgPrint("InterfaceDereference.\n");
    InterlockedDecrement(&((PPDO_DEVICE_DATA)Context)->InterfaceRefCount);
}

VOID USB_BUSIFFN GetUSBDIVersion(PVOID BusContext, PUSBD_VERSION_INFORMATION VersionInformation,
                                 PULONG HcdCapabilities)
{
    UNREFERENCED_PARAMETER(BusContext);
    VhubDbgPrint("GetUSBDIVersion.\n");
    // Both out-parameters are optional in the published interface.
    if (HcdCapabilities != NULL) {
        *HcdCapabilities = 0;
    }
    if (VersionInformation != NULL) {
        VersionInformation->USBDI_Version = USBDI_VERSION_600;
        VersionInformation->Supported_USB_Version = USB_VERSION_200;
    }
}

NTSTATUS USB_BUSIFFN QueryBusTime(PVOID BusContext, PULONG CurrentFrame)
{
    UNREFERENCED_PARAMETER(BusContext);
    UNREFERENCED_PARAMETER(CurrentFrame);
    VhubDbgPrint("QueryBusTime.\n");
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS USB_BUSIFFN SubmitIsoOutUrb(PVOID BusContext, PURB Urb)
{
    UNREFERENCED_PARAMETER(BusContext);
    UNREFERENCED_PARAMETER(Urb);
    VhubDbgPrint("SubmitIsoOutUrb.\n");
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS USB_BUSIFFN QueryBusInformation(PVOID BusContext, ULONG Level, PVOID BusInformationBuffer,
                                         PULONG BusInformationBufferLength,
                                         PULONG BusInformationActualLength)
{
    UNREFERENCED_PARAMETER(BusContext);
    UNREFERENCED_PARAMETER(Level);
    UNREFERENCED_PARAMETER(BusInformationBuffer);
    UNREFERENCED_PARAMETER(BusInformationBufferLength);
    UNREFERENCED_PARAMETER(BusInformationActualLength);
    VhubDbgPrint("QueryBusInformation.\n");
    return STATUS_UNSUCCESSFUL;
}

BOOLEAN USB_BUSIFFN IsDeviceHighSpeed(PVOID BusContext)
{
    UNREFERENCED_PARAMETER(BusContext);
    VhubDbgPrint("IsDeviceHighSpeed.\n");
    return TRUE;
}

NTSTATUS USB_BUSIFFN EnumLogEntry(PVOID BusContext, ULONG DriverTag, ULONG EnumTag, ULONG P1, ULONG P2)
{
    UNREFERENCED_PARAMETER(BusContext);
    UNREFERENCED_PARAMETER(DriverTag);
    UNREFERENCED_PARAMETER(EnumTag);
    UNREFERENCED_PARAMETER(P1);
    UNREFERENCED_PARAMETER(P2);
    VhubDbgPrint("EnumLogEntry.\n");
    return STATUS_SUCCESS;
}

NTSTATUS USB_BUSIFFN QueryBusTimeEx(PVOID BusContext, PULONG HighSpeedFrameCounter)
{
    UNREFERENCED_PARAMETER(BusContext);
    UNREFERENCED_PARAMETER(HighSpeedFrameCounter);
    VhubDbgPrint("QueryBusTimeEx.\n");
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS USB_BUSIFFN QueryControllerType(PVOID BusContext, PULONG HcdiOptionFlags, PUSHORT PciVendorId,
                                         PUSHORT PciDeviceId, PUCHAR PciClass, PUCHAR PciSubClass,
                                         PUCHAR PciRevisionId, PUCHAR PciProgIf)
{
    UNREFERENCED_PARAMETER(BusContext);
    UNREFERENCED_PARAMETER(HcdiOptionFlags);
    UNREFERENCED_PARAMETER(PciVendorId);
    UNREFERENCED_PARAMETER(PciDeviceId);
    UNREFERENCED_PARAMETER(PciClass);
    UNREFERENCED_PARAMETER(PciSubClass);
    UNREFERENCED_PARAMETER(PciRevisionId);
    UNREFERENCED_PARAMETER(PciProgIf);
    VhubDbgPrint("QueryControllerType.\n");
    return STATUS_UNSUCCESSFUL;
}
