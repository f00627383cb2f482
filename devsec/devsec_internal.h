// Inner routines of the secure device-creation library: the SDDL subset,
// the application of a descriptor to a device object and the per-class
// registry overrides. The bus driver needs only devsec.h; these are here for
// the library's own files and its tests.
#pragma once

#include "devsec.h"

// Pool tags, as the four characters read in memory.
#define DEVSEC_TAG_TEXT        0x73546553u  // "SeTs": NUL-terminated copy of the text
#define DEVSEC_TAG_ACL         0x6C416553u  // "SeAl": access-control list being built
#define DEVSEC_TAG_DESCRIPTOR  0x64536553u  // "SeSd": finished self-relative descriptor
#define DEVSEC_TAG_VALUE       0x62527050u  // "PpRb": registry value buffer
#define DEVSEC_TAG_STRING      0x63557050u  // "PpUc": terminated copy of a string value

// Pool types by number, so the same code reads the same on both platforms.
#define DEVSEC_PAGED_POOL      ((POOL_TYPE)1)
#define DEVSEC_NONPAGED_NX     ((POOL_TYPE)0x200)

// --- per-class overrides -------------------------------------------------------
#define OVERRIDE_DEVICE_TYPE      0x1u
#define OVERRIDE_SECURITY         0x2u
#define OVERRIDE_CHARACTERISTICS  0x4u
#define OVERRIDE_EXCLUSIVE        0x8u

typedef struct _ClassOverrides {
    ULONG Flags;
    ULONG DeviceType;
    PSECURITY_DESCRIPTOR SecurityDescriptor;  // owned; valid with OVERRIDE_SECURITY
    ULONG DeviceCharacteristics;
    ULONG Exclusive;                          // low byte used
} ClassOverrides, *PClassOverrides;

// Frees the record's descriptor (when it owns one) and clears the record.
void FreeClassOverrides(PClassOverrides Overrides);

// --- creation -------------------------------------------------------------------
NTSTATUS NTAPI CreateDeviceSecureFallback(
    PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
    DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
    PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid, PDEVICE_OBJECT* DeviceObject);

NTSTATUS ApplyDeviceSecurity(PDEVICE_OBJECT DeviceObject, const ClassOverrides* Overrides);

// --- the SDDL subset -------------------------------------------------------------
// The kernel's converter, when the running kernel exports it.
typedef NTSTATUS (NTAPI *PSE_CONVERT_STRING_SD)(
    PCWSTR StringSecurityDescriptor, ULONG StringSDRevision,
    PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG SecurityDescriptorSize);

// Self-relative descriptor from paged pool ("SeSd" when built here); the
// caller frees it with ExFreePoolWithTag(.., 0).
NTSTATUS SddlToSecurityDescriptor(PCUNICODE_STRING String, BOOLEAN Defaulted,
                                  PSECURITY_DESCRIPTOR* SecurityDescriptor);

// Text must be NUL-terminated. On success *Acl is from paged pool ("SeAl").
NTSTATUS ParseSddlDacl(PCWSTR Text, BOOLEAN Defaulted, PACL* Acl,
                       SECURITY_DESCRIPTOR_CONTROL* Control);
NTSTATUS ParseSddlAceList(PCWSTR Text, PACL* Acl, PCWSTR* SectionEnd);

// Appends one access-allowed entry, growing the list (room for Remaining
// entries of this size) when it is full. *Acl may be replaced.
NTSTATUS AppendAllowedAce(PACL* Acl, PULONG Used, ACCESS_MASK Mask, ULONG Remaining, PSID Sid);

// Reads a number at *Cursor and advances past it; FALSE when none was read
// or it does not fit in 32 bits.
BOOLEAN ParseSddlNumber(PCWSTR* Cursor, PULONG Value);

// TRUE when the two characters at Text name an alias of the table; *Sid is
// then the SID, or NULL when the alias needs a newer system than this one.
BOOLEAN LookupSidAlias(PCWSTR Text, PSID* Sid);

// TRUE when the two characters at Text are an access-right token.
BOOLEAN LookupAccessRight(PCWSTR Text, PACCESS_MASK Mask);

// --- class keys in the registry -----------------------------------------------------
#define DEVSEC_TEMPLATE_UNTESTED 0
#define DEVSEC_TEMPLATE_VALID    1
#define DEVSEC_TEMPLATE_INVALID  2

// The 48-byte descriptor a newly created "Properties" key is given, and its
// tested state (one of DEVSEC_TEMPLATE_*).
extern const UCHAR DevsecPropertiesTemplate[48];
LONG DevsecTemplateState();

NTSTATUS OpenClassKey(LPCGUID ClassGuid, ACCESS_MASK DesiredAccess, BOOLEAN Create,
                      PULONG Disposition, PHANDLE Key);
NTSTATUS ReadClassOverrides(LPCGUID ClassGuid, PDRIVER_OBJECT DriverObject,
                            PClassOverrides Overrides);
NTSTATUS ReadPropertiesValues(HANDLE PropertiesKey, PClassOverrides Overrides);
NTSTATUS StoreDefaultClassSecurity(LPCGUID ClassGuid, const ClassOverrides* Overrides);
NTSTATUS ReadRegistryDword(HANDLE Key, PCWSTR Name, ULONG Default, PULONG Value);
NTSTATUS ReadRegistryValue(HANDLE Key, PCWSTR Name, ULONG Type, ULONG Extra,
                           PKEY_VALUE_FULL_INFORMATION* Buffer);
NTSTATUS WriteRegistryString(HANDLE Key, PCWSTR Name, PUNICODE_STRING String);
NTSTATUS GetSecurityDescriptorParts(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                    PBOOLEAN DaclDefaulted, PULONG Parts);

// Counted form of a NUL-terminated name; STATUS_NAME_TOO_LONG past 32766
// characters.
NTSTATUS DevsecInitName(PUNICODE_STRING Name, PCWSTR Text);

void DevsecResetTemplateState();

// The kernel's object type of device objects (a real export that not every
// header declares).
extern "C" NTKERNELAPI POBJECT_TYPE* IoDeviceObjectType;
