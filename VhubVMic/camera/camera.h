// The camera personality (descriptors, URB dispatcher, video frame path) and
// the request and frame queues of the bus extension that every data path
// shares.
#pragma once

#include "../core/vhub.h"

// ---------------------------------------------------------------------------
// Records that travel through the queues
// ---------------------------------------------------------------------------

// Frame record of the raw-data channel (PendingFrameList / FreeFrameList).
// The read copies ByteCount bytes of Data and stops after a record whose
// Flags carry VHUB_FRAME_LAST.
#define VHUB_FRAME_LAST 0x02
typedef struct _FRAME_RECORD {
    LIST_ENTRY Link;
    UCHAR Flags;
    USHORT ByteCount;
    UCHAR Data[1];  // ByteCount bytes; the record is allocated to fit them
} FRAME_RECORD, *PFRAME_RECORD;
#define VHUB_FRAME_RECORD_SIZE(bytes) (FIELD_OFFSET(FRAME_RECORD, Data) + (bytes))
// RecyleFrame keeps at most this many records for reuse.
#define VHUB_FREE_FRAME_MAX 51

// Speaker PCM record (SpeakerPcmList), pool tag VHUB_PCM_POOL_TAG.
#define VHUB_PCM_RECORD_DATA 4096
#define VHUB_PCM_RECORD_FILL 2048  // most bytes one speaker transfer contributes
typedef struct _SPEAKER_PCM_RECORD {
    LIST_ENTRY Link;
    UCHAR Data[VHUB_PCM_RECORD_DATA];
    ULONG Length;
} SPEAKER_PCM_RECORD, *PSPEAKER_PCM_RECORD;

// ---------------------------------------------------------------------------
// Queue operations. Every put arms the queue's cancel routine while the
// queue's lock is held, and every take clears it before handing a request
// out, so that a parked request is completed exactly once: by the taker that
// got it, or by its cancel routine, never both.
// ---------------------------------------------------------------------------

VOID PutTouchPendingIrp(PFDO_DEVICE_DATA BusExtension, PIRP Irp);
PIRP GetTouchPendingIrp(PFDO_DEVICE_DATA BusExtension);
VOID PutMicPendingIrp(PFDO_DEVICE_DATA BusExtension, PIRP Irp);
PIRP GetMicPendingIrp(PFDO_DEVICE_DATA BusExtension);
VOID PutTouchPendingIrpSpeaker(PFDO_DEVICE_DATA BusExtension, PIRP Irp);
PIRP GetSpeakerPendingIrp(PFDO_DEVICE_DATA BusExtension);
PFRAME_RECORD GetPendingFrame(PFDO_DEVICE_DATA BusExtension);
VOID RecyleFrame(PFDO_DEVICE_DATA BusExtension, PFRAME_RECORD Frame);

// Give a taken, untouched request back to the head of its queue (a taker
// that could not use it). A request cancelled in the meantime is completed
// with STATUS_CANCELLED instead.
VOID ReturnTouchPendingIrp(PFDO_DEVICE_DATA BusExtension, PIRP Irp);
VOID ReturnMicPendingIrp(PFDO_DEVICE_DATA BusExtension, PIRP Irp);

// Completes every parked camera transfer with STATUS_CANCELLED. For unplug:
// the camera child is going away, and its transfers must not be left on a
// list that is emptied under them.
VOID CancelTouchPendingIrps(PFDO_DEVICE_DATA BusExtension);

// Cancel routines of the three request queues (camera, microphone, speaker).
VOID NTAPI urb_irp_cancel_routine5(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI urb_irp_cancel_routine2(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI urb_irp_cancel_routine3(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Counters and time stamps that one side reads without the other side's
// lock go through interlocked operations: whole values, never torn, and no
// compiler may cache them.
inline ULONG SharedRead(volatile ULONG* Value) {
    return (ULONG)InterlockedCompareExchange((volatile LONG*)Value, 0, 0);
}
inline LONGLONG SharedRead(volatile LONGLONG* Value) {
    return InterlockedCompareExchange64(Value, 0, 0);
}

// A transfer's data buffer: TransferBuffer, else the system address of
// TransferBufferMDL, else NULL.
PVOID UrbDataBuffer(PVOID TransferBuffer, PMDL TransferBufferMDL);

// ---------------------------------------------------------------------------
// Camera frame table
// ---------------------------------------------------------------------------

#define VHUB_FRAME_INDEX_MIN 1
#define VHUB_FRAME_INDEX_MAX 5
typedef struct _CAMERA_FRAME_SIZE {
    USHORT Width;
    USHORT Height;
} CAMERA_FRAME_SIZE;
// Rows for frame indexes 1 to 5 (element 0 is frame index 1).
extern const CAMERA_FRAME_SIZE CameraFrameTable[VHUB_FRAME_INDEX_MAX];

// Frame bytes of the 0-based row Index; an index outside 0..4 gives row 0.
ULONG FrameSizeForIndex(LONG Index);

// ---------------------------------------------------------------------------
// Descriptors and texts
// ---------------------------------------------------------------------------

#define VHUB_CONFIG_BLOCK_SIZE 4096
#define VHUB_CAMERA_CONFIG_LENGTH 313
#define VHUB_TEXT_CHARS 260       // formatting buffer of a device text
#define VHUB_STRING_MAX_CHARS 126  // most characters a string descriptor holds

namespace Camera {
PUSB_DEVICE_DESCRIPTOR Touch_GetDeviceDescriptor(USHORT VendorId, USHORT ProductId);
PUSB_CONFIGURATION_DESCRIPTOR Touch_GetConfigrationDescriptor(VOID);
// Video fill of one parked transfer from the frame, starting at FrameOffset;
// completes the transfer.
NTSTATUS DoPcmIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, const UCHAR* Frame, ULONG FrameLength);
}  // namespace Camera

// String descriptor of a NUL-terminated text (pool block, caller frees it).
// Texts longer than VHUB_STRING_MAX_CHARS are cut to that length.
PUSB_STRING_DESCRIPTOR TouchGetStringDescriptor(PCWSTR Text);

// Builds a device text into Buffer (VHUB_TEXT_CHARS characters, zeroed
// first): DriverName followed by Suffix (e.g. u" Camera"), or Fallback when
// DriverName is empty. The name's 8-bit characters are widened one to one
// and the name is cut so that the whole text fits one string descriptor.
VOID BuildDeviceText(PFDO_DEVICE_DATA BusExtension, PCWSTR Suffix, PCWSTR Fallback, PWCHAR Buffer);

// ---------------------------------------------------------------------------
// Dispatcher and application requests
// ---------------------------------------------------------------------------

NTSTATUS MicDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Helpers both URB dispatchers share.
// Entry checks: extension kind, Present and STATE_STARTED, the control code.
// Returns the URB to dispatch, or NULL when the request has been completed
// (*Status then holds its status).
PURB UrbEntryChecks(PDEVICE_OBJECT DeviceObject, PIRP Irp, PNTSTATUS Status);
// Copies min(Length, Size) bytes of a built descriptor to Destination and
// reports that count in *TransferBufferLength; frees the block.
VOID ReplyWithDescriptor(PVOID Block, ULONG Size, PVOID Destination, ULONG Length,
                         PULONG TransferBufferLength);
// After a successful SELECT_CONFIGURATION: keeps a pool copy of the
// configuration the host selected in *Copy, freeing the previous one.
VOID KeepConfigurationCopy(PURB Urb, PUSB_CONFIGURATION_DESCRIPTOR* Copy);
NTSTATUS CompleteUrbIrp(PIRP Irp, NTSTATUS Status);

// Room of isochronous packet Index of a transfer of Total bytes: up to the
// next packet's offset, or to the end for the last packet. Returns FALSE
// (an error packet) when the packet does not lie inside the buffer or starts
// before *Floor, the end of the room of the last packet accepted, so that no
// two packets share bytes; on success *Floor moves to the end of this room.
BOOLEAN IsoPacketRoom(const USBD_ISO_PACKET_DESCRIPTOR* Packets, ULONG Count, ULONG Index, ULONG Total,
                      PULONG Floor, PULONG Room);

// The two lines the data requests print when the caller's buffer faults:
// "Kelo", a full-width colon in GBK, then the text.
#define VHUB_KELO "Kelo\xA3\xBA"
NTSTATUS VhubWriteYuv2(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BulkUsb_ReadVideoIndex(PDEVICE_OBJECT DeviceObject, PIRP Irp);
