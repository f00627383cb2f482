// The plug-and-play manager's services that a bus driver leans on, shown
// with a small bus of one child that needs no function driver: power
// requests passed down with PoStartNextPowerIrp/PoCallDriver, disable and
// enable with their interface notifications, a raw child started and
// removed, eject, and WaitIdle while the manager sleeps on the virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hk/io.h"
#include "hk/machine.h"
#include "hk/pnp.h"
#include "hk/testing.h"
#include "hostkernel/wdk.h"

namespace {

constexpr ULONG kTag = hk::MakeTag("MBus");
DEFINE_GUID(kMgrBusInterface, 0x5ee1b0b5, 0x1d2c, 0x4e3f, 0x9a, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07);

struct Ext {
    bool fdo;
    PDEVICE_OBJECT lower, underlying;  // FDO
    PDEVICE_OBJECT child;              // FDO: its one child PDO, while it exists
    bool child_present;                // FDO: the child is reported in relations
    PDEVICE_OBJECT parent;             // child: the bus FDO
    UNICODE_STRING iface;
};
Ext* X(PDEVICE_OBJECT d) { return (Ext*)d->DeviceExtension; }

// What the drivers saw, for the tests to check.
std::mutex g_mu;
std::vector<std::string> g_seen;
NTSTATUS g_fail_power = STATUS_SUCCESS;  // the FDO fails set-power requests with this
std::atomic<LONGLONG> g_relations_delay_ms{0};  // the FDO's next relations answer waits this long

void Seen(const std::string& s) {
    std::lock_guard<std::mutex> g(g_mu);
    g_seen.push_back(s);
}

NTSTATUS Done(PIRP irp, NTSTATUS st, ULONG_PTR info = 0) {
    irp->IoStatus.Status = st;
    if (info) irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

NTSTATUS NTAPI SignalRoutine(PDEVICE_OBJECT, PIRP, PVOID ctx) {
    KeSetEvent((PKEVENT)ctx, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Ext* x, PIRP irp) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalRoutine, &ev, TRUE, TRUE, TRUE);
    if (IoCallDriver(x->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

PWSTR PoolText(const char16_t* s) {
    size_t n = std::char_traits<char16_t>::length(s);
    auto* w = (PWSTR)ExAllocatePoolWithTag(PagedPool, (n + 2) * 2, kTag);
    memcpy(w, s, n * 2);
    w[n] = w[n + 1] = 0;
    return w;
}

std::string PowerText(const char* who, PIO_STACK_LOCATION sp) {
    return std::string(who) + (sp->MinorFunction == IRP_MN_SET_POWER ? ":set:" : ":other:") +
           (sp->Parameters.Power.Type == DevicePowerState ? "D" : "S") +
           std::to_string((int)sp->Parameters.Power.State.DeviceState);
}

NTSTATUS ChildPnp(PDEVICE_OBJECT dev, PIRP irp) {
    Ext* x = X(dev);
    Ext* bus = X(x->parent);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        Seen("child:start");
        NTSTATUS st = STATUS_SUCCESS;
        if (!x->iface.Buffer)
            st = IoRegisterDeviceInterface(dev, &GUID_DEVINTERFACE_USB_DEVICE, nullptr, &x->iface);
        if (NT_SUCCESS(st)) st = IoSetDeviceInterfaceState(&x->iface, TRUE);
        return Done(irp, st);
    }
    case IRP_MN_QUERY_ID:
        switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
        case BusQueryHardwareIDs: return Done(irp, STATUS_SUCCESS, (ULONG_PTR)PoolText(u"MGR\\RAWCHILD"));
        case BusQueryInstanceID: return Done(irp, STATUS_SUCCESS, (ULONG_PTR)PoolText(u"7"));
        default: return Done(irp, irp->IoStatus.Status);
        }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES c = sp->Parameters.DeviceCapabilities.Capabilities;
        c->RawDeviceOK = 1;  // usable without a function driver
        c->EjectSupported = 1;
        c->Removable = 1;
        return Done(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* r = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag);
            r->Count = 1;
            r->Objects[0] = dev;
            ObfReferenceObject(dev);
            return Done(irp, STATUS_SUCCESS, (ULONG_PTR)r);
        }
        return Done(irp, irp->IoStatus.Status);
    case IRP_MN_EJECT:
        // The hardware leaves: the bus stops reporting it.
        Seen("child:eject");
        bus->child_present = false;
        IoInvalidateDeviceRelations(bus->underlying, BusRelations);
        return Done(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        Seen("child:surprise");
        IoSetDeviceInterfaceState(&x->iface, FALSE);
        return Done(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        Seen(bus->child_present ? "child:remove(kept)" : "child:remove(deleted)");
        if (x->iface.Buffer) IoSetDeviceInterfaceState(&x->iface, FALSE);
        Done(irp, STATUS_SUCCESS);
        // A PDO still reported by its bus stays; one that is gone is deleted.
        if (!bus->child_present) {
            if (x->iface.Buffer) RtlFreeUnicodeString(&x->iface);
            bus->child = nullptr;
            IoDeleteDevice(dev);
        }
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Done(irp, STATUS_SUCCESS);
    default:
        return Done(irp, irp->IoStatus.Status);
    }
}

NTSTATUS FdoPnp(PDEVICE_OBJECT dev, PIRP irp) {
    Ext* x = X(dev);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS st = ForwardAndWait(x, irp);
        if (NT_SUCCESS(st) && !x->child) {
            PDEVICE_OBJECT c;
            st = IoCreateDevice(dev->DriverObject, sizeof(Ext), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &c);
            if (NT_SUCCESS(st)) {
                X(c)->parent = dev;
                c->Flags &= ~DO_DEVICE_INITIALIZING;
                x->child = c;
                x->child_present = true;
            }
        }
        if (NT_SUCCESS(st)) {
            IoInvalidateDeviceRelations(x->underlying, BusRelations);
            st = IoSetDeviceInterfaceState(&x->iface, TRUE);
        }
        return Done(irp, st);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        if (sp->Parameters.QueryDeviceRelations.Type != BusRelations) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(x->lower, irp);
        }
        if (LONGLONG ms = g_relations_delay_ms.exchange(0)) {
            LARGE_INTEGER d;
            d.QuadPart = -10000 * ms;
            KeDelayExecutionThread(KernelMode, FALSE, &d);
        }
        auto* r = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag);
        r->Count = 0;
        if (x->child && x->child_present) {
            r->Objects[r->Count++] = x->child;
            ObfReferenceObject(x->child);
        }
        return Done(irp, STATUS_SUCCESS, (ULONG_PTR)r);
    }
    case IRP_MN_REMOVE_DEVICE: {
        Seen("bus:remove");
        IoSetDeviceInterfaceState(&x->iface, FALSE);
        RtlFreeUnicodeString(&x->iface);
        if (x->child) {  // removed already; the bus goes, so the child does
            Ext* cx = X(x->child);
            if (cx->iface.Buffer) RtlFreeUnicodeString(&cx->iface);
            IoDeleteDevice(x->child);
            x->child = nullptr;
        }
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS st = IoCallDriver(x->lower, irp);
        IoDetachDevice(x->lower);
        IoDeleteDevice(dev);
        return st;
    }
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(x->lower, irp);
    }
}

NTSTATUS Power(PDEVICE_OBJECT dev, PIRP irp) {
    Ext* x = X(dev);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (!x->fdo) {
        Seen(PowerText("child", sp));
        PoStartNextPowerIrp(irp);
        return Done(irp, STATUS_SUCCESS);
    }
    Seen(PowerText("bus", sp));
    if (sp->MinorFunction == IRP_MN_SET_POWER && g_fail_power != STATUS_SUCCESS) {
        PoStartNextPowerIrp(irp);
        return Done(irp, g_fail_power);
    }
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState)
        PoSetPowerState(dev, DevicePowerState, sp->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(x->lower, irp);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT dev, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction) {
    case IRP_MJ_PNP: return X(dev)->fdo ? FdoPnp(dev, irp) : ChildPnp(dev, irp);
    case IRP_MJ_POWER: return Power(dev, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE: return Done(irp, STATUS_SUCCESS);
    default: return Done(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT drv, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS st = IoCreateDevice(drv, sizeof(Ext), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(st)) return st;
    Ext* x = X(fdo);
    x->fdo = true;
    x->underlying = pdo;
    x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    st = IoRegisterDeviceInterface(pdo, &kMgrBusInterface, nullptr, &x->iface);
    if (!NT_SUCCESS(st)) {
        IoDetachDevice(x->lower);
        IoDeleteDevice(fdo);
        return st;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT drv, PUNICODE_STRING) {
    for (UCHAR m : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_DEVICE_CONTROL})
        drv->MajorFunction[m] = Dispatch;
    drv->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

struct Note {
    bool arrival;
    std::string link;
    std::thread::id thread;
};

class PnpManager : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> g(g_mu);
            g_seen.clear();
        }
        g_fail_power = STATUS_SUCCESS;
        g_relations_delay_ms = 0;
        sub = hk::io::SubscribeInterfaces([this](bool arrival, const GUID& guid, const std::u16string& link) {
            std::lock_guard<std::mutex> g(g_mu);
            notes.push_back({arrival, (guid == kMgrBusInterface ? "bus " : "child ") + hk::io::Narrow(link),
                             std::this_thread::get_id()});
        });
        ASSERT_NE(hk::io::LoadDriver("mgrbus", Entry, nullptr, {{kTag}}), nullptr);
        hk::pnp::RootDeviceSettings root_device;
        root_device.enumerator = "ROOT\\MGRBUS";
        root_device.hardware_ids = {"root\\mgrbus"};
        root_device.driver = "mgrbus";
        ASSERT_EQ(hk::pnp::InstallRootDevice(root_device, &root), STATUS_SUCCESS);
        ASSERT_TRUE(hk::pnp::WaitIdle());
    }
    void TearDown() override { hk::io::UnsubscribeInterfaces(sub); }

    PDEVICE_OBJECT Child() {
        auto kids = hk::pnp::Children(root);
        return kids.empty() ? nullptr : kids[0];
    }
    std::vector<std::string> Seen() {
        std::lock_guard<std::mutex> g(g_mu);
        return g_seen;
    }
    void ClearSeen() {
        std::lock_guard<std::mutex> g(g_mu);
        g_seen.clear();
        notes.clear();
    }
    std::vector<std::string> Notes() {
        std::lock_guard<std::mutex> g(g_mu);
        std::vector<std::string> out;
        for (auto& n : notes) out.push_back((n.arrival ? "+" : "-") + n.link);
        return out;
    }
    std::vector<std::string> Events(PDEVICE_OBJECT pdo) {
        hk::pnp::DeviceInfo info;
        std::string path = hk::pnp::Find(pdo, &info) ? info.instance_path : "?";
        std::vector<std::string> out;
        for (auto& e : hk::pnp::Log())
            if (e.instance_path == path) out.push_back(e.what);
        return out;
    }

    hk::Machine machine;
    PDEVICE_OBJECT root = nullptr;
    int sub = 0;
    std::vector<Note> notes;
};

const std::string kBusLink = "bus \\??\\ROOT#MGRBUS#0000#{5ee1b0b5-1d2c-4e3f-9a01-020304050607}";
const std::string kChildLink = "child \\??\\MGR#RAWCHILD#7#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

TEST_F(PnpManager, RawChildStartsWithoutFunctionDriverAndIsRemovedWithItsBus) {
    PDEVICE_OBJECT child = Child();
    ASSERT_NE(child, nullptr);
    hk::pnp::DeviceInfo info;
    ASSERT_TRUE(hk::pnp::Find(child, &info));
    EXPECT_EQ(info.instance_path, "MGR\\RAWCHILD\\7");
    EXPECT_TRUE(info.raw);
    EXPECT_TRUE(info.function_driver.empty());
    EXPECT_EQ(info.state, hk::pnp::NodeState::Started);
    // No AddDevice: the PDO is the whole stack and gets the start itself.
    std::vector<std::string> ev = Events(child);
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev[0], "START_DEVICE");
    EXPECT_EQ(IoGetAttachedDevice(child), child);
    EXPECT_EQ(Notes(), (std::vector<std::string>{"+" + kBusLink, "+" + kChildLink}));

    ClearSeen();
    hk::pnp::ClearLog();
    ASSERT_EQ(hk::pnp::Uninstall(root), STATUS_SUCCESS);
    ASSERT_TRUE(hk::pnp::WaitIdle());
    EXPECT_EQ(Seen(), (std::vector<std::string>{"child:remove(kept)", "bus:remove"}));
    EXPECT_EQ(Notes(), (std::vector<std::string>{"-" + kChildLink, "-" + kBusLink}));
    EXPECT_TRUE(hk::pnp::Devices().empty());
    hk::io::UnloadDriver("mgrbus");
    HK_EXPECT_CLEAN(machine);
}

TEST_F(PnpManager, InterfaceNotificationsArriveOnTheManagerThreadInOrder) {
    std::lock_guard<std::mutex> g(g_mu);
    ASSERT_EQ(notes.size(), 2u);
    for (const Note& n : notes) {
        EXPECT_TRUE(n.arrival);
        EXPECT_NE(n.thread, std::this_thread::get_id()) << "delivered inside the caller";
        EXPECT_EQ(n.thread, notes[0].thread) << "every notification comes from the one manager thread";
    }
}

TEST_F(PnpManager, DisableRemovesTheStackKeepsTheNodeAndEnableBringsItAllBack) {
    ClearSeen();
    ASSERT_EQ(hk::pnp::Disable(root), STATUS_SUCCESS);
    ASSERT_TRUE(hk::pnp::WaitIdle());
    hk::pnp::DeviceInfo info;
    ASSERT_TRUE(hk::pnp::Find(root, &info));
    EXPECT_TRUE(info.disabled);
    EXPECT_EQ(info.state, hk::pnp::NodeState::Removed);
    EXPECT_TRUE(hk::pnp::Children(root).empty());
    EXPECT_EQ(Seen(), (std::vector<std::string>{"child:remove(kept)", "bus:remove"}));
    EXPECT_TRUE(hk::io::FindInterfaces(kMgrBusInterface).empty());
    EXPECT_TRUE(hk::io::FindInterfaces(GUID_DEVINTERFACE_USB_DEVICE).empty());
    EXPECT_EQ(Notes(), (std::vector<std::string>{"-" + kChildLink, "-" + kBusLink}));
    hk::io::Handle h;
    EXPECT_EQ(hk::io::Open(u"\\??\\ROOT#MGRBUS#0000#{5ee1b0b5-1d2c-4e3f-9a01-020304050607}", &h),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // Enabling again adds and starts the bus, which is asked for its
    // children again: the same links come back, announced again.
    ClearSeen();
    hk::pnp::ClearLog();
    ASSERT_EQ(hk::pnp::Enable(root), STATUS_SUCCESS);
    ASSERT_TRUE(hk::pnp::WaitIdle());
    ASSERT_TRUE(hk::pnp::Find(root, &info));
    EXPECT_FALSE(info.disabled);
    EXPECT_EQ(info.state, hk::pnp::NodeState::Started);
    std::vector<std::string> ev = Events(root);
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(ev.begin(), ev.begin() + 3),
              (std::vector<std::string>{"AddDevice", "START_DEVICE", "QUERY_DEVICE_RELATIONS"}));
    ASSERT_NE(Child(), nullptr);
    EXPECT_EQ(Notes(), (std::vector<std::string>{"+" + kBusLink, "+" + kChildLink}));
    EXPECT_EQ(hk::io::FindInterfaces(kMgrBusInterface).size(), 1u);
    EXPECT_EQ(hk::io::FindInterfaces(GUID_DEVINTERFACE_USB_DEVICE).size(), 1u);
    ASSERT_EQ(hk::io::Open(u"\\??\\ROOT#MGRBUS#0000#{5ee1b0b5-1d2c-4e3f-9a01-020304050607}", &h),
              STATUS_SUCCESS);
    // An open handle vetoes the next disable; enabling an enabled device is a no-op.
    EXPECT_EQ(hk::pnp::Disable(root), STATUS_DEVICE_BUSY);
    EXPECT_EQ(hk::io::Close(h), STATUS_SUCCESS);
    hk::pnp::ClearLog();
    EXPECT_EQ(hk::pnp::Enable(root), STATUS_SUCCESS);
    EXPECT_TRUE(Events(root).empty());
}

struct PowerCase {
    const char* name;
    POWER_STATE_TYPE type;
    int state;  // DEVICE_POWER_STATE or SYSTEM_POWER_STATE
    NTSTATUS bus_fails_with;
    NTSTATUS expected;
    DEVICE_POWER_STATE recorded;  // the node's device power state afterwards
};

TEST_F(PnpManager, SetPowerIsForwardedDownTheStackWithPoCallDriver) {
    const PowerCase cases[] = {
        {"device to D3", DevicePowerState, PowerDeviceD3, STATUS_SUCCESS, STATUS_SUCCESS, PowerDeviceD3},
        {"device back to D0", DevicePowerState, PowerDeviceD0, STATUS_SUCCESS, STATUS_SUCCESS, PowerDeviceD0},
        {"system sleep leaves the device state", SystemPowerState, PowerSystemSleeping3, STATUS_SUCCESS,
         STATUS_SUCCESS, PowerDeviceD0},
        {"a refusal reaches the caller", DevicePowerState, PowerDeviceD2, STATUS_NOT_SUPPORTED,
         STATUS_NOT_SUPPORTED, PowerDeviceD0},
    };
    for (const PowerCase& c : cases) {
        SCOPED_TRACE(c.name);
        ClearSeen();
        hk::pnp::ClearLog();
        g_fail_power = c.bus_fails_with;
        POWER_STATE ps;
        ps.DeviceState = (DEVICE_POWER_STATE)c.state;
        EXPECT_EQ(hk::pnp::SetPower(root, c.type, ps), c.expected);
        std::string want = std::string("bus:set:") + (c.type == DevicePowerState ? "D" : "S") +
                           std::to_string(c.state);
        EXPECT_EQ(Seen(), std::vector<std::string>{want});
        hk::pnp::DeviceInfo info;
        ASSERT_TRUE(hk::pnp::Find(root, &info));
        EXPECT_EQ(info.device_power, c.recorded);
        EXPECT_EQ(Events(root), std::vector<std::string>{"SET_POWER"});
    }
    // The raw child's stack is its PDO alone.
    ClearSeen();
    g_fail_power = STATUS_SUCCESS;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(hk::pnp::SetPower(Child(), DevicePowerState, d3), STATUS_SUCCESS);
    EXPECT_EQ(Seen(), std::vector<std::string>{"child:set:D" + std::to_string((int)PowerDeviceD3)});
    EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);
    EXPECT_EQ(machine.CountFindings("PowerRoutineWithoutPowerIrp"), 0u);
}

TEST_F(PnpManager, EjectRemovesTheStackThenTellsTheDeviceAndForgetsItOnceGone) {
    PDEVICE_OBJECT child = Child();
    ASSERT_NE(child, nullptr);
    // An open handle on the child vetoes the eject: nothing is removed.
    hk::io::Handle h;
    ASSERT_EQ(hk::io::Open(u"\\??\\MGR#RAWCHILD#7#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", &h),
              STATUS_SUCCESS);
    ClearSeen();
    IoRequestDeviceEject(child);
    ASSERT_TRUE(hk::pnp::WaitIdle());
    EXPECT_TRUE(Seen().empty());
    EXPECT_EQ(hk::pnp::Children(root).size(), 1u);
    ASSERT_EQ(hk::io::Close(h), STATUS_SUCCESS);

    ClearSeen();
    hk::pnp::ClearLog();
    IoRequestDeviceEject(child);  // returns at once: the work is the manager's
    ASSERT_TRUE(hk::pnp::WaitIdle());
    // Query, removal while still present, eject; then the bus drops it from
    // its relations and the manager removes it once more so the bus can
    // delete the PDO.
    EXPECT_EQ(Seen(), (std::vector<std::string>{"child:remove(kept)", "child:eject",
                                                "child:remove(deleted)"}));
    std::vector<std::string> all;
    for (auto& e : hk::pnp::Log())
        if (e.instance_path == "MGR\\RAWCHILD\\7") all.push_back(e.what);
    EXPECT_EQ(all, (std::vector<std::string>{"QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "EJECT",
                                             "REMOVE_DEVICE"}));
    EXPECT_TRUE(hk::pnp::Children(root).empty());
    EXPECT_EQ(Notes(), std::vector<std::string>{"-" + kChildLink});
    ASSERT_EQ(hk::pnp::Uninstall(root), STATUS_SUCCESS);
    hk::io::UnloadDriver("mgrbus");
    HK_EXPECT_CLEAN(machine);
}

TEST_F(PnpManager, WaitIdleWaitsWhileTheManagerSleepsOnTheVirtualClock) {
    ASSERT_EQ(hk::pnp::Disable(root), STATUS_SUCCESS);
    g_relations_delay_ms = 50;
    // The manager starts the bus, then sleeps inside the relations query
    // that the start asked for, until the clock moves.
    ASSERT_EQ(hk::pnp::Enable(root), STATUS_SUCCESS);
    ASSERT_TRUE(machine.Settle());
    EXPECT_EQ(machine.NextDeadline(), machine.Elapsed100ns() + 50 * 10000);
    EXPECT_FALSE(hk::pnp::WaitIdle(std::chrono::milliseconds(50)));
    EXPECT_TRUE(hk::pnp::Children(root).empty());
    machine.AdvanceMs(49);
    EXPECT_FALSE(hk::pnp::WaitIdle(std::chrono::milliseconds(20)));
    // Advance returns once the manager has blocked again, i.e. has finished.
    machine.AdvanceMs(1);
    EXPECT_TRUE(hk::pnp::WaitIdle(std::chrono::milliseconds(0)));
    EXPECT_EQ(hk::pnp::Children(root).size(), 1u);
}

TEST_F(PnpManager, PowerRoutinesRefuseOtherRequests) {
    // PoStartNextPowerIrp on a location that holds no power request.
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetNextIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    HK_EXPECT_FINDING(machine, "PowerRoutineWithoutPowerIrp");
    IoFreeIrp(irp);

    // PoCallDriver with a create request.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(root);
    irp = IoAllocateIrp(top->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalRoutine, &done, TRUE, TRUE, TRUE);
    PoCallDriver(top, irp);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    HK_EXPECT_FINDING(machine, "PowerRoutineWithoutPowerIrp");
    IoFreeIrp(irp);
    ObDereferenceObject(top);
}

}  // namespace
