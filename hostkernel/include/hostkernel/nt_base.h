// Basic types of the Windows kernel API with their x64 (LLP64) widths,
// status codes, counted strings, GUIDs and the inline doubly linked list
// operations. Every other WDK-facing header of hostkernel builds on this one.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define FASTCALL
#define __cdecl
#define DECLSPEC_NORETURN [[noreturn]]
#define FORCEINLINE inline
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#ifndef EXTERN_C
#define EXTERN_C extern "C"
#endif

typedef void VOID, *PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR, *PSTR;
typedef const char* PCSTR;
typedef int8_t CCHAR;
typedef uint8_t UCHAR, *PUCHAR;
typedef int16_t SHORT, *PSHORT, CSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG, *PLONGLONG, LONG64;
typedef uint64_t ULONGLONG, *PULONGLONG, ULONG64, DWORD64;
typedef intptr_t LONG_PTR, *PLONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, SIZE_T, *PSIZE_T, KAFFINITY;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE, *PBYTE;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef int BOOL;
typedef char16_t WCHAR, *PWCHAR, *PWCH, *PWSTR;
typedef const char16_t *PCWSTR, *PCWCH;
typedef PVOID HANDLE, *PHANDLE;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef ULONG LOGICAL;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int32_t INT32;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL nullptr
#endif
#define ANYSIZE_ARRAY 1
#define MAXULONG 0xFFFFFFFFu
#define MAXUSHORT 0xFFFFu
#define MAXLONG 0x7FFFFFFF

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARRAYSIZE(A) (sizeof(A) / sizeof((A)[0]))
#define RTL_NUMBER_OF(A) ARRAYSIZE(A)

typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

// --- status codes -----------------------------------------------------------
#define STATUS_SUCCESS                  ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0                   ((NTSTATUS)0x00000000L)
#define STATUS_ALERTED                  ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT                  ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                  ((NTSTATUS)0x00000103L)
#define STATUS_REPARSE                  ((NTSTATUS)0x00000104L)
#define STATUS_MORE_ENTRIES             ((NTSTATUS)0x00000105L)
#define STATUS_BUFFER_OVERFLOW          ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY              ((NTSTATUS)0x80000011L)
#define STATUS_NO_MORE_ENTRIES          ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL             ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED          ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_INFO_CLASS       ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH     ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION         ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE           ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER        ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE           ((NTSTATUS)0xC000000EL)
#define STATUS_NO_SUCH_FILE             ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST   ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE              ((NTSTATUS)0xC0000011L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY                ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED            ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL         ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH     ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID      ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND    ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION    ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND    ((NTSTATUS)0xC000003AL)
#define STATUS_DELETE_PENDING           ((NTSTATUS)0xC0000056L)
#define STATUS_UNKNOWN_REVISION         ((NTSTATUS)0xC0000058L)
#define STATUS_REVISION_MISMATCH        ((NTSTATUS)0xC0000059L)
#define STATUS_NO_SUCH_PRIVILEGE        ((NTSTATUS)0xC0000060L)
#define STATUS_NONE_MAPPED              ((NTSTATUS)0xC0000073L)
#define STATUS_INVALID_ACL              ((NTSTATUS)0xC0000077L)
#define STATUS_INVALID_SID              ((NTSTATUS)0xC0000078L)
#define STATUS_INVALID_SECURITY_DESCR   ((NTSTATUS)0xC0000079L)
#define STATUS_BAD_INHERITANCE_ACL      ((NTSTATUS)0xC000007DL)
#define STATUS_INTEGER_OVERFLOW         ((NTSTATUS)0xC0000095L)
#define STATUS_ALLOTTED_SPACE_EXCEEDED  ((NTSTATUS)0xC0000099L)
#define STATUS_INSUFFICIENT_RESOURCES   ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED     ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_NOT_READY         ((NTSTATUS)0xC00000A3L)
#define STATUS_ILLEGAL_FUNCTION         ((NTSTATUS)0xC00000AFL)
#define STATUS_NOT_SUPPORTED            ((NTSTATUS)0xC00000BBL)
#define STATUS_NO_SECURITY_ON_OBJECT    ((NTSTATUS)0xC00000D7L)
#define STATUS_BAD_DESCRIPTOR_FORMAT    ((NTSTATUS)0xC00000E7L)
#define STATUS_INVALID_USER_BUFFER      ((NTSTATUS)0xC00000E8L)
#define STATUS_CANCELLED                ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_DEVICE_STATE     ((NTSTATUS)0xC0000184L)
#define STATUS_INVALID_BUFFER_SIZE      ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND                ((NTSTATUS)0xC0000225L)
#define STATUS_OBJECTID_EXISTS          ((NTSTATUS)0xC000022BL)
#define STATUS_DEVICE_REMOVED           ((NTSTATUS)0xC00002B6L)

// --- large integers, GUIDs, strings ------------------------------------------
typedef union _LARGE_INTEGER {
    struct { ULONG LowPart; LONG HighPart; };
    struct { ULONG LowPart; LONG HighPart; } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");

typedef union _ULARGE_INTEGER {
    struct { ULONG LowPart; ULONG HighPart; };
    struct { ULONG LowPart; ULONG HighPart; } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;
static_assert(sizeof(GUID) == 16, "GUID");

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID& a, const GUID& b) { return !IsEqualGUID(a, b); }

// DEFINE_GUID gives a definition in the one translation unit that defines
// INITGUID before including this header and a declaration everywhere else,
// as the WDK's guiddef.h does. Here every GUID is an inline constant, which
// is the same thing for a C++17 program without the bookkeeping.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminating zero
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING");
static_assert(offsetof(UNICODE_STRING, Buffer) == 8, "UNICODE_STRING.Buffer");

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

// --- lists ---------------------------------------------------------------------
typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;
static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY");

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

// A corrupted list entry ends the kernel with bug check 0x139
// (KERNEL_SECURITY_CHECK_FAILURE), as the WDK's fast-fail list checks do.
// hostkernel implements this by reporting to its verifier.
EXTERN_C DECLSPEC_NORETURN void NTAPI RtlFailFast(ULONG Code);
#define FAST_FAIL_CORRUPT_LIST_ENTRY 3

inline void InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return (BOOLEAN)(ListHead->Flink == ListHead);
}

inline void RtlpCheckListEntry(PLIST_ENTRY Entry) {
    if (Entry->Flink->Blink != Entry || Entry->Blink->Flink != Entry)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
}

inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = Entry->Flink;
    PLIST_ENTRY Blink = Entry->Blink;
    if (Flink->Blink != Entry || Blink->Flink != Entry)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY Flink = Entry->Flink;
    if (Entry->Blink != ListHead || Flink->Blink != Entry)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    ListHead->Flink = Flink;
    Flink->Blink = ListHead;
    return Entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Blink;
    PLIST_ENTRY Blink = Entry->Blink;
    if (Entry->Flink != ListHead || Blink->Flink != Entry)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    ListHead->Blink = Blink;
    Blink->Flink = ListHead;
    return Entry;
}

inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Blink = ListHead->Blink;
    if (Blink->Flink != ListHead)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}

inline void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = ListHead->Flink;
    if (Flink->Blink != ListHead)
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}

inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead) {
    PSINGLE_LIST_ENTRY FirstEntry = ListHead->Next;
    if (FirstEntry) ListHead->Next = FirstEntry->Next;
    return FirstEntry;
}

inline void PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry) {
    Entry->Next = ListHead->Next;
    ListHead->Next = Entry;
}

// --- run-time library: memory and strings ---------------------------------------
EXTERN_C void NTAPI RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length);
EXTERN_C void NTAPI RtlMoveMemory(PVOID Destination, const void* Source, SIZE_T Length);
EXTERN_C void NTAPI RtlZeroMemory(PVOID Destination, SIZE_T Length);
EXTERN_C void NTAPI RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill);
EXTERN_C SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);
#define RtlEqualMemory(a, b, n) (RtlCompareMemory((a), (b), (n)) == (n))

EXTERN_C void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
EXTERN_C void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
EXTERN_C void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
EXTERN_C void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
EXTERN_C BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
EXTERN_C LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                       PCUNICODE_STRING Source);
EXTERN_C NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);
EXTERN_C NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                     PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
EXTERN_C void NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);

// The kernel's C run-time exports, with Windows' 16-bit WCHAR. The format
// specifiers are Windows': %s with a wide function is a wide string, %hs a
// narrow one, %S the opposite of the function's width, %ws always wide.
// They are C++ overloads here (not extern "C"), so that they live beside the
// C library's wchar_t routines of the same names in one program.
int __cdecl swprintf(WCHAR* Buffer, const WCHAR* Format, ...);
int __cdecl swprintf_s(WCHAR* Buffer, SIZE_T SizeInWords, const WCHAR* Format, ...);
int __cdecl _snwprintf(WCHAR* Buffer, SIZE_T Count, const WCHAR* Format, ...);
int __cdecl _vsnwprintf(WCHAR* Buffer, SIZE_T Count, const WCHAR* Format, va_list Args);
int __cdecl _wcsnicmp(const WCHAR* String1, const WCHAR* String2, SIZE_T Count);
int __cdecl _wcsicmp(const WCHAR* String1, const WCHAR* String2);
const WCHAR* __cdecl wcschr(const WCHAR* String, WCHAR Character);
WCHAR* __cdecl wcschr(WCHAR* String, WCHAR Character);
SIZE_T __cdecl wcslen(const WCHAR* String);
SIZE_T __cdecl wcsnlen(const WCHAR* String, SIZE_T MaxCount);

// Appended for the registry and security services.
#define STATUS_OBJECT_PATH_SYNTAX_BAD   ((NTSTATUS)0xC000003BL)
#define STATUS_NAME_TOO_LONG            ((NTSTATUS)0xC0000106L)
#define STATUS_KEY_DELETED              ((NTSTATUS)0xC000017CL)
#define STATUS_INVALID_OWNER            ((NTSTATUS)0xC000005AL)
#define STATUS_INVALID_PRIMARY_GROUP    ((NTSTATUS)0xC000005BL)
