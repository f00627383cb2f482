// Driver entry, creation of the bus device, the name file and the one
// dispatch routine that splits requests between bus and child handlers.
#include "core/vhub.h"
#include "devsec.h"

// The name file's messages are GBK (code page 936) byte strings, printed
// without the log prefix and whatever the debug level.
#define MSG_OPEN_FAILED "\xb6\xc1\xc8\xa1\xce\xc4\xbc\xfe\xb4\xf2\xbf\xaa\xca\xa7\xb0\xdc:%x\n"
#define MSG_INFO_FAILED "\xb6\xc1\xc8\xa1\xce\xc4\xbc\xfe\xd0\xc5\xcf\xa2\xbb\xf1\xc8\xa1\xca\xa7\xb0\xdc:%x\n"
#define MSG_OPENED "\xb4\xf2\xbf\xaa\xce\xc4\xbc\xfe\xb3\xc9\xb9\xa6\n"
#define MSG_READ_FAILED "\xb6\xc1\xc8\xa1\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc:%x\n"
#define MSG_READ_OK "\xb6\xc1\xc8\xa1\xce\xc4\xbc\xfe\xb3\xc9\xb9\xa6\n"
#define MSG_CONTENT "\xce\xc4\xbc\xfe\xc4\xda\xc8\xdd:%s\n"

#define NAME_FILE_READ_MAX 1024
// One zero byte always follows whatever was read.
#define NAME_FILE_BUFFER 1204

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    VhubDbgPrint("DriverEntry\n");

    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VhubVMouseDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = VhubVMouseDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = VhubVMouseDispatch;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = VhubVMouseDispatch;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = VhubVMouseDispatch;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = VhubVMouseDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = VhubVMouseDispatch;

    DriverObject->DriverUnload = VhubVMouseUload;
    DriverObject->DriverExtension->AddDevice = VhubVMouseAddDevice;
    return STATUS_SUCCESS;
}

NTSTATUS VhubVMouseAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT deviceObject = NULL;
    PFDO_DEVICE_DATA deviceData;
    NTSTATUS status;

    VhubDbgPrint("VhubVMouseAddDevice\n");

    status = IoCreateDevice(DriverObject, sizeof(FDO_DEVICE_DATA), NULL, FILE_DEVICE_BUS_EXTENDER,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        VhubDbgPrint("AddDevice failed to create device with %x\n", status);
        return status;
    }

    deviceData = (PFDO_DEVICE_DATA)deviceObject->DeviceExtension;
    RtlZeroMemory(deviceData, sizeof(FDO_DEVICE_DATA));
    deviceData->Common.IsFDO = TRUE;
    deviceData->UnderlyingPDO = PhysicalDeviceObject;
    deviceData->Self = deviceObject;

    deviceData->FrameIdBit = 0;
    InitializeListHead(&deviceData->CameraIrpList);
    KeInitializeSpinLock(&deviceData->CameraIrpLock);
    InitializeListHead(&deviceData->MicIrpList);
    KeInitializeSpinLock(&deviceData->MicIrpLock);

    deviceData->curr_format_index = 0;
    deviceData->curr_frame_index = 3;
    deviceData->FrameOffset = 0;
    deviceData->VideoOpened = 0;

    RtlZeroMemory(deviceData->DriverName, sizeof(deviceData->DriverName));
    ReadNameFile(deviceData->DriverName);

    InitializeListHead(&deviceData->SpeakerIrpList);
    KeInitializeSpinLock(&deviceData->SpeakerIrpLock);
    InitializeListHead(&deviceData->SpeakerPcmList);
    KeInitializeSpinLock(&deviceData->SpeakerPcmLock);

    deviceData->LastPcmWriteTime = QueryTickMilliseconds();

    deviceData->FreeFrameCount = 0;
    InitializeListHead(&deviceData->FreeFrameList);
    KeInitializeSpinLock(&deviceData->FreeFrameLock);
    deviceData->PendingFrameCount = 0;
    InitializeListHead(&deviceData->PendingFrameList);
    KeInitializeSpinLock(&deviceData->PendingFrameLock);

    KeInitializeEvent(&deviceData->StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceData->RawDataEvent, NotificationEvent, FALSE);

    KeInitializeSpinLock(&deviceData->SlotLock);
    deviceData->PlugInProgress = FALSE;

    deviceData->NextLowerDriver = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (deviceData->NextLowerDriver == NULL) {
        IoDeleteDevice(deviceObject);
        return STATUS_DEVICE_REMOVED;
    }

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &VhubBusInterfaceGuid, NULL,
                                       &deviceData->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(deviceData->NextLowerDriver);
        IoDeleteDevice(deviceObject);
        return status;
    }

    deviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

VOID ReadNameFile(PUCHAR Destination)
{
    UNICODE_STRING fileName;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;
    FILE_STANDARD_INFORMATION info;
    HANDLE file = NULL;
    NTSTATUS status;
    UCHAR buffer[NAME_FILE_BUFFER];
    ULONG length;
    ULONG n;

    RtlInitUnicodeString(&fileName, KTEXT("\\??\\C:\\DeiverName.dat"));
    InitializeObjectAttributes(&attributes, &fileName, OBJ_CASE_INSENSITIVE, NULL, NULL);

    status = ZwCreateFile(&file, GENERIC_READ, &attributes, &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                          FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        DbgPrint(MSG_OPEN_FAILED, status);
        return;
    }

    RtlZeroMemory(&info, sizeof(info));
    status = ZwQueryInformationFile(file, &ioStatus, &info, sizeof(info), FileStandardInformation);
    if (!NT_SUCCESS(status)) {
        DbgPrint(MSG_INFO_FAILED, status);
        ZwClose(file);
        return;
    }

    DbgPrint(MSG_OPENED);

    RtlZeroMemory(buffer, sizeof(buffer));
    // A size that reads as negative asks for nothing: the length must never
    // exceed what the buffer holds.
    if (info.EndOfFile.QuadPart >= NAME_FILE_READ_MAX) {
        length = NAME_FILE_READ_MAX;
    } else if (info.EndOfFile.QuadPart > 0) {
        length = (ULONG)info.EndOfFile.QuadPart;
    } else {
        length = 0;
    }

    status = ZwReadFile(file, NULL, NULL, NULL, &ioStatus, buffer, length, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        DbgPrint(MSG_READ_FAILED, status);
        ZwClose(file);
        return;
    }

    DbgPrint(MSG_READ_OK);
    DbgPrint(MSG_CONTENT, buffer);

    n = 0;
    while (n < NAME_FILE_BUFFER && buffer[n] != 0) {
        n++;
    }
    if (n > VHUB_DRIVER_NAME_SIZE) {
        n = VHUB_DRIVER_NAME_SIZE;
    }
    RtlCopyMemory(Destination, buffer, n);

    ZwClose(file);
}

NTSTATUS VhubVMouseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PCOMMON_DEVICE_DATA common = (PCOMMON_DEVICE_DATA)DeviceObject->DeviceExtension;

    VhubDbgPrint("VhubVMouseDispatch DeviceObject %x\n", (ULONG)(ULONG_PTR)DeviceObject);
    if (common->IsFDO) {
        return FDO_Dispatch(DeviceObject, Irp);
    }
    return PDO_Dispatch(DeviceObject, Irp);
}

VOID VhubVMouseUload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    VhubDbgPrintLevel(3, "VhubVMouseUload\n");
    // What the secure-creation library resolved belongs to this load.
    DevsecResetState();
}
