// The executive and memory manager as the driver sees them: IRQL, spin locks,
// dispatcher objects (events, threads) and waits, the clock, system threads,
// object references, interlocked operations, pool, MDLs, probing of caller
// memory, debug print, assertions and bug checks.
//
// Layouts are the published x64 ones; signatures are the WDK's, so that the
// same driver sources compile against these headers and the DDK.
#pragma once

#include "nt_base.h"

// --- IRQL -------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

EXTERN_C KIRQL NTAPI KeGetCurrentIrql(void);
EXTERN_C KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql);
EXTERN_C void NTAPI KeLowerIrql(KIRQL NewIrql);
EXTERN_C KIRQL NTAPI KeRaiseIrqlToDpcLevel(void);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))

// --- spin locks ---------------------------------------------------------------------
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

EXTERN_C void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
EXTERN_C KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
EXTERN_C void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
EXTERN_C void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
EXTERN_C void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
EXTERN_C BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))
#define KefAcquireSpinLockAtDpcLevel KeAcquireSpinLockAtDpcLevel
#define KefReleaseSpinLockFromDpcLevel KeReleaseSpinLockFromDpcLevel

// --- dispatcher objects -----------------------------------------------------------------
typedef LONG KPRIORITY;
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

typedef struct _DISPATCHER_HEADER {
    union {
        struct {
            UCHAR Type;
            UCHAR Signalling;
            UCHAR Size;
            UCHAR Reserved1;
        };
        volatile LONG Lock;
    };
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;
static_assert(sizeof(DISPATCHER_HEADER) == 24, "DISPATCHER_HEADER");
static_assert(offsetof(DISPATCHER_HEADER, SignalState) == 4, "DISPATCHER_HEADER.SignalState");
static_assert(offsetof(DISPATCHER_HEADER, WaitListHead) == 8, "DISPATCHER_HEADER.WaitListHead");

// Values of DISPATCHER_HEADER.Type (the kernel's object kinds).
#define HK_DISPATCHER_NOTIFICATION_EVENT 0
#define HK_DISPATCHER_SYNCHRONIZATION_EVENT 1
#define HK_DISPATCHER_THREAD 6

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
static_assert(sizeof(KEVENT) == 24, "KEVENT");

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    WrEventPair,
    WrQueue,
    WrLpcReceive,
    WrLpcReply,
    WrVirtualMemory,
    WrPageOut,
    WrRendezvous,
    WrKeyedEvent,
    WrTerminated,
    WrProcessInSwap,
    WrCpuRateControl,
    WrCalloutStack,
    WrKernel,
    WrResource,
    WrPushLock,
    WrMutex,
    WrQuantumEnd,
    WrDispatchInt,
    WrPreempted,
    WrYieldExecution,
    WrFastMutex,
    WrGuardedMutex,
    WrRundown,
    MaximumWaitReason
} KWAIT_REASON;

typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

// Wait blocks belong to the kernel; the caller only supplies their storage.
typedef struct _KWAIT_BLOCK {
    ULONG_PTR Opaque[6];
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;
static_assert(sizeof(KWAIT_BLOCK) == 48, "KWAIT_BLOCK");
#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

EXTERN_C void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
EXTERN_C LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
EXTERN_C void NTAPI KeClearEvent(PRKEVENT Event);
EXTERN_C LONG NTAPI KeResetEvent(PRKEVENT Event);
EXTERN_C LONG NTAPI KeReadStateEvent(PRKEVENT Event);

// Time-outs and intervals: negative = relative, in 100 ns units; positive =
// absolute system time; zero = test the state without waiting.
EXTERN_C NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                              KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                              PLARGE_INTEGER Timeout);
EXTERN_C NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                 KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                                 PKWAIT_BLOCK WaitBlockArray);
EXTERN_C NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                               PLARGE_INTEGER Interval);
#define KeWaitForMutexObject KeWaitForSingleObject

// --- clock -------------------------------------------------------------------------
// Tick count and system time take a pointer, as the x64 WDK macros do.
EXTERN_C void NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount);
EXTERN_C ULONG NTAPI KeQueryTimeIncrement(void);
EXTERN_C void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
EXTERN_C ULONGLONG NTAPI KeQueryInterruptTime(void);
EXTERN_C LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

// --- objects, threads ------------------------------------------------------------------
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD *PETHREAD;
typedef struct _EPROCESS *PEPROCESS;
typedef struct _KPROCESS *PKPROCESS;
typedef struct _OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;
typedef struct _IRP* PIRP;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;
static_assert(sizeof(CLIENT_ID) == 16, "CLIENT_ID");

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

typedef void NTAPI KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#define THREAD_TERMINATE 0x0001
#define THREAD_SUSPEND_RESUME 0x0002
#define THREAD_ALERT 0x0004
#define THREAD_GET_CONTEXT 0x0008
#define THREAD_SET_CONTEXT 0x0010
#define THREAD_SET_INFORMATION 0x0020
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_ALL_ACCESS 0x001FFFFF
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()

EXTERN_C POBJECT_TYPE* PsThreadType;

EXTERN_C NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                             POBJECT_ATTRIBUTES ObjectAttributes,
                                             HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                             PKSTART_ROUTINE StartRoutine, PVOID StartContext);
EXTERN_C NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
EXTERN_C HANDLE NTAPI PsGetCurrentThreadId(void);
EXTERN_C HANDLE NTAPI PsGetCurrentProcessId(void);
EXTERN_C PETHREAD NTAPI PsGetCurrentThread(void);
EXTERN_C PKTHREAD NTAPI KeGetCurrentThread(void);
EXTERN_C KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
EXTERN_C KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread);
EXTERN_C BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread);

EXTERN_C NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                  POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                  PVOID* Object,
                                                  POBJECT_HANDLE_INFORMATION HandleInformation);
EXTERN_C LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
EXTERN_C LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject ObfReferenceObject
#define ObDereferenceObject ObfDereferenceObject

EXTERN_C NTSTATUS NTAPI ZwClose(HANDLE Handle);
#define NtClose ZwClose

// --- interlocked operations ---------------------------------------------------------------
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedIncrement64(LONG64 volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedDecrement64(LONG64 volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange,
                                           LONG64 Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                               PVOID Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

// --- pool ------------------------------------------------------------------------------------
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolBase = 0,
    NonPagedPoolBaseMustSucceed = 2,
    NonPagedPoolBaseCacheAligned = 4,
    NonPagedPoolBaseCacheAlignedMustS = 6,
    NonPagedPoolSession = 32,
    PagedPoolSession = 33,
    NonPagedPoolMustSucceedSession = 34,
    DontUseThisTypeSession = 35,
    NonPagedPoolCacheAlignedSession = 36,
    PagedPoolCacheAlignedSession = 37,
    NonPagedPoolCacheAlignedMustSSession = 38,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
    NonPagedPoolSessionNx = 544
} POOL_TYPE;

EXTERN_C PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
EXTERN_C PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
EXTERN_C void NTAPI ExFreePool(PVOID P);
EXTERN_C void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// --- memory descriptor lists ----------------------------------------------------------------
#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define BYTE_OFFSET(Va) ((ULONG)((ULONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((ULONG)((((ULONG_PTR)(Size)) >> PAGE_SHIFT) + \
             ((BYTE_OFFSET(Va) + ((ULONG_PTR)(Size) & (PAGE_SIZE - 1)) + (PAGE_SIZE - 1)) >> PAGE_SHIFT)))
typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PEPROCESS Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL, *PMDLX;
static_assert(sizeof(MDL) == 48, "MDL");
static_assert(offsetof(MDL, Process) == 16, "MDL.Process");
static_assert(offsetof(MDL, MappedSystemVa) == 24, "MDL.MappedSystemVa");
static_assert(offsetof(MDL, StartVa) == 32, "MDL.StartVa");
static_assert(offsetof(MDL, ByteCount) == 40, "MDL.ByteCount");
static_assert(offsetof(MDL, ByteOffset) == 44, "MDL.ByteOffset");

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_LOCKED_PAGE_TABLES 0x0100
#define MDL_IO_SPACE 0x0800

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached,
    MmNonCachedUnordered,
    MmUSWCCached,
    MmMaximumCacheType
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

EXTERN_C PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                  BOOLEAN ChargeQuota, PIRP Irp);
EXTERN_C void NTAPI IoFreeMdl(PMDL Mdl);
EXTERN_C void NTAPI MmBuildMdlForNonPagedPool(PMDLX MemoryDescriptorList);
EXTERN_C PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDLX MemoryDescriptorList,
                                                  KPROCESSOR_MODE AccessMode,
                                                  MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                  ULONG BugCheckOnFailure, ULONG Priority);
EXTERN_C void NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
EXTERN_C void NTAPI MmProbeAndLockPages(PMDLX MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                        LOCK_OPERATION Operation);
EXTERN_C void NTAPI MmUnlockPages(PMDLX MemoryDescriptorList);
EXTERN_C SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length);

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))
#define MmGetSystemAddressForMdlSafe(Mdl, Priority)                                         \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))            \
         ? (Mdl)->MappedSystemVa                                                            \
         : (PVOID)MmMapLockedPagesSpecifyCache((Mdl), KernelMode, MmCached, NULL, FALSE,    \
                                               (Priority)))
#define MmInitializeMdl(MemoryDescriptorList, BaseVa, Length)                                  \
    do {                                                                                       \
        (MemoryDescriptorList)->Next = (PMDL)NULL;                                             \
        (MemoryDescriptorList)->Size = (CSHORT)(sizeof(MDL) +                                  \
            (sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES((BaseVa), (Length))));        \
        (MemoryDescriptorList)->MdlFlags = 0;                                                  \
        (MemoryDescriptorList)->StartVa = (PVOID)PAGE_ALIGN((BaseVa));                         \
        (MemoryDescriptorList)->ByteOffset = BYTE_OFFSET((BaseVa));                            \
        (MemoryDescriptorList)->ByteCount = (ULONG)(Length);                                   \
    } while (0)

// --- caller memory -------------------------------------------------------------------------------
// Both raise (hk::AccessViolation on the host) for a range that is not
// entirely inside the caller's address space or is misaligned. A length of
// zero is not checked at all.
EXTERN_C void NTAPI ProbeForRead(const volatile void* Address, SIZE_T Length, ULONG Alignment);
EXTERN_C void NTAPI ProbeForWrite(volatile void* Address, SIZE_T Length, ULONG Alignment);

#ifndef STATUS_DATATYPE_MISALIGNMENT
#define STATUS_DATATYPE_MISALIGNMENT ((NTSTATUS)0x80000002L)
#endif

#ifdef __cplusplus
namespace hk {
// What ProbeForRead/ProbeForWrite (and touches of unmapped caller memory)
// raise on the host: the structured exception of Windows, as a C++ exception.
struct AccessViolation {
    NTSTATUS Status;
    const void* Address;
    explicit AccessViolation(NTSTATUS status, const void* address = nullptr)
        : Status(status), Address(address) {}
    NTSTATUS code() const { return Status; }
};
}  // namespace hk
#endif

// --- diagnostics -----------------------------------------------------------------------------------
EXTERN_C ULONG __cdecl DbgPrint(PCSTR Format, ...);
EXTERN_C ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
EXTERN_C ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_IHVBUS_ID 79
#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_

EXTERN_C void NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message);
EXTERN_C DECLSPEC_NORETURN void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                                   ULONG_PTR BugCheckParameter2,
                                                   ULONG_PTR BugCheckParameter3,
                                                   ULONG_PTR BugCheckParameter4);
EXTERN_C DECLSPEC_NORETURN void NTAPI KeBugCheck(ULONG BugCheckCode);

// The checked-build assertions: report through RtlAssert and carry on.
#define ASSERT(exp) \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#define ASSERTMSG(msg, exp) \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PSTR)(msg)), FALSE) : TRUE)
#define NT_ASSERT(exp) ((void)ASSERT(exp))
#define NT_ASSERTMSG(msg, exp) ((void)ASSERTMSG(msg, exp))
#define NT_VERIFY(exp) ASSERT(exp)
#define PAGED_CODE() \
    ((void)((KeGetCurrentIrql() > APC_LEVEL) ? (RtlAssert((PVOID) "KeGetCurrentIrql() <= APC_LEVEL", (PVOID)__FILE__, __LINE__, (PSTR) "pageable code above APC_LEVEL"), 0) : 0))

// Narrow kernel CRT formatting (Windows format semantics, like DbgPrint's).
int __cdecl _snprintf(char* Buffer, SIZE_T Count, const char* Format, ...);
int __cdecl _vsnprintf(char* Buffer, SIZE_T Count, const char* Format, va_list Args);
