// Configuration and interface selection. There are no pipes to open on a
// virtual bus: the answers come from the configuration descriptor alone,
// and a pipe handle encodes its endpoint's address, type and interval so that
// the dispatchers can tell endpoints apart by its low byte.
#include "core/vhub.h"

// Sizes of the published 64-bit layouts: an interface block is a header
// followed by one pipe record per pipe.
#define INTERFACE_HEADER_SIZE ((ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes))
#define PIPE_RECORD_SIZE ((ULONG)sizeof(USBD_PIPE_INFORMATION))
#define SELECT_CONFIGURATION_FIXED ((ULONG)FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface))
#define SELECT_INTERFACE_FIXED ((ULONG)FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface))

// The descriptor searches walk the chain by bLength within wTotalLength.
// Before any search the chain is checked once: every descriptor has a
// length of at least 2 and lies wholly inside wTotalLength, interface and
// endpoint descriptors are long enough to be read as such. A zero bLength
// would otherwise stop the walk from advancing, and a descriptor running
// past wTotalLength would be read beyond the block.
static BOOLEAN select_descriptor_chain_ok(PUSB_CONFIGURATION_DESCRIPTOR Configuration)
{
    const UCHAR* base = (const UCHAR*)Configuration;
    ULONG total = Configuration->wTotalLength;
    ULONG at = 0;

    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || base[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return FALSE;
    }
    while (at < total) {
        ULONG length;
        UCHAR type;
        if (total - at < 2) {
            return FALSE;
        }
        length = base[at];
        type = base[at + 1];
        if (length < 2 || length > total - at) {
            return FALSE;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return FALSE;
        }
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            return FALSE;
        }
        at += length;
    }
    return TRUE;
}

NTSTATUS select_configure(PURB Urb)
{
    struct _URB_SELECT_CONFIGURATION* select = &Urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR configuration;
    PUSB_INTERFACE_DESCRIPTOR descriptor;
    PUSBD_INTERFACE_INFORMATION block;
    ULONG urbLength = Urb->UrbHeader.Length;
    ULONG offset;
    NTSTATUS status;
    UCHAR i;

    VhubDbgPrint("select_configure\n");

    // A URB shorter than its own fixed part has no room for the handle.
    if (urbLength < SELECT_CONFIGURATION_FIXED) {
        VhubDbgPrint("*** small for select interface.\n");
        return STATUS_INVALID_PARAMETER;
    }

    configuration = select->ConfigurationDescriptor;
    if (configuration == NULL) {
        VhubDbgPrint("unconfigure OK.\n");
        return STATUS_SUCCESS;
    }
    if (!select_descriptor_chain_ok(configuration)) {
        VhubDbgPrint("select_configure bad configuration descriptor.\n");
        return STATUS_INVALID_PARAMETER;
    }

    select->ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(ULONG_PTR)configuration->bConfigurationValue;

    status = STATUS_SUCCESS;
    offset = SELECT_CONFIGURATION_FIXED;
    for (i = 0; i < configuration->bNumInterfaces; i++) {
        if (offset + INTERFACE_HEADER_SIZE > urbLength) {
            VhubDbgPrint("no all interface select curr select interface=%d.\n", i);
            return STATUS_SUCCESS;
        }
        block = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)Urb + offset);

        descriptor = USBD_ParseConfigurationDescriptorEx(configuration, configuration, block->InterfaceNumber,
                                                         block->AlternateSetting, -1, -1, -1);
        if (descriptor == NULL) {
            VhubDbgPrint("USBD_ParseConfigurationDescriptorEx interfaceNumber=%d, AlternateSetting=%d Error not found\n",
                         block->InterfaceNumber, block->AlternateSetting);
            return STATUS_INVALID_PARAMETER;
        }
        if (descriptor->bNumEndpoints != block->NumberOfPipes) {
            VhubDbgPrint("intf_desc->bNumEndpoints != intf->NumberOfPipes \n");
            return STATUS_INVALID_PARAMETER;
        }
        // NumberOfPipes equals bNumEndpoints here, so it is at most 255.
        if (block->NumberOfPipes != 0 &&
            offset + INTERFACE_HEADER_SIZE + PIPE_RECORD_SIZE * block->NumberOfPipes > urbLength) {
            VhubDbgPrint("*** small for select interface.\n");
            return STATUS_INVALID_PARAMETER;
        }

        status = fill_interface(configuration, block, descriptor);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        offset += INTERFACE_HEADER_SIZE + PIPE_RECORD_SIZE * block->NumberOfPipes;
    }
    return status;
}

NTSTATUS select_interface(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PURB Urb)
{
    struct _URB_SELECT_INTERFACE* select = &Urb->UrbSelectInterface;
    PUSB_INTERFACE_DESCRIPTOR descriptor;
    ULONG urbLength = Urb->UrbHeader.Length;

    VhubDbgPrint("select_interface\n");

    if (Configuration == NULL) {
        return STATUS_DEVICE_NOT_READY;
    }
    // The interface block's header must be there to say what is selected.
    if (urbLength < SELECT_INTERFACE_FIXED + INTERFACE_HEADER_SIZE) {
        VhubDbgPrint("*** small for select interface.\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (!select_descriptor_chain_ok(Configuration)) {
        VhubDbgPrint("select_interface bad configuration descriptor.\n");
        return STATUS_INVALID_PARAMETER;
    }

    descriptor = USBD_ParseConfigurationDescriptorEx(Configuration, Configuration, select->Interface.InterfaceNumber,
                                                     select->Interface.AlternateSetting, -1, -1, -1);
    if (descriptor == NULL) {
        return STATUS_NOT_FOUND;
    }

    // One pipe record per endpoint of the chosen setting is written: all of
    // them must fit in the URB, or none is written.
    if (SELECT_INTERFACE_FIXED + INTERFACE_HEADER_SIZE + PIPE_RECORD_SIZE * descriptor->bNumEndpoints > urbLength) {
        VhubDbgPrint("*** small for select interface.\n");
        return STATUS_INVALID_PARAMETER;
    }

    return fill_interface(Configuration, &select->Interface, descriptor);
}

NTSTATUS fill_interface(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSBD_INTERFACE_INFORMATION Interface,
                        PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor)
{
    PVOID position;
    ULONG p;

    Interface->InterfaceHandle = (USBD_INTERFACE_HANDLE)(ULONG_PTR)1;
    Interface->Class = InterfaceDescriptor->bInterfaceClass;
    Interface->SubClass = InterfaceDescriptor->bInterfaceSubClass;
    Interface->Protocol = InterfaceDescriptor->bInterfaceProtocol;
    Interface->Reserved = 0;
    Interface->NumberOfPipes = InterfaceDescriptor->bNumEndpoints;

    VhubDbgPrint("fill_interface\n");

    // The pipes are the first bNumEndpoints endpoint descriptors after the
    // interface descriptor, wherever they are.
    position = InterfaceDescriptor;
    for (p = 0; p < Interface->NumberOfPipes; p++) {
        PUSB_ENDPOINT_DESCRIPTOR endpoint = (PUSB_ENDPOINT_DESCRIPTOR)USBD_ParseDescriptors(
            Configuration, Configuration->wTotalLength, position, USB_ENDPOINT_DESCRIPTOR_TYPE);
        if (endpoint == NULL) {
            VhubDbgPrint("USBD_ParseDescriptors not found endpoint.\n");
            return STATUS_INVALID_PARAMETER;
        }
        position = (PUCHAR)endpoint + endpoint->bLength;
        fill_pipe(&Interface->Pipes[p], endpoint);
    }
    return STATUS_SUCCESS;
}

VOID fill_pipe(PUSBD_PIPE_INFORMATION Pipe, PUSB_ENDPOINT_DESCRIPTOR Endpoint)
{
    Pipe->MaximumPacketSize = Endpoint->wMaxPacketSize;
    Pipe->EndpointAddress = Endpoint->bEndpointAddress;
    Pipe->Interval = Endpoint->bInterval;
    Pipe->PipeType = (USBD_PIPE_TYPE)(Endpoint->bmAttributes & 3);

    VhubDbgPrint("fill_pipe PipeType::%x\n", Pipe->PipeType);

    // High-bandwidth isochronous: bits 11-12 count the additional
    // transactions per microframe (the reserved 3 counts as 4 in all).
    if (Pipe->PipeType == UsbdPipeTypeIsochronous) {
        USHORT multiplier = (USHORT)(((Pipe->MaximumPacketSize >> 11) & 3) + 1);
        Pipe->MaximumPacketSize = (USHORT)((Pipe->MaximumPacketSize & 0x7FF) * multiplier);
    }

    Pipe->PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)((ULONG)Pipe->EndpointAddress |
                                                     ((ULONG)Pipe->PipeType << 8) |
                                                     ((ULONG)Pipe->Interval << 16));
}
