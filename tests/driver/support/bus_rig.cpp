#include "support/bus_rig.h"

#include <cstring>

#include "audio/audio.h"

namespace bus_rig {

hk::Machine::Options RealClock() {
    hk::Machine::Options o;
    // Nothing here is paced by time; the pacing thread runs in real time in
    // the background, and removal does not have to drive a virtual clock.
    o.clock = hk::ClockMode::Real;
    return o;
}

Rig::Rig(hk::Machine::Options options) : machine(options) {}

Rig::~Rig() { TearDown(); }

PDRIVER_OBJECT Rig::Driver() {
    if (!driver_) {
        hk::io::DriverOptions options;
        options.pool_tags = {kZuwa, kDcba};
        NTSTATUS status = STATUS_SUCCESS;
        driver_ = hk::io::LoadDriver(kDriverName, DriverEntry, &status, options);
        hk::pnp::RegisterFunctionDriver(kHardwareId, kDriverName, DriverEntry);
        // The children are not usable raw: without a function driver of
        // their own the manager would leave them unstarted, as Windows does.
        RegisterPassThroughFunctionDriver();
    }
    return driver_;
}

NTSTATUS Rig::Install() {
    Driver();
    hk::pnp::RootDeviceSettings root_device;
    root_device.hardware_ids = {kHardwareId};
    root_device.description = "virtual USB bus";
    root_device.driver = kDriverName;
    NTSTATUS status = hk::pnp::InstallRootDevice(root_device, &root_pdo);
    hk::pnp::WaitIdle();
    installed_ = root_pdo != nullptr;
    fdo = nullptr;
    if (root_pdo) {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(root_pdo);
        ObfDereferenceObject(top);
        if (top != root_pdo) fdo = top;
    }
    return status;
}

NTSTATUS Rig::Uninstall() {
    if (!installed_) return STATUS_SUCCESS;
    CloseBus();
    NTSTATUS status = hk::pnp::Uninstall(root_pdo);
    hk::pnp::WaitIdle();
    installed_ = false;
    root_pdo = nullptr;
    fdo = nullptr;
    return status;
}

void Rig::TearDown() {
    Uninstall();
    if (hk::io::FindDriver("passthrough")) hk::io::UnloadDriver("passthrough");
    if (driver_) {
        hk::io::UnloadDriver(kDriverName);
        driver_ = nullptr;
    }
}

std::vector<PDEVICE_OBJECT> Rig::ReportedChildren() const {
    return root_pdo ? hk::pnp::Children(root_pdo) : std::vector<PDEVICE_OBJECT>{};
}

NTSTATUS Rig::OpenBus() {
    if (bus_handle_) return STATUS_SUCCESS;
    std::vector<std::u16string> links = hk::io::FindInterfaces(VhubBusInterfaceGuid);
    if (links.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return hk::io::Open(links[0], &bus_handle_);
}

void Rig::CloseBus() {
    if (bus_handle_) {
        hk::io::Close(bus_handle_);
        bus_handle_ = nullptr;
    }
}

NTSTATUS Rig::Ioctl(ULONG code, const void* in, ULONG in_length, void* out, ULONG out_length, ULONG* returned) {
    NTSTATUS status = OpenBus();
    if (!NT_SUCCESS(status)) return status;
    ULONG dummy = 0;
    return hk::io::DeviceIoControl(bus_handle_, code, in, in_length, out, out_length, returned ? returned : &dummy);
}

bool Rig::BusInterfaceEnabled() const { return !hk::io::FindInterfaces(VhubBusInterfaceGuid).empty(); }

size_t Rig::PacingThreads() const {
    size_t n = 0;
    for (const hk::ThreadInfo& t : machine.Threads())
        if (t.start_routine == (void*)&ThreadProc && !t.finished) ++n;
    return n;
}

size_t Rig::PacingThreadsEver() const {
    size_t n = 0;
    for (const hk::ThreadInfo& t : machine.Threads())
        if (t.start_routine == (void*)&ThreadProc) ++n;
    return n;
}

bool Rig::Logged(const std::string& text) const { return machine.DebugText().find(text) != std::string::npos; }

size_t Rig::CountLogged(const std::string& text) const {
    size_t n = 0;
    for (const std::string& e : machine.DebugLog())
        if (e == text) ++n;
    return n;
}

namespace {
NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

Sent SendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
             NTSTATUS preset, ULONG_PTR preset_information) {
    Sent r;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    irp->IoStatus.Status = preset;
    irp->IoStatus.Information = preset_information;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (setup) setup(next);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    r.returned = IofCallDriver(target, irp);
    if (r.returned == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    r.status = irp->IoStatus.Status;
    r.information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return r;
}

void RegisterPassThroughFunctionDriver() { hk::pnp::RegisterPassThroughFunctionDriver("USB\\COMPOSITE"); }

std::vector<std::u16string> ChildInterfaces() { return hk::io::FindInterfaces(VhubUsbDeviceInterfaceGuid); }

std::u16string WideOf(const void* buffer) {
    std::u16string s;
    for (const char16_t* p = (const char16_t*)buffer; *p; ++p) s += *p;
    return s;
}

std::vector<std::u16string> MultiOf(const void* buffer) {
    std::vector<std::u16string> out;
    const char16_t* p = (const char16_t*)buffer;
    while (*p) {
        std::u16string s(p);
        out.push_back(s);
        p += s.size() + 1;
    }
    return out;
}

}  // namespace bus_rig
