// The run-time library: memory and counted-string routines and the wide
// C run-time routines the kernel exports (over 16-bit WCHAR).
#include <cstdio>
#include <cstring>

#include "ke_internal.h"

namespace {
constexpr ULONG kStringTag = hk::MakeTag("Strg");

WCHAR Upcase(WCHAR c) {
    if (c >= u'a' && c <= u'z') return (WCHAR)(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (WCHAR)(c - 32);  // Latin-1 letters
    return c;
}
}  // namespace

EXTERN_C void NTAPI RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    std::memcpy(Destination, Source, Length);
}
EXTERN_C void NTAPI RtlMoveMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    std::memmove(Destination, Source, Length);
}
EXTERN_C void NTAPI RtlZeroMemory(PVOID Destination, SIZE_T Length) { std::memset(Destination, 0, Length); }
EXTERN_C void NTAPI RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) {
    std::memset(Destination, Fill, Length);
}
EXTERN_C SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
    const UCHAR* a = (const UCHAR*)Source1;
    const UCHAR* b = (const UCHAR*)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

EXTERN_C void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    SIZE_T bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    DestinationString->Buffer = (PWSTR)SourceString;
}

EXTERN_C void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    SIZE_T n = std::strlen(SourceString);
    if (n > 0xFFFE) n = 0xFFFE;
    DestinationString->Length = (USHORT)n;
    DestinationString->MaximumLength = (USHORT)(n + 1);
    DestinationString->Buffer = (PCHAR)SourceString;
}

EXTERN_C void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

EXTERN_C void NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer) ExFreePool(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

EXTERN_C void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                       : DestinationString->MaximumLength;
    std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / 2] = 0;
}

EXTERN_C LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / 2, n2 = String2->Length / 2;
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b) return (LONG)a - (LONG)b;
    }
    return (LONG)n1 - (LONG)n2;
}

EXTERN_C BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source) return STATUS_SUCCESS;
    SIZE_T bytes = wcslen(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove((PCHAR)Destination->Buffer + Destination->Length, Source, bytes);
    Destination->Length = (USHORT)(Destination->Length + bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / 2] = 0;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                       PCUNICODE_STRING Source) {
    if (!Source || Source->Length == 0) return STATUS_SUCCESS;
    if ((SIZE_T)Destination->Length + Source->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove((PCHAR)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = (USHORT)(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / 2] = 0;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  (unsigned)Guid.Data1, Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1],
                  Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5], Guid.Data4[6],
                  Guid.Data4[7]);
    PWSTR buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, 39 * sizeof(WCHAR), kStringTag);
    if (!buffer) return STATUS_NO_MEMORY;
    for (int i = 0; i < 39; ++i) buffer[i] = (WCHAR)(unsigned char)text[i];
    GuidString->Buffer = buffer;
    GuidString->Length = 38 * sizeof(WCHAR);
    GuidString->MaximumLength = 39 * sizeof(WCHAR);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                     PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString) {
    size_t n = SourceString->Length / 2;
    if (n > 0xFFFE) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        DestinationString->Buffer = (PCHAR)ExAllocatePoolWithTag(PagedPool, n + 1, kStringTag);
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = (USHORT)(n + 1);
    } else if (n >= DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        status = STATUS_BUFFER_OVERFLOW;
        n = DestinationString->MaximumLength - 1u;
    }
    for (size_t i = 0; i < n; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x80 ? (char)c : '?';
    }
    DestinationString->Buffer[n] = 0;
    DestinationString->Length = (USHORT)n;
    return status;
}

// --- wide C run-time ---------------------------------------------------------------------
int __cdecl _wcsnicmp(const WCHAR* String1, const WCHAR* String2, SIZE_T Count) {
    for (SIZE_T i = 0; i < Count; ++i) {
        WCHAR a = String1[i], b = String2[i];
        // the CRT folds to lower case for the comparison
        if (a >= u'A' && a <= u'Z') a = (WCHAR)(a + 32);
        if (b >= u'A' && b <= u'Z') b = (WCHAR)(b + 32);
        if (a != b) return (int)a - (int)b;
        if (!a) return 0;
    }
    return 0;
}

int __cdecl _wcsicmp(const WCHAR* String1, const WCHAR* String2) {
    return _wcsnicmp(String1, String2, (SIZE_T)-1);
}

const WCHAR* __cdecl wcschr(const WCHAR* String, WCHAR Character) {
    for (;; ++String) {
        if (*String == Character) return String;
        if (!*String) return nullptr;
    }
}

WCHAR* __cdecl wcschr(WCHAR* String, WCHAR Character) {
    return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(String), Character));
}

SIZE_T __cdecl wcslen(const WCHAR* String) {
    SIZE_T n = 0;
    while (String[n]) ++n;
    return n;
}

SIZE_T __cdecl wcsnlen(const WCHAR* String, SIZE_T MaxCount) {
    SIZE_T n = 0;
    while (n < MaxCount && String[n]) ++n;
    return n;
}
