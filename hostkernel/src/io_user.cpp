// The application's side of the I/O manager: opening a device interface,
// closing it, and the device-control, read and write requests built the way
// the system services build them for a synchronous handle.
#include <algorithm>
#include <cstring>

#include "io_internal.h"

namespace hk::io {

struct File {
    FILE_OBJECT object;   // what the driver sees in its stack location
    PDEVICE_OBJECT device; // the device opened (the interface's PDO)
};

}  // namespace hk::io

using namespace hk::iomgr;

namespace {

// A request that could not be built: the IRP is freed unsent and the
// reference on its target dropped.
NTSTATUS Unsent(PIRP irp, PDEVICE_OBJECT top) {
    // A request that could not be built in full gives back what it has:
    // the system buffer of an input already copied in goes with it.
    ReleaseSystemBuffer(irp);
    IoFreeIrp(irp);
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
}

// Registers a caller buffer as user memory for the duration of a request,
// unless the caller has registered it already.
class ScopedUserRange {
public:
    ScopedUserRange(const void* base, size_t length) {
        if (!base || !length) return;
        hk::Machine& m = hk::Machine::Current();
        if (m.IsUserRange(base, length, true)) return;
        m.RegisterUserRange(base, length, true);
        base_ = base;
    }
    ~ScopedUserRange() {
        if (base_)
            if (hk::Machine* m = hk::Machine::TryCurrent()) m->UnregisterUserRange(base_);
    }

private:
    const void* base_ = nullptr;
};

// What the system service's probes accept before it builds a buffered or
// direct request: a buffer of the caller's own, that is, with an address,
// not wrapping, and not kernel memory. Anything else fails the call with
// STATUS_ACCESS_VIOLATION and the driver never sees it.
bool CallerOwns(const void* buffer, ULONG length) {
    if (length == 0) return true;
    uintptr_t a = (uintptr_t)buffer;
    if (a == 0 || a + length < a) return false;
    return !hk::Machine::Current().OverlapsPool(buffer, length);
}

std::u16string NormalizeLink(std::u16string link) {
    // Applications name an interface "\\?\..." where the kernel says "\??\...".
    if (link.size() >= 4 && link[0] == u'\\' && link[1] == u'\\' && link[2] == u'?' && link[3] == u'\\')
        link[1] = u'?';
    return link;
}

// Sends a request the I/O manager built for the calling thread and waits
// for it; returns the final status.
NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, KEVENT* event, IO_STATUS_BLOCK* iosb) {
    NTSTATUS status = IofCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, UserMode, FALSE, nullptr);
        status = iosb->Status;
    } else {
        // Completed synchronously: the I/O manager already copied the result.
        status = iosb->Status;
    }
    return status;
}

PIRP NewUserIrp(hk::io::Handle h, PDEVICE_OBJECT top, UCHAR major, KEVENT* event,
                IO_STATUS_BLOCK* iosb) {
    PIRP irp = AllocateThreadIrp(top, event, iosb);
    if (!irp) return nullptr;
    irp->RequestorMode = UserMode;
    irp->Flags = IRP_SYNCHRONOUS_API;
    irp->Tail.Overlay.OriginalFileObject = &h->object;
    iosb->Status = STATUS_PENDING;
    iosb->Information = 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = &h->object;
    return irp;
}

bool Registered(PDEVICE_OBJECT top, UCHAR major) {
    PDRIVER_OBJECT d = top->DriverObject;
    return d && d->MajorFunction[major] && d->MajorFunction[major] != InvalidDeviceRequest;
}

bool StillOpen(hk::io::Handle h) {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    return std::find(s.open_files.begin(), s.open_files.end(), h) != s.open_files.end();
}

}  // namespace

namespace hk::io {

NTSTATUS Open(const std::u16string& symbolic_link, Handle* handle) {
    *handle = nullptr;
    IoState& s = State();
    std::u16string link = NormalizeLink(symbolic_link);
    PDEVICE_OBJECT pdo = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        for (auto& i : s.interfaces)
            if (i->enabled && EqualNoCase(i->link, link)) pdo = i->pdo;
        if (!pdo) return STATUS_OBJECT_NAME_NOT_FOUND;
        DeviceRecord* d = FindDevice(pdo);
        if (!d || d->deleted) return STATUS_DELETE_PENDING;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    auto* f = new File();
    memset(&f->object, 0, sizeof(FILE_OBJECT));
    f->object.Type = IO_TYPE_FILE;
    f->object.Size = sizeof(FILE_OBJECT);
    f->object.DeviceObject = pdo;
    f->object.ReadAccess = f->object.WriteAccess = TRUE;
    f->object.Flags = 0x2;  // FO_SYNCHRONOUS_IO
    KeInitializeEvent(&f->object.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&f->object.Event, NotificationEvent, FALSE);
    InitializeListHead(&f->object.IrpList);
    f->device = pdo;
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PIRP irp = NewUserIrp(f, top, IRP_MJ_CREATE, &event, &iosb);
    if (!irp) {
        ObfDereferenceObject(top);
        delete f;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Flags |= IRP_CREATE_OPERATION;
    IoGetNextIrpStackLocation(irp)->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
    NTSTATUS status = SendAndWait(top, irp, &event, &iosb);
    ObfDereferenceObject(top);
    if (!NT_SUCCESS(status)) {
        delete f;
        return status;
    }
    ObfReferenceObject(pdo);
    InterlockedIncrement(&pdo->ReferenceCount);
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        s.open_files.push_back(f);
    }
    *handle = f;
    return status;
}

NTSTATUS Open(const std::string& symbolic_link, Handle* handle) {
    return Open(Widen(symbolic_link), handle);
}

NTSTATUS Close(Handle h) {
    IoState& s = State();
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        auto it = std::find(s.open_files.begin(), s.open_files.end(), h);
        if (it == s.open_files.end()) return STATUS_INVALID_HANDLE;
        s.open_files.erase(it);
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(h->device);
    for (UCHAR major : {(UCHAR)IRP_MJ_CLEANUP, (UCHAR)IRP_MJ_CLOSE}) {
        if (major == IRP_MJ_CLEANUP && !Registered(top, major)) continue;
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        PIRP irp = NewUserIrp(h, top, major, &event, &iosb);
        if (!irp) continue;
        if (major == IRP_MJ_CLOSE) irp->Flags |= IRP_CLOSE_OPERATION;
        SendAndWait(top, irp, &event, &iosb);
    }
    ObfDereferenceObject(top);
    PDEVICE_OBJECT pdo = h->device;
    InterlockedDecrement(&pdo->ReferenceCount);
    delete h;
    OnHandleClosed(pdo);
    ObfDereferenceObject(pdo);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT DeviceOf(Handle h) { return h ? h->device : nullptr; }

NTSTATUS DeviceIoControl(Handle h, ULONG code, const void* input, ULONG input_length, void* output,
                         ULONG output_length, ULONG* bytes_returned) {
    if (bytes_returned) *bytes_returned = 0;
    if (!StillOpen(h)) return STATUS_INVALID_HANDLE;
    // METHOD_NEITHER passes the pointers unprobed: probing them is the
    // driver's business.
    if ((code & 3) != METHOD_NEITHER && (!CallerOwns(input, input_length) || !CallerOwns(output, output_length)))
        return STATUS_ACCESS_VIOLATION;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(h->device);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PIRP irp = NewUserIrp(h, top, IRP_MJ_DEVICE_CONTROL, &event, &iosb);
    if (!irp) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    sp->Parameters.DeviceIoControl.InputBufferLength = input_length;
    sp->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    ScopedUserRange in_range(nullptr, 0), out_range(nullptr, 0);
    std::unique_ptr<ScopedUserRange> neither_in, neither_out;
    switch (code & 3) {
    case METHOD_BUFFERED: {
        ULONG len = std::max(input_length, output_length);
        if (len) {
            if (!AttachSystemBuffer(irp, len, input, input_length)) return Unsent(irp, top);
            if (output && output_length) irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = output;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
        if (input && input_length) {
            if (!AttachSystemBuffer(irp, input_length, input, input_length)) return Unsent(irp, top);
        }
        if (output && output_length) {
            PMDL mdl = IoAllocateMdl(output, output_length, FALSE, FALSE, irp);
            if (!mdl) return Unsent(irp, top);
            MmBuildMdlForNonPagedPool(mdl);
        }
        break;
    }
    default:
        // METHOD_NEITHER: the driver gets the caller's own pointers and must
        // probe them; they are the caller's address space for the duration.
        sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        irp->UserBuffer = output;
        if (input == output || (input && output && (const char*)input < (const char*)output + output_length &&
                                (const char*)output < (const char*)input + input_length)) {
            const char* lo = std::min((const char*)input, (const char*)output);
            const char* hi = std::max((const char*)input + input_length, (const char*)output + output_length);
            neither_in = std::make_unique<ScopedUserRange>(lo, (size_t)(hi - lo));
        } else {
            neither_in = std::make_unique<ScopedUserRange>(input, input_length);
            neither_out = std::make_unique<ScopedUserRange>(output, output_length);
        }
        break;
    }
    NTSTATUS status = SendAndWait(top, irp, &event, &iosb);
    ObfDereferenceObject(top);
    if (bytes_returned) *bytes_returned = (ULONG)iosb.Information;
    return status;
}

namespace {

NTSTATUS ReadWrite(Handle h, UCHAR major, void* buffer, ULONG length, ULONG* done) {
    if (done) *done = 0;
    if (!StillOpen(h)) return STATUS_INVALID_HANDLE;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(h->device);
    if ((top->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO)) && !CallerOwns(buffer, length)) {
        ObfDereferenceObject(top);
        return STATUS_ACCESS_VIOLATION;
    }
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PIRP irp = NewUserIrp(h, top, major, &event, &iosb);
    if (!irp) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.Read.Length = length;
    irp->Flags |= major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    std::unique_ptr<ScopedUserRange> range;
    if (buffer && length) {
        if (top->Flags & DO_BUFFERED_IO) {
            if (!AttachSystemBuffer(irp, length, major == IRP_MJ_WRITE ? buffer : nullptr, length))
                return Unsent(irp, top);
            if (major != IRP_MJ_WRITE) irp->Flags |= IRP_INPUT_OPERATION;
            irp->UserBuffer = buffer;
        } else if (top->Flags & DO_DIRECT_IO) {
            PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
            if (mdl) MmBuildMdlForNonPagedPool(mdl);
        } else {
            irp->UserBuffer = buffer;
            range = std::make_unique<ScopedUserRange>(buffer, length);
        }
    }
    NTSTATUS status = SendAndWait(top, irp, &event, &iosb);
    ObfDereferenceObject(top);
    if (done) *done = (ULONG)iosb.Information;
    return status;
}

}  // namespace

NTSTATUS Read(Handle h, void* buffer, ULONG length, ULONG* bytes_read) {
    return ReadWrite(h, IRP_MJ_READ, buffer, length, bytes_read);
}

NTSTATUS Write(Handle h, const void* buffer, ULONG length, ULONG* bytes_written) {
    return ReadWrite(h, IRP_MJ_WRITE, const_cast<void*>(buffer), length, bytes_written);
}

}  // namespace hk::io
