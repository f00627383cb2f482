// The caller's address space: ProbeForRead/ProbeForWrite against the
// registered user ranges, and MDLs describing memory for the system.
#include <cstring>

#include "ke_internal.h"
#include "hostkernel/wdk.h"

using hk::Machine;
namespace v = hk::verifier;

namespace {
void Probe(const volatile void* Address, SIZE_T Length, ULONG Alignment, bool write) {
    if (Length == 0) return;
    if (Alignment != 1 && Alignment != 2 && Alignment != 4 && Alignment != 8 && Alignment != 16)
        RtlAssert((PVOID) "(Alignment == 1) || (Alignment == 2) || (Alignment == 4) || (Alignment == 8) || (Alignment == 16)",
                  (PVOID) "probe", __LINE__, nullptr);
    uintptr_t a = (uintptr_t)Address;
    if (Alignment && (a & (Alignment - 1)) != 0)
        throw hk::AccessViolation(STATUS_DATATYPE_MISALIGNMENT, (const void*)Address);
    Machine* m = Machine::TryCurrent();
    if (!m || !m->IsUserRange((const void*)Address, Length, write))
        throw hk::AccessViolation(STATUS_ACCESS_VIOLATION, (const void*)Address);
}
}  // namespace

EXTERN_C void NTAPI ProbeForRead(const volatile void* Address, SIZE_T Length, ULONG Alignment) {
    Probe(Address, Length, Alignment, false);
}

EXTERN_C void NTAPI ProbeForWrite(volatile void* Address, SIZE_T Length, ULONG Alignment) {
    Probe(Address, Length, Alignment, true);
}

// --- MDLs ------------------------------------------------------------------------------------
EXTERN_C SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length) {
    return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length);
}

EXTERN_C PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                  BOOLEAN ChargeQuota, PIRP Irp) {
    SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
    if (size > 0x7FFF) return nullptr;  // MDL.Size is a CSHORT
    PMDL mdl = (PMDL)ExAllocatePoolWithTag(NonPagedPoolNx, size, hk::MakeTag("Mdl "));
    if (!mdl) return nullptr;
    std::memset(mdl, 0, size);
    MmInitializeMdl(mdl, VirtualAddress, Length);
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    if (Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL tail = Irp->MdlAddress;
            if (!tail) {
                Irp->MdlAddress = mdl;
            } else {
                while (tail->Next) tail = tail->Next;
                tail->Next = mdl;
            }
        }
    }
    return mdl;
}

EXTERN_C void NTAPI IoFreeMdl(PMDL Mdl) {
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        v::Report("MdlFreedWhileLocked", "IoFreeMdl", Mdl, "the MDL's pages are still locked");
    ExFreePoolWithTag(Mdl, hk::MakeTag("Mdl "));
}

EXTERN_C void NTAPI MmBuildMdlForNonPagedPool(PMDLX Mdl) {
    Mdl->MappedSystemVa = (PCHAR)Mdl->StartVa + Mdl->ByteOffset;
    Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    PPFN_NUMBER pfn = MmGetMdlPfnArray(Mdl);
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(Mdl->MappedSystemVa, Mdl->ByteCount);
    for (ULONG i = 0; i < pages; ++i) pfn[i] = ((ULONG_PTR)Mdl->StartVa >> PAGE_SHIFT) + i;
}

EXTERN_C void NTAPI MmProbeAndLockPages(PMDLX Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        v::Report("MdlLockedTwice", "MmProbeAndLockPages", Mdl, "the MDL's pages are already locked");
    PVOID va = MmGetMdlVirtualAddress(Mdl);
    if (AccessMode == UserMode) {
        Machine* m = Machine::TryCurrent();
        if (!m || !m->IsUserRange(va, Mdl->ByteCount, Operation != IoReadAccess))
            throw hk::AccessViolation(STATUS_ACCESS_VIOLATION, va);
    }
    Mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) Mdl->MdlFlags |= MDL_WRITE_OPERATION;
    PPFN_NUMBER pfn = MmGetMdlPfnArray(Mdl);
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, Mdl->ByteCount);
    for (ULONG i = 0; i < pages; ++i) pfn[i] = ((ULONG_PTR)Mdl->StartVa >> PAGE_SHIFT) + i;
}

EXTERN_C void NTAPI MmUnlockPages(PMDLX Mdl) {
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
        v::Report("MdlNotLocked", "MmUnlockPages", Mdl, "the MDL's pages are not locked");
    Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
    Mdl->MappedSystemVa = nullptr;
}

// Host memory is all mapped; the system address is the described address.
// Mapping an MDL whose pages are neither locked nor non-paged pool is a
// driver bug Windows catches.
EXTERN_C PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDLX Mdl, KPROCESSOR_MODE AccessMode,
                                                  MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                  ULONG BugCheckOnFailure, ULONG Priority) {
    if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)))
        v::Report("MdlNotLocked", "MmMapLockedPagesSpecifyCache", Mdl,
                  "mapping an MDL whose pages are not locked");
    if (AccessMode != KernelMode) return nullptr;
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
}

EXTERN_C void NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl) {
    Mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}
