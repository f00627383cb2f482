// The audio personality (descriptors, URB dispatcher), the microphone and
// speaker data paths with the pacing thread, and the touch and raw-data
// channels.
#pragma once

#include "../camera/camera.h"

#define VHUB_AUDIO_CONFIG_LENGTH 174

// Handle selector of the speaker pipe (endpoint 0x02).
#define VHUB_SPEAKER_SELECTOR 2
// Microphone transfers are parked only while the latest PCM write is at
// most this old (milliseconds).
#define VHUB_MIC_PARK_AGE_MS 30

// Pacing thread constants.
#define VHUB_PACING_PRIORITY 31
#define VHUB_PACING_WINDOW 9500000LL        // 100 ns units
#define VHUB_PACING_PER_TRANSFER 100000LL   // 100 ns units per transfer
#define VHUB_PACING_WINDOW_LIMIT 95         // no take once the count exceeds this
#define VHUB_PACING_PER_PASS 2
#define VHUB_PACING_TRIM_PERIOD_MS 50
#define VHUB_PACING_TRIM_BOUND 5            // trim while this many or more wait
#define VHUB_PACING_SLEEP_MS 9

// Raw-data read.
#define VHUB_RAW_DATA_WAIT (-5000000LL)     // 500 ms, relative
#define VHUB_RAW_DATA_LIMIT 17800

NTSTATUS MicDispatchSound(PDEVICE_OBJECT DeviceObject, PIRP Irp);

namespace Audio {
PUSB_DEVICE_DESCRIPTOR Touch_GetDeviceDescriptor(USHORT VendorId, USHORT ProductId);
PUSB_CONFIGURATION_DESCRIPTOR Touch_GetConfigrationDescriptor(VOID);
// Microphone fill of one parked transfer from the application's PCM;
// completes the transfer.
NTSTATUS DoPcmIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, const UCHAR* Source, ULONG SourceLength);
}  // namespace Audio

// Application requests on the bus device.
NTSTATUS VhubWritePCM(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VhubReadPCM(PDEVICE_OBJECT DeviceObject, PIRP Irp);  // IOCTL_BULKUSB_Read_PCM
NTSTATUS BulkUsb_WriteTouch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BulkUsb_ReadRawData(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Pacing thread. StartDataThread (bus start) creates ThreadProc with the
// bus extension as context and keeps the referenced thread object in
// DataReadThread; it must not create another while DataReadThread is set.
// StopDataThread (bus removal) signals StopEvent, waits for the thread,
// releases the reference and clears DataReadThread.
VOID NTAPI ThreadProc(PVOID StartContext);
VOID StopDataThread(PFDO_DEVICE_DATA BusExtension);

// Copies a speaker transfer's data into Destination, at most Limit bytes;
// *Count gets the bytes copied. Does not complete the transfer.
VOID DoPcmIrpReadBurffer(PIRP Irp, PUCHAR Destination, ULONG Limit, PULONG Count);
