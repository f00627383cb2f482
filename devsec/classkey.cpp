// Per-class overrides kept in the registry, under the class key of the
// device-class GUID: an administrator's security descriptor (with device
// type, characteristics and exclusivity) for every device object of the
// class, or, where there is none, the driver's own default, recorded there.
#include "devsec_internal.h"

namespace {

// Whether the kernel accepted the template descriptor (DEVSEC_TEMPLATE_*),
// tested once per load. Racing first uses store the same result.
volatile LONG g_TemplateState;

const ULONG kMaxNameChars = 32766;

void InitKeyAttributes(POBJECT_ATTRIBUTES Attributes, PUNICODE_STRING Name, HANDLE Root,
                       PSECURITY_DESCRIPTOR SecurityDescriptor) {
    InitializeObjectAttributes(Attributes, Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root,
                               SecurityDescriptor);
}

// "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}" of the GUID, 38
// characters and a NUL. Formatted here rather than through the kernel's
// _snwprintf, which the Windows build's headers do not declare.
void PutHex(PWSTR* Out, ULONG Value, ULONG Digits) {
    static const char kHex[] = "0123456789ABCDEF";
    for (ULONG i = Digits; i-- > 0;) *(*Out)++ = (WCHAR)kHex[(Value >> (i * 4)) & 0xF];
}

void FormatClassKeyName(LPCGUID Guid, WCHAR Name[39]) {
    PWSTR p = Name;
    *p++ = '{';
    PutHex(&p, Guid->Data1, 8);
    *p++ = '-';
    PutHex(&p, Guid->Data2, 4);
    *p++ = '-';
    PutHex(&p, Guid->Data3, 4);
    *p++ = '-';
    PutHex(&p, Guid->Data4[0], 2);
    PutHex(&p, Guid->Data4[1], 2);
    *p++ = '-';
    for (ULONG i = 2; i < 8; ++i) PutHex(&p, Guid->Data4[i], 2);
    *p++ = '}';
    *p = 0;
}

}  // namespace

// Self-relative, DACL only (protected, auto-inherited): local system gets
// GENERIC_ALL, inherited by subkeys and values.
const UCHAR DevsecPropertiesTemplate[48] = {
    0x01, 0x00, 0x04, 0x94, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x02, 0x00, 0x1C, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x14, 0x00, 0x00, 0x00, 0x00, 0x10,
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,
};

LONG DevsecTemplateState() { return g_TemplateState; }
void DevsecResetTemplateState() { g_TemplateState = DEVSEC_TEMPLATE_UNTESTED; }

NTSTATUS DevsecInitName(PUNICODE_STRING Name, PCWSTR Text) {
    ULONG chars = 0;
    while (Text[chars]) {
        if (++chars > kMaxNameChars) return STATUS_NAME_TOO_LONG;
    }
    Name->Buffer = (PWSTR)Text;
    Name->Length = (USHORT)(chars * sizeof(WCHAR));
    Name->MaximumLength = (USHORT)(Name->Length + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS GetSecurityDescriptorParts(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                    PBOOLEAN DaclDefaulted, PULONG Parts) {
    *DaclDefaulted = FALSE;
    *Parts = 0;
    PSID sid = NULL;
    BOOLEAN defaulted = FALSE;
    NTSTATUS status = RtlGetOwnerSecurityDescriptor(SecurityDescriptor, &sid, &defaulted);
    if (!NT_SUCCESS(status)) return status;
    ULONG parts = sid ? OWNER_SECURITY_INFORMATION : 0;

    sid = NULL;
    status = RtlGetGroupSecurityDescriptor(SecurityDescriptor, &sid, &defaulted);
    if (!NT_SUCCESS(status)) return status;
    if (sid) parts |= GROUP_SECURITY_INFORMATION;

    BOOLEAN present = FALSE;
    BOOLEAN daclDefaulted = FALSE;
    PACL acl = NULL;
    status = RtlGetDaclSecurityDescriptor(SecurityDescriptor, &present, &acl, &daclDefaulted);
    if (!NT_SUCCESS(status)) return status;
    if (present) parts |= DACL_SECURITY_INFORMATION;
    else daclDefaulted = FALSE;

    present = FALSE;
    status = RtlGetSaclSecurityDescriptor(SecurityDescriptor, &present, &acl, &defaulted);
    if (!NT_SUCCESS(status)) return status;
    if (present) parts |= SACL_SECURITY_INFORMATION;

    *DaclDefaulted = daclDefaulted;
    *Parts = parts;
    return STATUS_SUCCESS;
}

NTSTATUS OpenClassKey(LPCGUID ClassGuid, ACCESS_MASK DesiredAccess, BOOLEAN Create,
                      PULONG Disposition, PHANDLE Key) {
    *Key = NULL;
    if (Disposition) *Disposition = 0;

    static const WCHAR kClassRoot[] =
        KTEXT("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class");
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE classRoot;
    RtlInitUnicodeString(&name, kClassRoot);
    InitKeyAttributes(&attributes, &name, NULL, NULL);
    NTSTATUS status = ZwOpenKey(&classRoot, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) return status;

    WCHAR keyName[39];
    FormatClassKeyName(ClassGuid, keyName);
    keyName[38] = 0;
    RtlInitUnicodeString(&name, keyName);
    InitKeyAttributes(&attributes, &name, classRoot, NULL);

    HANDLE key = NULL;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (Create) {
        status = ZwCreateKey(&key, DesiredAccess, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE,
                             &disposition);
    } else {
        status = ZwOpenKey(&key, DesiredAccess, &attributes);
    }
    ZwClose(classRoot);
    if (!NT_SUCCESS(status)) return status;
    *Key = key;
    if (Disposition) *Disposition = disposition;
    return STATUS_SUCCESS;
}

NTSTATUS ReadClassOverrides(LPCGUID ClassGuid, PDRIVER_OBJECT DriverObject,
                            PClassOverrides Overrides) {
    RtlZeroMemory(Overrides, sizeof(*Overrides));
    HANDLE classKey;
    ULONG disposition;
    NTSTATUS status = OpenClassKey(ClassGuid, KEY_ALL_ACCESS, TRUE, &disposition, &classKey);
    if (!NT_SUCCESS(status)) return status;

    if (disposition == REG_OPENED_EXISTING_KEY) {
        static const WCHAR kProperties[] = KTEXT("Properties");
        UNICODE_STRING name;
        OBJECT_ATTRIBUTES attributes;
        HANDLE properties;
        RtlInitUnicodeString(&name, kProperties);
        InitKeyAttributes(&attributes, &name, classKey, NULL);
        status = ZwOpenKey(&properties, KEY_READ, &attributes);
        ZwClose(classKey);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) return status;
        status = ReadPropertiesValues(properties, Overrides);
        ZwClose(properties);
        return status;
    }

    // A class key this call created is marked as the driver's own.
    static const WCHAR kClass[] = KTEXT("Class");
    static const WCHAR kNoDisplayClass[] = KTEXT("NoDisplayClass");
    static const WCHAR kNoUseClass[] = KTEXT("NoUseClass");
    static const WCHAR kOne[] = KTEXT("1");
    UNICODE_STRING one;
    RtlInitUnicodeString(&one, kOne);
    status = WriteRegistryString(classKey, kClass, &DriverObject->DriverExtension->ServiceKeyName);
    if (NT_SUCCESS(status)) status = WriteRegistryString(classKey, kNoDisplayClass, &one);
    if (NT_SUCCESS(status)) status = WriteRegistryString(classKey, kNoUseClass, &one);
    ZwClose(classKey);
    return status;
}

NTSTATUS ReadPropertiesValues(HANDLE PropertiesKey, PClassOverrides Overrides) {
    RtlZeroMemory(Overrides, sizeof(*Overrides));

    static const WCHAR kSecurity[] = KTEXT("Security");
    PKEY_VALUE_FULL_INFORMATION value = NULL;
    PSECURITY_DESCRIPTOR captured = NULL;
    // Room for a typical descriptor on the first query.
    NTSTATUS status = ReadRegistryValue(PropertiesKey, kSecurity, REG_BINARY, 128, &value);
    if (NT_SUCCESS(status)) {
        PSECURITY_DESCRIPTOR data = (PUCHAR)value + value->DataOffset;
        // Capture trusts the offsets inside a descriptor; what comes from the
        // registry is checked against the value's own length first.
        if (!RtlValidRelativeSecurityDescriptor(data, value->DataLength, 0))
            status = STATUS_INVALID_SECURITY_DESCR;
        else
            status = SeCaptureSecurityDescriptor(data, KernelMode, DEVSEC_PAGED_POOL, TRUE, &captured);
        ExFreePoolWithTag(value, 0);
        if (!NT_SUCCESS(status)) {
            RtlZeroMemory(Overrides, sizeof(*Overrides));
            return status;
        }
    } else if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        status = STATUS_SUCCESS;
    } else {
        RtlZeroMemory(Overrides, sizeof(*Overrides));
        return status;
    }

    if (captured) {
        BOOLEAN daclDefaulted;
        ULONG parts;
        status = GetSecurityDescriptorParts(captured, &daclDefaulted, &parts);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(captured, 0);
            RtlZeroMemory(Overrides, sizeof(*Overrides));
            return status;
        }
        if (!daclDefaulted) {
            Overrides->Flags |= OVERRIDE_SECURITY;
            Overrides->SecurityDescriptor = captured;
        } else {
            // The driver's own stored default: not an administrator's choice.
            ExFreePoolWithTag(captured, 0);
        }
    }

    static const struct {
        const WCHAR* Name;
        ULONG Flag;
    } kDwords[] = {
        {KTEXT("DeviceType"), OVERRIDE_DEVICE_TYPE},
        {KTEXT("DeviceCharacteristics"), OVERRIDE_CHARACTERISTICS},
        {KTEXT("Exclusive"), OVERRIDE_EXCLUSIVE},
    };
    for (ULONG i = 0; i < ARRAYSIZE(kDwords); ++i) {
        ULONG data;
        status = ReadRegistryDword(PropertiesKey, kDwords[i].Name, 0, &data);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) continue;
        if (!NT_SUCCESS(status)) {
            FreeClassOverrides(Overrides);
            return status;
        }
        switch (kDwords[i].Flag) {
        case OVERRIDE_DEVICE_TYPE: Overrides->DeviceType = data; break;
        case OVERRIDE_CHARACTERISTICS: Overrides->DeviceCharacteristics = data; break;
        case OVERRIDE_EXCLUSIVE: Overrides->Exclusive = data; break;
        }
        Overrides->Flags |= kDwords[i].Flag;
    }
    return STATUS_SUCCESS;
}

NTSTATUS StoreDefaultClassSecurity(LPCGUID ClassGuid, const ClassOverrides* Overrides) {
    HANDLE classKey;
    NTSTATUS status = OpenClassKey(ClassGuid, KEY_ALL_ACCESS, FALSE, NULL, &classKey);
    if (!NT_SUCCESS(status)) return status;

    PSECURITY_DESCRIPTOR templateSd = (PSECURITY_DESCRIPTOR)DevsecPropertiesTemplate;
    if (g_TemplateState == DEVSEC_TEMPLATE_UNTESTED) {
        PSECURITY_DESCRIPTOR captured = NULL;
        if (NT_SUCCESS(SeCaptureSecurityDescriptor(templateSd, KernelMode, DEVSEC_PAGED_POOL, TRUE,
                                                   &captured))) {
            ExFreePoolWithTag(captured, 0);
            g_TemplateState = DEVSEC_TEMPLATE_VALID;
        } else {
            g_TemplateState = DEVSEC_TEMPLATE_INVALID;
        }
    }

    static const WCHAR kProperties[] = KTEXT("Properties");
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE properties;
    ULONG disposition;
    RtlInitUnicodeString(&name, kProperties);
    InitKeyAttributes(&attributes, &name, classKey,
                      g_TemplateState == DEVSEC_TEMPLATE_VALID ? templateSd : NULL);
    status = ZwCreateKey(&properties, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE,
                         &disposition);
    ZwClose(classKey);
    if (!NT_SUCCESS(status)) return status;

    static const WCHAR kSecurity[] = KTEXT("Security");
    RtlInitUnicodeString(&name, kSecurity);
    status = ZwSetValueKey(properties, &name, 0, REG_BINARY, Overrides->SecurityDescriptor,
                           RtlLengthSecurityDescriptor(Overrides->SecurityDescriptor));
    ZwClose(properties);
    return status;
}

NTSTATUS ReadRegistryDword(HANDLE Key, PCWSTR Name, ULONG Default, PULONG Value) {
    *Value = Default;
    UNICODE_STRING name;
    NTSTATUS status = DevsecInitName(&name, Name);
    if (!NT_SUCCESS(status)) return status;

    ULONG buffer[4];  // KEY_VALUE_PARTIAL_INFORMATION with four bytes of data
    RtlZeroMemory(buffer, sizeof(buffer));
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    ULONG resultLength = 0;
    status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, sizeof(buffer),
                             &resultLength);
    if (!NT_SUCCESS(status)) return status;
    // A REG_DWORD shorter than four bytes has no value to read.
    if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
        return STATUS_OBJECT_TYPE_MISMATCH;
    RtlCopyMemory(Value, info->Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS ReadRegistryValue(HANDLE Key, PCWSTR Name, ULONG Type, ULONG Extra,
                           PKEY_VALUE_FULL_INFORMATION* Buffer) {
    *Buffer = NULL;
    UNICODE_STRING name;
    NTSTATUS status = DevsecInitName(&name, Name);
    if (!NT_SUCCESS(status)) return status;

    ULONG size = ((ULONG)name.Length + 31) & ~7u;
    if (size + Extra < size) return STATUS_INTEGER_OVERFLOW;
    size += Extra;

    PKEY_VALUE_FULL_INFORMATION info =
        (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(DEVSEC_NONPAGED_NX, size, DEVSEC_TAG_VALUE);
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG needed = 0;
    status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, size, &needed);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        ExFreePoolWithTag(info, 0);
        size = needed;
        info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(DEVSEC_NONPAGED_NX, size,
                                                                 DEVSEC_TAG_VALUE);
        if (!info) return STATUS_INSUFFICIENT_RESOURCES;
        status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, size, &needed);
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(info, 0);
        return status;
    }
    if (Type != REG_NONE && info->Type != Type) {
        ExFreePoolWithTag(info, 0);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Buffer = info;
    return STATUS_SUCCESS;
}

NTSTATUS WriteRegistryString(HANDLE Key, PCWSTR Name, PUNICODE_STRING String) {
    UNICODE_STRING name;
    NTSTATUS status = DevsecInitName(&name, Name);
    if (!NT_SUCCESS(status)) return status;

    ULONG chars = String->Length / sizeof(WCHAR);
    if (String->Buffer && String->MaximumLength >= String->Length + sizeof(WCHAR)) {
        // Terminate in place; a string that already is (a literal in
        // read-only memory, say) is left untouched.
        if (String->Buffer[chars] != 0) String->Buffer[chars] = 0;
        return ZwSetValueKey(Key, &name, 0, REG_SZ, String->Buffer, String->Length + sizeof(WCHAR));
    }
    PWSTR copy = (PWSTR)ExAllocatePoolWithTag(DEVSEC_PAGED_POOL, String->Length + sizeof(WCHAR),
                                              DEVSEC_TAG_STRING);
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    if (String->Length) RtlCopyMemory(copy, String->Buffer, String->Length);
    copy[chars] = 0;
    status = ZwSetValueKey(Key, &name, 0, REG_SZ, copy, String->Length + sizeof(WCHAR));
    ExFreePoolWithTag(copy, 0);
    return status;
}
