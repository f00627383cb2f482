// Audio descriptors: a USB Audio Class 1.0 device with a stereo 16-bit
// 48000 Hz microphone (isochronous IN 0x81) and speaker (isochronous OUT
// 0x02). Built anew in pool memory for every request.
#include "audio.h"

namespace {

const UCHAR kConfiguration[] = {0x09, 0x02, 0x00, 0x00, 0x03, 0x01, 0x00, 0x80, 0xC8};
// Audio control: declares one endpoint, though none follows it.
const UCHAR kControlInterface[] = {0x09, 0x04, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00};
// AC header; wTotalLength (bytes 5-6) is filled in once the terminals are written.
const UCHAR kAcHeader[] = {0x0A, 0x24, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x01, 0x02};
const UCHAR kMicrophoneTerminal[] = {0x0C, 0x24, 0x02, 0x01, 0x01, 0x02, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00};
const UCHAR kMicrophoneStreamTerminal[] = {0x09, 0x24, 0x03, 0x03, 0x01, 0x01, 0x00, 0x01, 0x00};
const UCHAR kSpeakerStreamTerminal[] = {0x0C, 0x24, 0x02, 0x04, 0x01, 0x01, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00};
const UCHAR kSpeakerTerminal[] = {0x09, 0x24, 0x03, 0x06, 0x01, 0x03, 0x00, 0x04, 0x00};
const UCHAR kMicrophoneAlt0[] = {0x09, 0x04, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x01};
const UCHAR kMicrophoneAlt1[] = {0x09, 0x04, 0x01, 0x01, 0x01, 0x01, 0x02, 0x00, 0x01};
const UCHAR kMicrophoneGeneral[] = {0x07, 0x24, 0x01, 0x03, 0x00, 0x01, 0x00};
// Type I PCM, 2 channels, 2-byte subframes, 16 bits, one rate: 48000 Hz.
const UCHAR kFormat[] = {0x0B, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, 0x01, 0x80, 0xBB, 0x00};
// 192 bytes: one millisecond of the stream.
const UCHAR kMicrophoneEndpoint[] = {0x09, 0x05, 0x81, 0x0D, 0xC0, 0x00, 0x04, 0x00, 0x00};
const UCHAR kClassEndpoint[] = {0x07, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00};
const UCHAR kSpeakerAlt0[] = {0x09, 0x04, 0x02, 0x00, 0x00, 0x01, 0x02, 0x00, 0x02};
const UCHAR kSpeakerAlt1[] = {0x09, 0x04, 0x02, 0x01, 0x01, 0x01, 0x02, 0x00, 0x02};
const UCHAR kSpeakerGeneral[] = {0x07, 0x24, 0x01, 0x04, 0x00, 0x01, 0x00};
const UCHAR kSpeakerEndpoint[] = {0x09, 0x05, 0x02, 0x0D, 0xC0, 0x00, 0x04, 0x00, 0x00};

VOID Put16(PUCHAR At, USHORT Value) {
    At[0] = (UCHAR)Value;
    At[1] = (UCHAR)(Value >> 8);
}

PUCHAR Append(PUCHAR At, const UCHAR* Descriptor) {
    RtlCopyMemory(At, Descriptor, Descriptor[0]);
    return At + Descriptor[0];
}

}  // namespace

namespace Audio {

PUSB_DEVICE_DESCRIPTOR Touch_GetDeviceDescriptor(USHORT VendorId, USHORT ProductId) {
    PUCHAR d = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), VHUB_POOL_TAG);
    if (d == NULL) {
        return NULL;
    }
    VhubDbgPrint("Touch_GetDeviceDescriptor.\n");
    RtlZeroMemory(d, sizeof(USB_DEVICE_DESCRIPTOR));
    d[0] = sizeof(USB_DEVICE_DESCRIPTOR);
    d[1] = USB_DEVICE_DESCRIPTOR_TYPE;
    Put16(d + 2, 0x0200);
    d[4] = 0;  // class given per interface
    d[5] = 0;
    d[6] = 0;
    d[7] = 64;
    Put16(d + 8, VendorId);
    Put16(d + 10, ProductId);
    Put16(d + 12, 0x0101);  // fixed; the child's revision is not used
    d[14] = 1;
    d[15] = 2;
    d[16] = 3;
    d[17] = 1;
    return (PUSB_DEVICE_DESCRIPTOR)d;
}

PUSB_CONFIGURATION_DESCRIPTOR Touch_GetConfigrationDescriptor(VOID) {
    VhubDbgPrint("Touch_GetConfigrationDescriptor.\n");
    PUCHAR block = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, VHUB_CONFIG_BLOCK_SIZE, VHUB_POOL_TAG);
    if (block == NULL) {
        return NULL;
    }
    RtlZeroMemory(block, VHUB_CONFIG_BLOCK_SIZE);

    PUCHAR p = Append(block, kConfiguration);
    p = Append(p, kControlInterface);
    PUCHAR acHeader = p;
    p = Append(p, kAcHeader);
    p = Append(p, kMicrophoneTerminal);
    p = Append(p, kMicrophoneStreamTerminal);
    p = Append(p, kSpeakerStreamTerminal);
    p = Append(p, kSpeakerTerminal);
    Put16(acHeader + 5, (USHORT)(p - acHeader));
    p = Append(p, kMicrophoneAlt0);
    p = Append(p, kMicrophoneAlt1);
    p = Append(p, kMicrophoneGeneral);
    p = Append(p, kFormat);
    p = Append(p, kMicrophoneEndpoint);
    p = Append(p, kClassEndpoint);
    p = Append(p, kSpeakerAlt0);
    p = Append(p, kSpeakerAlt1);
    p = Append(p, kSpeakerGeneral);
    p = Append(p, kFormat);
    p = Append(p, kSpeakerEndpoint);
    p = Append(p, kClassEndpoint);
    ULONG total = (ULONG)(p - block);
    Put16(block + 2, (USHORT)total);
    if (total > VHUB_CONFIG_BLOCK_SIZE) {
        ExFreePool(block);
        return NULL;
    }

    VhubDbgPrint("Touch_GetConfigrationDescriptor:");
    for (ULONG i = 0; i < total; ++i) {
        DbgPrint("0X%02X ", block[i]);
    }
    VhubDbgPrint("Touch_GetConfigrationDescriptor end \n");
    return (PUSB_CONFIGURATION_DESCRIPTOR)block;
}

}  // namespace Audio
