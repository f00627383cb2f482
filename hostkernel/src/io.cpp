// The I/O manager: driver and device objects, device stacks, IRPs with their
// stack locations, sending, completion with completion routines and pending
// propagation, cancellation under the cancel spin lock, and the verifier's
// IRP rules.
#include <algorithm>
#include <cstring>
#include <sstream>

#include "io_internal.h"

namespace hk::iomgr {
namespace {

constexpr ULONG kIrpTag = hk::MakeTag("Irp ");
constexpr ULONG kDeviceTag = hk::MakeTag("Devi");

char g_device_type_anchor;
char g_file_type_anchor;
char g_driver_type_anchor;

std::mutex g_state_mu;
IoState* g_state = nullptr;

std::string Hex(const void* p) {
    std::ostringstream s;
    s << p;
    return s.str();
}

thread_local std::vector<PIRP> t_dispatching;

void ShutdownIo();

}  // namespace

}  // namespace hk::iomgr

EXTERN_C POBJECT_TYPE* IoDeviceObjectType;
EXTERN_C POBJECT_TYPE* IoFileObjectType;
EXTERN_C POBJECT_TYPE* IoDriverObjectType;
static POBJECT_TYPE g_device_type = (POBJECT_TYPE)&hk::iomgr::g_device_type_anchor;
static POBJECT_TYPE g_file_type = (POBJECT_TYPE)&hk::iomgr::g_file_type_anchor;
static POBJECT_TYPE g_driver_type = (POBJECT_TYPE)&hk::iomgr::g_driver_type_anchor;
POBJECT_TYPE* IoDeviceObjectType = &g_device_type;
POBJECT_TYPE* IoFileObjectType = &g_file_type;
POBJECT_TYPE* IoDriverObjectType = &g_driver_type;

namespace hk::iomgr {

IoState& State() {
    hk::Machine& m = hk::Machine::Current();
    std::lock_guard<std::mutex> g(g_state_mu);
    if (g_state && g_state->machine == &m) return *g_state;
    delete g_state;  // left over from a machine that is gone
    g_state = new IoState();
    g_state->machine = &m;
    KeInitializeSpinLock(&g_state->cancel_lock);
    m.AddShutdownHook([] { ShutdownIo(); });
    return *g_state;
}

IrpRecord* FindIrp(PIRP irp) {
    IoState& s = State();
    auto it = s.irps.find(irp);
    return it == s.irps.end() ? nullptr : &it->second;
}

DeviceRecord* FindDevice(PDEVICE_OBJECT device) {
    IoState& s = State();
    auto it = s.devices.find(device);
    return it == s.devices.end() ? nullptr : &it->second;
}


bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = (char16_t)(x - 32);
        if (y >= 'a' && y <= 'z') y = (char16_t)(y - 32);
        if (x != y) return false;
    }
    return true;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PIRP AllocateThreadIrp(PDEVICE_OBJECT target, PKEVENT event, PIO_STATUS_BLOCK iosb) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (!irp) return nullptr;
    KeInitializeEvent(event, NotificationEvent, FALSE);
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->RequestorMode = KernelMode;
    std::lock_guard<std::recursive_mutex> g(State().mu);
    if (IrpRecord* r = FindIrp(irp)) {
        r->thread_queued = true;
        r->owned_by_manager = true;
    }
    return irp;
}

bool AttachSystemBuffer(PIRP irp, ULONG length, const void* copy, ULONG copy_length) {
    PVOID sys = ExAllocatePoolWithTag(NonPagedPool, length, hk::MakeTag("IoSB"));
    if (!sys) return false;
    if (copy && copy_length) memcpy(sys, copy, copy_length);
    irp->AssociatedIrp.SystemBuffer = sys;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
}

void ReleaseSystemBuffer(PIRP irp) {
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        irp->Flags &= ~(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER);
    }
}

namespace {

void FreeIrpMemory(PIRP irp) {
    // Caller holds the lock and has marked the record freed.
    ExFreePoolWithTag(irp, kIrpTag);
}

void FreeDeviceMemory(PDEVICE_OBJECT device) {
    IoState& s = State();
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        s.devices.erase(device);
        s.freed_devices.insert(device);
    }
    ExFreePoolWithTag(device, kDeviceTag);
}

// Whether an IRP is still pending in a device's hands: dispatched to it (or
// to a device above it in the same stack), answered with STATUS_PENDING and
// not completed yet. A request still inside its dispatch routine on this
// thread is not pending (a removal request deletes its own device).
bool PendingOn(PIRP irp, const IrpRecord& r, PDEVICE_OBJECT device) {
    if (r.state != IrpRecord::State::Dispatched) return false;
    if (std::find(t_dispatching.begin(), t_dispatching.end(), irp) != t_dispatching.end())
        return false;
    bool pended = false, reached = false;
    for (size_t k = 0; k < r.devices.size(); ++k) {
        if (r.passed[k]) continue;
        if (r.devices[k] == device) reached = true;
        if (r.dispatched_pending[k]) pended = true;
    }
    return reached && pended;
}


void ShutdownIo() {
    IoState* s;
    {
        std::lock_guard<std::mutex> g(g_state_mu);
        s = g_state;
    }
    if (!s) return;
    // Application handles left open: close them as process exit would.
    std::vector<hk::io::Handle> files;
    {
        std::lock_guard<std::recursive_mutex> g(s->mu);
        files = s->open_files;
    }
    for (hk::io::Handle h : files) hk::io::Close(h);
    PnpShutdown();
    // Drivers: unload every one that is still loaded.
    std::vector<std::string> names;
    {
        std::lock_guard<std::recursive_mutex> g(s->mu);
        for (auto& [name, d] : s->drivers)
            if (!d->unloaded) names.push_back(name);
    }
    for (const std::string& n : names) hk::io::UnloadDriver(n);
    {
        std::lock_guard<std::recursive_mutex> g(s->mu);
        for (auto& [name, d] : s->drivers) {
            if (d->object) {
                ::operator delete(d->object->DriverExtension);
                ::operator delete(d->object);
                d->object = nullptr;
            }
        }
    }
    std::lock_guard<std::mutex> g(g_state_mu);
    delete g_state;
    g_state = nullptr;
}

}  // namespace

void RecordDeviceNode(PDEVICE_OBJECT device, DeviceNode* node) {
    std::lock_guard<std::recursive_mutex> g(State().mu);
    if (DeviceRecord* d = FindDevice(device)) d->node = node;
}

}  // namespace hk::iomgr

using namespace hk::iomgr;

// --- device objects ------------------------------------------------------------------------
EXTERN_C NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                       PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                       ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                       PDEVICE_OBJECT* DeviceObject) {
    IoState& s = State();
    std::u16string name;
    if (DeviceName && DeviceName->Buffer)
        name.assign(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
            char buf[32];
            snprintf(buf, sizeof buf, "\\Device\\%08lx", (unsigned long)s.next_device_number++);
            name = Widen(buf);
        }
        if (!name.empty())
            for (auto& [d, rec] : s.devices)
                if (!rec.deleted && EqualNoCase(rec.name, name)) return STATUS_OBJECT_NAME_COLLISION;
    }
    size_t ext = ((size_t)DeviceExtensionSize + 15) & ~(size_t)15;
    size_t total = sizeof(DEVICE_OBJECT) + ext + sizeof(DEVOBJ_EXTENSION);
    auto* dev = (PDEVICE_OBJECT)ExAllocatePoolWithTag(NonPagedPool, total, kDeviceTag);
    if (!dev) return STATUS_INSUFFICIENT_RESOURCES;
    memset(dev, 0, total);
    dev->Type = IO_TYPE_DEVICE;
    dev->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    dev->DriverObject = DriverObject;
    dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    dev->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    dev->DeviceExtension = DeviceExtensionSize ? (PUCHAR)dev + sizeof(DEVICE_OBJECT) : nullptr;
    dev->DeviceType = DeviceType;
    dev->StackSize = 1;
    dev->AlignmentRequirement = 0;
    KeInitializeEvent(&dev->DeviceLock, SynchronizationEvent, TRUE);
    auto* doe = (PDEVOBJ_EXTENSION)((PUCHAR)dev + sizeof(DEVICE_OBJECT) + ext);
    doe->Type = 13;
    doe->Size = sizeof(DEVOBJ_EXTENSION);
    doe->DeviceObject = dev;
    dev->DeviceObjectExtension = doe;
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        DeviceRecord rec;
        rec.device = dev;
        rec.name = name;
        s.devices[dev] = rec;
        s.freed_devices.erase(dev);
        if (DriverObject) {
            dev->NextDevice = DriverObject->DeviceObject;
            DriverObject->DeviceObject = dev;
        }
    }
    hk::objects::Track(dev, *IoDeviceObjectType, "Device", [dev] { FreeDeviceMemory(dev); }, 1);
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

EXTERN_C void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    IoState& s = State();
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        DeviceRecord* rec = FindDevice(DeviceObject);
        if (!rec || rec->deleted) {
            bool twice = (rec && rec->deleted) || s.freed_devices.count(DeviceObject);
            hk::verifier::Report(twice ? kDeviceDeletedTwice : kDeviceUnknown, "IoDeleteDevice",
                                 DeviceObject,
                                 twice ? "the device object was deleted already"
                                       : "not a device object");
            return;
        }
        for (auto& [irp, r] : s.irps)
            if (PendingOn(irp, r, DeviceObject))
                hk::verifier::Report(kIrpPendingAtDelete, "IoDeleteDevice", irp,
                                     "IRP " + Hex(irp) + " still pending on device " +
                                         Hex(DeviceObject));
        if (rec->attached_to)
            hk::verifier::Report(kDeviceDeletedAttached, "IoDeleteDevice", DeviceObject,
                                 "the device is still attached to " + Hex(rec->attached_to) +
                                     " (IoDetachDevice first)");
        rec->deleted = true;
        PDRIVER_OBJECT drv = DeviceObject->DriverObject;
        if (drv) {
            PDEVICE_OBJECT* link = &drv->DeviceObject;
            while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
            if (*link) *link = DeviceObject->NextDevice;
        }
        DeviceObject->NextDevice = nullptr;
    }
    ObfDereferenceObject(DeviceObject);
}

EXTERN_C PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::recursive_mutex> g(State().mu);
    PDEVICE_OBJECT d = DeviceObject;
    while (d && d->AttachedDevice) d = d->AttachedDevice;
    return d;
}

EXTERN_C PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::recursive_mutex> g(State().mu);
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

EXTERN_C PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                          PDEVICE_OBJECT TargetDevice) {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    if (s.fail_next_attach) {
        s.fail_next_attach--;
        return nullptr;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    DeviceRecord* t = FindDevice(top);
    DeviceRecord* src = FindDevice(SourceDevice);
    if (!t || t->deleted || !src) return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    src->attached_to = top;
    return top;
}

EXTERN_C void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::recursive_mutex> g(State().mu);
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    TargetDevice->AttachedDevice = nullptr;
    if (upper)
        if (DeviceRecord* u = FindDevice(upper)) u->attached_to = nullptr;
}

// --- IRP allocation ------------------------------------------------------------------------
EXTERN_C void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    Irp->ApcEnvironment = 0;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation =
        (PIO_STACK_LOCATION)((PUCHAR)Irp + sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
}

EXTERN_C PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    if (StackSize < 1) StackSize = 1;
    USHORT size = IoSizeOfIrp(StackSize);
    auto* irp = (PIRP)ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag);
    if (!irp) return nullptr;
    IoInitializeIrp(irp, size, StackSize);
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    IrpRecord r;
    r.stack_count = StackSize;
    r.dispatched_pending.assign(StackSize, 0);
    r.await_mark.assign(StackSize, 0);
    r.passed.assign(StackSize, 0);
    r.marked.assign(StackSize, 0);
    r.devices.assign(StackSize, nullptr);
    s.irps[irp] = std::move(r);
    return irp;
}

EXTERN_C void NTAPI IoFreeIrp(PIRP Irp) {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    IrpRecord* r = FindIrp(Irp);
    if (!r) {
        hk::verifier::Report(kIrpUnknown, "IoFreeIrp", Irp, "not an IRP from IoAllocateIrp");
        return;
    }
    if (r->state == IrpRecord::State::Freed) {
        hk::verifier::Report(kIrpUseAfterFree, "IoFreeIrp", Irp, "IRP " + Hex(Irp) + " freed twice");
        return;
    }
    if (r->state == IrpRecord::State::Dispatched)
        hk::verifier::Report(kIrpFreedInUse, "IoFreeIrp", Irp,
                             "IRP " + Hex(Irp) + " freed while a driver still owns it");
    if (Irp->CancelRoutine)
        hk::verifier::Report(kIrpCancelRoutineAtCompletion, "IoFreeIrp", Irp,
                             "IRP " + Hex(Irp) + " freed with a cancel routine set");
    r->state = IrpRecord::State::Freed;
    FreeIrpMemory(Irp);
}

EXTERN_C void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    IrpRecord* r = FindIrp(Irp);
    if (!r || r->state == IrpRecord::State::Freed) {
        hk::verifier::Report(kIrpUseAfterFree, "IoReuseIrp", Irp, "IRP is not allocated");
        return;
    }
    UCHAR flags = Irp->AllocationFlags;
    CCHAR count = Irp->StackCount;
    IoInitializeIrp(Irp, Irp->Size, count);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Status;
    bool tq = r->thread_queued, mgr = r->owned_by_manager;
    IrpRecord fresh;
    fresh.stack_count = count;
    fresh.dispatched_pending.assign(count, 0);
    fresh.await_mark.assign(count, 0);
    fresh.passed.assign(count, 0);
    fresh.marked.assign(count, 0);
    fresh.devices.assign(count, nullptr);
    fresh.thread_queued = tq;
    fresh.owned_by_manager = mgr;
    *r = std::move(fresh);
}

// --- sending ---------------------------------------------------------------------------------
EXTERN_C NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoState& s = State();
    int k;
    PDRIVER_DISPATCH fn;
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        IrpRecord* r = FindIrp(Irp);
        if (!r || r->state == IrpRecord::State::Freed) {
            hk::verifier::Report(r ? kIrpUseAfterFree : kIrpUnknown, "IofCallDriver", Irp,
                                 "IRP " + Hex(Irp) + (r ? " was freed" : " is not an IRP"));
            return STATUS_INVALID_PARAMETER;
        }
        if (r->state == IrpRecord::State::Completed) {
            hk::verifier::Report(kIrpCallAfterCompletion, "IofCallDriver", Irp,
                                 "IRP " + Hex(Irp) + " sent to " + Hex(DeviceObject) +
                                     " after it was completed");
            return STATUS_INVALID_PARAMETER;
        }
        DeviceRecord* d = FindDevice(DeviceObject);
        if (!d) {
            hk::verifier::Report(kDeviceUnknown, "IofCallDriver", DeviceObject,
                                 "IRP " + Hex(Irp) + " sent to a device object that does not exist");
            return STATUS_NO_SUCH_DEVICE;
        }
        if (Irp->CurrentLocation <= 1) {
            hk::verifier::Report(kIrpStackOverflow, "IofCallDriver", Irp,
                                 "IRP " + Hex(Irp) + " has no stack location left for " +
                                     Hex(DeviceObject));
            return STATUS_INVALID_PARAMETER;
        }
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        sp->DeviceObject = DeviceObject;
        k = Irp->CurrentLocation - 1;
        r->state = IrpRecord::State::Dispatched;
        r->devices[k] = DeviceObject;
        r->passed[k] = 0;
        r->dispatched_pending[k] = 0;
        r->await_mark[k] = 0;
        KIRQL irql = KeGetCurrentIrql();
        if (sp->MajorFunction == IRP_MJ_PNP && irql != PASSIVE_LEVEL)
            hk::verifier::Report(kIrpWrongIrql, "IofCallDriver", Irp,
                                 "plug-and-play IRP sent at IRQL " + std::to_string(irql));
        else if (sp->MajorFunction == IRP_MJ_POWER && (DeviceObject->Flags & DO_POWER_PAGABLE) &&
                 irql != PASSIVE_LEVEL)
            hk::verifier::Report(kIrpWrongIrql, "IofCallDriver", Irp,
                                 "power IRP sent to a pageable device at IRQL " +
                                     std::to_string(irql));
        else if (irql > DISPATCH_LEVEL)
            hk::verifier::Report(kIrpWrongIrql, "IofCallDriver", Irp,
                                 "IRP sent at IRQL " + std::to_string(irql));
        PDRIVER_OBJECT drv = DeviceObject->DriverObject;
        fn = drv ? drv->MajorFunction[sp->MajorFunction] : nullptr;
        if (!fn) fn = InvalidDeviceRequest;
    }
    t_dispatching.push_back(Irp);
    NTSTATUS status = fn(DeviceObject, Irp);
    t_dispatching.pop_back();

    std::lock_guard<std::recursive_mutex> g(s.mu);
    IrpRecord* r = FindIrp(Irp);
    if (!r || (size_t)k >= r->passed.size()) return status;
    bool marked;
    if (r->passed[k] || r->state == IrpRecord::State::Freed ||
        r->state == IrpRecord::State::Completed) {
        marked = r->marked[k];
    } else {
        PIO_STACK_LOCATION sp =
            (PIO_STACK_LOCATION)((PUCHAR)Irp + sizeof(IRP) + k * sizeof(IO_STACK_LOCATION));
        marked = (sp->Control & SL_PENDING_RETURNED) != 0;
    }
    if (status == STATUS_PENDING) {
        if (!r->passed[k] && r->state != IrpRecord::State::Freed &&
            r->state != IrpRecord::State::Completed)
            r->dispatched_pending[k] = 1;
        if (!marked) {
            if (r->passed[k] || r->state == IrpRecord::State::Freed ||
                r->state == IrpRecord::State::Completed)
                hk::verifier::Report(kIrpPendingNotMarked, "IofCallDriver", Irp,
                                     "dispatch routine of " + Hex(DeviceObject) +
                                         " returned STATUS_PENDING for IRP " + Hex(Irp) +
                                         " without IoMarkIrpPending");
            else
                r->await_mark[k] = 1;  // a completion routine may still propagate it
        }
    } else if (marked) {
        hk::verifier::Report(kIrpMarkedNotPending, "IofCallDriver", Irp,
                             "IRP " + Hex(Irp) + " was marked pending by " + Hex(DeviceObject) +
                                 " but its dispatch routine returned " + Hex((void*)(uintptr_t)(ULONG)status));
    }
    return status;
}

// --- completion ----------------------------------------------------------------------------
namespace {

void FinishThreadIrp(PIRP irp, IrpRecord* r) {
    // What the I/O manager does in the requesting thread's context once a
    // request it built has completed: copy buffered output back, release
    // the system buffer and MDLs, report the status, signal, free the packet.
    NTSTATUS st = irp->IoStatus.Status;
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(st) &&
        irp->UserBuffer && irp->AssociatedIrp.SystemBuffer) {
        // The output length travelled in the top stack location.
        auto* top = (PIO_STACK_LOCATION)((PUCHAR)irp + sizeof(IRP) +
                                         (irp->StackCount - 1) * sizeof(IO_STACK_LOCATION));
        ULONG out_len = top->MajorFunction == IRP_MJ_READ ? top->Parameters.Read.Length
                                                          : top->Parameters.DeviceIoControl.OutputBufferLength;
        ULONG_PTR n = irp->IoStatus.Information;
        if (n > out_len) {
            hk::verifier::Report(kIrpInformationTooLarge, "IofCompleteRequest", irp,
                                 "IRP " + Hex(irp) + " completed with Information " +
                                     std::to_string(n) + " for an output buffer of " +
                                     std::to_string(out_len) + " bytes");
            n = out_len;
        }
        memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, n);
    }
    ReleaseSystemBuffer(irp);
    while (PMDL m = irp->MdlAddress) {
        irp->MdlAddress = m->Next;
        if (m->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(m);
        IoFreeMdl(m);
    }
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    PKEVENT ev = irp->UserEvent;
    r->state = IrpRecord::State::Freed;
    FreeIrpMemory(irp);
    if (ev) KeSetEvent(ev, IO_NO_INCREMENT, FALSE);
}

}  // namespace

EXTERN_C void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    IoState& s = State();
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        IrpRecord* r = FindIrp(Irp);
        if (!r || r->state == IrpRecord::State::Freed) {
            hk::verifier::Report(r ? kIrpUseAfterFree : kIrpUnknown, "IofCompleteRequest", Irp,
                                 "IRP " + Hex(Irp) + (r ? " completed after it was freed"
                                                        : " is not an IRP"));
            return;
        }
        if (r->state == IrpRecord::State::Completed ||
            Irp->CurrentLocation > Irp->StackCount) {
            hk::verifier::Report(kIrpCompletedTwice, "IofCompleteRequest", Irp,
                                 "IRP " + Hex(Irp) + " completed twice");
            return;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING)
            hk::verifier::Report(kIrpCompletedWithPending, "IofCompleteRequest", Irp,
                                 "IRP " + Hex(Irp) + " completed with STATUS_PENDING");
        // The cancel routine pointer is only ever exchanged atomically
        // (IoSetCancelRoutine, IoCancelIrp on another processor).
        if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
            hk::verifier::Report(kIrpCancelRoutineAtCompletion, "IofCompleteRequest", Irp,
                                 "IRP " + Hex(Irp) + " completed with its cancel routine still set");
        r->state = IrpRecord::State::Dispatched;
    }
    while (true) {
        PIO_COMPLETION_ROUTINE routine;
        PVOID context;
        UCHAR control;
        PDEVICE_OBJECT dev = nullptr;
        {
            std::lock_guard<std::recursive_mutex> g(s.mu);
            IrpRecord* r = FindIrp(Irp);
            if (Irp->CurrentLocation > Irp->StackCount) break;
            int k = Irp->CurrentLocation - 1;
            PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
            Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
            routine = sp->CompletionRoutine;
            context = sp->Context;
            control = sp->Control;
            r->passed[k] = 1;
            r->marked[k] = Irp->PendingReturned;
            if (r->await_mark[k] && !Irp->PendingReturned)
                hk::verifier::Report(kIrpPendingNotMarked, "IofCompleteRequest", Irp,
                                     "dispatch routine of " + Hex(r->devices[k]) +
                                         " returned STATUS_PENDING for IRP " + Hex(Irp) +
                                         " without IoMarkIrpPending");
            r->await_mark[k] = 0;
            sp->Control = 0;
            sp->CompletionRoutine = nullptr;
            sp->Context = nullptr;
            Irp->CurrentLocation++;
            Irp->Tail.Overlay.CurrentStackLocation++;
            if (Irp->CurrentLocation <= Irp->StackCount)
                dev = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        }
        NTSTATUS st = Irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(st) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(st) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            {
                std::lock_guard<std::recursive_mutex> g(s.mu);
                FindIrp(Irp)->state = IrpRecord::State::InCompletion;
            }
            NTSTATUS rs = routine(dev, Irp, context);
            std::lock_guard<std::recursive_mutex> g(s.mu);
            IrpRecord* r = FindIrp(Irp);
            if (rs == STATUS_MORE_PROCESSING_REQUIRED) {
                // The routine's owner has the IRP back: it may have freed,
                // reused or sent it on already.
                if (r && r->state == IrpRecord::State::InCompletion)
                    r->state = IrpRecord::State::Stopped;
                return;
            }
            if (!r || r->state == IrpRecord::State::Freed) {
                hk::verifier::Report(kIrpUseAfterFree, "IofCompleteRequest", Irp,
                                     "IRP " + Hex(Irp) + " was freed by a completion routine that "
                                     "did not return STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
            if (r->state == IrpRecord::State::InCompletion) r->state = IrpRecord::State::Dispatched;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    std::lock_guard<std::recursive_mutex> g(s.mu);
    IrpRecord* r = FindIrp(Irp);
    r->state = IrpRecord::State::Completed;
    if (r->thread_queued) {
        FinishThreadIrp(Irp, r);
    } else {
        hk::verifier::Report(kIrpNoOwnerAtCompletion, "IofCompleteRequest", Irp,
                             "IRP " + Hex(Irp) + " from IoAllocateIrp completed to the top "
                             "without a completion routine that returns STATUS_MORE_PROCESSING_REQUIRED");
    }
}

// --- cancellation ------------------------------------------------------------------------------
EXTERN_C void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    IoState& s = State();
    KeAcquireSpinLock(&s.cancel_lock, Irql);
    s.cancel_lock_owned = true;
}

EXTERN_C void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    IoState& s = State();
    s.cancel_lock_owned = false;
    KeReleaseSpinLock(&s.cancel_lock, Irql);
}

EXTERN_C BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    IoState& s = State();
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        IrpRecord* r = FindIrp(Irp);
        if (!r || r->state == IrpRecord::State::Freed) {
            hk::verifier::Report(r ? kIrpUseAfterFree : kIrpUnknown, "IoCancelIrp", Irp,
                                 "IRP " + Hex(Irp) + (r ? " was freed" : " is not an IRP"));
            return FALSE;
        }
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount
                             ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                             : nullptr;
    routine(dev, Irp);
    if (s.cancel_lock_owned && KeGetCurrentIrql() == DISPATCH_LEVEL) {
        hk::verifier::Report(kCancelLockNotReleased, "IoCancelIrp", Irp,
                             "the cancel routine of IRP " + Hex(Irp) +
                                 " returned without releasing the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

// --- requests built for a caller -----------------------------------------------------------------
namespace {

PIRP BuildThreadRequest(PDEVICE_OBJECT DeviceObject, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!irp) return nullptr;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->RequestorMode = KernelMode;
    std::lock_guard<std::recursive_mutex> g(State().mu);
    FindIrp(irp)->thread_queued = true;
    return irp;
}

}  // namespace

EXTERN_C PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                                 PVOID Buffer, ULONG Length,
                                                 PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                 PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = BuildThreadRequest(DeviceObject, Event, IoStatusBlock);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = (UCHAR)MajorFunction;
    irp->Flags = IRP_SYNCHRONOUS_API;
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        sp->Parameters.Read.Length = Length;
        if (StartingOffset) sp->Parameters.Read.ByteOffset = *StartingOffset;
        if (Buffer && Length) {
            if (DeviceObject->Flags & DO_BUFFERED_IO) {
                if (!AttachSystemBuffer(irp, Length, MajorFunction == IRP_MJ_WRITE ? Buffer : nullptr, Length)) {
                    IoFreeIrp(irp);
                    return nullptr;
                }
                if (MajorFunction != IRP_MJ_WRITE) irp->Flags |= IRP_INPUT_OPERATION;
                irp->UserBuffer = Buffer;
            } else if (DeviceObject->Flags & DO_DIRECT_IO) {
                PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, irp);
                if (!mdl) {
                    IoFreeIrp(irp);
                    return nullptr;
                }
                MmBuildMdlForNonPagedPool(mdl);
            } else {
                irp->UserBuffer = Buffer;
            }
        }
    }
    return irp;
}

EXTERN_C PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                  PVOID InputBuffer, ULONG InputBufferLength,
                                                  PVOID OutputBuffer, ULONG OutputBufferLength,
                                                  BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                  PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = BuildThreadRequest(DeviceObject, Event, IoStatusBlock);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    irp->Flags = IRP_SYNCHRONOUS_API;
    switch (IoControlCode & 3) {
    case METHOD_BUFFERED: {
        ULONG len = std::max(InputBufferLength, OutputBufferLength);
        if (len) {
            if (!AttachSystemBuffer(irp, len, InputBuffer, InputBufferLength)) {
                IoFreeIrp(irp);
                return nullptr;
            }
            if (OutputBuffer && OutputBufferLength) irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        irp->AssociatedIrp.SystemBuffer = InputBuffer;
        if (OutputBuffer && OutputBufferLength) {
            PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            if (!mdl) {
                IoFreeIrp(irp);
                return nullptr;
            }
            MmBuildMdlForNonPagedPool(mdl);
        }
        break;
    default:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    return irp;
}

// --- drivers -----------------------------------------------------------------------------------
namespace hk::io {

PDRIVER_OBJECT LoadDriver(const std::string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status,
                          DriverOptions options) {
    IoState& s = State();
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        auto it = s.drivers.find(name);
        if (it != s.drivers.end() && !it->second->unloaded) {
            if (status) *status = STATUS_SUCCESS;
            return it->second->object;
        }
    }
    auto* drv = (PDRIVER_OBJECT)::operator new(sizeof(DRIVER_OBJECT));
    memset(drv, 0, sizeof(DRIVER_OBJECT));
    auto* ext = (PDRIVER_EXTENSION)::operator new(sizeof(DRIVER_EXTENSION) + 256 * sizeof(WCHAR) * 2);
    memset(ext, 0, sizeof(DRIVER_EXTENSION) + 256 * sizeof(WCHAR) * 2);
    drv->Type = IO_TYPE_DRIVER;
    drv->Size = sizeof(DRIVER_OBJECT);
    drv->DriverExtension = ext;
    ext->DriverObject = drv;
    drv->DriverInit = entry;
    auto* names = (WCHAR*)(ext + 1);
    std::u16string service = Widen(name);
    std::u16string driver_name = u"\\Driver\\" + service;
    if (service.size() > 200) service.resize(200);
    if (driver_name.size() > 250) driver_name.resize(250);
    std::copy(service.begin(), service.end(), names);
    ext->ServiceKeyName.Buffer = names;
    ext->ServiceKeyName.Length = (USHORT)(service.size() * 2);
    ext->ServiceKeyName.MaximumLength = (USHORT)(service.size() * 2 + 2);
    WCHAR* dn = names + 256;
    std::copy(driver_name.begin(), driver_name.end(), dn);
    drv->DriverName.Buffer = dn;
    drv->DriverName.Length = (USHORT)(driver_name.size() * 2);
    drv->DriverName.MaximumLength = (USHORT)(driver_name.size() * 2 + 2);
    for (auto& f : drv->MajorFunction) f = InvalidDeviceRequest;

    std::u16string reg = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Widen(name);
    UNICODE_STRING path;
    path.Buffer = reg.data();
    path.Length = (USHORT)(reg.size() * 2);
    path.MaximumLength = path.Length;
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) KeLowerIrql(PASSIVE_LEVEL);
    NTSTATUS st = entry(drv, &path);
    if (irql != PASSIVE_LEVEL) KeRaiseIrql(irql, &irql);
    if (status) *status = st;
    if (!NT_SUCCESS(st)) {
        ::operator delete(ext);
        ::operator delete(drv);
        return nullptr;
    }
    for (auto& f : drv->MajorFunction)
        if (!f) f = InvalidDeviceRequest;
    std::lock_guard<std::recursive_mutex> g(s.mu);
    auto rec = std::make_unique<DriverRecord>();
    rec->name = name;
    rec->object = drv;
    rec->options = std::move(options);
    auto old = s.drivers.find(name);
    if (old != s.drivers.end() && old->second->object) {
        ::operator delete(old->second->object->DriverExtension);
        ::operator delete(old->second->object);
    }
    s.drivers[name] = std::move(rec);
    return drv;
}

PDRIVER_OBJECT FindDriver(const std::string& name) {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    auto it = s.drivers.find(name);
    return it == s.drivers.end() || it->second->unloaded ? nullptr : it->second->object;
}

void UnloadDriver(const std::string& name) {
    IoState& s = State();
    PDRIVER_OBJECT drv;
    std::vector<ULONG> tags;
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        auto it = s.drivers.find(name);
        if (it == s.drivers.end() || it->second->unloaded) return;
        it->second->unloaded = true;
        drv = it->second->object;
        tags = it->second->options.pool_tags;
    }
    if (drv->DeviceObject)
        hk::verifier::Report(kDriverUnloadDevices, "UnloadDriver", drv,
                             "driver " + name + " unloaded while it still has device objects");
    if (drv->DriverUnload) {
        drv->Flags |= DRVO_UNLOAD_INVOKED;
        drv->DriverUnload(drv);
    }
    for (ULONG tag : tags) {
        hk::PoolTagStats st = s.machine->PoolStats(tag);
        if (st.blocks_in_use)
            hk::verifier::Report(kDriverUnloadLeak, "UnloadDriver", drv,
                                 "driver " + name + " unloaded with " +
                                     std::to_string(st.blocks_in_use) + " pool blocks (" +
                                     std::to_string(st.bytes_in_use) + " bytes) tagged '" +
                                     hk::TagText(tag) + "' still allocated");
    }
}

size_t OutstandingIrpCount() {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    size_t n = 0;
    for (auto& [irp, r] : s.irps)
        if (r.state != IrpRecord::State::Freed) ++n;
    return n;
}

void FailNextAttach() {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    s.fail_next_attach++;
}

std::string Narrow(const std::u16string& s) { return hk::iomgr::Narrow(s); }

}  // namespace hk::io
