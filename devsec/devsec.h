// The driver's own IoCreateDeviceSecure.
//
// Creates a device object and gives it, at once, the security that a
// descriptor text (SDDL) states, with the device class's registry settings
// overriding type, characteristics and security. When the running kernel
// exports a routine of this name, every call is passed to it unchanged.
//
// The argument list is the published one. The WDK's wdmsec.h renames the
// routine to its static library's symbol; the driver does not include that
// header and does not link that library: it carries this implementation.
#pragma once

#include "kernel.h"

extern "C" NTSTATUS NTAPI IoCreateDeviceSecure(
    PDRIVER_OBJECT DriverObject,
    ULONG DeviceExtensionSize,
    PUNICODE_STRING DeviceName,
    DEVICE_TYPE DeviceType,
    ULONG DeviceCharacteristics,
    BOOLEAN Exclusive,
    PCUNICODE_STRING DefaultSDDLString,
    LPCGUID DeviceClassGuid,
    PDEVICE_OBJECT* DeviceObject);

// The shape of IoCreateDeviceSecure, for the routine found in the kernel.
typedef NTSTATUS (NTAPI *PIO_CREATE_DEVICE_SECURE)(
    PDRIVER_OBJECT DriverObject,
    ULONG DeviceExtensionSize,
    PUNICODE_STRING DeviceName,
    DEVICE_TYPE DeviceType,
    ULONG DeviceCharacteristics,
    BOOLEAN Exclusive,
    PCUNICODE_STRING DefaultSDDLString,
    LPCGUID DeviceClassGuid,
    PDEVICE_OBJECT* DeviceObject);

// Forgets what the first call resolved and whether the class-key template
// descriptor was accepted: the state a fresh load of the driver starts with.
// The driver's unload calls it; tests call it between scenarios.
void DevsecResetState();
