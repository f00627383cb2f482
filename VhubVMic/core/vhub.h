// The driver's shared header: device extension records, constants, control
// codes, debug helpers and the prototypes of the core, bus and child routines.
// Personality headers (camera/camera.h, audio/audio.h) build on this one.
#pragma once

#include "kernel.h"

// ---------------------------------------------------------------------------
// Pool tags and sizes
// ---------------------------------------------------------------------------

// "Zuwa" as it reads in memory.
#define VHUB_POOL_TAG ((ULONG)0x6177755A)
// "dcba" as it reads in memory: speaker PCM records.
#define VHUB_PCM_POOL_TAG ((ULONG)0x61626364)

#define VHUB_DRIVER_NAME_SIZE 260
#define VHUB_CHILD_SLOTS 2

// ---------------------------------------------------------------------------
// Child plug-and-play states (PDO_DEVICE_DATA::state)
// ---------------------------------------------------------------------------

#define STATE_NOT_STARTED 0
#define STATE_STARTED 2
#define STATE_STOP_PENDING 4
#define STATE_STOPPED 5
#define STATE_SURPRISE_REMOVED 8

// ---------------------------------------------------------------------------
// Control codes of the bus interface: CTL_CODE(0x22, function, method, 0)
// ---------------------------------------------------------------------------

#define IOCTL_GET_DEVICE_INFO ((ULONG)0x220004)          // 1, METHOD_BUFFERED
#define IOCTL_BUSENUM_PLUGIN_DEVICE ((ULONG)0x22002C)    // 11, METHOD_BUFFERED
#define IOCTL_BUSENUM_UNPLUG_DEVICE ((ULONG)0x220030)    // 12, METHOD_BUFFERED
#define IOCTL_BULKUSB_WRITE_PCM ((ULONG)0x22003B)        // 14, METHOD_NEITHER
#define IOCTL_BULKUSB_WRITE_TOUCH ((ULONG)0x220044)      // 17, METHOD_BUFFERED
#define IOCTL_BULKUSB_READ_RAW_DATA ((ULONG)0x22004B)    // 18, METHOD_NEITHER
#define IOCTL_BULKUSB_Read_PCM ((ULONG)0x22004F)         // 19, METHOD_NEITHER
#define IOCTL_BULKUSB_WRITE_YUV2 ((ULONG)0x22005B)       // 22, METHOD_NEITHER
#define IOCTL_BULKUSB_READ_VIDEOINDEX ((ULONG)0x220067)  // 25, METHOD_NEITHER

// Identity of the two children.
#define VHUB_CAMERA_VENDOR_ID ((USHORT)0xFC01)
#define VHUB_CAMERA_PRODUCT_ID ((USHORT)0xFD01)
#define VHUB_AUDIO_VENDOR_ID ((USHORT)0xFC02)
#define VHUB_AUDIO_PRODUCT_ID ((USHORT)0xFD02)
#define VHUB_CHILD_REVISION ((USHORT)0xABCD)

// Bus device interface {A918DC47-8798-45A3-8351-CBF0AB47208A}.
extern const GUID VhubBusInterfaceGuid;
// Device classes handed to the secure creation of the children.
extern const GUID VhubCameraClassGuid;  // {7A39372F-ADD4-446A-AC4E-561739FA4E2A}
extern const GUID VhubAudioClassGuid;   // {DF704935-A186-4374-9C97-028B6B056078}
// Published GUIDs the children answer with, kept as the driver's own
// constants so that no translation unit has to instantiate the WDK's.
extern const GUID VhubUsbdiInterfaceGuid;     // USB_BUS_INTERFACE_USBDI_GUID
extern const GUID VhubUsbDeviceInterfaceGuid; // GUID_DEVINTERFACE_USB_DEVICE
extern const GUID VhubUsbBusTypeGuid;         // GUID_BUS_TYPE_USB

// ---------------------------------------------------------------------------
// Device extensions
// ---------------------------------------------------------------------------

// A child's personality: the routine that owns its internal requests (URBs).
typedef NTSTATUS (*PURB_DISPATCH_ROUTINE)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

typedef struct _COMMON_DEVICE_DATA {
    BOOLEAN IsFDO;  // 1 in the bus extension, 0 in a child extension
} COMMON_DEVICE_DATA, *PCOMMON_DEVICE_DATA;

// Bus extension. Fields in the record's published order; SlotLock and
// PlugInProgress are additions and sit after DriverName so that the order
// stays intact.
typedef struct _FDO_DEVICE_DATA {
    COMMON_DEVICE_DATA Common;
    UNICODE_STRING InterfaceName;
    DEVICE_CAPABILITIES DeviceCaps;
    PDEVICE_OBJECT UnderlyingPDO;
    PDEVICE_OBJECT NextLowerDriver;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT ChildPdo[VHUB_CHILD_SLOTS];
    PVOID DataReadThread;            // referenced thread object of ThreadProc
    KEVENT StopEvent;
    LONGLONG LastPcmWriteTime;       // milliseconds since system start
    LIST_ENTRY FreeFrameList;
    KSPIN_LOCK FreeFrameLock;
    ULONG FreeFrameCount;
    LIST_ENTRY PendingFrameList;
    KSPIN_LOCK PendingFrameLock;
    ULONG PendingFrameCount;
    KEVENT RawDataEvent;
    KSPIN_LOCK CameraIrpLock;
    LIST_ENTRY CameraIrpList;
    UCHAR curr_format_index;
    UCHAR curr_frame_index;
    UCHAR VideoOpened;
    ULONG IsoFrameCounter;
    UCHAR FrameIdBit;
    ULONG FrameOffset;
    KSPIN_LOCK SpeakerIrpLock;
    LIST_ENTRY SpeakerIrpList;
    LIST_ENTRY SpeakerPcmList;
    KSPIN_LOCK SpeakerPcmLock;
    ULONG SpeakerIrpCount;
    ULONG SpeakerPcmCount;
    KSPIN_LOCK MicIrpLock;
    LIST_ENTRY MicIrpList;
    LONGLONG PacingWindowStart;      // system time, 100 ns units
    UCHAR DriverName[VHUB_DRIVER_NAME_SIZE];  // not always zero-terminated
    // Guards ChildPdo and every child's Present: plug-in, unplug, the
    // relations answer and the children's removal and surprise removal
    // change them from different threads.
    KSPIN_LOCK SlotLock;
    // Set under SlotLock while a plug-in creates its children, so that a
    // second plug-in meanwhile is refused instead of creating a second pair.
    BOOLEAN PlugInProgress;
} FDO_DEVICE_DATA, *PFDO_DEVICE_DATA;

// Child extension, fields in the record's published order.
typedef struct _PDO_DEVICE_DATA {
    COMMON_DEVICE_DATA Common;
    PDEVICE_OBJECT ParentFdo;
    PDEVICE_OBJECT Self;
    UNICODE_STRING InterfaceName;
    DEVICE_CAPABILITIES ParentCaps;
    ULONG SlotIndex;
    PURB_DISPATCH_ROUTINE UrbDispatch;
    USHORT VendorId;
    USHORT ProductId;
    USHORT Revision;
    PFDO_DEVICE_DATA BusExtension;
    LONG InterfaceRefCount;          // interlocked only
    BOOLEAN Present;
    ULONG state;
    PUSB_CONFIGURATION_DESCRIPTOR SelectedConfig;        // camera
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptorCopy;  // audio
} PDO_DEVICE_DATA, *PPDO_DEVICE_DATA;

// ---------------------------------------------------------------------------
// Debug output
// ---------------------------------------------------------------------------

// The one global of the driver: gates every logged message. Starts at 3.
extern ULONG VhubDebugLevel;

#define VHUB_LOG_PREFIX "[VuzODidIrizaz]"

// A logged message: the prefix and then the text, as two DbgPrint calls,
// printed while the debug level is at least 1.
#define VhubDbgPrint(...)                     \
    do {                                      \
        if (VhubDebugLevel >= 1) {            \
            DbgPrint(VHUB_LOG_PREFIX);        \
            DbgPrint(__VA_ARGS__);            \
        }                                     \
    } while (0)

// The same with a higher threshold.
#define VhubDbgPrintLevel(level, ...)         \
    do {                                      \
        if (VhubDebugLevel >= (ULONG)(level)) { \
            DbgPrint(VHUB_LOG_PREFIX);        \
            DbgPrint(__VA_ARGS__);            \
        }                                     \
    } while (0)

// Assertions report through RtlAssert and let the handler go on. Each
// wrapper turns the expression into text itself: passed on to another macro
// first, TRUE and FALSE would already be expanded into 1 and 0.
#define VHUB_ASSERT_REPORT(exp, text, file)                                 \
    do {                                                                    \
        if (!(exp)) {                                                       \
            RtlAssert((PVOID)(text), (PVOID)(file), (ULONG)__LINE__, NULL); \
        }                                                                   \
    } while (0)
#define VHUB_ASSERT_IN(file, exp) VHUB_ASSERT_REPORT(exp, #exp, file)
#define FDO_ASSERT(exp) VHUB_ASSERT_REPORT(exp, #exp, "VhubVMic\\fdo")
#define PDO_ASSERT(exp) VHUB_ASSERT_REPORT(exp, #exp, "VhubVMic\\pdo")

// ---------------------------------------------------------------------------
// Core: entry, dispatch split, helpers
// ---------------------------------------------------------------------------

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS VhubVMouseAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS VhubVMouseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID VhubVMouseUload(PDRIVER_OBJECT DriverObject);
VOID ReadNameFile(PUCHAR Destination);

NTSTATUS complete_irp(PIRP Irp, NTSTATUS Status, LONG Information);
NTSTATUS complete_pdo_irp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, LONG Information);
NTSTATUS SyncForwardIrp(PDEVICE_OBJECT TargetDevice, PIRP Irp);
NTSTATUS IrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
LONGLONG QueryTickMilliseconds(VOID);
VOID DelayMilliseconds(LONG Milliseconds);

// ---------------------------------------------------------------------------
// Bus device
// ---------------------------------------------------------------------------

NTSTATUS FDO_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FDO_HandleCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FDO_HandleClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FDO_HandleDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FDO_HandleInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FDO_HandleSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FDO_HandlePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FdoStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FdoHandleQueryStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FdoHandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FdoHandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FdoHandleQueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FdoHandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FdoHandleQueryDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FDO_HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject);
VOID StartDataThread(PFDO_DEVICE_DATA BusExtension);

NTSTATUS VhubGetDeviceInfo(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VhubPluginDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VhubUnPluginDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS AddPdo(PDEVICE_OBJECT BusDevice, USHORT VendorId, USHORT ProductId, USHORT Revision,
                const GUID* ClassGuid, PURB_DISPATCH_ROUTINE Dispatch);

// ---------------------------------------------------------------------------
// Child device
// ---------------------------------------------------------------------------

NTSTATUS PDO_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PDO_HandleCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PDO_HandlePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PdoStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PdoDefaultPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PdoRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PdoHandleDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PdoHandleQueryDeviceText(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PdoHandleQueryId(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Pdo_HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS pdo_get_device_capabilities(PDEVICE_OBJECT DeviceObject, PDEVICE_CAPABILITIES Capabilities);
NTSTATUS PDOHandleQueryBusInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PDO_HandleInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PDOHandleQueryInterface(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The USB bus interface handed to the class drivers (published routine types).
VOID NTAPI InterfaceReference(PVOID Context);
VOID NTAPI InterfaceDereference(PVOID Context);
VOID USB_BUSIFFN GetUSBDIVersion(PVOID BusContext, PUSBD_VERSION_INFORMATION VersionInformation,
                                 PULONG HcdCapabilities);
NTSTATUS USB_BUSIFFN QueryBusTime(PVOID BusContext, PULONG CurrentFrame);
NTSTATUS USB_BUSIFFN SubmitIsoOutUrb(PVOID BusContext, PURB Urb);
NTSTATUS USB_BUSIFFN QueryBusInformation(PVOID BusContext, ULONG Level, PVOID BusInformationBuffer,
                                         PULONG BusInformationBufferLength,
                                         PULONG BusInformationActualLength);
BOOLEAN USB_BUSIFFN IsDeviceHighSpeed(PVOID BusContext);
NTSTATUS USB_BUSIFFN EnumLogEntry(PVOID BusContext, ULONG DriverTag, ULONG EnumTag, ULONG P1, ULONG P2);
NTSTATUS USB_BUSIFFN QueryBusTimeEx(PVOID BusContext, PULONG HighSpeedFrameCounter);
NTSTATUS USB_BUSIFFN QueryControllerType(PVOID BusContext, PULONG HcdiOptionFlags, PUSHORT PciVendorId,
                                         PUSHORT PciDeviceId, PUCHAR PciClass, PUCHAR PciSubClass,
                                         PUCHAR PciRevisionId, PUCHAR PciProgIf);

// Configuration and interface selection, shared by both personalities.
// Both answer purely from the configuration descriptor (which must hold
// wTotalLength readable bytes) and write only inside the URB's Length.
NTSTATUS select_configure(PURB Urb);
NTSTATUS select_interface(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PURB Urb);
NTSTATUS fill_interface(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSBD_INTERFACE_INFORMATION Interface,
                        PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor);
VOID fill_pipe(PUSBD_PIPE_INFORMATION Pipe, PUSB_ENDPOINT_DESCRIPTOR Endpoint);
