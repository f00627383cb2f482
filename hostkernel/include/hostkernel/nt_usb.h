// The USB driver interface: descriptors as they travel on the wire, USB
// request blocks (URBs) with their x64 layouts, the internal device-control
// codes of the USB stack, the USBDI bus interface and the USB driver library
// (USBD) routines. Names and layouts are the WDK's, so that the same client
// and device code compiles against this header and against the real one.
//
// This header stands on nt_base.h alone: the few I/O-manager types it names
// (MDL, the interface reference routines) are declared here by the same
// names, which C++ accepts beside the I/O manager's own declarations.
#pragma once

#include "nt_base.h"

struct _MDL;
typedef struct _MDL* PMDL;
typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

#define USBDI_VERSION 0x00000600

// --- device-control codes of the USB stack -------------------------------------
// The USB stack files its codes under FILE_DEVICE_UNKNOWN (spelt as the I/O
// manager's header spells them, so that either may come first).
#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN          0x00000022
#endif
#ifndef FILE_DEVICE_USB
#define FILE_DEVICE_USB              FILE_DEVICE_UNKNOWN
#endif
#define USB_CTL_CODE_(Function, Method) (((ULONG)FILE_DEVICE_USB << 16) | ((ULONG)(Function) << 2) | (ULONG)(Method))

#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_ROOTHUB_PDO 3
#define USB_GET_PORT_STATUS 4
#define USB_ENABLE_PORT 5
#define USB_GET_HUB_COUNT 6
#define USB_CYCLE_PORT 7
#define USB_GET_HUB_NAME 8
#define USB_IDLE_NOTIFICATION 9
#define USB_RECORD_FAILURE 10
#define USB_GET_BUS_INFO 264
#define USB_GET_CONTROLLER_NAME 265
#define USB_GET_BUSGUID_INFO 266
#define USB_GET_PARENT_HUB_INFO 267
#define USB_GET_DEVICE_HANDLE 268
#define USB_GET_DEVICE_HANDLE_EX 269
#define USB_GET_TT_DEVICE_HANDLE 270
#define USB_GET_TOPOLOGY_ADDRESS 271
#define USB_IDLE_NOTIFICATION_EX 272
#define USB_REQ_GLOBAL_SUSPEND 273
#define USB_REQ_GLOBAL_RESUME 274
#define USB_GET_HUB_CONFIG_INFO 275

// METHOD_NEITHER is 3 and METHOD_BUFFERED 0 in every I/O manager.
#define IOCTL_INTERNAL_USB_SUBMIT_URB             USB_CTL_CODE_(USB_SUBMIT_URB, 3)
#define IOCTL_INTERNAL_USB_RESET_PORT             USB_CTL_CODE_(USB_RESET_PORT, 3)
#define IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO        USB_CTL_CODE_(USB_GET_ROOTHUB_PDO, 3)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS        USB_CTL_CODE_(USB_GET_PORT_STATUS, 3)
#define IOCTL_INTERNAL_USB_ENABLE_PORT            USB_CTL_CODE_(USB_ENABLE_PORT, 3)
#define IOCTL_INTERNAL_USB_GET_HUB_COUNT          USB_CTL_CODE_(USB_GET_HUB_COUNT, 3)
#define IOCTL_INTERNAL_USB_CYCLE_PORT             USB_CTL_CODE_(USB_CYCLE_PORT, 3)
#define IOCTL_INTERNAL_USB_GET_HUB_NAME           USB_CTL_CODE_(USB_GET_HUB_NAME, 0)
#define IOCTL_INTERNAL_USB_GET_BUS_INFO           USB_CTL_CODE_(USB_GET_BUS_INFO, 0)
#define IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME    USB_CTL_CODE_(USB_GET_CONTROLLER_NAME, 0)
#define IOCTL_INTERNAL_USB_GET_BUSGUID_INFO       USB_CTL_CODE_(USB_GET_BUSGUID_INFO, 0)
#define IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO    USB_CTL_CODE_(USB_GET_PARENT_HUB_INFO, 0)
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION USB_CTL_CODE_(USB_IDLE_NOTIFICATION, 3)
#define IOCTL_INTERNAL_USB_GET_DEVICE_HANDLE      USB_CTL_CODE_(USB_GET_DEVICE_HANDLE, 3)
#define IOCTL_INTERNAL_USB_RECORD_FAILURE         USB_CTL_CODE_(USB_RECORD_FAILURE, 3)
#define IOCTL_INTERNAL_USB_GET_DEVICE_HANDLE_EX   USB_CTL_CODE_(USB_GET_DEVICE_HANDLE_EX, 3)
#define IOCTL_INTERNAL_USB_GET_TT_DEVICE_HANDLE   USB_CTL_CODE_(USB_GET_TT_DEVICE_HANDLE, 3)
#define IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS   USB_CTL_CODE_(USB_GET_TOPOLOGY_ADDRESS, 3)
#define IOCTL_INTERNAL_USB_NOTIFY_IDLE_READY      USB_CTL_CODE_(USB_IDLE_NOTIFICATION_EX, 3)
#define IOCTL_INTERNAL_USB_REQ_GLOBAL_SUSPEND     USB_CTL_CODE_(USB_REQ_GLOBAL_SUSPEND, 3)
#define IOCTL_INTERNAL_USB_REQ_GLOBAL_RESUME      USB_CTL_CODE_(USB_REQ_GLOBAL_RESUME, 3)
#define IOCTL_INTERNAL_USB_GET_DEVICE_CONFIG_INFO USB_CTL_CODE_(USB_GET_HUB_CONFIG_INFO, 3)

static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "IOCTL_INTERNAL_USB_SUBMIT_URB");
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013, "IOCTL_INTERNAL_USB_GET_PORT_STATUS");
static_assert(IOCTL_INTERNAL_USB_GET_HUB_NAME == 0x220020, "IOCTL_INTERNAL_USB_GET_HUB_NAME");

#define USBD_PORT_ENABLED   0x00000001
#define USBD_PORT_CONNECTED 0x00000002

// --- standard requests, descriptor types, classes ------------------------------
#define BMREQUEST_HOST_TO_DEVICE 0
#define BMREQUEST_DEVICE_TO_HOST 1
#define BMREQUEST_STANDARD 0
#define BMREQUEST_CLASS 1
#define BMREQUEST_VENDOR 2
#define BMREQUEST_TO_DEVICE 0
#define BMREQUEST_TO_INTERFACE 1
#define BMREQUEST_TO_ENDPOINT 2
#define BMREQUEST_TO_OTHER 3

#define USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d, i) ((USHORT)(((USHORT)(d)) << 8 | (i)))

#define USB_REQUEST_GET_STATUS 0x00
#define USB_REQUEST_CLEAR_FEATURE 0x01
#define USB_REQUEST_SET_FEATURE 0x03
#define USB_REQUEST_SET_ADDRESS 0x05
#define USB_REQUEST_GET_DESCRIPTOR 0x06
#define USB_REQUEST_SET_DESCRIPTOR 0x07
#define USB_REQUEST_GET_CONFIGURATION 0x08
#define USB_REQUEST_SET_CONFIGURATION 0x09
#define USB_REQUEST_GET_INTERFACE 0x0A
#define USB_REQUEST_SET_INTERFACE 0x0B
#define USB_REQUEST_SYNC_FRAME 0x0C

#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_STRING_DESCRIPTOR_TYPE 0x03
#define USB_INTERFACE_DESCRIPTOR_TYPE 0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE 0x05
#define USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE 0x06
#define USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE 0x07
#define USB_INTERFACE_POWER_DESCRIPTOR_TYPE 0x08
#define USB_OTG_DESCRIPTOR_TYPE 0x09
#define USB_DEBUG_DESCRIPTOR_TYPE 0x0A
#define USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE 0x0B
#define USB_BOS_DESCRIPTOR_TYPE 0x0F
#define USB_DEVICE_CAPABILITY_DESCRIPTOR_TYPE 0x10
#define USB_RESERVED_DESCRIPTOR_TYPE 0x06
#define USB_CONFIG_POWER_DESCRIPTOR_TYPE 0x07

#define USB_FEATURE_ENDPOINT_STALL 0x00
#define USB_FEATURE_REMOTE_WAKEUP 0x01
#define USB_FEATURE_TEST_MODE 0x02

#define USB_GETSTATUS_SELF_POWERED 0x01
#define USB_GETSTATUS_REMOTE_WAKEUP_ENABLED 0x02

#define USB_DEVICE_CLASS_RESERVED 0x00
#define USB_DEVICE_CLASS_AUDIO 0x01
#define USB_DEVICE_CLASS_COMMUNICATIONS 0x02
#define USB_DEVICE_CLASS_HUMAN_INTERFACE 0x03
#define USB_DEVICE_CLASS_MONITOR 0x04
#define USB_DEVICE_CLASS_PHYSICAL_INTERFACE 0x05
#define USB_DEVICE_CLASS_POWER 0x06
#define USB_DEVICE_CLASS_IMAGE 0x06
#define USB_DEVICE_CLASS_PRINTER 0x07
#define USB_DEVICE_CLASS_STORAGE 0x08
#define USB_DEVICE_CLASS_HUB 0x09
#define USB_DEVICE_CLASS_CDC_DATA 0x0A
#define USB_DEVICE_CLASS_SMART_CARD 0x0B
#define USB_DEVICE_CLASS_CONTENT_SECURITY 0x0D
#define USB_DEVICE_CLASS_VIDEO 0x0E
#define USB_DEVICE_CLASS_PERSONAL_HEALTHCARE 0x0F
#define USB_DEVICE_CLASS_AUDIO_VIDEO 0x10
#define USB_DEVICE_CLASS_BILLBOARD 0x11
#define USB_DEVICE_CLASS_DIAGNOSTIC_DEVICE 0xDC
#define USB_DEVICE_CLASS_WIRELESS_CONTROLLER 0xE0
#define USB_DEVICE_CLASS_MISCELLANEOUS 0xEF
#define USB_DEVICE_CLASS_APPLICATION_SPECIFIC 0xFE
#define USB_DEVICE_CLASS_VENDOR_SPECIFIC 0xFF

#define USB_CONFIG_POWERED_MASK 0xC0
#define USB_CONFIG_BUS_POWERED 0x80
#define USB_CONFIG_SELF_POWERED 0x40
#define USB_CONFIG_REMOTE_WAKEUP 0x20
#define USB_CONFIG_RESERVED 0x1F

#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_DIRECTION_OUT(addr) (!((addr) & USB_ENDPOINT_DIRECTION_MASK))
#define USB_ENDPOINT_DIRECTION_IN(addr) ((addr) & USB_ENDPOINT_DIRECTION_MASK)
#define USB_ENDPOINT_ADDRESS_MASK 0x0F

#define USB_ENDPOINT_TYPE_MASK 0x03
#define USB_ENDPOINT_TYPE_CONTROL 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 0x01
#define USB_ENDPOINT_TYPE_BULK 0x02
#define USB_ENDPOINT_TYPE_INTERRUPT 0x03
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_RESERVED_MASK 0xC0
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_MASK 0x0C
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_NO_SYNCHRONIZATION 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS 0x04
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ADAPTIVE 0x08
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_SYNCHRONOUS 0x0C
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_MASK 0x30
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_DATA_ENDOINT 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT 0x10
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_IMPLICIT_FEEDBACK_DATA_ENDPOINT 0x20

#define MAXIMUM_USB_STRING_LENGTH 255

// --- descriptors: the USB wire format, byte-packed ------------------------------
#pragma pack(push, 1)

typedef struct _USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
} USB_COMMON_DESCRIPTOR, *PUSB_COMMON_DESCRIPTOR;

typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_DEVICE_QUALIFIER_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    UCHAR bNumConfigurations;
    UCHAR bReserved;
} USB_DEVICE_QUALIFIER_DESCRIPTOR, *PUSB_DEVICE_QUALIFIER_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
} USB_INTERFACE_ASSOCIATION_DESCRIPTOR, *PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

typedef struct _USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
} USB_STRING_DESCRIPTOR, *PUSB_STRING_DESCRIPTOR;

typedef union _USB_HIGH_SPEED_MAXPACKET {
    struct {
        USHORT MaxPacket : 11;
        USHORT HSmux : 2;
        USHORT Reserved : 3;
    };
    USHORT us;
} USB_HIGH_SPEED_MAXPACKET, *PUSB_HIGH_SPEED_MAXPACKET;

#pragma pack(pop)

static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2, "USB_COMMON_DESCRIPTOR");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8, "USB_DEVICE_DESCRIPTOR.idVendor");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations) == 17, "USB_DEVICE_DESCRIPTOR.bNumConfigurations");
static_assert(sizeof(USB_DEVICE_QUALIFIER_DESCRIPTOR) == 10, "USB_DEVICE_QUALIFIER_DESCRIPTOR");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB_CONFIGURATION_DESCRIPTOR");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2, "wTotalLength");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, bNumInterfaces) == 4, "bNumInterfaces");
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8, "USB_INTERFACE_ASSOCIATION_DESCRIPTOR");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "USB_INTERFACE_DESCRIPTOR");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "USB_ENDPOINT_DESCRIPTOR");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4, "wMaxPacketSize");
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4, "USB_STRING_DESCRIPTOR");
static_assert(sizeof(USB_HIGH_SPEED_MAXPACKET) == 2, "USB_HIGH_SPEED_MAXPACKET");

// --- USBD status values -------------------------------------------------------------
typedef LONG USBD_STATUS;

#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_PENDING(Status) ((ULONG)(Status) >> 30 == 1)
#define USBD_ERROR(Status) ((USBD_STATUS)(Status) < 0)

#define USBD_STATUS_SUCCESS                  ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_PENDING                  ((USBD_STATUS)0x40000000L)
#define USBD_STATUS_ERROR                    ((USBD_STATUS)0x80000000L)
#define USBD_STATUS_CRC                      ((USBD_STATUS)0xC0000001L)
#define USBD_STATUS_BTSTUFF                  ((USBD_STATUS)0xC0000002L)
#define USBD_STATUS_DATA_TOGGLE_MISMATCH     ((USBD_STATUS)0xC0000003L)
#define USBD_STATUS_STALL_PID                ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING       ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_PID_CHECK_FAILURE        ((USBD_STATUS)0xC0000006L)
#define USBD_STATUS_UNEXPECTED_PID           ((USBD_STATUS)0xC0000007L)
#define USBD_STATUS_DATA_OVERRUN             ((USBD_STATUS)0xC0000008L)
#define USBD_STATUS_DATA_UNDERRUN            ((USBD_STATUS)0xC0000009L)
#define USBD_STATUS_BUFFER_OVERRUN           ((USBD_STATUS)0xC000000CL)
#define USBD_STATUS_BUFFER_UNDERRUN          ((USBD_STATUS)0xC000000DL)
#define USBD_STATUS_NOT_ACCESSED             ((USBD_STATUS)0xC000000FL)
#define USBD_STATUS_FIFO                     ((USBD_STATUS)0xC0000010L)
#define USBD_STATUS_XACT_ERROR               ((USBD_STATUS)0xC0000011L)
#define USBD_STATUS_BABBLE_DETECTED          ((USBD_STATUS)0xC0000012L)
#define USBD_STATUS_DATA_BUFFER_ERROR        ((USBD_STATUS)0xC0000013L)
#define USBD_STATUS_ENDPOINT_HALTED          ((USBD_STATUS)0xC0000030L)
#define USBD_STATUS_INVALID_URB_FUNCTION     ((USBD_STATUS)0x80000200L)
#define USBD_STATUS_INVALID_PARAMETER        ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_ERROR_BUSY               ((USBD_STATUS)0x80000400L)
#define USBD_STATUS_INVALID_PIPE_HANDLE      ((USBD_STATUS)0x80000600L)
#define USBD_STATUS_NO_BANDWIDTH             ((USBD_STATUS)0x80000700L)
#define USBD_STATUS_INTERNAL_HC_ERROR        ((USBD_STATUS)0x80000800L)
#define USBD_STATUS_ERROR_SHORT_TRANSFER     ((USBD_STATUS)0x80000900L)
#define USBD_STATUS_BAD_START_FRAME          ((USBD_STATUS)0xC0000A00L)
#define USBD_STATUS_ISOCH_REQUEST_FAILED     ((USBD_STATUS)0xC0000B00L)
#define USBD_STATUS_FRAME_CONTROL_OWNED      ((USBD_STATUS)0xC0000C00L)
#define USBD_STATUS_FRAME_CONTROL_NOT_OWNED  ((USBD_STATUS)0xC0000D00L)
#define USBD_STATUS_NOT_SUPPORTED            ((USBD_STATUS)0xC0000E00L)
#define USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR ((USBD_STATUS)0xC0000F00L)
#define USBD_STATUS_INSUFFICIENT_RESOURCES   ((USBD_STATUS)0xC0001000L)
#define USBD_STATUS_SET_CONFIG_FAILED        ((USBD_STATUS)0xC0002000L)
#define USBD_STATUS_BUFFER_TOO_SMALL         ((USBD_STATUS)0xC0003000L)
#define USBD_STATUS_INTERFACE_NOT_FOUND      ((USBD_STATUS)0xC0004000L)
#define USBD_STATUS_INAVLID_PIPE_FLAGS       ((USBD_STATUS)0xC0005000L)
#define USBD_STATUS_TIMEOUT                  ((USBD_STATUS)0xC0006000L)
#define USBD_STATUS_DEVICE_GONE              ((USBD_STATUS)0xC0007000L)
#define USBD_STATUS_STATUS_NOT_MAPPED        ((USBD_STATUS)0xC0008000L)
#define USBD_STATUS_HUB_INTERNAL_ERROR       ((USBD_STATUS)0xC0009000L)
#define USBD_STATUS_CANCELED                 ((USBD_STATUS)0xC0010000L)
#define USBD_STATUS_ISO_NOT_ACCESSED_BY_HW   ((USBD_STATUS)0xC0020000L)
#define USBD_STATUS_ISO_TD_ERROR             ((USBD_STATUS)0xC0030000L)
#define USBD_STATUS_ISO_NA_LATE_USBPORT      ((USBD_STATUS)0xC0040000L)
#define USBD_STATUS_ISO_NOT_ACCESSED_LATE    ((USBD_STATUS)0xC0050000L)
#define USBD_STATUS_BAD_DESCRIPTOR           ((USBD_STATUS)0xC0100000L)
#define USBD_STATUS_BAD_DESCRIPTOR_BLEN      ((USBD_STATUS)0xC0100001L)
#define USBD_STATUS_BAD_DESCRIPTOR_TYPE      ((USBD_STATUS)0xC0100002L)
#define USBD_STATUS_BAD_INTERFACE_DESCRIPTOR ((USBD_STATUS)0xC0100003L)
#define USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR  ((USBD_STATUS)0xC0100004L)
#define USBD_STATUS_BAD_INTERFACE_ASSOC_DESCRIPTOR ((USBD_STATUS)0xC0100005L)
#define USBD_STATUS_BAD_CONFIG_DESC_LENGTH   ((USBD_STATUS)0xC0100006L)
#define USBD_STATUS_BAD_NUMBER_OF_INTERFACES ((USBD_STATUS)0xC0100007L)
#define USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS  ((USBD_STATUS)0xC0100008L)
#define USBD_STATUS_BAD_ENDPOINT_ADDRESS     ((USBD_STATUS)0xC0100009L)

// --- URB function codes -------------------------------------------------------------
#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002
#define URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL 0x0003
#define URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL 0x0004
#define URB_FUNCTION_GET_FRAME_LENGTH 0x0005
#define URB_FUNCTION_SET_FRAME_LENGTH 0x0006
#define URB_FUNCTION_GET_CURRENT_FRAME_NUMBER 0x0007
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define URB_FUNCTION_ISOCH_TRANSFER 0x000A
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000B
#define URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE 0x000C
#define URB_FUNCTION_SET_FEATURE_TO_DEVICE 0x000D
#define URB_FUNCTION_SET_FEATURE_TO_INTERFACE 0x000E
#define URB_FUNCTION_SET_FEATURE_TO_ENDPOINT 0x000F
#define URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE 0x0010
#define URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE 0x0011
#define URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT 0x0012
#define URB_FUNCTION_GET_STATUS_FROM_DEVICE 0x0013
#define URB_FUNCTION_GET_STATUS_FROM_INTERFACE 0x0014
#define URB_FUNCTION_GET_STATUS_FROM_ENDPOINT 0x0015
#define URB_FUNCTION_RESERVED_0X0016 0x0016
#define URB_FUNCTION_VENDOR_DEVICE 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE 0x0018
#define URB_FUNCTION_VENDOR_ENDPOINT 0x0019
#define URB_FUNCTION_CLASS_DEVICE 0x001A
#define URB_FUNCTION_CLASS_INTERFACE 0x001B
#define URB_FUNCTION_CLASS_ENDPOINT 0x001C
#define URB_FUNCTION_RESERVE_0X001D 0x001D
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL 0x001E
#define URB_FUNCTION_CLASS_OTHER 0x001F
#define URB_FUNCTION_VENDOR_OTHER 0x0020
#define URB_FUNCTION_GET_STATUS_FROM_OTHER 0x0021
#define URB_FUNCTION_CLEAR_FEATURE_TO_OTHER 0x0022
#define URB_FUNCTION_SET_FEATURE_TO_OTHER 0x0023
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT 0x0024
#define URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT 0x0025
#define URB_FUNCTION_GET_CONFIGURATION 0x0026
#define URB_FUNCTION_GET_INTERFACE 0x0027
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE 0x0028
#define URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE 0x0029
#define URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR 0x002A
#define URB_FUNCTION_SYNC_RESET_PIPE 0x0030
#define URB_FUNCTION_SYNC_CLEAR_STALL 0x0031
#define URB_FUNCTION_CONTROL_TRANSFER_EX 0x0032
#define URB_FUNCTION_OPEN_STATIC_STREAMS 0x0035
#define URB_FUNCTION_CLOSE_STATIC_STREAMS 0x0036
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER_USING_CHAINED_MDL 0x0037
#define URB_FUNCTION_ISOCH_TRANSFER_USING_CHAINED_MDL 0x0038
#define URB_FUNCTION_RESET_PIPE URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL

// Transfer flags.
#define USBD_TRANSFER_DIRECTION 0x00000001
#define USBD_SHORT_TRANSFER_OK 0x00000002
#define USBD_START_ISO_TRANSFER_ASAP 0x00000004
#define USBD_DEFAULT_PIPE_TRANSFER 0x00000008
#define USBD_TRANSFER_DIRECTION_FLAG(flags) ((flags) & USBD_TRANSFER_DIRECTION)
#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1
#define VALID_TRANSFER_FLAGS_MASK \
    (USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION | USBD_START_ISO_TRANSFER_ASAP | USBD_DEFAULT_PIPE_TRANSFER)
#define USBD_ISO_START_FRAME_RANGE 1024

#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 0xFFFFFFFFu

#define USBD_PF_CHANGE_MAX_PACKET 0x00000001
#define USBD_PF_SHORT_PACKET_OPT 0x00000002
#define USBD_PF_ENABLE_RT_THREAD_ACCESS 0x00000004
#define USBD_PF_MAP_ADD_TRANSFERS 0x00000008

// --- handles, pipes, interfaces -------------------------------------------------------
typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
} USBD_PIPE_TYPE;

#define USBD_PIPE_DIRECTION_IN(pipeInformation) ((pipeInformation)->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK)

typedef struct _USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

static_assert(sizeof(USBD_PIPE_TYPE) == 4, "USBD_PIPE_TYPE");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "USBD_PIPE_INFORMATION");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4, "USBD_PIPE_INFORMATION.PipeType");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8, "USBD_PIPE_INFORMATION.PipeHandle");
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16, "MaximumTransferSize");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "USBD_INTERFACE_INFORMATION");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8, "InterfaceHandle");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16, "NumberOfPipes");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24, "Pipes");

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// --- URBs ---------------------------------------------------------------------------------
struct _URB;

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_SELECT_INTERFACE {
    struct _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_SELECT_CONFIGURATION {
    struct _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_FRAME_LENGTH_CONTROL {
    struct _URB_HEADER Hdr;
};

struct _URB_GET_FRAME_LENGTH {
    struct _URB_HEADER Hdr;
    ULONG FrameLength;
    ULONG FrameNumber;
};

struct _URB_SET_FRAME_LENGTH {
    struct _URB_HEADER Hdr;
    LONG FrameLengthDelta;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    struct _URB_HEADER Hdr;
    ULONG FrameNumber;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_STATUS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;
    USHORT Reserved2;
};

struct _URB_CONTROL_FEATURE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    PMDL Reserved5;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_GET_INTERFACE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Interface;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_CONFIGURATION_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[8];
};

struct _URB_OS_FEATURE_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Recipient : 5;
    UCHAR Reserved1 : 3;
    UCHAR Reserved2;
    UCHAR InterfaceNumber;
    UCHAR MS_PageIndex;
    USHORT MS_FeatureDescriptorIndex;
    USHORT Reserved3;
};

struct _URB_CONTROL_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_CONTROL_TRANSFER_EX {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    ULONG Timeout;
    ULONG Pad;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
};

typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;
    ULONG Length;
    USBD_STATUS Status;
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;

struct _URB_ISOCH_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

typedef struct _URB {
    union {
        struct _URB_HEADER UrbHeader;
        struct _URB_SELECT_INTERFACE UrbSelectInterface;
        struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        struct _URB_PIPE_REQUEST UrbPipeRequest;
        struct _URB_FRAME_LENGTH_CONTROL UrbFrameLengthControl;
        struct _URB_GET_FRAME_LENGTH UrbGetFrameLength;
        struct _URB_SET_FRAME_LENGTH UrbSetFrameLength;
        struct _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        struct _URB_CONTROL_TRANSFER UrbControlTransfer;
        struct _URB_CONTROL_TRANSFER_EX UrbControlTransferEx;
        struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        struct _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
        struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        struct _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
        struct _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
        struct _URB_CONTROL_GET_INTERFACE_REQUEST UrbControlGetInterfaceRequest;
        struct _URB_CONTROL_GET_CONFIGURATION_REQUEST UrbControlGetConfigurationRequest;
        struct _URB_OS_FEATURE_DESCRIPTOR_REQUEST UrbOSFeatureDescriptorRequest;
    };
} URB, *PURB;

static_assert(sizeof(struct _URB_HEADER) == 24, "_URB_HEADER");
static_assert(offsetof(struct _URB_HEADER, Status) == 4, "_URB_HEADER.Status");
static_assert(offsetof(struct _URB_HEADER, UsbdDeviceHandle) == 8, "_URB_HEADER.UsbdDeviceHandle");
static_assert(offsetof(struct _URB_HEADER, UsbdFlags) == 16, "_URB_HEADER.UsbdFlags");
static_assert(sizeof(struct _URB_HCD_AREA) == 64, "_URB_HCD_AREA");
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 80, "_URB_SELECT_INTERFACE");
static_assert(offsetof(struct _URB_SELECT_INTERFACE, Interface) == 32, "_URB_SELECT_INTERFACE.Interface");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "_URB_SELECT_CONFIGURATION");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor) == 24, "ConfigurationDescriptor");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) == 32, "ConfigurationHandle");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 40, "_URB_SELECT_CONFIGURATION.Interface");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "_URB_PIPE_REQUEST");
static_assert(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER) == 32, "_URB_GET_CURRENT_FRAME_NUMBER");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "_URB_CONTROL_DESCRIPTOR_REQUEST");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Reserved) == 24, "descriptor request Reserved");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36, "TransferBufferLength");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == 40, "TransferBuffer");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL) == 48, "TransferBufferMDL");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, hca) == 64, "hca");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130, "Index");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131, "DescriptorType");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132, "LanguageId");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 32, "class TransferFlags");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129, "class Request");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 130, "class Value");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132, "class Index");
static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 136, "_URB_CONTROL_TRANSFER");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket) == 128, "SetupPacket");
static_assert(sizeof(struct _URB_CONTROL_TRANSFER_EX) == 136, "_URB_CONTROL_TRANSFER_EX");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER_EX, Timeout) == 56, "Timeout");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "_URB_BULK_OR_INTERRUPT_TRANSFER");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "USBD_ISO_PACKET_DESCRIPTOR");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, PipeHandle) == 24, "isoch PipeHandle");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferFlags) == 32, "isoch TransferFlags");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferBufferLength) == 36, "isoch TransferBufferLength");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferBuffer) == 40, "isoch TransferBuffer");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, StartFrame) == 128, "StartFrame");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, NumberOfPackets) == 132, "NumberOfPackets");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, ErrorCount) == 136, "ErrorCount");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) == 140, "IsoPacket");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "_URB_ISOCH_TRANSFER");
static_assert(sizeof(URB) == 152, "URB");

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)
#define URB_FROM_IRP(Irp) ((IoGetCurrentIrpStackLocation(Irp))->Parameters.Others.Argument1)

// --- request builders and sizes ---------------------------------------------------------
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)        \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                  \
     (((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +            \
     (((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    (sizeof(struct _URB_SELECT_INTERFACE) + (((totalPipes) - 1) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
    (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - sizeof(USBD_PIPE_INFORMATION))

#define GET_ISO_URB_SIZE(n) (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL, \
                                               transferBufferLength, transferFlags, link)                \
    {                                                                                                    \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                             \
        (urb)->UrbHeader.Length = (length);                                                              \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                     \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                 \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                       \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                             \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                               \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                              \
    }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                           \
    {                                                                                                         \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                  \
        (urb)->UrbHeader.Length = (length);                                                                   \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                     \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                           \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                 \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                 \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                         \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                         \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                  \
    }

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link)   \
    {                                                                                      \
        (urb)->UrbHeader.Function = (op);                                                  \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);          \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);           \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);         \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);               \
        (urb)->UrbControlGetStatusRequest.Index = (index);                                 \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                \
    }

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)             \
    {                                                                            \
        (urb)->UrbHeader.Function = (op);                                        \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);   \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);     \
        (urb)->UrbControlFeatureRequest.Index = (index);                         \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                        \
    }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)     \
    {                                                                               \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;              \
        (urb)->UrbHeader.Length = (length);                                         \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
    }

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting) \
    {                                                                                                      \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                         \
        (urb)->UrbHeader.Length = (length);                                                                \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                         \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                           \
        (urb)->UrbSelectInterface.Interface.Length =                                                       \
            (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));           \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                             \
    }

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedbits, request, value, index,  \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)        \
    {                                                                                               \
        (urb)->UrbHeader.Function = (cmd);                                                          \
        (urb)->UrbHeader.Length = (length);                                                         \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);          \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                      \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedbits);               \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                    \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                        \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                        \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                        \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                       \
    }

// --- the USBDI bus interface ---------------------------------------------------------------
#define USB_BUSIFFN
#define USB_HCD_CAPS_SUPPORTS_RT_THREADS 0x00000001

typedef PVOID PUSB_DEVICE_HANDLE;

typedef NTSTATUS (USB_BUSIFFN* PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID BusContext, PURB Urb);
typedef VOID (USB_BUSIFFN* PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID BusContext,
                                                          PUSBD_VERSION_INFORMATION VersionInformation,
                                                          PULONG HcdCapabilities);
typedef NTSTATUS (USB_BUSIFFN* PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID BusContext, PULONG CurrentUsbFrame);
typedef NTSTATUS (USB_BUSIFFN* PUSB_BUSIFFN_ENUM_LOG_ENTRY)(PVOID BusContext, ULONG DriverTag, ULONG EnumTag,
                                                            ULONG P1, ULONG P2);
typedef NTSTATUS (USB_BUSIFFN* PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID BusContext, ULONG Level,
                                                                   PVOID BusInformationBuffer,
                                                                   PULONG BusInformationBufferLength,
                                                                   PULONG BusInformationActualLength);
typedef BOOLEAN (USB_BUSIFFN* PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID BusContext);
typedef NTSTATUS (USB_BUSIFFN* PUSB_BUSIFFN_QUERY_BUS_TIME_EX)(PVOID BusContext, PULONG HighSpeedFrameCounter);
typedef NTSTATUS (USB_BUSIFFN* PUSB_BUSIFFN_QUERY_CONTROLLER_TYPE)(PVOID BusContext, PULONG HcdiOptionFlags,
                                                                   PUSHORT PciVendorId, PUSHORT PciDeviceId,
                                                                   PUCHAR PciClass, PUCHAR PciSubClass,
                                                                   PUCHAR PciRevisionId, PUCHAR PciProgIf);

typedef struct _USB_BUS_INFORMATION_LEVEL_0 {
    ULONG TotalBandwidth;
    ULONG ConsumedBandwidth;
} USB_BUS_INFORMATION_LEVEL_0, *PUSB_BUS_INFORMATION_LEVEL_0;

typedef struct _USB_BUS_INFORMATION_LEVEL_1 {
    ULONG TotalBandwidth;
    ULONG ConsumedBandwidth;
    ULONG ControllerNameLength;
    WCHAR ControllerNameUnicodeString[1];
} USB_BUS_INFORMATION_LEVEL_1, *PUSB_BUS_INFORMATION_LEVEL_1;

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001
#define USB_BUSIF_USBDI_VERSION_2 0x0002
#define USB_BUSIF_USBDI_VERSION_3 0x0003

DEFINE_GUID(USB_BUS_INTERFACE_USBDI_GUID, 0xb1a96a13, 0x3de0, 0x4574, 0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6);

typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;

typedef struct _USB_BUS_INTERFACE_USBDI_V2 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
    PUSB_BUSIFFN_ENUM_LOG_ENTRY EnumLogEntry;
} USB_BUS_INTERFACE_USBDI_V2, *PUSB_BUS_INTERFACE_USBDI_V2;

typedef struct _USB_BUS_INTERFACE_USBDI_V3 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
    PUSB_BUSIFFN_ENUM_LOG_ENTRY EnumLogEntry;
    PUSB_BUSIFFN_QUERY_BUS_TIME_EX QueryBusTimeEx;
    PUSB_BUSIFFN_QUERY_CONTROLLER_TYPE QueryControllerType;
} USB_BUS_INTERFACE_USBDI_V3, *PUSB_BUS_INTERFACE_USBDI_V3;

static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64, "USB_BUS_INTERFACE_USBDI_V0");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72, "USB_BUS_INTERFACE_USBDI_V1");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V2) == 80, "USB_BUS_INTERFACE_USBDI_V2");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V3) == 96, "USB_BUS_INTERFACE_USBDI_V3");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V3, BusContext) == 8, "BusContext");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V3, GetUSBDIVersion) == 32, "GetUSBDIVersion");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V3, IsDeviceHighSpeed) == 64, "IsDeviceHighSpeed");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V3, EnumLogEntry) == 72, "EnumLogEntry");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V3, QueryBusTimeEx) == 80, "QueryBusTimeEx");

// --- the USB driver library (USBD.SYS) ----------------------------------------------------
// The parsing routines never look outside the configuration's wTotalLength,
// never return a descriptor that does not fit inside it, and stop at a
// descriptor whose bLength is 0 (which would otherwise be walked forever).
EXTERN_C VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

EXTERN_C PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                            PVOID StartPosition, LONG DescriptorType);

EXTERN_C PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

EXTERN_C PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting);

// Allocates (non-paged pool; free it with ExFreePool) a SELECT_CONFIGURATION
// URB with one interface block per entry of the NULL-terminated list, and
// points each entry's Interface at its block. NULL when the list is empty,
// names an interface outside the configuration, or the pool is exhausted.
EXTERN_C PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                      PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

EXTERN_C ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd);

// Pool tag of the blocks USBD allocates for its callers ("USBD" in memory).
#define USBD_POOL_TAG 0x44425355u
