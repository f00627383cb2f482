// The plug-and-play manager with a small bus driver of its own: install
// order, asynchronous relations and their diff, identification of children,
// function-driver binding, removal orders, stop, interfaces and the
// application's requests on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hk/io.h"
#include "hk/machine.h"
#include "hk/pnp.h"
#include "hk/testing.h"
#include "hostkernel/wdk.h"

namespace {

constexpr ULONG kTag = hk::MakeTag("TBus");
DEFINE_GUID(kBusInterface, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55);
constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kIoctlUnplug = CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct BusExt {
    bool fdo;
    PDEVICE_OBJECT self, lower, underlying;
    PDEVICE_OBJECT children[2];
    bool present[2];
    int index;  // child
    PDEVICE_OBJECT parent;
    UNICODE_STRING iface;
};

bool g_in_start = false;
bool g_relations_inside_start = false;
bool g_lower_started_first = false;
const void* g_seen_type3 = nullptr;
const void* g_seen_user = nullptr;
bool g_probe_ok = false;
// The second child's compatible ID and whether it declares itself usable
// without a function driver.
const char16_t* g_compat_1 = u"TEST\\COMPAT";
bool g_raw_ok_1 = false;

BusExt* X(PDEVICE_OBJECT d) { return (BusExt*)d->DeviceExtension; }

NTSTATUS Done(PIRP irp, NTSTATUS st, ULONG_PTR info = 0, bool set_info = false) {
    irp->IoStatus.Status = st;
    if (set_info) irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

NTSTATUS NTAPI SetEventRoutine(PDEVICE_OBJECT, PIRP, PVOID ctx) {
    KeSetEvent((PKEVENT)ctx, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(BusExt* x, PIRP irp) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SetEventRoutine, &ev, TRUE, TRUE, TRUE);
    NTSTATUS st = IoCallDriver(x->lower, irp);
    if (st == STATUS_PENDING) {
        KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
        st = irp->IoStatus.Status;
    }
    return st;
}

NTSTATUS PassOn(BusExt* x, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(x->lower, irp);
}

PWSTR PoolText(const char16_t* s, bool multi) {
    size_t n = std::char_traits<char16_t>::length(s);
    auto* w = (PWSTR)ExAllocatePoolWithTag(PagedPool, (n + 2) * 2, kTag);
    memcpy(w, s, n * 2);
    w[n] = 0;
    w[n + 1] = 0;
    (void)multi;
    return w;
}

NTSTATUS ChildPnp(PDEVICE_OBJECT dev, PIRP irp) {
    BusExt* x = X(dev);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS st = IoRegisterDeviceInterface(dev, &GUID_DEVINTERFACE_USB_DEVICE, nullptr, &x->iface);
        if (NT_SUCCESS(st)) st = IoSetDeviceInterfaceState(&x->iface, TRUE);
        return Done(irp, st);
    }
    case IRP_MN_QUERY_ID: {
        const char16_t* t = nullptr;
        switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
        case BusQueryHardwareIDs: t = x->index ? u"TEST\\DEV_1" : u"TEST\\DEV_0"; break;
        case BusQueryCompatibleIDs: t = x->index ? g_compat_1 : u"TEST\\COMPAT"; break;
        case BusQueryInstanceID: t = x->index ? u"02" : u"01"; break;
        default: return Done(irp, irp->IoStatus.Status);
        }
        return Done(irp, STATUS_SUCCESS, (ULONG_PTR)PoolText(t, true), true);
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
        return Done(irp, STATUS_SUCCESS,
                    (ULONG_PTR)PoolText(sp->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription
                                            ? u"Test Child" : u"Test Bus", false),
                    true);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES c = sp->Parameters.DeviceCapabilities.Capabilities;
        if (c->Size != 64 || c->Version != 1 || c->Address != 0xFFFFFFFF || c->UINumber != 0xFFFFFFFF)
            return Done(irp, STATUS_UNSUCCESSFUL);  // the manager must preset these
        c->Address = (ULONG)x->index + 1;
        c->SurpriseRemovalOK = 1;
        if (x->index == 1 && g_raw_ok_1) c->RawDeviceOK = 1;
        return Done(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
        auto* b = (PPNP_BUS_INFORMATION)ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kTag);
        b->BusTypeGuid = GUID_BUS_TYPE_USB;
        b->LegacyBusType = PNPBus;
        b->BusNumber = 0;
        return Done(irp, STATUS_SUCCESS, (ULONG_PTR)b, true);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* r = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag);
            r->Count = 1;
            r->Objects[0] = dev;
            ObfReferenceObject(dev);
            return Done(irp, STATUS_SUCCESS, (ULONG_PTR)r, true);
        }
        return Done(irp, irp->IoStatus.Status);
    case IRP_MN_SURPRISE_REMOVAL:
        IoSetDeviceInterfaceState(&x->iface, FALSE);
        return Done(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        if (x->iface.Buffer) RtlFreeUnicodeString(&x->iface);
        BusExt* bus = X(x->parent);
        if (bus->children[x->index] == dev) bus->children[x->index] = nullptr;
        Done(irp, STATUS_SUCCESS);
        IoDeleteDevice(dev);
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        return Done(irp, STATUS_SUCCESS);
    default:
        return Done(irp, irp->IoStatus.Status);
    }
}

NTSTATUS FdoPnp(PDEVICE_OBJECT dev, PIRP irp) {
    BusExt* x = X(dev);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        g_in_start = true;
        NTSTATUS st = ForwardAndWait(x, irp);
        // The root PDO's answer is in: the lower driver started first.
        g_lower_started_first = NT_SUCCESS(st);
        if (NT_SUCCESS(st)) {
            for (int i = 0; i < 2; ++i) {
                if (x->children[i]) continue;
                PDEVICE_OBJECT c;
                IoCreateDevice(dev->DriverObject, sizeof(BusExt), nullptr, FILE_DEVICE_BUS_EXTENDER,
                               FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &c);
                BusExt* cx = X(c);
                cx->self = c;
                cx->index = i;
                cx->parent = dev;
                c->Flags &= ~DO_DEVICE_INITIALIZING;
                x->children[i] = c;
                x->present[i] = true;
            }
            IoInvalidateDeviceRelations(x->underlying, BusRelations);
            st = IoSetDeviceInterfaceState(&x->iface, TRUE);
        }
        g_in_start = false;
        return Done(irp, st);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        if (sp->Parameters.QueryDeviceRelations.Type != BusRelations) return PassOn(x, irp);
        if (g_in_start) g_relations_inside_start = true;
        auto* r = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + 8, kTag);
        r->Count = 0;
        for (int i = 0; i < 2; ++i)
            if (x->children[i] && x->present[i]) {
                r->Objects[r->Count++] = x->children[i];
                ObfReferenceObject(x->children[i]);
            }
        return Done(irp, STATUS_SUCCESS, (ULONG_PTR)r, true);
    }
    case IRP_MN_STOP_DEVICE: {
        IoSetDeviceInterfaceState(&x->iface, FALSE);
        return PassOn(x, irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
        IoSetDeviceInterfaceState(&x->iface, FALSE);
        RtlFreeUnicodeString(&x->iface);
        NTSTATUS st = PassOn(x, irp);
        IoDetachDevice(x->lower);
        IoDeleteDevice(dev);
        return st;
    }
    default:
        return PassOn(x, irp);
    }
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT dev, PIRP irp) {
    BusExt* x = X(dev);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
        return x->fdo ? FdoPnp(dev, irp) : ChildPnp(dev, irp);
    case IRP_MJ_POWER:
        if (x->fdo) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(x->lower, irp);
        }
        return Done(irp, STATUS_SUCCESS);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
        return Done(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
        if (code == kIoctlEcho) {
            // Reverses the input into the system buffer; reports as many
            // bytes as the input's first byte says.
            auto* b = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
            ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
            ULONG n = b[0];
            std::reverse(b, b + in);
            return Done(irp, STATUS_SUCCESS, n, true);
        }
        if (code == kIoctlNeither) {
            g_seen_type3 = sp->Parameters.DeviceIoControl.Type3InputBuffer;
            g_seen_user = irp->UserBuffer;
            g_probe_ok = false;
            try {
                ProbeForRead(g_seen_type3, sp->Parameters.DeviceIoControl.InputBufferLength, 1);
                ProbeForWrite(irp->UserBuffer, sp->Parameters.DeviceIoControl.OutputBufferLength, 1);
                g_probe_ok = true;
                memset(irp->UserBuffer, 0xAB, sp->Parameters.DeviceIoControl.OutputBufferLength);
            } catch (const hk::AccessViolation&) {
            }
            return Done(irp, STATUS_SUCCESS, sp->Parameters.DeviceIoControl.OutputBufferLength, true);
        }
        if (code == kIoctlUnplug) {
            x->present[1] = false;
            IoInvalidateDeviceRelations(x->underlying, BusRelations);
            return Done(irp, STATUS_SUCCESS, 0, true);
        }
        return Done(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    default:
        return Done(irp, irp->IoStatus.Status);
    }
}

NTSTATUS NTAPI BusAdd(PDRIVER_OBJECT drv, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS st = IoCreateDevice(drv, sizeof(BusExt), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                 FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(st)) return st;
    BusExt* x = X(fdo);
    x->fdo = true;
    x->self = fdo;
    x->underlying = pdo;
    x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    st = IoRegisterDeviceInterface(pdo, &kBusInterface, nullptr, &x->iface);
    if (!NT_SUCCESS(st)) {
        IoDetachDevice(x->lower);
        IoDeleteDevice(fdo);
        return st;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT drv, PUNICODE_STRING) {
    for (UCHAR m : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER})
        drv->MajorFunction[m] = BusDispatch;
    drv->DriverExtension->AddDevice = BusAdd;
    return STATUS_SUCCESS;
}

// A function driver for the children: attaches and passes everything on.
struct FnExt {
    PDEVICE_OBJECT lower;
};
NTSTATUS NTAPI FnDispatch(PDEVICE_OBJECT dev, PIRP irp) {
    auto* x = (FnExt*)dev->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    bool remove = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
    PDEVICE_OBJECT lower = x->lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS st = IoCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(dev);
    }
    return st;
}
NTSTATUS NTAPI FnAdd(PDRIVER_OBJECT drv, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT d;
    NTSTATUS st = IoCreateDevice(drv, sizeof(FnExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
    if (!NT_SUCCESS(st)) return st;
    ((FnExt*)d->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(d, pdo);
    d->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI FnEntry(PDRIVER_OBJECT drv, PUNICODE_STRING) {
    for (auto& f : drv->MajorFunction) f = FnDispatch;
    drv->DriverExtension->AddDevice = FnAdd;
    return STATUS_SUCCESS;
}

class PnpTree : public ::testing::Test {
protected:
    // Lets a derived fixture change the children before the bus is installed.
    virtual void Configure() {}
    void SetUp() override {
        g_in_start = g_relations_inside_start = g_lower_started_first = false;
        g_compat_1 = u"TEST\\COMPAT";
        g_raw_ok_1 = false;
        Configure();
        ASSERT_NE(hk::io::LoadDriver("testbus", BusEntry, nullptr, {{kTag}}), nullptr);
        hk::pnp::RegisterFunctionDriver("TEST\\DEV_0", "hwdrv", FnEntry);
        hk::pnp::RegisterFunctionDriver("test\\compat", "compdrv", FnEntry);
        sub = hk::io::SubscribeInterfaces([this](bool arrival, const GUID& g, const std::u16string& link) {
            if (g == GUID_DEVINTERFACE_USB_DEVICE)
                notes.push_back((arrival ? "+" : "-") + hk::io::Narrow(link));
        });
        hk::pnp::RootDeviceSettings root_device;
        root_device.enumerator = "ROOT\\TESTBUS";
        root_device.hardware_ids = {"root\\testbus"};
        root_device.description = "Test bus";
        root_device.driver = "testbus";
        ASSERT_EQ(hk::pnp::InstallRootDevice(root_device, &root), STATUS_SUCCESS);
        ASSERT_TRUE(hk::pnp::WaitIdle());
    }
    // A failed assertion leaves a test early: the subscription must not
    // outlive the fixture it writes into while the machine shuts down.
    void TearDown() override { hk::io::UnsubscribeInterfaces(sub); }
    std::vector<std::string> Events(const std::string& path_prefix) {
        std::vector<std::string> out;
        for (auto& e : hk::pnp::Log())
            if (e.instance_path.rfind(path_prefix, 0) == 0) out.push_back(e.what);
        return out;
    }
    hk::Machine machine;
    PDEVICE_OBJECT root = nullptr;
    int sub = 0;
    std::vector<std::string> notes;
};

TEST_F(PnpTree, InstallAddsStartsAndIdentifiesChildren) {
    std::vector<std::string> root_events = Events("ROOT\\TESTBUS\\0000");
    std::vector<std::string> expect = {"QUERY_CAPABILITIES", "AddDevice", "START_DEVICE",
                                       "QUERY_DEVICE_RELATIONS"};
    ASSERT_GE(root_events.size(), expect.size());
    EXPECT_EQ(std::vector<std::string>(root_events.begin(), root_events.begin() + 4), expect);
    EXPECT_TRUE(g_lower_started_first);
    EXPECT_FALSE(g_relations_inside_start);  // the invalidation was served later

    // A new child is identified before its node has a path: the requests
    // are logged under "<parent>\<new>"; then it gets its driver and starts.
    std::vector<std::string> ident = Events("ROOT\\TESTBUS\\0000\\<new>");
    std::vector<std::string> expect_ident = {
        "QUERY_ID", "QUERY_ID", "QUERY_ID", "QUERY_ID", "QUERY_ID", "QUERY_DEVICE_TEXT",
        "QUERY_DEVICE_TEXT", "QUERY_CAPABILITIES", "QUERY_BUS_INFORMATION", "QUERY_DEVICE_RELATIONS"};
    ASSERT_EQ(ident.size(), 2 * expect_ident.size());
    EXPECT_EQ(std::vector<std::string>(ident.begin(), ident.begin() + 10), expect_ident);
    std::vector<std::string> child = Events("TEST\\DEV_0\\01");
    ASSERT_GE(child.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(child.begin(), child.begin() + 2),
              (std::vector<std::string>{"AddDevice", "START_DEVICE"}));

    std::vector<hk::pnp::DeviceInfo> devs = hk::pnp::Devices();
    ASSERT_EQ(devs.size(), 3u);
    EXPECT_EQ(devs[0].instance_path, "ROOT\\TESTBUS\\0000");
    EXPECT_EQ(devs[0].state, hk::pnp::NodeState::Started);
    EXPECT_EQ(devs[1].instance_path, "TEST\\DEV_0\\01");
    EXPECT_EQ(devs[1].hardware_ids, std::vector<std::string>{"TEST\\DEV_0"});
    EXPECT_EQ(devs[1].compatible_ids, std::vector<std::string>{"TEST\\COMPAT"});
    EXPECT_EQ(devs[1].description, "Test Child");
    EXPECT_EQ(devs[1].location, "Test Bus");
    EXPECT_TRUE(devs[1].has_capabilities);
    EXPECT_EQ(devs[1].capabilities.Address, 1u);
    EXPECT_TRUE(devs[1].has_bus_information);
    EXPECT_TRUE(devs[1].bus_information.BusTypeGuid == GUID_BUS_TYPE_USB);
    EXPECT_EQ(devs[1].function_driver, "hwdrv");   // by hardware ID
    EXPECT_EQ(devs[2].function_driver, "compdrv"); // by compatible ID only
    EXPECT_EQ(devs[2].state, hk::pnp::NodeState::Started);
    EXPECT_EQ(hk::io::FindInterfaces(GUID_DEVINTERFACE_USB_DEVICE).size(), 2u);
    hk::io::UnsubscribeInterfaces(sub);
}

TEST_F(PnpTree, VanishedChildIsSurpriseRemovedThenRemoved) {
    auto links = hk::io::FindInterfaces(kBusInterface);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(hk::io::Narrow(links[0]),
              "\\??\\ROOT#TESTBUS#0000#{11111111-2222-3333-4444-555555555555}");
    hk::io::Handle h;
    ASSERT_EQ(hk::io::Open(links[0], &h), STATUS_SUCCESS);
    hk::pnp::ClearLog();
    ULONG n = 0;
    EXPECT_EQ(hk::io::DeviceIoControl(h, kIoctlUnplug, nullptr, 0, nullptr, 0, &n), STATUS_SUCCESS);
    ASSERT_TRUE(hk::pnp::WaitIdle());
    std::vector<std::string> gone = Events("TEST\\DEV_1\\02");
    EXPECT_EQ(gone, (std::vector<std::string>{"SURPRISE_REMOVAL", "REMOVE_DEVICE"}));
    EXPECT_TRUE(Events("TEST\\DEV_0\\01").empty());
    EXPECT_EQ(hk::pnp::Children(root).size(), 1u);
    EXPECT_EQ(hk::io::FindInterfaces(GUID_DEVINTERFACE_USB_DEVICE).size(), 1u);
    EXPECT_EQ(notes.back(), "-\\??\\TEST#DEV_1#02#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    EXPECT_EQ(hk::io::Close(h), STATUS_SUCCESS);
    hk::io::UnsubscribeInterfaces(sub);
}

TEST_F(PnpTree, UninstallQueriesThenRemovesChildrenBeforeTheBus) {
    hk::pnp::ClearLog();
    ASSERT_EQ(hk::pnp::Uninstall(root), STATUS_SUCCESS);
    std::vector<std::string> all;
    for (auto& e : hk::pnp::Log()) all.push_back(e.instance_path + ":" + e.what);
    std::vector<std::string> expect = {
        "TEST\\DEV_0\\01:QUERY_REMOVE_DEVICE", "TEST\\DEV_1\\02:QUERY_REMOVE_DEVICE",
        "ROOT\\TESTBUS\\0000:QUERY_REMOVE_DEVICE", "TEST\\DEV_0\\01:REMOVE_DEVICE",
        "TEST\\DEV_1\\02:REMOVE_DEVICE", "ROOT\\TESTBUS\\0000:REMOVE_DEVICE"};
    EXPECT_EQ(all, expect);
    EXPECT_TRUE(hk::pnp::Devices().empty());
    hk::io::UnsubscribeInterfaces(sub);
    hk::io::UnloadDriver("testbus");
    HK_EXPECT_CLEAN(machine);
}

TEST_F(PnpTree, OpenHandleVetoesUninstallAndDelaysSurpriseRemoval) {
    auto links = hk::io::FindInterfaces(kBusInterface);
    hk::io::Handle h;
    ASSERT_EQ(hk::io::Open(links[0], &h), STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::Uninstall(root), STATUS_DEVICE_BUSY);
    EXPECT_EQ(hk::pnp::Devices().size(), 3u);
    hk::pnp::ClearLog();
    ASSERT_EQ(hk::pnp::SurpriseRemove(root), STATUS_SUCCESS);
    EXPECT_EQ(Events("ROOT\\TESTBUS\\0000"), std::vector<std::string>{"SURPRISE_REMOVAL"});
    EXPECT_EQ(hk::io::Close(h), STATUS_SUCCESS);
    ASSERT_TRUE(hk::pnp::WaitIdle());
    EXPECT_EQ(Events("ROOT\\TESTBUS\\0000"),
              (std::vector<std::string>{"SURPRISE_REMOVAL", "REMOVE_DEVICE"}));
    EXPECT_TRUE(hk::pnp::Devices().empty());
    hk::io::UnsubscribeInterfaces(sub);
}

TEST_F(PnpTree, StopIsQueryStopStopStart) {
    hk::pnp::ClearLog();
    ASSERT_EQ(hk::pnp::Stop(root), STATUS_SUCCESS);
    std::vector<std::string> ev = Events("ROOT\\TESTBUS\\0000");
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(ev.begin(), ev.begin() + 3),
              (std::vector<std::string>{"QUERY_STOP_DEVICE", "STOP_DEVICE", "START_DEVICE"}));
    // A failed stop query is cancelled and leaves the device started.
    hk::pnp::SetRootFault(root, IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(hk::pnp::WaitIdle());  // the restarted bus re-enumerates
    hk::pnp::ClearLog();
    EXPECT_EQ(hk::pnp::Stop(root), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Events("ROOT\\TESTBUS\\0000"),
              (std::vector<std::string>{"QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE"}));
    hk::pnp::DeviceInfo info;
    ASSERT_TRUE(hk::pnp::Find(root, &info));
    EXPECT_EQ(info.state, hk::pnp::NodeState::Started);
    hk::io::UnsubscribeInterfaces(sub);
}

TEST_F(PnpTree, DeviceControlBuffersAsTheSystemServiceBuildsThem) {
    auto links = hk::io::FindInterfaces(kBusInterface);
    hk::io::Handle h;
    ASSERT_EQ(hk::io::Open(links[0], &h), STATUS_SUCCESS);
    // METHOD_BUFFERED: the input is copied in, and only Information bytes
    // come back out, even though the output buffer is larger.
    UCHAR in[4] = {1, 2, 3, 5};  // reversed: 5 3 2 1
    UCHAR out[8];
    memset(out, 0xEE, sizeof out);
    in[0] = 3;                   // report three bytes: 5 3 2
    in[3] = 5;
    ULONG n = 0;
    ASSERT_EQ(hk::io::DeviceIoControl(h, kIoctlEcho, in, sizeof in, out, sizeof out, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[1], 3);
    EXPECT_EQ(out[2], 2);
    EXPECT_EQ(out[3], 0xEE);
    // METHOD_NEITHER: the driver sees the caller's own pointers, which probe
    // as user memory for the duration of the request only.
    char nin[16] = "abc";
    char nout[32];
    ASSERT_EQ(hk::io::DeviceIoControl(h, kIoctlNeither, nin, sizeof nin, nout, sizeof nout, &n), STATUS_SUCCESS);
    EXPECT_EQ(g_seen_type3, nin);
    EXPECT_EQ(g_seen_user, nout);
    EXPECT_TRUE(g_probe_ok);
    EXPECT_EQ((UCHAR)nout[31], 0xAB);
    EXPECT_FALSE(machine.IsUserRange(nout, sizeof nout, true));
    // A read was never registered by the driver: refused before reaching it.
    char r[4];
    EXPECT_EQ(hk::io::Read(h, r, sizeof r, &n), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(hk::io::Close(h), STATUS_SUCCESS);
    EXPECT_EQ(hk::io::Close(h), STATUS_INVALID_HANDLE);
    hk::io::UnsubscribeInterfaces(sub);
}

// A direct-I/O request whose output cannot be described (no pool for its
// MDL) is refused before it is sent, and gives back the input already copied
// into its system buffer.
TEST_F(PnpTree, DeviceControlThatCannotBeBuiltLeavesNothingBehind) {
    auto links = hk::io::FindInterfaces(kBusInterface);
    hk::io::Handle h;
    ASSERT_EQ(hk::io::Open(links[0], &h), STATUS_SUCCESS);
    constexpr ULONG kIoctlInDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
    UCHAR in[8] = {}, out[16] = {};
    ULONG n = 0;
    machine.FailTag(hk::MakeTag("Mdl "));
    EXPECT_EQ(hk::io::DeviceIoControl(h, kIoctlInDirect, in, sizeof in, out, sizeof out, &n),
              STATUS_INSUFFICIENT_RESOURCES);
    machine.ClearPoolFaults();
    EXPECT_EQ(machine.PoolStats(hk::MakeTag("IoSB")).blocks_in_use, 0u);
    EXPECT_EQ(hk::io::Close(h), STATUS_SUCCESS);
    hk::io::UnsubscribeInterfaces(sub);
}

// Buffered and direct requests are probed by the system service before any
// request exists: a buffer with no address or in kernel memory fails the call
// with STATUS_ACCESS_VIOLATION, and the driver never sees it. Neither-method
// requests hand the pointers on unprobed. The codes below are unknown to the
// test bus, which answers STATUS_INVALID_DEVICE_REQUEST to whatever reaches it.
TEST_F(PnpTree, DeviceControlBuffersTheCallerDoesNotOwnNeverReachTheDriver) {
    auto links = hk::io::FindInterfaces(kBusInterface);
    hk::io::Handle h;
    ASSERT_EQ(hk::io::Open(links[0], &h), STATUS_SUCCESS);
    auto* kernel = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, 64, hk::MakeTag("Kern"));
    UCHAR mine[64] = {};
    struct Method {
        const char* name;
        ULONG method;
    };
    const Method methods[] = {{"buffered", METHOD_BUFFERED}, {"in-direct", METHOD_IN_DIRECT},
                              {"out-direct", METHOD_OUT_DIRECT}, {"neither", METHOD_NEITHER}};
    struct Buffers {
        const char* name;
        UCHAR* input;
        UCHAR* output;
        ULONG length;
    };
    const Buffers buffers[] = {
        {"the caller's own", mine, mine, sizeof mine},
        {"no input address", nullptr, mine, sizeof mine},
        {"no output address", mine, nullptr, sizeof mine},
        {"kernel input", kernel, mine, sizeof mine},
        {"kernel output", mine, kernel, sizeof mine},
        {"no addresses, no lengths", nullptr, nullptr, 0},
    };
    for (const Method& m : methods) {
        ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x40, m.method, FILE_ANY_ACCESS);
        for (const Buffers& b : buffers) {
            bool owned = (b.input || !b.length) && (b.output || !b.length) && b.input != kernel && b.output != kernel;
            NTSTATUS expect = owned || m.method == METHOD_NEITHER ? STATUS_INVALID_DEVICE_REQUEST : STATUS_ACCESS_VIOLATION;
            ULONG n = 0;
            EXPECT_EQ(hk::io::DeviceIoControl(h, code, b.input, b.length, b.output, b.length, &n), expect)
                << m.name << ", " << b.name;
        }
    }
    EXPECT_EQ(machine.PoolStats(hk::MakeTag("IoSB")).blocks_in_use, 0u);
    ExFreePool(kernel);
    EXPECT_EQ(hk::io::Close(h), STATUS_SUCCESS);
    hk::io::UnsubscribeInterfaces(sub);
}

// The second child matches no function driver: Windows leaves such a device
// unstarted ("drivers not installed") unless its bus says RawDeviceOK, and
// removes it like any other when it vanishes or its bus goes.
enum class Removal { Vanishes, BusUninstalled };

struct UnmatchedCase {
    const char* name;
    bool raw_ok;
    Removal removal;
    hk::pnp::NodeState state;
    std::vector<std::string> after_identification;  // the child's requests once it has a path
    size_t child_interfaces;                         // enabled USB-device interfaces, both children
    std::vector<std::string> removal_requests;       // the child's requests while it goes
};

void PrintTo(const UnmatchedCase& c, std::ostream* os) { *os << c.name; }

class PnpUnmatched : public PnpTree, public ::testing::WithParamInterface<UnmatchedCase> {
protected:
    void Configure() override {
        g_compat_1 = u"TEST\\NOBODY";
        g_raw_ok_1 = GetParam().raw_ok;
    }
};

TEST_P(PnpUnmatched, StartedOnlyWhenUsableRawAndRemovedLikeAnyOther) {
    const UnmatchedCase& c = GetParam();
    const std::string path = "TEST\\DEV_1\\02";
    std::vector<hk::pnp::DeviceInfo> devs = hk::pnp::Devices();
    ASSERT_EQ(devs.size(), 3u);
    const hk::pnp::DeviceInfo& child = devs[2];
    // Identified and kept in the tree either way, as Device Manager lists it.
    EXPECT_EQ(child.instance_path, path);
    EXPECT_EQ(child.compatible_ids, std::vector<std::string>{"TEST\\NOBODY"});
    EXPECT_EQ(child.description, "Test Child");
    EXPECT_EQ(child.state, c.state);
    EXPECT_EQ(child.raw, c.raw_ok);
    EXPECT_TRUE(child.function_driver.empty());
    EXPECT_EQ(child.problem, c.raw_ok ? STATUS_SUCCESS : STATUS_NOT_FOUND);
    EXPECT_EQ(Events(path), c.after_identification);
    EXPECT_EQ(hk::io::FindInterfaces(GUID_DEVINTERFACE_USB_DEVICE).size(), c.child_interfaces);
    EXPECT_EQ(devs[1].state, hk::pnp::NodeState::Started) << "the matched sibling is unaffected";

    hk::pnp::ClearLog();
    if (c.removal == Removal::Vanishes) {
        auto links = hk::io::FindInterfaces(kBusInterface);
        ASSERT_EQ(links.size(), 1u);
        hk::io::Handle h;
        ASSERT_EQ(hk::io::Open(links[0], &h), STATUS_SUCCESS);
        ULONG n = 0;
        EXPECT_EQ(hk::io::DeviceIoControl(h, kIoctlUnplug, nullptr, 0, nullptr, 0, &n), STATUS_SUCCESS);
        ASSERT_TRUE(hk::pnp::WaitIdle());
        EXPECT_EQ(hk::io::Close(h), STATUS_SUCCESS);
        EXPECT_EQ(Events(path), c.removal_requests);
        EXPECT_TRUE(Events("TEST\\DEV_0\\01").empty());
        EXPECT_EQ(hk::pnp::Children(root).size(), 1u);
        EXPECT_EQ(hk::pnp::Devices().size(), 2u);
        EXPECT_EQ(hk::io::FindInterfaces(GUID_DEVINTERFACE_USB_DEVICE).size(), 1u);
        ASSERT_EQ(hk::pnp::Uninstall(root), STATUS_SUCCESS);
    } else {
        ASSERT_EQ(hk::pnp::Uninstall(root), STATUS_SUCCESS);
        EXPECT_EQ(Events(path), c.removal_requests);
        // Children before their bus.
        std::vector<std::string> all;
        for (auto& e : hk::pnp::Log()) all.push_back(e.instance_path + ":" + e.what);
        auto child_removed = std::find(all.begin(), all.end(), path + ":REMOVE_DEVICE");
        auto bus_removed = std::find(all.begin(), all.end(), "ROOT\\TESTBUS\\0000:REMOVE_DEVICE");
        ASSERT_NE(child_removed, all.end());
        ASSERT_NE(bus_removed, all.end());
        EXPECT_LT(child_removed, bus_removed);
    }
    EXPECT_TRUE(hk::pnp::Devices().empty());
    hk::io::UnsubscribeInterfaces(sub);
    hk::io::UnloadDriver("testbus");
    HK_EXPECT_CLEAN(machine);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PnpUnmatched,
    ::testing::Values(
        UnmatchedCase{"DriverlessVanishes", false, Removal::Vanishes, hk::pnp::NodeState::NoDriver, {}, 1,
                      {"REMOVE_DEVICE"}},
        UnmatchedCase{"DriverlessWithItsBus", false, Removal::BusUninstalled, hk::pnp::NodeState::NoDriver, {},
                      1, {"REMOVE_DEVICE"}},
        UnmatchedCase{"RawVanishes", true, Removal::Vanishes, hk::pnp::NodeState::Started,
                      {"START_DEVICE", "QUERY_DEVICE_RELATIONS"}, 2, {"SURPRISE_REMOVAL", "REMOVE_DEVICE"}},
        UnmatchedCase{"RawWithItsBus", true, Removal::BusUninstalled, hk::pnp::NodeState::Started,
                      {"START_DEVICE", "QUERY_DEVICE_RELATIONS"}, 2,
                      {"QUERY_REMOVE_DEVICE", "REMOVE_DEVICE"}}),
    [](const ::testing::TestParamInfo<UnmatchedCase>& info) { return std::string(info.param.name); });

class PnpDriverless : public PnpTree {
protected:
    void Configure() override { g_compat_1 = u"TEST\\NOBODY"; }
};

// A driver installed later is found when the device is enabled again (what
// updating its driver does); until then enabling changes nothing.
TEST_F(PnpDriverless, EnableBindsADriverRegisteredSince) {
    PDEVICE_OBJECT child = hk::pnp::Children(root).at(1);
    hk::pnp::ClearLog();
    EXPECT_EQ(hk::pnp::Enable(child), STATUS_NOT_FOUND);
    hk::pnp::DeviceInfo info;
    ASSERT_TRUE(hk::pnp::Find(child, &info));
    EXPECT_EQ(info.state, hk::pnp::NodeState::NoDriver);
    EXPECT_TRUE(Events("TEST\\DEV_1\\02").empty());

    hk::pnp::RegisterFunctionDriver("test\\nobody", "latedrv", FnEntry);
    ASSERT_EQ(hk::pnp::Enable(child), STATUS_SUCCESS);
    ASSERT_TRUE(hk::pnp::WaitIdle());
    ASSERT_TRUE(hk::pnp::Find(child, &info));
    EXPECT_EQ(info.state, hk::pnp::NodeState::Started);
    EXPECT_EQ(info.function_driver, "latedrv");
    EXPECT_FALSE(info.raw);
    EXPECT_EQ(info.problem, STATUS_SUCCESS);
    std::vector<std::string> ev = Events("TEST\\DEV_1\\02");
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(ev.begin(), ev.begin() + 2),
              (std::vector<std::string>{"AddDevice", "START_DEVICE"}));
    EXPECT_EQ(hk::io::FindInterfaces(GUID_DEVINTERFACE_USB_DEVICE).size(), 2u);
    hk::io::UnsubscribeInterfaces(sub);
}

// A root-enumerated device without a driver: the install reports it, the
// node stays for Device Manager, and uninstalling it deletes its PDO.
TEST_F(PnpDriverless, RootDeviceWithoutADriverIsKeptUnstartedUntilUninstalled) {
    hk::pnp::RootDeviceSettings device;
    device.enumerator = "ROOT\\ORPHAN";
    device.hardware_ids = {"root\\orphan"};
    device.description = "Orphan";
    device.driver = "notloaded";
    PDEVICE_OBJECT orphan = nullptr;
    hk::pnp::ClearLog();
    EXPECT_EQ(hk::pnp::InstallRootDevice(device, &orphan), STATUS_NOT_FOUND);
    ASSERT_NE(orphan, nullptr);
    hk::pnp::DeviceInfo info;
    ASSERT_TRUE(hk::pnp::Find(orphan, &info));
    EXPECT_EQ(info.state, hk::pnp::NodeState::NoDriver);
    EXPECT_EQ(std::string(hk::pnp::StateName(info.state)), "NoDriver");
    EXPECT_TRUE(info.function_driver.empty()) << "the requested driver was never bound";
    EXPECT_EQ(Events("ROOT\\ORPHAN\\0000"), std::vector<std::string>{"QUERY_CAPABILITIES"});
    EXPECT_EQ(IoGetAttachedDevice(orphan), orphan);

    hk::pnp::ClearLog();
    ASSERT_EQ(hk::pnp::Uninstall(orphan), STATUS_SUCCESS);
    EXPECT_EQ(Events("ROOT\\ORPHAN\\0000"), std::vector<std::string>{"REMOVE_DEVICE"});
    EXPECT_FALSE(hk::pnp::Find(orphan, &info));
    EXPECT_EQ(hk::pnp::Devices().size(), 3u);
    ASSERT_EQ(hk::pnp::Uninstall(root), STATUS_SUCCESS);
    hk::io::UnsubscribeInterfaces(sub);
    hk::io::UnloadDriver("testbus");
    HK_EXPECT_CLEAN(machine);
}

}  // namespace
