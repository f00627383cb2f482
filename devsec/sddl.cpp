// Security descriptor text -> self-relative security descriptor.
//
// The subset understood here is what device objects need: a discretionary
// ACL ("D:", optionally protected with "P") of access-allowed entries with
// no flags, object types or inheritance, rights given as two-letter tokens
// or numbers, and trustees given as two-letter aliases of well-known SIDs.
// When the kernel has its own converter, that one is used instead.
#include "devsec_internal.h"

namespace {

const WCHAR kSpace = 0x20;
const ULONG kSddlRevision = 1;

inline WCHAR Upper(WCHAR c) { return (c >= 'a' && c <= 'z') ? (WCHAR)(c - 'a' + 'A') : c; }

// Compares two characters of Text with a two-letter upper-case name. A NUL in
// Text mismatches at its position, so nothing past the end is read.
inline BOOLEAN Match2(PCWSTR Text, const char* Name) {
    return Upper(Text[0]) == (WCHAR)Name[0] && Upper(Text[1]) == (WCHAR)Name[1];
}

inline PCWSTR SkipSpaces(PCWSTR p) {
    while (*p == kSpace) ++p;
    return p;
}

// How a row of the alias table finds its SID in the kernel's export table.
enum SidSlot {
    SlotWorld, SlotAdmins, SlotLocalSystem, SlotInteractive, SlotRestricted,
    SlotAuthenticatedUsers, SlotNetwork, SlotAnonymousLogon, SlotGuests, SlotUsers,
    SlotLocalService, SlotNetworkService, SlotAllAppPackages, SlotUserModeDrivers
};

struct SidAlias {
    char Alias[3];
    UCHAR Slot;
    BOOLEAN NeedsWdm132;
};

const SidAlias kSidAliases[] = {
    {"WD", SlotWorld, FALSE},
    {"BA", SlotAdmins, FALSE},
    {"SY", SlotLocalSystem, FALSE},
    {"IU", SlotInteractive, FALSE},
    {"RC", SlotRestricted, FALSE},
    {"AU", SlotAuthenticatedUsers, FALSE},
    {"NU", SlotNetwork, FALSE},
    {"AN", SlotAnonymousLogon, FALSE},
    {"BG", SlotGuests, FALSE},
    {"BU", SlotUsers, FALSE},
    {"LS", SlotLocalService, TRUE},
    {"NS", SlotNetworkService, TRUE},
    {"AC", SlotAllAppPackages, TRUE},
    {"UD", SlotUserModeDrivers, TRUE},
};

struct AccessRight {
    char Token[3];
    ACCESS_MASK Mask;
};

const AccessRight kAccessRights[] = {
    {"RC", 0x00020000},  // READ_CONTROL
    {"WD", 0x00040000},  // WRITE_DAC
    {"WO", 0x00080000},  // WRITE_OWNER
    {"SD", 0x00010000},  // DELETE
    {"GA", 0x10000000},  // GENERIC_ALL
    {"GR", 0x80000000},  // GENERIC_READ
    {"GW", 0x40000000},  // GENERIC_WRITE
    {"GX", 0x20000000},  // GENERIC_EXECUTE
};

// The two capability SIDs joined the kernel's export table after
// SeOwnerRightsSid, where older headers end the record; they are reached
// through the slots that follow it.
PSID TailSid(PSE_EXPORTS Exports, ULONG Index) {
    return *(PSID*)((PUCHAR)Exports + FIELD_OFFSET(SE_EXPORTS, SeOwnerRightsSid) +
                    Index * sizeof(PSID));
}

PSID SidOfSlot(UCHAR Slot) {
    PSE_EXPORTS e = SeExports;
    switch (Slot) {
    case SlotWorld: return e->SeWorldSid;
    case SlotAdmins: return e->SeAliasAdminsSid;
    case SlotLocalSystem: return e->SeLocalSystemSid;
    case SlotInteractive: return e->SeInteractiveSid;
    case SlotRestricted: return e->SeRestrictedSid;
    case SlotAuthenticatedUsers: return e->SeAuthenticatedUsersSid;
    case SlotNetwork: return e->SeNetworkSid;
    case SlotAnonymousLogon: return e->SeAnonymousLogonSid;
    case SlotGuests: return e->SeAliasGuestsSid;
    case SlotUsers: return e->SeAliasUsersSid;
    case SlotLocalService: return e->SeLocalServiceSid;
    case SlotNetworkService: return e->SeNetworkServiceSid;
    case SlotAllAppPackages: return TailSid(e, 1);
    case SlotUserModeDrivers: return TailSid(e, 2);
    }
    return NULL;
}

PACL AllocateAcl(ULONG Size) {
    PACL acl = (PACL)ExAllocatePoolWithTag(DEVSEC_PAGED_POOL, Size, DEVSEC_TAG_ACL);
    if (!acl) return NULL;
    RtlZeroMemory(acl, Size);
    acl->AclRevision = ACL_REVISION;
    acl->Sbz1 = 0;
    acl->AclSize = (USHORT)Size;
    acl->AceCount = 0;
    acl->Sbz2 = 0;
    return acl;
}

// An ACL's size is a 16-bit count of bytes that stays a multiple of four.
const ULONG kLargestAcl = 0xFFFC;

}  // namespace

BOOLEAN LookupSidAlias(PCWSTR Text, PSID* Sid) {
    *Sid = NULL;
    for (ULONG i = 0; i < ARRAYSIZE(kSidAliases); ++i) {
        if (!Match2(Text, kSidAliases[i].Alias)) continue;
        if (kSidAliases[i].NeedsWdm132 && !IoIsWdmVersionAvailable(1, 0x20)) return TRUE;
        *Sid = SidOfSlot(kSidAliases[i].Slot);
        return TRUE;
    }
    return FALSE;
}

BOOLEAN LookupAccessRight(PCWSTR Text, PACCESS_MASK Mask) {
    for (ULONG i = 0; i < ARRAYSIZE(kAccessRights); ++i) {
        if (Match2(Text, kAccessRights[i].Token)) {
            *Mask = kAccessRights[i].Mask;
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN ParseSddlNumber(PCWSTR* Cursor, PULONG Value) {
    PCWSTR p = *Cursor;
    ULONG base = 16;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
    } else if (p[0] >= '0' && p[0] <= '9') {
        base = 10;
    }
    ULONG value = 0;
    ULONG digits = 0;
    for (;; ++p) {
        ULONG digit;
        WCHAR c = *p;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else break;
        // Every step is checked exactly: a wrap-around test alone lets
        // values such as 0x1FFFFFFFF through as 0xFFFFFFFF.
        if (value > (0xFFFFFFFFu - digit) / base) return FALSE;
        value = value * base + digit;
        ++digits;
    }
    if (digits == 0) return FALSE;
    *Value = value;
    *Cursor = p;
    return TRUE;
}

NTSTATUS AppendAllowedAce(PACL* Acl, PULONG Used, ACCESS_MASK Mask, ULONG Remaining, PSID Sid) {
    PACL acl = *Acl;
    ULONG aceSize = 8 + RtlLengthSid(Sid);
    ULONG used = *Used;
    if (used + aceSize > kLargestAcl) return STATUS_ALLOTTED_SPACE_EXCEEDED;
    if (used + aceSize > acl->AclSize) {
        ULONGLONG wanted = (ULONGLONG)aceSize * (Remaining ? Remaining : 1) + used;
        ULONG size = wanted > kLargestAcl ? kLargestAcl : (ULONG)wanted;
        PACL grown = (PACL)ExAllocatePoolWithTag(DEVSEC_PAGED_POOL, size, DEVSEC_TAG_ACL);
        if (!grown) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(grown, size);
        RtlCopyMemory(grown, acl, used);
        grown->AclSize = (USHORT)size;
        ExFreePoolWithTag(acl, 0);
        acl = grown;
        *Acl = acl;
    }
    *Used = used + aceSize;
    return RtlAddAccessAllowedAce(acl, ACL_REVISION, Mask, Sid);
}

NTSTATUS ParseSddlAceList(PCWSTR Text, PACL* Acl, PCWSTR* SectionEnd) {
    *Acl = NULL;
    *SectionEnd = NULL;
    if (Text[0] == ':') return STATUS_INVALID_PARAMETER;

    // The section runs up to the letter that names the next one.
    PCWSTR end = Text;
    while (*end && *end != ':') ++end;
    if (*end == ':') --end;

    ULONG semicolons = 0;
    BOOLEAN other = FALSE;
    for (PCWSTR p = Text; p < end; ++p) {
        if (*p == ';') ++semicolons;
        else if (*p != kSpace) other = TRUE;
    }
    if (semicolons == 0 && other) return STATUS_INVALID_PARAMETER;
    if (semicolons % 5 != 0) return STATUS_INVALID_PARAMETER;
    ULONG aces = semicolons / 5;

    ULONGLONG initial = (ULONGLONG)aces * 48 + 8;
    PACL acl = AllocateAcl(aces == 0 ? 8 : (initial > 0xFFFF ? 0xFFFF : (ULONG)initial));
    if (!acl) return STATUS_INSUFFICIENT_RESOURCES;
    if (aces == 0) {
        *Acl = acl;
        *SectionEnd = end;
        return STATUS_SUCCESS;
    }

    NTSTATUS status = STATUS_SUCCESS;
    ULONG used = 8;
    PCWSTR p = Text;
    for (ULONG i = 0; i < aces; ++i) {
        ACCESS_MASK mask = 0;
        p = SkipSpaces(p);
        if (*p == '(') p = SkipSpaces(p + 1);

        // Type: access allowed only; the character after it closes the field.
        if (*p != 'A' && *p != 'a') { status = STATUS_INVALID_PARAMETER; break; }
        ++p;
        if (*p == 0) { status = STATUS_INVALID_PARAMETER; break; }
        ++p;

        // Flags: must be empty.
        p = SkipSpaces(p);
        if (*p != ';') { status = STATUS_INVALID_PARAMETER; break; }
        p = SkipSpaces(p + 1);

        // Rights: tokens OR together; a number replaces what came before.
        for (;;) {
            p = SkipSpaces(p);
            if (*p == ';') { ++p; break; }
            ACCESS_MASK right;
            ULONG number;
            if (LookupAccessRight(p, &right)) {
                mask |= right;
                p += 2;
            } else if (ParseSddlNumber(&p, &number)) {
                mask = number;
            } else {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
        }
        if (!NT_SUCCESS(status)) break;

        // Object type and inherited object type: must be empty.
        p = SkipSpaces(p);
        if (*p != ';') { status = STATUS_INVALID_PARAMETER; break; }
        p = SkipSpaces(p + 1);
        if (*p != ';') { status = STATUS_INVALID_PARAMETER; break; }
        p = SkipSpaces(p + 1);

        PSID sid;
        if (!LookupSidAlias(p, &sid)) { status = STATUS_NONE_MAPPED; break; }
        p = SkipSpaces(p + 2);
        if (*p != ')') { status = STATUS_INVALID_ACL; break; }
        ++p;
        if (*p == '(') ++p;

        if (sid) {
            status = AppendAllowedAce(&acl, &used, mask, aces - i, sid);
            if (!NT_SUCCESS(status)) break;
        }
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(acl, 0);
        return status;
    }
    acl->AclSize = (USHORT)used;
    *Acl = acl;
    *SectionEnd = end;
    return STATUS_SUCCESS;
}

NTSTATUS ParseSddlDacl(PCWSTR Text, BOOLEAN Defaulted, PACL* Acl,
                       SECURITY_DESCRIPTOR_CONTROL* Control) {
    *Acl = NULL;
    *Control = 0;
    PCWSTR p = SkipSpaces(Text);
    if (p[0] != 'D' || p[1] != ':') return STATUS_INVALID_PARAMETER;
    p += 2;
    SECURITY_DESCRIPTOR_CONTROL control = Defaulted ? SE_DACL_DEFAULTED : 0;
    if (*p == 'P') {
        control |= SE_DACL_PROTECTED;
        ++p;
    }
    PACL acl;
    PCWSTR end;
    NTSTATUS status = ParseSddlAceList(p, &acl, &end);
    if (!NT_SUCCESS(status)) return status;
    end = SkipSpaces(end);
    if (*end != 0) {
        ExFreePoolWithTag(acl, 0);
        return STATUS_INVALID_PARAMETER;
    }
    *Acl = acl;
    *Control = control;
    return STATUS_SUCCESS;
}

NTSTATUS SddlToSecurityDescriptor(PCUNICODE_STRING String, BOOLEAN Defaulted,
                                  PSECURITY_DESCRIPTOR* SecurityDescriptor) {
    *SecurityDescriptor = NULL;

    // The text as one NUL-terminated string: in place when it already is.
    PWSTR copy = NULL;
    PCWSTR text;
    ULONG chars = String->Length / sizeof(WCHAR);
    if (String->Buffer && String->MaximumLength == String->Length + sizeof(WCHAR) &&
        String->Buffer[chars] == 0) {
        text = String->Buffer;
    } else {
        copy = (PWSTR)ExAllocatePoolWithTag(DEVSEC_PAGED_POOL, String->Length + sizeof(WCHAR),
                                            DEVSEC_TAG_TEXT);
        if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
        if (String->Length) RtlCopyMemory(copy, String->Buffer, String->Length);
        copy[chars] = 0;
        text = copy;
    }

    NTSTATUS status;
    UNICODE_STRING routineName;
    static const WCHAR kConverter[] = KTEXT("SeConvertStringSecurityDescriptorToSecurityDescriptor");
    RtlInitUnicodeString(&routineName, kConverter);
    PSE_CONVERT_STRING_SD convert = (PSE_CONVERT_STRING_SD)MmGetSystemRoutineAddress(&routineName);
    if (convert) {
        PSECURITY_DESCRIPTOR sd = NULL;
        status = convert(text, kSddlRevision, &sd, NULL);
        if (NT_SUCCESS(status)) {
            if (Defaulted) ((PISECURITY_DESCRIPTOR_RELATIVE)sd)->Control |= SE_DACL_DEFAULTED;
            *SecurityDescriptor = sd;
        }
        if (copy) ExFreePoolWithTag(copy, 0);
        return status;
    }

    PACL acl;
    SECURITY_DESCRIPTOR_CONTROL control;
    status = ParseSddlDacl(text, Defaulted, &acl, &control);
    if (copy) ExFreePoolWithTag(copy, 0);
    if (!NT_SUCCESS(status)) return status;

    SECURITY_DESCRIPTOR absolute;
    PSECURITY_DESCRIPTOR self = NULL;
    ULONG length = 0;
    status = RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE);
    if (NT_SUCCESS(status)) {
        absolute.Control |= control;
        status = RtlAbsoluteToSelfRelativeSD(&absolute, NULL, &length);
        if (status == STATUS_BUFFER_TOO_SMALL) {
            self = ExAllocatePoolWithTag(DEVSEC_PAGED_POOL, length, DEVSEC_TAG_DESCRIPTOR);
            status = self ? RtlAbsoluteToSelfRelativeSD(&absolute, self, &length)
                          : STATUS_INSUFFICIENT_RESOURCES;
        } else if (NT_SUCCESS(status)) {
            // A length query cannot succeed without a buffer.
            status = STATUS_UNSUCCESSFUL;
        }
    }
    ExFreePoolWithTag(acl, 0);
    if (!NT_SUCCESS(status)) {
        if (self) ExFreePoolWithTag(self, 0);
        return status;
    }
    *SecurityDescriptor = self;
    return STATUS_SUCCESS;
}
