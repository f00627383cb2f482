// The USB driver library (USBD.SYS): descriptor parsing and the building of
// configuration requests, as client drivers import them.
//
// Descriptors come from devices, and devices lie. Every walk here is bounded
// by the length the caller vouches for (the configuration's wTotalLength or
// TotalLength), reads a descriptor's two-byte header only when it lies inside
// that bound, hands out only descriptors that lie wholly inside it, and stops
// at a descriptor whose bLength is 0, which would otherwise be walked forever.
#include "hostkernel/nt_base.h"
#include "hostkernel/nt_ke.h"
#include "hostkernel/nt_usb.h"

#include <cstring>

namespace {

// The descriptor at Position inside [Begin, End), or null when its header or
// its body runs past End or it claims a length of 0.
const UCHAR* DescriptorAt(const UCHAR* Position, const UCHAR* End) {
    if (Position >= End || End - Position < (ptrdiff_t)sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;
    UCHAR length = Position[0];
    if (length < sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;
    if (End - Position < (ptrdiff_t)length) return nullptr;
    return Position;
}

}  // namespace

EXTERN_C VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (!VersionInformation) return;
    VersionInformation->USBDI_Version = USBDI_VERSION;
    VersionInformation->Supported_USB_Version = 0x200;
}

EXTERN_C PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                            PVOID StartPosition, LONG DescriptorType) {
    if (!DescriptorBuffer || !StartPosition) return nullptr;
    const UCHAR* begin = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* end = begin + TotalLength;
    const UCHAR* position = static_cast<const UCHAR*>(StartPosition);
    if (position < begin || position >= end) return nullptr;

    while (const UCHAR* descriptor = DescriptorAt(position, end)) {
        if (descriptor[1] == (UCHAR)DescriptorType)
            return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(descriptor));
        position += descriptor[0];
    }
    return nullptr;
}

EXTERN_C PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (!ConfigurationDescriptor || !StartPosition) return nullptr;
    ULONG total = ConfigurationDescriptor->wTotalLength;
    PVOID position = StartPosition;
    const UCHAR* end = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor) + total;

    for (;;) {
        PUSB_COMMON_DESCRIPTOR common =
            USBD_ParseDescriptors(ConfigurationDescriptor, total, position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (!common) return nullptr;
        const UCHAR* next = reinterpret_cast<const UCHAR*>(common) + common->bLength;
        // An interface descriptor too short to hold its own fields is skipped
        // rather than read past its end.
        if (common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(common);
            if ((InterfaceNumber == -1 || interface->bInterfaceNumber == (UCHAR)InterfaceNumber) &&
                (AlternateSetting == -1 || interface->bAlternateSetting == (UCHAR)AlternateSetting) &&
                (InterfaceClass == -1 || interface->bInterfaceClass == (UCHAR)InterfaceClass) &&
                (InterfaceSubClass == -1 || interface->bInterfaceSubClass == (UCHAR)InterfaceSubClass) &&
                (InterfaceProtocol == -1 || interface->bInterfaceProtocol == (UCHAR)InterfaceProtocol))
                return interface;
        }
        if (next >= end) return nullptr;
        position = const_cast<UCHAR*>(next);
    }
}

EXTERN_C PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

EXTERN_C ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
    // The interface descriptor, its endpoints and every class-specific
    // descriptor up to the next interface descriptor (or the end).
    if (!InterfaceDescriptor || !BufferEnd) return 0;
    const UCHAR* start = reinterpret_cast<const UCHAR*>(InterfaceDescriptor);
    const UCHAR* first = DescriptorAt(start, BufferEnd);
    if (!first) return 0;
    const UCHAR* position = start + first[0];
    while (const UCHAR* descriptor = DescriptorAt(position, BufferEnd)) {
        if (descriptor[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        position += descriptor[0];
    }
    return (ULONG)(position - start);
}

EXTERN_C PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                      PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (!ConfigurationDescriptor || !InterfaceList) return nullptr;
    const UCHAR* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const UCHAR* end = begin + ConfigurationDescriptor->wTotalLength;

    // Size: the URB up to its first interface block, then one block (a
    // 24-byte header and one pipe record per endpoint) per listed interface.
    SIZE_T size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    ULONG interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        const UCHAR* interface = reinterpret_cast<const UCHAR*>(entry->InterfaceDescriptor);
        if (interface < begin || interface >= end || !DescriptorAt(interface, end) ||
            interface[0] < sizeof(USB_INTERFACE_DESCRIPTOR))
            return nullptr;
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0 || size > MAXUSHORT) return nullptr;

    SIZE_T allocation = size < sizeof(struct _URB_SELECT_CONFIGURATION) ? sizeof(struct _URB_SELECT_CONFIGURATION)
                                                                        : size;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, allocation, USBD_POOL_TAG));
    if (!urb) return nullptr;
    std::memset(urb, 0, allocation);

    auto* block = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(block);
        SIZE_T blockSize = GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints);
        info->Length = (USHORT)blockSize;
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < descriptor->bNumEndpoints; ++pipe)
            info->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        entry->Interface = info;
        block += blockSize;
    }

    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    return urb;
}
