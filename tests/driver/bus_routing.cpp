// Where requests go: power requests down the bus stack from the bus and
// from each child, device-control and system-control requests from a child
// to the bus, internal requests to the child's own personality, and the
// assertions of the handlers when a request reaches the wrong kind of device.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hk/testing.h"
#include "support/bus_rig.h"

namespace {

using bus_rig::Rig;
using bus_rig::SendIrp;

class Routing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
        hk::pnp::WaitIdle();
        ASSERT_NE(rig.Child(0), nullptr);
        ASSERT_NE(rig.Child(1), nullptr);
        rig.machine.ClearDebugLog();
    }
    void TearDown() override {
        rig.TearDown();
        HK_EXPECT_CLEAN(rig.machine);
    }
    // -1: the bus device; 0, 1: the child in that slot.
    PDEVICE_OBJECT Target(int which) { return which < 0 ? rig.fdo : rig.Child(which); }
    Rig rig;
};

// --- power ------------------------------------------------------------------------------------

struct PowerCase {
    const char* name;
    int target;
    UCHAR minor;
};

class PowerRouting : public Routing, public ::testing::WithParamInterface<PowerCase> {};

TEST_P(PowerRouting, ReachesTheRootDeviceBelowTheBus) {
    const PowerCase& c = GetParam();
    // hostkernel's root device answers set-power and query-power with
    // success; a handler that completed the request itself would leave the
    // preset status.
    bus_rig::Sent r = SendIrp(Target(c.target), IRP_MJ_POWER, c.minor, [](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = DevicePowerState;
        s->Parameters.Power.State.DeviceState = PowerDeviceD0;
    });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.returned, STATUS_SUCCESS);
    EXPECT_EQ(rig.CountLogged("FDO_Dispatch IoStack->MajorFunction:16\n"), 1u) << rig.machine.DebugText();
    EXPECT_EQ(rig.CountLogged("PDO_Dispatch IoStack->MajorFunction:16\n"), c.target < 0 ? 0u : 1u);
    // Power has no message of its own on either side.
    EXPECT_FALSE(rig.Logged("not implemented")) << rig.machine.DebugText();
    EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Targets, PowerRouting,
                         ::testing::Values(PowerCase{"BusSet", -1, IRP_MN_SET_POWER},
                                           PowerCase{"BusQuery", -1, IRP_MN_QUERY_POWER},
                                           PowerCase{"CameraSet", 0, IRP_MN_SET_POWER},
                                           PowerCase{"AudioQuery", 1, IRP_MN_QUERY_POWER}),
                         [](const ::testing::TestParamInfo<PowerCase>& info) { return std::string(info.param.name); });

// --- requests a child hands to the bus ---------------------------------------------------------

struct ForwardCase {
    const char* name;
    int child;
    UCHAR major;
    ULONG code;
    NTSTATUS status;
    const char* bus_message;  // proves the bus's own handler ran
};

const ForwardCase kForwardCases[] = {
    {"DeviceInfoThroughCamera", 0, IRP_MJ_DEVICE_CONTROL, IOCTL_GET_DEVICE_INFO, STATUS_SUCCESS,
     "IOCTL_GET_DEVICE_INFO :220004\n"},
    {"PluginThroughAudioFindsTheBusPopulated", 1, IRP_MJ_DEVICE_CONTROL, IOCTL_BUSENUM_PLUGIN_DEVICE,
     STATUS_OBJECTID_EXISTS, "VhubPluginDevice\n"},
    // The bus passes a code it does not know to the root device, which has
    // no device-control routine.
    {"UnknownCodeEndsBelowTheBus", 0, IRP_MJ_DEVICE_CONTROL, 0x220008, STATUS_INVALID_DEVICE_REQUEST,
     "FDO_Dispatch Function 220008 not implemented,so dispatch to next device\n"},
    // The root device completes system control with the status it carries.
    {"SystemControl", 1, IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED, "FDO_HandleSystemControl\n"},
};

class ChildToBus : public Routing, public ::testing::WithParamInterface<ForwardCase> {};

TEST_P(ChildToBus, HandledByTheBusDevice) {
    const ForwardCase& c = GetParam();
    bus_rig::Sent r = SendIrp(rig.Child(c.child), c.major, 0,
                              [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceIoControl.IoControlCode = c.code; });
    EXPECT_EQ(r.status, c.status) << std::hex << r.status;
    EXPECT_EQ(r.returned, c.status);
    char passed[80];
    std::snprintf(passed, sizeof passed, "PDO_Dispatch Function %x not implemented, so go to next device\n", c.major);
    EXPECT_EQ(rig.CountLogged(passed), 1u) << rig.machine.DebugText();
    EXPECT_EQ(rig.CountLogged(c.bus_message), 1u) << rig.machine.DebugText();
}

INSTANTIATE_TEST_SUITE_P(Cases, ChildToBus, ::testing::ValuesIn(kForwardCases),
                         [](const ::testing::TestParamInfo<ForwardCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(Routing, UnplugSentToAChildUnplugsBoth) {
    bus_rig::Sent r = SendIrp(rig.Child(0), IRP_MJ_DEVICE_CONTROL, 0, [](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_BUSENUM_UNPLUG_DEVICE;
    });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    hk::pnp::WaitIdle();
    EXPECT_EQ(rig.Child(0), nullptr);
    EXPECT_EQ(rig.Child(1), nullptr);
    EXPECT_TRUE(rig.ReportedChildren().empty());
}

// --- internal requests -------------------------------------------------------------------------

struct InternalCase {
    const char* name;
    ULONG code;
    bool with_urb;
};

const InternalCase kInternalCases[] = {
    {"SubmitUrb", IOCTL_INTERNAL_USB_SUBMIT_URB, true},
    {"PortStatus", 0x220013, false},
    {"AnyCode", 0x12345678, false},
};

class InternalRouting : public Routing, public ::testing::WithParamInterface<InternalCase> {
protected:
    bus_rig::Sent SendInternal(PDEVICE_OBJECT child, NTSTATUS preset = STATUS_NOT_SUPPORTED) {
        const InternalCase& c = GetParam();
        std::memset(&urb_, 0, sizeof urb_);
        // A function no personality serves: whatever reaches it answers
        // without touching transfer buffers.
        urb_.UrbHeader.Length = sizeof(struct _URB_HEADER);
        urb_.UrbHeader.Function = 0x7FFF;
        return SendIrp(
            child, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
            [&](PIO_STACK_LOCATION s) {
                s->Parameters.DeviceIoControl.IoControlCode = c.code;
                s->Parameters.Others.Argument1 = c.with_urb ? &urb_ : nullptr;
            },
            preset);
    }
    URB urb_;
};

TEST_P(InternalRouting, EachChildReachesItsOwnPersonalityWhateverTheCode) {
    SendInternal(rig.Child(0));
    EXPECT_EQ(rig.CountLogged("PDO_HandleInternalDeviceControl\n"), 1u);
    EXPECT_EQ(rig.CountLogged("MicDispatch\n"), 1u) << rig.machine.DebugText();
    EXPECT_EQ(rig.CountLogged("MicDispatchSound\n"), 0u);

    rig.machine.ClearDebugLog();
    SendInternal(rig.Child(1));
    EXPECT_EQ(rig.CountLogged("PDO_HandleInternalDeviceControl\n"), 1u);
    EXPECT_EQ(rig.CountLogged("MicDispatchSound\n"), 1u) << rig.machine.DebugText();
    EXPECT_EQ(rig.CountLogged("MicDispatch\n"), 0u);
}

int g_stranger_calls = 0;
NTSTATUS StrangerDispatch(PDEVICE_OBJECT, PIRP) {
    ++g_stranger_calls;
    return STATUS_SUCCESS;  // never completes: reaching here would leave the request hanging
}

TEST_P(InternalRouting, AnUnknownDispatcherIsNeverCalledAndTheRequestKeepsItsStatus) {
    PPDO_DEVICE_DATA camera = rig.ChildData(0);
    PURB_DISPATCH_ROUTINE saved = camera->UrbDispatch;
    camera->UrbDispatch = StrangerDispatch;
    g_stranger_calls = 0;
    const NTSTATUS preset = (NTSTATUS)0xC0000123;
    bus_rig::Sent r = SendInternal(rig.Child(0), preset);
    camera->UrbDispatch = saved;
    EXPECT_EQ(g_stranger_calls, 0);
    EXPECT_EQ(r.status, preset);
    EXPECT_EQ(r.returned, preset);
    EXPECT_EQ(rig.CountLogged("MicDispatch\n") + rig.CountLogged("MicDispatchSound\n"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Codes, InternalRouting, ::testing::ValuesIn(kInternalCases),
                         [](const ::testing::TestParamInfo<InternalCase>& info) {
                             return std::string(info.param.name);
                         });

// --- assertions --------------------------------------------------------------------------------

// A request of the bus family delivered to a child, or the other way round:
// the driver's dispatch routine is swapped for one that calls the chosen
// handler on whatever device the request was sent to.
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> g_handler;
NTSTATUS NTAPI CallHandler(PDEVICE_OBJECT device, PIRP irp) { return g_handler(device, irp); }

struct AssertCase {
    const char* name;
    bool to_bus;  // the handler is a child handler called on the bus device
    NTSTATUS (*handler)(PDEVICE_OBJECT, PIRP);
    UCHAR major, minor;
    ULONG parameter;  // control code, relation type or text type
    std::vector<std::string> expressions;
};

const char kFdoFile[] = "VhubVMic\\fdo";
const char kPdoFile[] = "VhubVMic\\pdo";

const AssertCase kAssertCases[] = {
    {"BusCreateOnChild", false, FDO_Dispatch, IRP_MJ_CREATE, 0, 0,
     {"FDODeviceExtension->Common.IsFDO", "DeviceExtension->Common.IsFDO == TRUE"}},
    {"BusCloseOnChild", false, FDO_Dispatch, IRP_MJ_CLOSE, 0, 0,
     {"FDODeviceExtension->Common.IsFDO", "DeviceExtension->Common.IsFDO == TRUE"}},
    {"BusRelationsOnChild", false, FDO_HandlePnp, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations,
     {"FDODeviceExtension->Common.IsFDO", "deviceExtension->Common.IsFDO"}},
    {"BusDeviceControlOnChild", false, FDO_HandleDeviceControl, IRP_MJ_DEVICE_CONTROL, 0, IOCTL_GET_DEVICE_INFO,
     {"FDODeviceExtension->Common.IsFDO"}},
    {"ChildCreateOnBus", true, PDO_Dispatch, IRP_MJ_CREATE, 0, 0,
     {"PDODeviceExtension->Common.IsFDO == FALSE", "DeviceExtension->IsFDO == FALSE"}},
    {"ChildQueryRemoveOnBus", true, PDO_HandlePnp, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, 0,
     {"PDODeviceExtension->Common.IsFDO == FALSE", "DeviceExtension->IsFDO == FALSE"}},
    {"ChildTextOnBus", true, PDO_HandlePnp, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT, 7,
     {"PDODeviceExtension->Common.IsFDO == FALSE", "PDODeviceExtension->Common.IsFDO == FALSE"}},
};

class WrongDevice : public Routing, public ::testing::WithParamInterface<AssertCase> {};

TEST_P(WrongDevice, ReportsTheExpressionAndGoesOn) {
    const AssertCase& c = GetParam();
    EXPECT_TRUE(rig.machine.Assertions().empty()) << "requests of the right kind assert nothing";
    PDEVICE_OBJECT target = c.to_bus ? rig.fdo : rig.Child(0);
    PDRIVER_DISPATCH saved = target->DriverObject->MajorFunction[c.major];
    target->DriverObject->MajorFunction[c.major] = CallHandler;
    g_handler = c.handler;
    bus_rig::Sent r = SendIrp(target, c.major, c.minor, [&](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceIoControl.IoControlCode = c.parameter;
        if (c.minor == IRP_MN_QUERY_DEVICE_RELATIONS)
            s->Parameters.QueryDeviceRelations.Type = (DEVICE_RELATION_TYPE)c.parameter;
        if (c.minor == IRP_MN_QUERY_DEVICE_TEXT)
            s->Parameters.QueryDeviceText.DeviceTextType = (DEVICE_TEXT_TYPE)c.parameter;
    });
    target->DriverObject->MajorFunction[c.major] = saved;
    g_handler = nullptr;

    // The handler went on and completed the request.
    EXPECT_NE(r.returned, STATUS_PENDING);
    std::vector<hk::AssertionRecord> seen = rig.machine.Assertions();
    rig.machine.ClearAssertions();
    ASSERT_EQ(seen.size(), c.expressions.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].expression, c.expressions[i]) << i;
        EXPECT_EQ(seen[i].file, c.to_bus ? kPdoFile : kFdoFile) << i;
        EXPECT_GT(seen[i].line, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WrongDevice, ::testing::ValuesIn(kAssertCases),
                         [](const ::testing::TestParamInfo<AssertCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
