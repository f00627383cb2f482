// Camera descriptors: a USB 2.0 composite device with one UVC 1.00 function
// streaming uncompressed YUY2 over isochronous IN endpoint 0x82. Built anew
// in pool memory for every request; the caller copies and frees the block.
#include "camera.h"

const CAMERA_FRAME_SIZE CameraFrameTable[VHUB_FRAME_INDEX_MAX] = {
    {480, 360}, {640, 480}, {720, 480}, {1280, 720}, {1920, 1080},
};

namespace {

// Frames offered in the descriptors (rows 1 to 4 of the frame table).
const UCHAR kFrameDescriptorCount = 4;

const UCHAR kConfiguration[] = {0x09, 0x02, 0x00, 0x00, 0x02, 0x01, 0x00, 0xC0, 0x01};
const UCHAR kInterfaceAssociation[] = {0x08, 0x0B, 0x00, 0x02, 0x0E, 0x03, 0x00, 0x02};
const UCHAR kVideoControlInterface[] = {0x09, 0x04, 0x00, 0x00, 0x01, 0x0E, 0x01, 0x00, 0x05};
// bcdUVC 1.00, wTotalLength 79 (header 13 + terminal 18 + unit 11 + terminal 9
// + extension 28), dwClockFrequency 30 MHz, one streaming interface (1).
const UCHAR kVcHeader[] = {0x0D, 0x24, 0x01, 0x00, 0x01, 0x4F, 0x00, 0x80,
                           0xC3, 0xC9, 0x01, 0x01, 0x01};
// Camera terminal 1: auto-exposure mode and exposure time (absolute).
const UCHAR kCameraTerminal[] = {0x12, 0x24, 0x02, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x0A, 0x00, 0x00};
// Processing unit 2 (the 11-byte UVC 1.00 form), bmControls 0x177B.
const UCHAR kProcessingUnit[] = {0x0B, 0x24, 0x05, 0x02, 0x01, 0x00, 0x00, 0x02, 0x7B, 0x17, 0x00};
// Output terminal 3, USB streaming, fed by unit 2.
const UCHAR kOutputTerminal[] = {0x09, 0x24, 0x03, 0x03, 0x01, 0x01, 0x00, 0x02, 0x00};
// Extension unit 4 {88F04DA6-F713-454A-B625-3793AE447516}, 8 controls, none enabled.
const UCHAR kExtensionUnit[] = {0x1C, 0x24, 0x06, 0x04, 0xA6, 0x4D, 0xF0, 0x88, 0x13, 0xF7,
                                0x4A, 0x45, 0xB6, 0x25, 0x37, 0x93, 0xAE, 0x44, 0x75, 0x16,
                                0x08, 0x01, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00};
const UCHAR kStreamingInterfaceAlt0[] = {0x09, 0x04, 0x01, 0x00, 0x00, 0x0E, 0x02, 0x00, 0x00};
// VS input header; wTotalLength (bytes 4-5) is filled in from the frame count.
const UCHAR kVsInputHeader[] = {0x0E, 0x24, 0x01, 0x01, 0x00, 0x00, 0x82,
                                0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00};
// Uncompressed format 1: YUY2 {32595559-0000-0010-8000-00AA00389B71}, 16 bits per pixel.
const UCHAR kFormatYuy2[] = {0x1B, 0x24, 0x04, 0x01, 0x04, 0x59, 0x55, 0x59, 0x32,
                             0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00,
                             0x38, 0x9B, 0x71, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00};
// Colour matching: BT.709 primaries and transfer, SMPTE 170M matrix.
const UCHAR kColorMatching[] = {0x06, 0x24, 0x0D, 0x01, 0x01, 0x04};
const UCHAR kStreamingInterfaceAlt1[] = {0x09, 0x04, 0x01, 0x01, 0x01, 0x0E, 0x02, 0x00, 0x00};
// Isochronous IN 0x82, asynchronous; 1024 bytes, two transactions per microframe.
const UCHAR kVideoEndpoint[] = {0x07, 0x05, 0x82, 0x05, 0x00, 0x0C, 0x01};

const UCHAR kFrameDescriptorLength = 34;
const ULONG kMinBitRate = 12290048;
const ULONG kMaxBitRate = 196608000;
const ULONG kInterval30 = 333333;
const ULONG kInterval15 = 666667;
const UCHAR kBitsPerPixel = 16;

PUCHAR Put16(PUCHAR At, USHORT Value) {
    At[0] = (UCHAR)Value;
    At[1] = (UCHAR)(Value >> 8);
    return At + 2;
}

PUCHAR Put32(PUCHAR At, ULONG Value) {
    At[0] = (UCHAR)Value;
    At[1] = (UCHAR)(Value >> 8);
    At[2] = (UCHAR)(Value >> 16);
    At[3] = (UCHAR)(Value >> 24);
    return At + 4;
}

// Copies one fixed descriptor at At and returns where the next one starts
// (its start plus its bLength).
PUCHAR Append(PUCHAR At, const UCHAR* Descriptor) {
    RtlCopyMemory(At, Descriptor, Descriptor[0]);
    return At + Descriptor[0];
}

PUCHAR AppendFrame(PUCHAR At, UCHAR FrameIndex) {
    const CAMERA_FRAME_SIZE& size = CameraFrameTable[FrameIndex - 1];
    PUCHAR p = At;
    *p++ = kFrameDescriptorLength;
    *p++ = 0x24;  // CS_INTERFACE
    *p++ = 0x05;  // VS_FRAME_UNCOMPRESSED
    *p++ = FrameIndex;
    *p++ = 0;     // bmCapabilities
    p = Put16(p, size.Width);
    p = Put16(p, size.Height);
    p = Put32(p, kMinBitRate);
    p = Put32(p, kMaxBitRate);
    p = Put32(p, (ULONG)size.Width * size.Height * (kBitsPerPixel / 8));
    p = Put32(p, kInterval30);  // dwDefaultFrameInterval
    *p++ = 2;                   // two discrete intervals
    p = Put32(p, kInterval30);
    p = Put32(p, kInterval15);
    return p;
}

}  // namespace

ULONG FrameSizeForIndex(LONG Index) {
    if (Index < 0 || Index >= VHUB_FRAME_INDEX_MAX) {
        Index = 0;
    }
    return (ULONG)CameraFrameTable[Index].Width * CameraFrameTable[Index].Height * 2;
}

namespace Camera {

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
    d[4] = 0xEF;  // miscellaneous
    d[5] = 0x02;  // common class
    d[6] = 0x01;  // interface association
    d[7] = 64;
    Put16(d + 8, VendorId);
    Put16(d + 10, ProductId);
    Put16(d + 12, 0x0000);  // bcdDevice is fixed; the child's revision is not used
    d[14] = 1;
    d[15] = 2;
    d[16] = 0;
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
    p = Append(p, kInterfaceAssociation);
    p = Append(p, kVideoControlInterface);
    p = Append(p, kVcHeader);
    p = Append(p, kCameraTerminal);
    p = Append(p, kProcessingUnit);
    p = Append(p, kOutputTerminal);
    p = Append(p, kExtensionUnit);
    p = Append(p, kStreamingInterfaceAlt0);
    PUCHAR vsHeader = p;
    p = Append(p, kVsInputHeader);
    Put16(vsHeader + 4, (USHORT)(kFrameDescriptorLength * kFrameDescriptorCount + 47));
    p = Append(p, kFormatYuy2);
    for (UCHAR frame = 1; frame <= kFrameDescriptorCount; ++frame) {
        p = AppendFrame(p, frame);
    }
    p = Append(p, kColorMatching);
    p = Append(p, kStreamingInterfaceAlt1);
    p = Append(p, kVideoEndpoint);
    Put16(block + 2, (USHORT)(p - block));
    return (PUSB_CONFIGURATION_DESCRIPTOR)block;
}

}  // namespace Camera

PUSB_STRING_DESCRIPTOR TouchGetStringDescriptor(PCWSTR Text) {
    ULONG chars = 0;
    while (Text[chars] != 0 && chars < VHUB_STRING_MAX_CHARS) {
        ++chars;
    }
    ULONG textBytes = chars * sizeof(WCHAR);
    VhubDbgPrint("TouchGetStringDescriptor.\n");
    PUCHAR block = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, textBytes + 4, VHUB_POOL_TAG);
    if (block == NULL) {
        return NULL;
    }
    block[0] = (UCHAR)(textBytes + 2);
    block[1] = USB_STRING_DESCRIPTOR_TYPE;
    RtlCopyMemory(block + 2, Text, textBytes);
    // The two bytes past the descriptor are the block's terminator.
    block[textBytes + 2] = 0;
    block[textBytes + 3] = 0;
    return (PUSB_STRING_DESCRIPTOR)block;
}

VOID BuildDeviceText(PFDO_DEVICE_DATA BusExtension, PCWSTR Suffix, PCWSTR Fallback, PWCHAR Buffer) {
    RtlZeroMemory(Buffer, VHUB_TEXT_CHARS * sizeof(WCHAR));
    const UCHAR* name = BusExtension->DriverName;
    if (name[0] == 0) {
        for (ULONG i = 0; Fallback[i] != 0 && i < VHUB_TEXT_CHARS - 1; ++i) {
            Buffer[i] = Fallback[i];
        }
        return;
    }
    ULONG suffixChars = 0;
    while (Suffix[suffixChars] != 0) {
        ++suffixChars;
    }
    // The name is bounded by its field (it need not be terminated there) and
    // cut so that name and suffix together fit one string descriptor.
    ULONG room = suffixChars < VHUB_STRING_MAX_CHARS ? VHUB_STRING_MAX_CHARS - suffixChars : 0;
    ULONG nameChars = 0;
    while (nameChars < VHUB_DRIVER_NAME_SIZE && nameChars < room && name[nameChars] != 0) {
        Buffer[nameChars] = (WCHAR)name[nameChars];
        ++nameChars;
    }
    for (ULONG i = 0; i < suffixChars && nameChars + i < VHUB_TEXT_CHARS - 1; ++i) {
        Buffer[nameChars + i] = Suffix[i];
    }
}
